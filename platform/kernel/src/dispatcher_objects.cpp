// Events (notification and synchronization) and mutexes (owned, recursive,
// released only by their owner).
#include "wait_core.h"

#include <cstring>

using standin::kernel::BugCheck;
using standin::kernel::detail::CurrentThread;
using standin::kernel::detail::DispatcherLock;
using standin::kernel::detail::RequireIrqlAtMost;
using standin::kernel::detail::WakeWaiters;

extern "C" VOID KeInitializeEvent(PRKEVENT event, EVENT_TYPE type, BOOLEAN state) {
    std::memset(event, 0, sizeof(*event));
    event->Header.Type = type == NotificationEvent ? EventNotificationObject : EventSynchronizationObject;
    event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
    event->Header.SignalState = state ? 1 : 0;
    event->Header.WaitListHead.Flink = event->Header.WaitListHead.Blink = &event->Header.WaitListHead;
}

extern "C" LONG KeSetEvent(PRKEVENT event, KPRIORITY, BOOLEAN) {
    RequireIrqlAtMost(DISPATCH_LEVEL, "KeSetEvent");
    std::lock_guard lk(DispatcherLock());
    LONG previous = event->Header.SignalState;
    event->Header.SignalState = 1;
    WakeWaiters();
    return previous;
}

extern "C" VOID KeClearEvent(PRKEVENT event) {
    std::lock_guard lk(DispatcherLock());
    event->Header.SignalState = 0;
}

extern "C" LONG KeResetEvent(PRKEVENT event) {
    RequireIrqlAtMost(DISPATCH_LEVEL, "KeResetEvent");
    std::lock_guard lk(DispatcherLock());
    LONG previous = event->Header.SignalState;
    event->Header.SignalState = 0;
    return previous;
}

extern "C" LONG KeReadStateEvent(PRKEVENT event) {
    std::lock_guard lk(DispatcherLock());
    return event->Header.SignalState;
}

extern "C" VOID KeInitializeMutex(PRKMUTEX mutex, ULONG) {
    std::memset(mutex, 0, sizeof(*mutex));
    mutex->Header.Type = MutantObject;
    mutex->Header.Size = sizeof(KMUTEX) / sizeof(LONG);
    mutex->Header.SignalState = 1;
    mutex->Header.WaitListHead.Flink = mutex->Header.WaitListHead.Blink = &mutex->Header.WaitListHead;
    mutex->ApcDisable = 1;
}

extern "C" LONG KeReleaseMutex(PRKMUTEX mutex, BOOLEAN) {
    RequireIrqlAtMost(DISPATCH_LEVEL, "KeReleaseMutex");
    _KTHREAD *self = CurrentThread();
    std::unique_lock lk(DispatcherLock());
    if (mutex->Header.Type != MutantObject || mutex->OwnerThread != self) {
        auto owner = mutex->OwnerThread;
        lk.unlock();
        BugCheck(kThreadNotMutexOwner, "KeReleaseMutex", (ULONG_PTR)mutex, (ULONG_PTR)owner, (ULONG_PTR)self);
    }
    LONG previous = mutex->Header.SignalState;
    if (++mutex->Header.SignalState == 1) {
        mutex->OwnerThread = nullptr;
        self->ownedMutexes.fetch_sub(1);
        WakeWaiters();
    }
    return previous;
}

extern "C" LONG KeReadStateMutex(PRKMUTEX mutex) {
    std::lock_guard lk(DispatcherLock());
    return mutex->Header.SignalState;
}
