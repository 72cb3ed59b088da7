// The priority the driver gives its position worker, for a thread of the
// bench's own (the baseline's middle thread), through the kernel stand-in
// that maps it onto the Linux scheduler. No wide text here.
#pragma once

namespace ombbench {

void RaiseToWorkerPriority();

} // namespace ombbench
