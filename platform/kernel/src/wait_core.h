// The dispatcher's one lock and its wait core, shared by the clock, the
// dispatcher objects and threads.
#pragma once

#include "internal.h"

#include <mutex>

namespace standin::kernel::detail {

// Guards every dispatcher object's state, the wait list and the clock.
std::mutex &DispatcherLock();

// With the dispatcher lock held: after an object became signalled, satisfies
// the waiters that can now be satisfied, in the order they began to wait.
void WakeWaiters();

// Blocks the calling thread until one (waitAll: every) object is signalled
// or the deadline passes. `timeout` follows the kernel's convention: null is
// no time-out, negative relative, positive absolute system time, zero a poll.
// Returns STATUS_WAIT_0 + index, STATUS_TIMEOUT, or STATUS_SUCCESS for a
// delay (no objects) that ran out.
NTSTATUS Wait(DISPATCHER_HEADER **objects, ULONG count, bool waitAll, const LARGE_INTEGER *timeout,
              const char *call);

} // namespace standin::kernel::detail
