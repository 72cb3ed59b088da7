/* Byte-wise reads and copies for blocks that arrive from callers at any
   alignment (a packed block may put a 32-bit field at an odd address). */
#pragma once

#include "KsHeaders.h"

namespace Mosaik {

inline void CopyBytes(void *to, const void *from, SIZE_T count)
{
    auto *t = static_cast<UCHAR *>(to);
    auto *f = static_cast<const UCHAR *>(from);
    for (SIZE_T i = 0; i < count; ++i)
        t[i] = f[i];
}

inline void ZeroBytes(void *to, SIZE_T count)
{
    auto *t = static_cast<UCHAR *>(to);
    for (SIZE_T i = 0; i < count; ++i)
        t[i] = 0;
}

inline bool SameBytes(const void *a, const void *b, SIZE_T count)
{
    auto *x = static_cast<const UCHAR *>(a);
    auto *y = static_cast<const UCHAR *>(b);
    for (SIZE_T i = 0; i < count; ++i)
        if (x[i] != y[i])
            return false;
    return true;
}

// GUIDs are compared as 16 bytes; taken by value so that members of packed
// structures can be passed without forming misaligned references.
inline bool SameGuid(GUID a, GUID b) { return SameBytes(&a, &b, sizeof(GUID)); }

inline USHORT ReadUshort(const UCHAR *p) { return USHORT(p[0] | (p[1] << 8)); }

inline ULONG ReadUlong(const UCHAR *p)
{
    return ULONG(p[0]) | (ULONG(p[1]) << 8) | (ULONG(p[2]) << 16) | (ULONG(p[3]) << 24);
}

inline GUID ReadGuid(const UCHAR *p)
{
    GUID g;
    CopyBytes(&g, p, sizeof g);
    return g;
}

} // namespace Mosaik
