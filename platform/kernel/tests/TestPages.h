// Pages for the kernel tests: whole zero-filled pages anywhere in physical
// memory, as drivers ask for them.
#pragma once

#include <wdm.h>

inline PMDL AllocatePages(SIZE_T bytes)
{
    PHYSICAL_ADDRESS low, high, skip;
    low.QuadPart = 0;
    high.QuadPart = -1;
    skip.QuadPart = 0;
    return MmAllocatePagesForMdl(low, high, skip, bytes);
}
