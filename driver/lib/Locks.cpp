// The recursive lock, its two kinds, the mutex wait helper and the bit count.
#include "KernelHelpers.h"

namespace Mosaik {

KernelMutex::KernelMutex() { KeInitializeMutex(&Mutex, 0); }

PVOID KernelMutex::GetDispatcherObject() { return &Mutex; }

void MutexLock::Acquire() { WaitForObject(Mutex, nullptr); }

void MutexLock::Release() { KeReleaseMutex(&Mutex.Mutex, FALSE); }

SpinLock::SpinLock() { KeInitializeSpinLock(&KernelLock); }

void SpinLock::Acquire() { SavedIrql = KeAcquireSpinLockRaiseToDpc(&KernelLock); }

void SpinLock::Release() { KeReleaseSpinLock(&KernelLock, SavedIrql); }

// Only the holder can find itself in Owner, so the test needs no lock.
void Lock(RecursiveLock &lock)
{
    PKTHREAD self = KeGetCurrentThread();
    if (lock.Owner != self) {
        lock.Acquire();
        lock.Owner = self;
    }
    ++lock.RecursionCount;
}

void Unlock(RecursiveLock &lock)
{
    if (--lock.RecursionCount == 0) {
        lock.Owner = nullptr;
        lock.Release();
    }
}

bool WaitForObject(KernelMutex &mutex, PLARGE_INTEGER timeout)
{
    NTSTATUS status = KeWaitForSingleObject(mutex.GetDispatcherObject(), Executive, KernelMode, FALSE, timeout);
    if (status == STATUS_SUCCESS)
        return true;
    // Anything but a time-out (an abandoned mutex, an alert) is a fault worth
    // stopping for, debugger or not.
    if (status != STATUS_TIMEOUT)
        DbgBreakPoint();
    return false;
}

ULONG CountBits(ULONG value)
{
    ULONG count = 0;
    for (; value; value &= value - 1)
        ++count;
    return count;
}

} // namespace Mosaik
