/* A host whose SDK declares KSDATAFORMAT_WAVEFORMATEXTENSIBLE in ksmedia.h,
   as the Windows SDK does (mingw-w64 does not): the declaration as the SDK
   writes it comes first, then the public header, which must not declare it
   again. */
#include <windows.h>
#include <ks.h>
#include <ksmedia.h>

typedef struct {
    KSDATAFORMAT DataFormat;
    WAVEFORMATEXTENSIBLE WaveFormatExt;
} KSDATAFORMAT_WAVEFORMATEXTENSIBLE, *PKSDATAFORMAT_WAVEFORMATEXTENSIBLE;

#include <ombapi.h>
#define OMB_TEST_SDK_KSDATAFORMAT_WAVEFORMATEXTENSIBLE
#include "HeaderUse.h"
