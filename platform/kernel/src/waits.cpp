// The clock (real, manual or self-advancing virtual time) with its timers,
// the machine's accounting of running threads, and the wait core: each
// object has its own lock, a waiter sleeps on its own futex word and is
// satisfied directly by the thread that signals, as the kernel's wait lists
// do, so an auto-reset event wakes exactly one.
#include "dispatcher.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <linux/futex.h>
#include <sched.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

namespace standin::kernel {

namespace {

using detail::WaitBlock;
using detail::Waiter;

LONGLONG MonotonicNow()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (LONGLONG)ts.tv_sec * kTicksPerSecond + ts.tv_nsec / 100;
}

struct ClockState {
    std::atomic<int> mode{(int)ClockMode::Real};
    std::atomic<LONGLONG> virtualNow{0};
    std::atomic<LONGLONG> bootOffset{0}; // real time = monotonic - bootOffset
    LONGLONG bootSystemTime = 0;         // system time (since 1601) at boot
    std::atomic<LONGLONG> frequency{kTicksPerSecond};

    std::mutex lock; // timers, advancing, mode changes, timer resolutions
    std::multimap<LONGLONG, Waiter *> timers;

    // The machine's accounting.
    std::atomic<long> running{0};
    std::atomic<long> blockedTimed{0};
    std::atomic<long> blockedAll{0};
    std::atomic<long> wokenNotLeft{0};
    std::atomic<long> looking{0}; // unclaimed waiters looking for their wake before they sleep
    std::atomic<long> outsideWaits{0};
    std::atomic<long> deferredExits{0};
    std::atomic<bool> deferExits{false};

    // Observers (WaitForBlockedWaiters, AdvanceClock) sleep on this.
    std::atomic<int> observers{0};
    std::mutex observerLock;
    std::condition_variable observerChanged;
};

ClockState &Clock()
{
    static ClockState *state = [] {
        auto s = new ClockState;
        timespec ts;
        clock_gettime(CLOCK_REALTIME, &ts);
        constexpr LONGLONG kEpoch1601To1970 = 116444736000000000LL;
        s->bootSystemTime = kEpoch1601To1970 + (LONGLONG)ts.tv_sec * kTicksPerSecond + ts.tv_nsec / 100;
        s->bootOffset = MonotonicNow();
        return s;
    }();
    return *state;
}

KEVENT &ExitGate()
{
    static KEVENT *gate = [] {
        auto e = new KEVENT;
        KeInitializeEvent(e, SynchronizationEvent, FALSE);
        return e;
    }();
    return *gate;
}

LONGLONG RealNow(const ClockState &c)
{
    return MonotonicNow() - c.bootOffset.load(std::memory_order_relaxed);
}

ClockMode Mode(const ClockState &c)
{
    return (ClockMode)c.mode.load(std::memory_order_acquire);
}

void NotifyObservers()
{
    auto &c = Clock();
    if (c.observers.load() == 0)
        return;
    std::lock_guard lk(c.observerLock);
    c.observerChanged.notify_all();
}

void FutexWait(std::atomic<uint32_t> *word, uint32_t expected, const timespec *relative)
{
    syscall(SYS_futex, reinterpret_cast<uint32_t *>(word), FUTEX_WAIT_PRIVATE, expected, relative, nullptr, 0);
}

void FutexWake(std::atomic<uint32_t> *word)
{
    syscall(SYS_futex, reinterpret_cast<uint32_t *>(word), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

// Wakes of waiters claimed while a lock was held, made once it is released:
// a waiter woken while its waker still holds the lock it needs would only
// sleep again on that lock. The waiter sees its wake word at once; only the
// system call waits (a late one on a word no longer in use wakes nobody, or
// one sleeper that looks again and sleeps on).
// Plain arrays, not a container: a thread's last wakes happen while its
// thread-local objects are being destroyed (a foreign thread retiring), and
// these must still be usable then. When full, a wake is made at once.
constexpr unsigned kPendingWakesMax = 64;
thread_local std::atomic<uint32_t> *t_pendingWakes[kPendingWakesMax];
thread_local unsigned t_pendingWakeCount = 0;

// The bookkeeping of a claim of a waiter's outcome, after the claimer set the
// outcome and did all it does to the waiter's objects and blocks: the wake
// comes last, since a waiter on one object returns without a lock once woken.
void Claimed(Waiter &w)
{
    auto &c = Clock();
    c.blockedAll.fetch_sub(1);
    if (w.hasDeadline)
        c.blockedTimed.fetch_sub(1);
    c.wokenNotLeft.fetch_add(1);
    detail::Unblocked();
    detail::WakeWaiter(w);
}

bool TryClaim(Waiter &w, int32_t outcome)
{
    int32_t expected = detail::kWaiting;
    return w.outcome.compare_exchange_strong(expected, outcome, std::memory_order_acq_rel);
}

bool Claim(Waiter &w, int32_t outcome)
{
    if (!TryClaim(w, outcome))
        return false;
    Claimed(w);
    return true;
}

// Counts a waiter as blocked, a timed one together with its timer under the
// clock's lock: an observer that sees it counted and then moves the clock
// (under that lock) always finds its timer. Were the count to come first, the
// observer could move the clock past the deadline before the timer was
// listed, as often as it liked while the waiter was descheduled, and the
// wait would end only at some later advance. A virtual clock already at or
// past the deadline (moved on since the deadline was set) ends the wait at
// once. `again`: a wait-all that found its objects unsignalled waits on.
void CountBlocked(ClockState &c, Waiter &w, bool again)
{
    std::unique_lock lk(c.lock, std::defer_lock);
    if (w.hasDeadline) {
        lk.lock();
        if (!w.timerLinked) {
            w.timer = c.timers.emplace(w.deadline, &w);
            w.timerLinked = true;
        }
        c.blockedTimed.fetch_add(1);
    }
    c.blockedAll.fetch_add(1);
    if (again) {
        w.woken.store(detail::kAwake);
        w.outcome.store(detail::kWaiting, std::memory_order_release);
    }
    if (w.hasDeadline && Mode(c) != ClockMode::Real && w.deadline <= c.virtualNow.load())
        Claim(w, detail::kTimedOut);
}

// In the self-advancing mode a wait mostly ends a few microseconds of real
// time after it began: the other threads block, the clock moves on, and the
// last of them claims this one. So a waiter looks for its wake for a while
// before it sleeps, and a hand-over between two threads then costs neither
// side a system call. At most as many waiters look as there are processors,
// each for a bounded time. A looker gives way to any other thread on its
// processor once it has looked a while, or at once while lookers and running
// threads together outnumber the processors (a claimed waiter counts as
// running from its claim on, so its claimer takes it off the lookers): a
// thread that runs is never kept long from a processor by one that looks.
constexpr LONGLONG kLookFor = 500;   // 50 us in all,
constexpr LONGLONG kLookAlone = 100; // the first 10 us without giving way

void CpuRelax()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

void LookForWake(ClockState &c, Waiter &w)
{
    if (Mode(c) != ClockMode::Simulated)
        return;
    static const long processors = std::max(1u, std::thread::hardware_concurrency());
    if (c.looking.fetch_add(1) >= processors) {
        c.looking.fetch_sub(1);
        return;
    }
    uint32_t word = detail::kAwake;
    if (!w.woken.compare_exchange_strong(word, detail::kLooking, std::memory_order_acq_rel)) {
        c.looking.fetch_sub(1); // claimed already
        return;
    }
    const LONGLONG began = MonotonicNow();
    for (unsigned i = 1; w.woken.load(std::memory_order_acquire) == detail::kLooking; ++i) {
        if (i % 64 == 0) {
            const LONGLONG looked = MonotonicNow() - began;
            if (looked >= kLookFor)
                break;
            if (looked >= kLookAlone || c.looking.load() + c.running.load() > processors)
                sched_yield();
        }
        CpuRelax();
    }
    word = detail::kLooking;
    if (w.woken.compare_exchange_strong(word, detail::kAwake, std::memory_order_acq_rel))
        c.looking.fetch_sub(1); // not claimed: it goes to sleep
}

// ---- Dispatcher objects -------------------------------------------------------

std::array<std::mutex, 64> &ObjectLocks()
{
    static auto *locks = new std::array<std::mutex, 64>;
    return *locks;
}

size_t LockIndex(const void *object)
{
    return ((uintptr_t)object >> 4) * 0x9E3779B97F4A7C15ull >> 58;
}

// Locks the objects' locks in index order (each once).
class ObjectsLocked {
public:
    ObjectsLocked(DISPATCHER_HEADER **objects, ULONG count)
    {
        for (ULONG i = 0; i < count; ++i)
            indices_[n_++] = LockIndex(objects[i]);
        std::sort(indices_, indices_ + n_);
        n_ = std::unique(indices_, indices_ + n_) - indices_;
        for (size_t i = 0; i < n_; ++i)
            ObjectLocks()[indices_[i]].lock();
    }
    ~ObjectsLocked() { Unlock(); }
    void Unlock()
    {
        for (size_t i = n_; i > 0; --i)
            ObjectLocks()[indices_[i - 1]].unlock();
        n_ = 0;
    }

private:
    size_t indices_[MAXIMUM_WAIT_OBJECTS];
    size_t n_ = 0;
};

bool IsSignalled(const DISPATCHER_HEADER *h, const _KTHREAD *thread)
{
    if (h->Type == MutantObject)
        return h->SignalState > 0 || reinterpret_cast<const KMUTEX *>(h)->OwnerThread == thread;
    return h->SignalState > 0;
}

void Consume(DISPATCHER_HEADER *h, _KTHREAD *thread)
{
    switch (h->Type) {
    case EventSynchronizationObject: h->SignalState = 0; break;
    case MutantObject: {
        auto m = reinterpret_cast<KMUTEX *>(h);
        if (m->OwnerThread != thread)
            thread->ownedMutexes.fetch_add(1);
        h->SignalState -= 1;
        m->OwnerThread = thread;
        break;
    }
    default: break;
    }
}

// With the objects locked: satisfies the wait now if it can (index, or -1).
LONG TrySatisfy(DISPATCHER_HEADER **objects, ULONG count, bool waitAll, _KTHREAD *thread)
{
    if (count == 0)
        return -1;
    if (waitAll) {
        for (ULONG i = 0; i < count; ++i)
            if (!IsSignalled(objects[i], thread))
                return -1;
        for (ULONG i = 0; i < count; ++i)
            Consume(objects[i], thread);
        return 0;
    }
    for (ULONG i = 0; i < count; ++i) {
        if (IsSignalled(objects[i], thread)) {
            Consume(objects[i], thread);
            return (LONG)i;
        }
    }
    return -1;
}

void ValidateObject(const DISPATCHER_HEADER *h, const char *call)
{
    bool ok = false;
    switch (h->Type) {
    case EventNotificationObject:
    case EventSynchronizationObject: ok = h->Size == sizeof(KEVENT) / sizeof(LONG); break;
    case MutantObject: ok = h->Size == sizeof(KMUTEX) / sizeof(LONG); break;
    case ThreadObject: ok = h->Size == 0xFF; break;
    case ProcessObject: ok = h->Size == 0xFE; break;
    default: break;
    }
    if (!ok)
        BugCheck(kDriverVerifierDetectedViolation, call, kViolationBadDispatcherObject, (ULONG_PTR)h, h->Type);
}

void InitializeList(LIST_ENTRY &head)
{
    if (head.Flink == nullptr)
        head.Flink = head.Blink = &head;
}

void Link(LIST_ENTRY &head, LIST_ENTRY &entry)
{
    InitializeList(head);
    entry.Blink = head.Blink;
    entry.Flink = &head;
    head.Blink->Flink = &entry;
    head.Blink = &entry;
}

void Unlink(LIST_ENTRY &entry)
{
    entry.Blink->Flink = entry.Flink;
    entry.Flink->Blink = entry.Blink;
    entry.Flink = entry.Blink = nullptr;
}

// A test that waits for waiters which never come would otherwise hang until
// the test runner's time-out; this ends it with a message instead.
constexpr auto kStuckAfter = std::chrono::seconds(60);

[[noreturn]] void Stuck(const char *what)
{
    std::fprintf(stderr, "%s (after %lld s of real time)\n%s", what, (long long)kStuckAfter.count(),
                 DescribeThreads().c_str());
    std::abort();
}

// Waits for an observed condition of the accounting, really (no polling).
template <typename Predicate>
void Observe(Predicate done, const char *stuck)
{
    auto &c = Clock();
    c.observers.fetch_add(1);
    {
        std::unique_lock lk(c.observerLock);
        if (!c.observerChanged.wait_for(lk, kStuckAfter, done)) {
            lk.unlock();
            Stuck(stuck);
        }
    }
    c.observers.fetch_sub(1);
}

// Claims every timer due at `now` (clock lock held).
void ExpireTimers(ClockState &c, LONGLONG now)
{
    for (auto it = c.timers.begin(); it != c.timers.end() && it->first <= now; ++it)
        Claim(*it->second, detail::kTimedOut);
}

// With the clock lock held and nothing running: what the machine does next.
void IdleLocked(ClockState &c, std::unique_lock<std::mutex> &lk)
{
    if (c.running.load() != 0)
        return;
    if (c.deferredExits.load() > 0) {
        lk.unlock();
        KeSetEvent(&ExitGate(), IO_NO_INCREMENT, FALSE);
        return;
    }
    if (Mode(c) != ClockMode::Simulated)
        return;
    for (auto &[deadline, w] : c.timers) {
        if (w->outcome.load() != detail::kWaiting)
            continue;
        if (deadline > c.virtualNow.load())
            c.virtualNow.store(deadline, std::memory_order_release);
        ExpireTimers(c, c.virtualNow.load());
        return;
    }
    if (c.outsideWaits.load() > 0)
        return; // a thread waits for something outside the machine
    lk.unlock();
    std::fprintf(stderr, "*** deadlock: every thread of the machine waits and no wait has a deadline\n%s",
                 DescribeThreads().c_str());
    std::fflush(stderr);
    std::abort();
}

const char *ObjectKind(const DISPATCHER_HEADER *h)
{
    switch (h->Type) {
    case EventNotificationObject: return "notification event";
    case EventSynchronizationObject: return "synchronization event";
    case MutantObject: return "mutex";
    case ThreadObject: return "thread";
    case ProcessObject: return "process";
    default: return "object";
    }
}

} // namespace

namespace detail {

std::mutex &ObjectLock(const void *object)
{
    return ObjectLocks()[LockIndex(object)];
}

LONGLONG NowInternal()
{
    auto &c = Clock();
    return Mode(c) == ClockMode::Real ? RealNow(c) : c.virtualNow.load(std::memory_order_acquire);
}

void ThreadStartsRunning(_KTHREAD *)
{
    Clock().running.fetch_add(1);
}

// A thread that ends runs no more, as one that blocks.
void ThreadStopsRunning(_KTHREAD *)
{
    Blocking();
}

void Blocking()
{
    auto &c = Clock();
    if (c.running.fetch_sub(1) == 1) {
        std::unique_lock lk(c.lock);
        IdleLocked(c, lk);
    }
    detail::FlushWakes();
    NotifyObservers();
}

void Unblocked()
{
    Clock().running.fetch_add(1);
}

void WakeWaiter(Waiter &w)
{
    switch (w.woken.exchange(kWoken, std::memory_order_acq_rel)) {
    case kAsleep: break;
    case kLooking: Clock().looking.fetch_sub(1); return; // it sees the word at once
    default: return;                                     // it has not gone to sleep yet
    }
    if (t_pendingWakeCount < kPendingWakesMax)
        t_pendingWakes[t_pendingWakeCount++] = &w.woken;
    else
        FutexWake(&w.woken);
}

void FlushWakes()
{
    for (unsigned i = 0; i < t_pendingWakeCount; ++i)
        FutexWake(t_pendingWakes[i]);
    t_pendingWakeCount = 0;
}

void SignalObject(DISPATCHER_HEADER *object)
{
    if (object->WaitListHead.Flink == nullptr)
        return;
    for (LIST_ENTRY *e = object->WaitListHead.Flink, *next; e != &object->WaitListHead; e = next) {
        next = e->Flink;
        auto block = CONTAINING_RECORD(e, WaitBlock, entry);
        Waiter &w = *block->waiter;
        if (w.outcome.load(std::memory_order_acquire) != kWaiting)
            continue;
        if (w.waitAll) {
            Claim(w, kRecheck); // it checks its other objects itself, under their locks
            continue;
        }
        if (!IsSignalled(object, w.thread))
            continue;
        // The object is consumed and the claimed block leaves the list here,
        // under the object's lock and before the wake, so a waiter on this
        // object alone needs no lock once it is woken.
        if (TryClaim(w, (int32_t)(block - w.blocks))) {
            Consume(object, w.thread);
            Unlink(block->entry);
            Claimed(w);
        }
    }
}

void ReleaseUserWait(_KTHREAD *thread)
{
    {
        std::lock_guard lk(thread->waitLock);
        if (thread->wait != nullptr && thread->wait->userMode)
            Claim(*thread->wait, kTerminated);
    }
    FlushWakes();
}

void DeferredExitGate()
{
    auto &c = Clock();
    if (!c.deferExits.load())
        return;
    c.deferredExits.fetch_add(1);
    DISPATCHER_HEADER *gate = &ExitGate().Header;
    Wait(&gate, 1, false, nullptr, KernelMode, "thread exit (deferred until the machine is idle)");
    c.deferredExits.fetch_sub(1);
}

NTSTATUS Wait(DISPATCHER_HEADER **objects, ULONG count, bool waitAll, const LARGE_INTEGER *timeout,
              KPROCESSOR_MODE mode, const char *call)
{
    _KTHREAD *self = CurrentThread();
    const bool mustFollow = self->waitMustFollow;
    self->waitMustFollow = false;
    KIRQL irql = self->irql;
    bool poll = timeout && timeout->QuadPart == 0;
    // At DISPATCH_LEVEL the processor cannot switch threads: only a poll is
    // allowed there.
    if (!mustFollow && (irql > DISPATCH_LEVEL || (irql == DISPATCH_LEVEL && !poll)))
        BugCheck(kIrqlNotLessOrEqual, call, irql, count, timeout ? (ULONG_PTR)timeout->QuadPart : 0);
    for (ULONG i = 0; i < count; ++i)
        ValidateObject(objects[i], call);
    if (mode == UserMode && self->terminating.load())
        return STATUS_USER_APC;

    auto &c = Clock();
    WaitBlock blocks[MAXIMUM_WAIT_OBJECTS];
    Waiter w;
    w.thread = self;
    w.call = call;
    w.objects = objects;
    w.blocks = blocks;
    w.count = count;
    w.waitAll = waitAll;
    w.userMode = mode == UserMode;
    w.hasDeadline = timeout != nullptr;

    ObjectsLocked locked(objects, count);
    LONG index = TrySatisfy(objects, count, waitAll, self);
    if (index >= 0)
        return STATUS_WAIT_0 + index;
    const NTSTATUS expired = count ? STATUS_TIMEOUT : STATUS_SUCCESS;
    if (poll)
        return expired;
    if (timeout) {
        LONGLONG now = NowInternal();
        w.deadline = timeout->QuadPart < 0 ? now - timeout->QuadPart : timeout->QuadPart - c.bootSystemTime;
        if (w.deadline <= now)
            return expired;
        if (Mode(c) == ClockMode::Real) {
            // Real time-outs expire on the ticks of the timer resolution.
            LONGLONG tick = TimerResolution(CurrentProcess());
            w.deadline = (w.deadline + tick - 1) / tick * tick;
        }
    }
    for (ULONG i = 0; i < count; ++i) {
        blocks[i] = {{nullptr, nullptr}, &w, objects[i]};
        Link(objects[i]->WaitListHead, blocks[i].entry);
    }
    {
        std::lock_guard lk(self->waitLock);
        if (w.userMode && self->terminating.load()) {
            for (ULONG i = 0; i < count; ++i)
                Unlink(blocks[i].entry);
            return STATUS_USER_APC;
        }
        self->wait = &w;
    }
    CountBlocked(c, w, false);
    locked.Unlock();
    Blocking();

    int32_t outcome;
    for (;;) {
        LookForWake(c, w);
        for (uint32_t word; (word = w.woken.load(std::memory_order_acquire)) != kWoken;) {
            if (word == kAwake && !w.woken.compare_exchange_strong(word, kAsleep, std::memory_order_acq_rel))
                continue; // woken meanwhile
            if (w.hasDeadline && Mode(c) == ClockMode::Real) {
                LONGLONG left = w.deadline - RealNow(c);
                if (left <= 0) {
                    std::lock_guard lk(c.lock); // as an advance would
                    Claim(w, kTimedOut);
                    t_pendingWakeCount = 0; // its own wake: no call needed
                    continue;
                }
                timespec rel{(time_t)(left / kTicksPerSecond), (long)(left % kTicksPerSecond) * 100};
                FutexWait(&w.woken, kAsleep, &rel);
            } else {
                FutexWait(&w.woken, kAsleep, nullptr);
            }
        }
        outcome = w.outcome.load(std::memory_order_acquire);
        if (outcome != kRecheck)
            break;
        // A wait-all: take every object's lock and look at all of them.
        ObjectsLocked again(objects, count);
        if (TrySatisfy(objects, count, true, self) >= 0) {
            outcome = 0;
            break;
        }
        // Not yet: wait on, as before.
        c.wokenNotLeft.fetch_sub(1);
        CountBlocked(c, w, true);
        again.Unlock();
        Blocking();
    }
    // A block the signaller claimed it by has left its list already; the
    // others leave here, under their objects' locks.
    if (!(count == 1 && outcome == 0 && !waitAll)) {
        ObjectsLocked unlink(objects, count);
        for (ULONG i = 0; i < count; ++i)
            if (blocks[i].entry.Flink != nullptr)
                Unlink(blocks[i].entry);
    }
    if (w.timerLinked) {
        std::lock_guard lk(c.lock);
        c.timers.erase(w.timer);
    }
    {
        std::lock_guard lk(self->waitLock);
        self->wait = nullptr;
    }
    c.wokenNotLeft.fetch_sub(1);
    NotifyObservers();
    switch (outcome) {
    case kTimedOut: return expired;
    case kTerminated: return STATUS_USER_APC;
    default: return STATUS_WAIT_0 + outcome;
    }
}

} // namespace detail

// ---- Control of the clock ---------------------------------------------------

void SetClockMode(ClockMode mode)
{
    detail::CurrentThread(); // the caller is one of the machine's threads from now on
    auto &c = Clock();
    std::unique_lock lk(c.lock);
    ClockMode old = Mode(c);
    if (mode == old)
        return;
    // Time goes on from where it is, so deadlines already set keep their meaning.
    if (old == ClockMode::Real)
        c.virtualNow = RealNow(c);
    else if (mode == ClockMode::Real)
        c.bootOffset = MonotonicNow() - c.virtualNow.load();
    c.mode.store((int)mode, std::memory_order_release);
    // Sleepers with a deadline look at the new mode.
    for (auto &[deadline, w] : c.timers)
        FutexWake(&w->woken);
    if (mode == ClockMode::Simulated)
        IdleLocked(c, lk);
    if (lk.owns_lock())
        lk.unlock();
    detail::FlushWakes();
}

ClockMode GetClockMode()
{
    return Mode(Clock());
}

void UseVirtualClock(bool on)
{
    SetClockMode(on ? ClockMode::Manual : ClockMode::Real);
}

bool IsVirtualClock()
{
    return Mode(Clock()) != ClockMode::Real;
}

void AdvanceClock(LONGLONG hundredNs)
{
    auto &c = Clock();
    {
        std::lock_guard lk(c.lock);
        if (Mode(c) == ClockMode::Real || hundredNs < 0) {
            std::fprintf(stderr, "AdvanceClock: needs the virtual clock and a non-negative amount\n");
            std::abort();
        }
        c.virtualNow.fetch_add(hundredNs);
        ExpireTimers(c, c.virtualNow.load());
    }
    detail::FlushWakes();
    // Return once every wait this advance ended has left, so that what a
    // test checks next does not race the woken threads.
    Observe([&] { return c.wokenNotLeft.load() == 0; }, "AdvanceClock: a wait that ended did not leave");
}

LONGLONG Now()
{
    return detail::NowInternal();
}

void SetPerformanceFrequency(LONGLONG hertz)
{
    if (hertz <= 0) {
        std::fprintf(stderr, "SetPerformanceFrequency: the frequency must be positive\n");
        std::abort();
    }
    Clock().frequency.store(hertz);
}

LONGLONG PerformanceFrequency()
{
    return Clock().frequency.load();
}

void WaitForBlockedWaiters(size_t count, bool timedOnly)
{
    auto &c = Clock();
    Observe([&] { return (size_t)(timedOnly ? c.blockedTimed.load() : c.blockedAll.load()) >= count; },
            "WaitForBlockedWaiters: the expected waiters never blocked");
}

size_t BlockedWaiters(bool timedOnly)
{
    auto &c = Clock();
    return (size_t)(timedOnly ? c.blockedTimed.load() : c.blockedAll.load());
}

void RequestTimerResolution(PEPROCESS process, LONGLONG period)
{
    std::lock_guard lk(Clock().lock);
    ++process->timerPeriods[period];
}

void ReleaseTimerResolution(PEPROCESS process, LONGLONG period)
{
    std::lock_guard lk(Clock().lock);
    auto it = process->timerPeriods.find(period);
    if (it != process->timerPeriods.end() && --it->second <= 0)
        process->timerPeriods.erase(it);
}

LONGLONG TimerResolution(PEPROCESS process)
{
    std::lock_guard lk(Clock().lock);
    LONGLONG finest = detail::kDefaultTimerResolution;
    auto finestOf = [&](PEPROCESS p) {
        if (!p->timerPeriods.empty())
            finest = std::min(finest, p->timerPeriods.begin()->first);
    };
    // The system's own threads get the finest any process asked for: the
    // clock interrupt runs at that rate for everyone.
    if (process->system) {
        for (PEPROCESS p : detail::AllProcesses())
            finestOf(p);
    } else {
        finestOf(process);
    }
    return finest;
}

NTSTATUS WaitForever(KPROCESSOR_MODE mode, const char *call)
{
    detail::RequireIrqlAtMost(APC_LEVEL, call);
    return detail::Wait(nullptr, 0, false, nullptr, mode, call);
}

void DeferThreadExits(bool on)
{
    Clock().deferExits.store(on);
}

OutsideWait::OutsideWait(const char *what)
{
    auto &c = Clock();
    c.outsideWaits.fetch_add(1);
    detail::CurrentThread()->name += std::string(" [outside: ") + what + "]";
    detail::Blocking();
}

OutsideWait::~OutsideWait()
{
    auto &c = Clock();
    detail::Unblocked();
    c.outsideWaits.fetch_sub(1);
    std::string &name = detail::CurrentThread()->name;
    name.erase(name.rfind(" [outside: "));
}

std::string DescribeThreads()
{
    std::string text;
    char line[512];
    LONGLONG now = Now();
    std::snprintf(line, sizeof line, "*** machine at %lld (100 ns), %ld thread(s) running:\n", (long long)now,
                  Clock().running.load());
    text += line;
    for (_KTHREAD *t : detail::LiveThreads()) {
        PEPROCESS p = t->attached.load() ? t->attached.load() : t->home;
        std::snprintf(line, sizeof line, "***   thread %u '%s' of %s (%u): ", (unsigned)t->id, t->name.c_str(),
                      p->name.c_str(), (unsigned)p->id);
        text += line;
        std::lock_guard lk(t->waitLock);
        detail::Waiter *w = t->wait;
        if (w == nullptr) {
            text += "not in a wait\n";
            continue;
        }
        std::snprintf(line, sizeof line, "waits in %s%s", w->call,
                      w->count ? (w->waitAll ? " for all of" : " for") : "");
        text += line;
        for (ULONG i = 0; i < w->count; ++i) {
            std::snprintf(line, sizeof line, "%s %s %p", i ? "," : "", ObjectKind(w->objects[i]),
                          (void *)w->objects[i]);
            text += line;
        }
        if (w->hasDeadline)
            std::snprintf(line, sizeof line, " until %lld\n", (long long)w->deadline);
        else
            std::snprintf(line, sizeof line, " with no deadline\n");
        text += line;
    }
    return text;
}

} // namespace standin::kernel

using standin::kernel::detail::Wait;

extern "C" LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER frequency)
{
    const LONGLONG hz = standin::kernel::Clock().frequency.load(std::memory_order_relaxed);
    if (frequency)
        frequency->QuadPart = hz;
    LARGE_INTEGER now;
    now.QuadPart = (LONGLONG)((__int128)standin::kernel::Now() * hz / standin::kernel::kTicksPerSecond);
    return now;
}

extern "C" ULONGLONG KeQueryInterruptTime(void)
{
    return (ULONGLONG)standin::kernel::Now();
}

extern "C" VOID KeQuerySystemTime(PLARGE_INTEGER time)
{
    time->QuadPart = standin::kernel::Clock().bootSystemTime + standin::kernel::Now();
}

extern "C" NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON, KPROCESSOR_MODE mode, BOOLEAN,
                                          PLARGE_INTEGER timeout)
{
    auto h = static_cast<DISPATCHER_HEADER *>(object);
    return Wait(&h, 1, false, timeout, mode, "KeWaitForSingleObject");
}

extern "C" NTSTATUS KeWaitForMultipleObjects(ULONG count, PVOID objects[], WAIT_TYPE type, KWAIT_REASON,
                                             KPROCESSOR_MODE mode, BOOLEAN, PLARGE_INTEGER timeout,
                                             PKWAIT_BLOCK waitBlocks)
{
    // Without a wait block array the kernel allows only THREAD_WAIT_OBJECTS.
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || (!waitBlocks && count > THREAD_WAIT_OBJECTS))
        standin::kernel::BugCheck(kMaximumWaitObjectsExceeded, "KeWaitForMultipleObjects", count);
    return Wait(reinterpret_cast<DISPATCHER_HEADER **>(objects), count, type == WaitAll, timeout, mode,
                "KeWaitForMultipleObjects");
}

extern "C" NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE mode, BOOLEAN, PLARGE_INTEGER interval)
{
    if (!interval)
        standin::kernel::BugCheck(kDriverVerifierDetectedViolation, "KeDelayExecutionThread",
                                  kViolationDelayWithoutInterval);
    standin::kernel::detail::RequireIrqlAtMost(APC_LEVEL, "KeDelayExecutionThread");
    return Wait(nullptr, 0, false, interval, mode, "KeDelayExecutionThread");
}
