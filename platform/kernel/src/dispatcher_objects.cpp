// Events (notification and synchronization) and mutexes (owned, recursive,
// released only by their owner), each under its own object lock.
#include "dispatcher.h"

#include <cstring>

using standin::kernel::BugCheck;
using standin::kernel::detail::CurrentThread;
using standin::kernel::detail::ObjectLock;
using standin::kernel::detail::RequireIrqlAtMost;
using standin::kernel::detail::SignalObject;

namespace {

void InitializeHeader(DISPATCHER_HEADER &header, UCHAR type, UCHAR size, LONG state)
{
    std::memset(&header, 0, sizeof header);
    header.Type = type;
    header.Size = size;
    header.SignalState = state;
    header.WaitListHead.Flink = header.WaitListHead.Blink = &header.WaitListHead;
}

} // namespace

extern "C" VOID KeInitializeEvent(PRKEVENT event, EVENT_TYPE type, BOOLEAN state)
{
    InitializeHeader(event->Header, type == NotificationEvent ? EventNotificationObject : EventSynchronizationObject,
                     sizeof(KEVENT) / sizeof(LONG), state ? 1 : 0);
}

extern "C" LONG KeSetEvent(PRKEVENT event, KPRIORITY, BOOLEAN wait)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "KeSetEvent");
    LONG previous;
    {
        std::lock_guard lk(ObjectLock(event));
        previous = event->Header.SignalState;
        event->Header.SignalState = 1;
        SignalObject(&event->Header);
    }
    standin::kernel::detail::FlushWakes();
    // With Wait TRUE the caller keeps the dispatcher and must wait next.
    if (wait)
        CurrentThread()->waitMustFollow = true;
    return previous;
}

extern "C" VOID KeClearEvent(PRKEVENT event)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "KeClearEvent");
    std::lock_guard lk(ObjectLock(event));
    event->Header.SignalState = 0;
}

extern "C" LONG KeResetEvent(PRKEVENT event)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "KeResetEvent");
    std::lock_guard lk(ObjectLock(event));
    LONG previous = event->Header.SignalState;
    event->Header.SignalState = 0;
    return previous;
}

extern "C" LONG KeReadStateEvent(PRKEVENT event)
{
    std::lock_guard lk(ObjectLock(event));
    return event->Header.SignalState;
}

extern "C" VOID KeInitializeMutex(PRKMUTEX mutex, ULONG)
{
    std::memset(mutex, 0, sizeof(*mutex));
    InitializeHeader(mutex->Header, MutantObject, sizeof(KMUTEX) / sizeof(LONG), 1);
    mutex->ApcDisable = 1;
}

extern "C" LONG KeReleaseMutex(PRKMUTEX mutex, BOOLEAN)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "KeReleaseMutex");
    _KTHREAD *self = CurrentThread();
    std::unique_lock lk(ObjectLock(mutex));
    if (mutex->Header.Type != MutantObject || mutex->OwnerThread != self) {
        auto owner = mutex->OwnerThread;
        lk.unlock();
        BugCheck(kThreadNotMutexOwner, "KeReleaseMutex", (ULONG_PTR)mutex, (ULONG_PTR)owner, (ULONG_PTR)self);
    }
    LONG previous = mutex->Header.SignalState;
    if (++mutex->Header.SignalState == 1) {
        mutex->OwnerThread = nullptr;
        self->ownedMutexes.fetch_sub(1);
        SignalObject(&mutex->Header);
    }
    lk.unlock();
    standin::kernel::detail::FlushWakes();
    return previous;
}

extern "C" LONG KeReadStateMutex(PRKMUTEX mutex)
{
    std::lock_guard lk(ObjectLock(mutex));
    return mutex->Header.SignalState;
}
