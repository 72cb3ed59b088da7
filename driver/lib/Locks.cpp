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

namespace {

// Other threads read Owner while the holder writes it, so every access is
// atomic; only the holder can find itself there, so the test needs no lock.
PKTHREAD ReadOwner(const RecursiveLock &lock)
{
    return static_cast<PKTHREAD>(InterlockedCompareExchangePointer(
        reinterpret_cast<PVOID volatile *>(const_cast<PKTHREAD *>(&lock.Owner)), nullptr, nullptr));
}

void WriteOwner(RecursiveLock &lock, PKTHREAD owner)
{
    InterlockedExchangePointer(reinterpret_cast<PVOID volatile *>(&lock.Owner), owner);
}

} // namespace

void Lock(RecursiveLock &lock)
{
    PKTHREAD self = KeGetCurrentThread();
    if (ReadOwner(lock) != self) {
        lock.Acquire();
        WriteOwner(lock, self);
    }
    ++lock.RecursionCount;
}

void Unlock(RecursiveLock &lock)
{
    if (--lock.RecursionCount == 0) {
        WriteOwner(lock, nullptr);
        lock.Release();
    }
}

bool IsHeldByCurrentThread(const RecursiveLock &lock) { return ReadOwner(lock) == KeGetCurrentThread(); }

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
