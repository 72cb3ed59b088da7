/* Stand-in: GUID and its helpers, laid out as on Windows (16 bytes). */
#pragma once

#include <stdint.h>
#include <string.h>

#ifndef GUID_DEFINED
#define GUID_DEFINED
typedef struct _GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
} GUID;
#endif

typedef GUID IID, CLSID, *LPGUID, *LPIID, *LPCLSID;
typedef const GUID *LPCGUID;

#ifdef __cplusplus
#define REFGUID const GUID &
#define REFIID const IID &
#define REFCLSID const IID &
inline bool IsEqualGUID(REFGUID a, REFGUID b)
{
    return memcmp(&a, &b, sizeof(GUID)) == 0;
}
inline bool operator==(REFGUID a, REFGUID b)
{
    return IsEqualGUID(a, b);
}
inline bool operator!=(REFGUID a, REFGUID b)
{
    return !IsEqualGUID(a, b);
}
#define GUID_EXTERN extern "C"
#else
#define REFGUID const GUID *
#define REFIID const IID *
#define REFCLSID const IID *
#define IsEqualGUID(a, b) (!memcmp((a), (b), sizeof(GUID)))
#define GUID_EXTERN extern
#endif
#define IsEqualIID(a, b) IsEqualGUID(a, b)

/* As on Windows: without INITGUID a GUID is only declared, and one
   translation unit of a library defines it. */
#ifdef INITGUID
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
    GUID_EXTERN const GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}
#else
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) GUID_EXTERN const GUID name
#endif

GUID_EXTERN const GUID GUID_NULL;
