// The kernel stand-in's count of timed waiters, through a header free of
// wide text.
#include <ntddk.h>
#include <kernel_standin.h>
#include "Waiters.h"

namespace bench {

size_t TimedWaiters() { return standin::kernel::BlockedWaiters(true); }

} // namespace bench
