/* Kernel-streaming and WaveRT declarations that the mingw-w64 headers lack,
   with their published layouts. Include after ks.h, ksmedia.h and mmreg.h;
   the Linux stand-in headers lack the same items, so both builds see one
   definition. */
#ifndef OMBRIVO_COMMON_KSCOMPAT_H
#define OMBRIVO_COMMON_KSCOMPAT_H

#pragma pack(push, 1)
typedef struct {
    KSDATAFORMAT DataFormat;
    WAVEFORMATEXTENSIBLE WaveFormatExt;
} KSDATAFORMAT_WAVEFORMATEXTENSIBLE, *PKSDATAFORMAT_WAVEFORMATEXTENSIBLE;
#pragma pack(pop)

#ifdef __cplusplus
static_assert(sizeof(WAVEFORMATEX) == 18, "WAVEFORMATEX layout");
static_assert(sizeof(WAVEFORMATEXTENSIBLE) == 40, "WAVEFORMATEXTENSIBLE layout");
static_assert(sizeof(KSDATAFORMAT) == 64, "KSDATAFORMAT layout");
static_assert(sizeof(KSDATAFORMAT_WAVEFORMATEXTENSIBLE) == 104, "KSDATAFORMAT_WAVEFORMATEXTENSIBLE layout");
static_assert(__builtin_offsetof(WAVEFORMATEXTENSIBLE, Samples) == 18, "extension follows the head");
static_assert(__builtin_offsetof(WAVEFORMATEXTENSIBLE, SubFormat) == 24, "SubFormat offset");
#endif

#endif
