// The clock (real or virtual) and the wait core: waiters block on their own
// condition variable and are satisfied directly by the thread that signals,
// as the kernel's wait lists do, so an auto-reset event wakes exactly one.
#include "wait_core.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <list>

namespace standin::kernel {

namespace {

using Steady = std::chrono::steady_clock;

struct Waiter {
    _KTHREAD *thread;
    DISPATCHER_HEADER **objects;
    ULONG count;
    bool waitAll;
    bool hasDeadline;
    LONGLONG deadline; // interrupt time, 100-ns units
    LONG satisfied = -1;
    std::condition_variable wake;
};

struct DispatcherState {
    std::mutex lock;
    std::list<Waiter *> waiters;
    std::condition_variable waitersChanged; // for WaitForBlockedWaiters and AdvanceClock
    bool virtualClock = false;
    LONGLONG virtualNow = 0;
    Steady::time_point boot = Steady::now();
    LONGLONG bootSystemTime = 0; // system time (since 1601) at boot
};

DispatcherState &State() {
    static DispatcherState *state = [] {
        auto s = new DispatcherState;
        timespec ts;
        clock_gettime(CLOCK_REALTIME, &ts);
        constexpr LONGLONG kEpoch1601To1970 = 116444736000000000LL;
        s->bootSystemTime = kEpoch1601To1970 + (LONGLONG)ts.tv_sec * kTicksPerSecond + ts.tv_nsec / 100;
        return s;
    }();
    return *state;
}

LONGLONG RealNow(const DispatcherState &s) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Steady::now() - s.boot).count() / 100;
}

LONGLONG NowLocked(const DispatcherState &s) { return s.virtualClock ? s.virtualNow : RealNow(s); }

bool IsSignalled(const DISPATCHER_HEADER *h, const _KTHREAD *thread) {
    if (h->Type == MutantObject)
        return h->SignalState > 0 || reinterpret_cast<const KMUTEX *>(h)->OwnerThread == thread;
    return h->SignalState > 0;
}

void Consume(DISPATCHER_HEADER *h, _KTHREAD *thread) {
    switch (h->Type) {
    case EventSynchronizationObject:
        h->SignalState = 0;
        break;
    case MutantObject: {
        auto m = reinterpret_cast<KMUTEX *>(h);
        if (m->OwnerThread != thread)
            thread->ownedMutexes.fetch_add(1);
        h->SignalState -= 1;
        m->OwnerThread = thread;
        break;
    }
    default:
        break;
    }
}

bool TrySatisfy(Waiter &w) {
    if (w.count == 0)
        return false;
    if (w.waitAll) {
        for (ULONG i = 0; i < w.count; ++i)
            if (!IsSignalled(w.objects[i], w.thread))
                return false;
        for (ULONG i = 0; i < w.count; ++i)
            Consume(w.objects[i], w.thread);
        w.satisfied = 0;
        return true;
    }
    for (ULONG i = 0; i < w.count; ++i) {
        if (IsSignalled(w.objects[i], w.thread)) {
            Consume(w.objects[i], w.thread);
            w.satisfied = (LONG)i;
            return true;
        }
    }
    return false;
}

size_t CountBlocked(const DispatcherState &s, bool timedOnly) {
    size_t n = 0;
    for (auto *w : s.waiters)
        if (w->satisfied < 0 && (!timedOnly || w->hasDeadline))
            ++n;
    return n;
}

bool AnyExpired(const DispatcherState &s) {
    LONGLONG now = NowLocked(s);
    for (auto *w : s.waiters)
        if (w->hasDeadline && w->deadline <= now)
            return true;
    return false;
}

void ValidateObject(const DISPATCHER_HEADER *h, const char *call) {
    bool ok = false;
    switch (h->Type) {
    case EventNotificationObject:
    case EventSynchronizationObject:
        ok = h->Size == sizeof(KEVENT) / sizeof(LONG);
        break;
    case MutantObject:
        ok = h->Size == sizeof(KMUTEX) / sizeof(LONG);
        break;
    case ThreadObject:
        ok = h->Size == 0xFF;
        break;
    default:
        break;
    }
    if (!ok)
        BugCheck(kDriverVerifierDetectedViolation, call, kViolationBadDispatcherObject, (ULONG_PTR)h, h->Type);
}

// A test that waits for waiters which never come would otherwise hang until
// the test runner's time-out; this ends it with a message instead.
constexpr auto kStuckAfter = std::chrono::seconds(60);

[[noreturn]] void Stuck(const char *what) {
    std::fprintf(stderr, "%s (after %lld s of real time)\n", what, (long long)kStuckAfter.count());
    std::abort();
}

} // namespace

namespace detail {

std::mutex &DispatcherLock() { return State().lock; }

void WakeWaiters() {
    for (auto *w : State().waiters) {
        if (w->satisfied < 0 && TrySatisfy(*w))
            w->wake.notify_one();
    }
}

NTSTATUS Wait(DISPATCHER_HEADER **objects, ULONG count, bool waitAll, const LARGE_INTEGER *timeout,
              const char *call) {
    _KTHREAD *self = CurrentThread();
    KIRQL irql = self->irql;
    bool poll = timeout && timeout->QuadPart == 0;
    // At DISPATCH_LEVEL the processor cannot switch threads: only a poll is
    // allowed there.
    if (irql > DISPATCH_LEVEL || (irql == DISPATCH_LEVEL && !poll))
        BugCheck(kIrqlNotLessOrEqual, call, irql, count, timeout ? (ULONG_PTR)timeout->QuadPart : 0);
    for (ULONG i = 0; i < count; ++i)
        ValidateObject(objects[i], call);

    auto &s = State();
    std::unique_lock lk(s.lock);
    Waiter w;
    w.thread = self;
    w.objects = objects;
    w.count = count;
    w.waitAll = waitAll;
    w.hasDeadline = timeout != nullptr;
    w.deadline = 0;
    if (TrySatisfy(w))
        return STATUS_WAIT_0 + w.satisfied;
    NTSTATUS expired = count ? STATUS_TIMEOUT : STATUS_SUCCESS;
    if (poll)
        return expired;
    if (timeout) {
        LONGLONG now = NowLocked(s);
        w.deadline = timeout->QuadPart < 0 ? now - timeout->QuadPart : timeout->QuadPart - s.bootSystemTime;
        if (w.deadline <= now)
            return expired;
    }
    s.waiters.push_back(&w);
    s.waitersChanged.notify_all();
    NTSTATUS result = expired;
    for (;;) {
        if (w.satisfied >= 0) {
            result = STATUS_WAIT_0 + w.satisfied;
            break;
        }
        if (w.hasDeadline && NowLocked(s) >= w.deadline)
            break;
        if (s.virtualClock || !w.hasDeadline)
            w.wake.wait(lk);
        else
            w.wake.wait_until(lk, s.boot + std::chrono::nanoseconds(w.deadline * 100));
    }
    s.waiters.remove(&w);
    s.waitersChanged.notify_all();
    return result;
}

} // namespace detail

void UseVirtualClock(bool on) {
    auto &s = State();
    std::lock_guard lk(s.lock);
    if (on == s.virtualClock)
        return;
    // Time goes on from where it is, so deadlines already set keep their meaning.
    if (on)
        s.virtualNow = RealNow(s);
    else
        s.boot = Steady::now() - std::chrono::nanoseconds(s.virtualNow * 100);
    s.virtualClock = on;
    for (auto *w : s.waiters)
        w->wake.notify_one();
}

bool IsVirtualClock() {
    auto &s = State();
    std::lock_guard lk(s.lock);
    return s.virtualClock;
}

void AdvanceClock(LONGLONG hundredNs) {
    auto &s = State();
    std::unique_lock lk(s.lock);
    if (!s.virtualClock || hundredNs < 0) {
        std::fprintf(stderr, "AdvanceClock: needs the virtual clock and a non-negative amount\n");
        std::abort();
    }
    s.virtualNow += hundredNs;
    for (auto *w : s.waiters)
        if (w->hasDeadline && w->deadline <= s.virtualNow)
            w->wake.notify_one();
    // Return once every wait this advance ended has left, so that what a
    // test checks next does not race the woken threads.
    if (!s.waitersChanged.wait_for(lk, kStuckAfter, [&] { return !AnyExpired(s); }))
        Stuck("AdvanceClock: a wait that ended did not leave");
}

LONGLONG Now() {
    auto &s = State();
    std::lock_guard lk(s.lock);
    return NowLocked(s);
}

void WaitForBlockedWaiters(size_t count, bool timedOnly) {
    auto &s = State();
    std::unique_lock lk(s.lock);
    if (!s.waitersChanged.wait_for(lk, kStuckAfter, [&] { return CountBlocked(s, timedOnly) >= count; }))
        Stuck("WaitForBlockedWaiters: the expected waiters never blocked");
}

size_t BlockedWaiters(bool timedOnly) {
    auto &s = State();
    std::lock_guard lk(s.lock);
    return CountBlocked(s, timedOnly);
}

} // namespace standin::kernel

using standin::kernel::detail::Wait;

extern "C" LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER frequency) {
    if (frequency)
        frequency->QuadPart = standin::kernel::kTicksPerSecond;
    LARGE_INTEGER now;
    now.QuadPart = standin::kernel::Now();
    return now;
}

extern "C" ULONGLONG KeQueryInterruptTime(void) { return (ULONGLONG)standin::kernel::Now(); }

extern "C" VOID KeQuerySystemTime(PLARGE_INTEGER time) {
    auto &s = standin::kernel::State();
    std::lock_guard lk(s.lock);
    time->QuadPart = s.bootSystemTime + standin::kernel::NowLocked(s);
}

extern "C" NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN,
                                          PLARGE_INTEGER timeout) {
    auto h = static_cast<DISPATCHER_HEADER *>(object);
    return Wait(&h, 1, false, timeout, "KeWaitForSingleObject");
}

extern "C" NTSTATUS KeWaitForMultipleObjects(ULONG count, PVOID objects[], WAIT_TYPE type, KWAIT_REASON,
                                             KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER timeout,
                                             PKWAIT_BLOCK waitBlocks) {
    // Without a wait block array the kernel allows only THREAD_WAIT_OBJECTS.
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || (!waitBlocks && count > THREAD_WAIT_OBJECTS))
        standin::kernel::BugCheck(kMaximumWaitObjectsExceeded, "KeWaitForMultipleObjects", count);
    return Wait(reinterpret_cast<DISPATCHER_HEADER **>(objects), count, type == WaitAll, timeout,
                "KeWaitForMultipleObjects");
}

extern "C" NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER interval) {
    if (!interval)
        standin::kernel::BugCheck(kDriverVerifierDetectedViolation, "KeDelayExecutionThread", 0);
    standin::kernel::detail::RequireIrqlAtMost(APC_LEVEL, "KeDelayExecutionThread");
    return Wait(nullptr, 0, false, interval, "KeDelayExecutionThread");
}
