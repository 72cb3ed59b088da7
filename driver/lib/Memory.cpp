// Pool allocation and the replaceable functions behind MemAlloc and MemFree.
#include "KernelHelpers.h"

#include "Bytes.h"
#include "Startup.h"

namespace Mosaik {
namespace {

// From this version on non-paged pool can be non-executable.
constexpr ULONG NoExecutePoolVersion = 0x0602;

VOID FreeToPool(PVOID block) { ExFreePool(block); }

AllocateFunction allocateFunction = PoolAllocate;
FreeFunction freeFunction = FreeToPool;
OutOfMemoryHandler outOfMemoryHandler = nullptr;

} // namespace

PVOID PoolAllocate(SIZE_T size, ULONG flags)
{
    POOL_TYPE type;
    if (flags & PoolPaged)
        type = PagedPool;
    else if ((flags & PoolExecutable) || GetOsVersion() < NoExecutePoolVersion)
        type = NonPagedPool;
    else
        type = NonPagedPoolNx;
    PVOID block = ExAllocatePool(type, size);
    if (block && (flags & PoolZeroed))
        ZeroBytes(block, size);
    return block;
}

void SetAllocator(AllocateFunction allocate, FreeFunction free)
{
    allocateFunction = allocate ? allocate : PoolAllocate;
    freeFunction = free ? free : FreeToPool;
}

void SetOutOfMemoryHandler(OutOfMemoryHandler handler) { outOfMemoryHandler = handler; }

PVOID MemAlloc(SIZE_T size)
{
    for (;;) {
        PVOID block = allocateFunction(size, 0);
        if (block || !outOfMemoryHandler || !outOfMemoryHandler(size))
            return block;
    }
}

VOID MemFree(PVOID block)
{
    if (block)
        freeFunction(block);
}

} // namespace Mosaik
