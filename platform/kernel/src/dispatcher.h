// The dispatcher: waits on dispatcher objects with per-object locking, the
// clock with its timers, and the machine's accounting of running threads
// that lets virtual time advance itself. Shared by the dispatcher objects,
// threads, processes and the I/O manager.
#pragma once

#include "internal.h"

#include <atomic>
#include <map>

namespace standin::kernel::detail {

// The lock of a dispatcher object: one of a fixed set of locks chosen by the
// object's address, so objects need no storage of their own for it and a
// signal on one object never waits for work on an unrelated one.
std::mutex &ObjectLock(const void *object);

enum WaitOutcome : int32_t {
    kWaiting = -1,    // not yet satisfied
    kTimedOut = -2,   // the deadline came
    kRecheck = -3,    // a wait-all waiter whose objects may all be signalled
    kTerminated = -4, // released because its process is being terminated
};

enum WakeWord : uint32_t {
    kAwake = 0,   // waiting, not (yet) asleep
    kWoken = 1,   // the outcome is claimed
    kAsleep = 2,  // waiting, asleep on the word (or about to be)
    kLooking = 3, // waiting, looking for the wake before it sleeps
};

struct Waiter;

// One object a waiter waits for, linked into the object's WaitListHead.
struct WaitBlock {
    LIST_ENTRY entry;
    Waiter *waiter;
    DISPATCHER_HEADER *object;
};

struct Waiter {
    _KTHREAD *thread = nullptr;
    const char *call = "";
    DISPATCHER_HEADER **objects = nullptr;
    WaitBlock *blocks = nullptr;
    ULONG count = 0;
    bool waitAll = false;
    bool userMode = false; // released when the thread's process terminates
    bool hasDeadline = false;
    LONGLONG deadline = 0; // interrupt time, 100-ns units
    std::atomic<int32_t> outcome{kWaiting};
    // The futex word: kAwake, or kLooking while the waiter looks for its wake,
    // or kAsleep once it sleeps on the word; kWoken once its outcome is
    // claimed. A waker makes the system call only for a waiter that sleeps.
    std::atomic<uint32_t> woken{kAwake};
    std::multimap<LONGLONG, Waiter *>::iterator timer;
    bool timerLinked = false;
};

// Blocks the calling thread until one (waitAll: every) object is signalled
// or the deadline passes. `timeout` follows the kernel's convention: null is
// no time-out, negative relative, positive absolute system time, zero a poll.
// Returns STATUS_WAIT_0 + index, STATUS_TIMEOUT, STATUS_SUCCESS for a delay
// (no objects) that ran out, or STATUS_USER_APC for a user-mode wait of a
// thread whose process is being terminated.
NTSTATUS Wait(DISPATCHER_HEADER **objects, ULONG count, bool waitAll, const LARGE_INTEGER *timeout,
              KPROCESSOR_MODE mode, const char *call);

// With the object's lock held: after it became signalled, satisfies the
// waiters that can now be satisfied, in the order they began to wait. The
// caller calls FlushWakes once it has released the lock.
void SignalObject(DISPATCHER_HEADER *object);

// Releases the thread from a user-mode wait (its process is terminating).
void ReleaseUserWait(_KTHREAD *thread);

// ---- The machine's accounting ----------------------------------------------
// A thread counts as running from its first call into the stand-in until it
// blocks in a wait of the stand-in, and again from the moment something
// satisfies that wait. When nothing runs, the thread that blocked last lets
// the machine go on: a deferred thread exit proceeds, or in the self-advancing
// mode the clock jumps to the earliest deadline, or a deadlock is reported.

void ThreadStartsRunning(_KTHREAD *thread); // a new live thread
void ThreadStopsRunning(_KTHREAD *thread);  // a live thread ends
// The calling thread is about to sleep; runs the idle step when it was the
// last one running.
void Blocking();
// Something made a sleeping thread runnable (counted before the wake).
void Unblocked();
// Marks a waiter whose outcome was just claimed as woken; the wake itself
// comes with FlushWakes, which every claimer calls once it holds no lock.
void WakeWaiter(Waiter &waiter);
void FlushWakes();

// Deferred thread exits: a system thread whose routine returned waits here
// until the machine has nothing else to do (see DeferThreadExits).
void DeferredExitGate();

// The clock, read without a lock.
LONGLONG NowInternal();
// The default and requested timer resolutions, in 100-ns units.
constexpr LONGLONG kDefaultTimerResolution = 156250; // 15.625 ms, 64 ticks a second

} // namespace standin::kernel::detail
