/* Kernel helpers: pool allocation, an intrusive doubly linked list, the
   recursive lock with its mutex and spin-lock kinds, a wait helper and a bit
   count. */
#pragma once

#include "KsHeaders.h"

namespace Mosaik {

// ---- Memory -----------------------------------------------------------------

// PoolAllocate flags.
constexpr ULONG PoolPaged = 0x1;
constexpr ULONG PoolZeroed = 0x2;
constexpr ULONG PoolExecutable = 0x4; // executable non-paged pool

// Paged pool with PoolPaged; else plain non-paged pool when executable code
// is asked for or the system predates no-execute pool (6.2), else
// NonPagedPoolNx. PoolZeroed clears the block.
PVOID PoolAllocate(SIZE_T size, ULONG flags);

using AllocateFunction = PVOID (*)(SIZE_T size, ULONG flags);
using FreeFunction = VOID (*)(PVOID block);
// Called with the size of a failed allocation; non-zero asks for a retry.
using OutOfMemoryHandler = int (*)(SIZE_T size);

// Replace the functions behind MemAlloc and MemFree (null restores
// PoolAllocate and ExFreePool) and install an out-of-memory handler (null:
// none, an allocation is tried once).
void SetAllocator(AllocateFunction allocate, FreeFunction free);
void SetOutOfMemoryHandler(OutOfMemoryHandler handler);

// Non-paged, not cleared; null on failure. Every driver object comes from here.
PVOID MemAlloc(SIZE_T size);
// Null does nothing.
VOID MemFree(PVOID block);

// A base for driver objects: their new and delete go through MemAlloc and
// MemFree in every build (the Windows image also routes the global ones
// there; on Linux the host's global ones stay, so this keeps driver objects
// in the kernel stand-in's pool accounting). A failed new gives null.
struct PoolAllocated {
    static void *operator new(size_t size) noexcept { return MemAlloc(size); }
    static void operator delete(void *block) noexcept { MemFree(block); }
};

// ---- Lists (not locked: callers hold their own lock) --------------------------

// Placed at the start of every list entry; both pointers null when the node
// is on no list.
struct ListNode {
    ListNode *Previous = nullptr;
    ListNode *Next = nullptr;
};

struct ListHead {
    ListNode *First = nullptr;
    ListNode *Last = nullptr;
    ULONG Count = 0;

    void Init();
    void PushBack(ListNode *node);
    // The node must be on this list; returns it.
    ListNode *Remove(ListNode *node);
    // The first node, taken off the list; null when the list is empty.
    ListNode *PopFront();
};

// ---- Locks --------------------------------------------------------------------

// A lock the holding thread may take again: the library counts recursion and
// takes the underlying lock once, through Acquire and Release.
class RecursiveLock {
public:
    virtual ~RecursiveLock() = default;
    virtual void Acquire() = 0;
    virtual void Release() = 0;

    ULONG RecursionCount = 0;
    PKTHREAD Owner = nullptr; // null when free
};

// A kernel mutex behind a small object (the mutex must not move once
// initialised, so it is never copied).
class KernelMutex {
public:
    KernelMutex();
    virtual ~KernelMutex() = default;
    virtual PVOID GetDispatcherObject();

    KernelMutex(const KernelMutex &) = delete;
    KernelMutex &operator=(const KernelMutex &) = delete;

    KMUTEX Mutex;
};

// May be held across waits.
class MutexLock : public RecursiveLock {
public:
    void Acquire() override;
    void Release() override;

    KernelMutex Mutex;
};

// Holders run at dispatch level between Lock and the matching Unlock: nothing
// that waits or touches paged memory may run under it.
class SpinLock : public RecursiveLock {
public:
    SpinLock();
    void Acquire() override;
    void Release() override;

    KSPIN_LOCK KernelLock;
    KIRQL SavedIrql = PASSIVE_LEVEL;
};

void Lock(RecursiveLock &lock);
// The caller must hold the lock; the last Unlock releases it.
void Unlock(RecursiveLock &lock);
// True when the calling thread holds the lock.
bool IsHeldByCurrentThread(const RecursiveLock &lock);

// Waits for the mutex (no time-out when `timeout` is null; kernel relative or
// absolute time otherwise). True when it was acquired.
bool WaitForObject(KernelMutex &mutex, PLARGE_INTEGER timeout);

// ---- Bits -----------------------------------------------------------------------

ULONG CountBits(ULONG value);

} // namespace Mosaik
