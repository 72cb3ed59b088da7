// The per-thread interrupt request level and spin locks. A spin lock holds
// its owner's thread so that releasing it from the wrong thread is caught.
#include "internal.h"

#include <sched.h>

using standin::kernel::BugCheck;
using standin::kernel::detail::CurrentThread;

namespace standin::kernel::detail {

void RequireIrqlAtMost(KIRQL maximum, const char *call)
{
    _KTHREAD *self = CurrentThread();
    // KeSetEvent with Wait TRUE must be followed by a wait, nothing else.
    if (self->waitMustFollow)
        BugCheck(kDriverVerifierDetectedViolation, call, kViolationWaitDidNotFollowSetEvent, (ULONG_PTR)self);
    KIRQL irql = self->irql;
    if (irql > maximum)
        BugCheck(kIrqlNotLessOrEqual, call, irql, maximum);
}

} // namespace standin::kernel::detail

extern "C" KIRQL KeGetCurrentIrql(void)
{
    return CurrentThread()->irql;
}

extern "C" VOID KeRaiseIrql(KIRQL newIrql, PKIRQL oldIrql)
{
    _KTHREAD *self = CurrentThread();
    if (newIrql < self->irql || newIrql > HIGH_LEVEL)
        BugCheck(kIrqlNotGreaterOrEqual, "KeRaiseIrql", self->irql, newIrql);
    *oldIrql = self->irql;
    self->irql = newIrql;
}

extern "C" VOID KeLowerIrql(KIRQL newIrql)
{
    _KTHREAD *self = CurrentThread();
    if (newIrql > self->irql)
        BugCheck(kIrqlNotLessOrEqual, "KeLowerIrql", self->irql, newIrql);
    self->irql = newIrql;
}

extern "C" KIRQL KeRaiseIrqlToDpcLevel(void)
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    return old;
}

extern "C" VOID KeInitializeSpinLock(PKSPIN_LOCK lock)
{
    __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
}

extern "C" VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK lock)
{
    _KTHREAD *self = CurrentThread();
    if (self->irql < DISPATCH_LEVEL)
        BugCheck(kIrqlNotGreaterOrEqual, "KeAcquireSpinLockAtDpcLevel", (ULONG_PTR)lock, self->irql);
    auto me = (KSPIN_LOCK)self;
    if (__atomic_load_n(lock, __ATOMIC_RELAXED) == me)
        BugCheck(kSpinLockAlreadyOwned, "KeAcquireSpinLock", (ULONG_PTR)lock);
    for (;;) {
        KSPIN_LOCK expected = 0;
        if (__atomic_compare_exchange_n(lock, &expected, me, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED))
            return;
        // The holder is a thread like any other here; let it run.
        sched_yield();
    }
}

extern "C" KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK lock)
{
    _KTHREAD *self = CurrentThread();
    if (self->irql > DISPATCH_LEVEL)
        BugCheck(kIrqlNotLessOrEqual, "KeAcquireSpinLock", (ULONG_PTR)lock, self->irql);
    KIRQL old = self->irql;
    self->irql = DISPATCH_LEVEL;
    KeAcquireSpinLockAtDpcLevel(lock);
    return old;
}

extern "C" VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK lock)
{
    _KTHREAD *self = CurrentThread();
    if (self->irql != DISPATCH_LEVEL)
        BugCheck(kIrqlNotGreaterOrEqual, "KeReleaseSpinLock", (ULONG_PTR)lock, self->irql, DISPATCH_LEVEL);
    if (__atomic_load_n(lock, __ATOMIC_RELAXED) != (KSPIN_LOCK)self)
        BugCheck(kSpinLockNotOwned, "KeReleaseSpinLock", (ULONG_PTR)lock, __atomic_load_n(lock, __ATOMIC_RELAXED));
    __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
}

extern "C" VOID KeReleaseSpinLock(PKSPIN_LOCK lock, KIRQL newIrql)
{
    KeReleaseSpinLockFromDpcLevel(lock);
    if (newIrql > DISPATCH_LEVEL)
        BugCheck(kIrqlNotLessOrEqual, "KeReleaseSpinLock", (ULONG_PTR)lock, newIrql);
    CurrentThread()->irql = newIrql;
}
