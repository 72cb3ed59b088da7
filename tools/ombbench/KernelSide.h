// What the bench does on the kernel's side (16-bit WCHAR), behind a header
// without wide text: the driver's worker priority for a thread of its own,
// and the two moments of the notification path inside the kernel, seen by
// interposing KeSetEvent: the driver waking its position worker for a host's
// notification, and the driver signalling the engine's notification event.
#pragma once

#include <stdint.h>

namespace ombbench {

// The priority the driver gives its position worker, applied by the kernel
// stand-in to the calling thread.
void RaiseToWorkerPriority();

// The calling thread is (or no longer is) inside a host's position
// notification: an event it sets meanwhile is the driver waking its worker.
void MarkPositionNotify(bool inside);
// The engine's notification event, by its handle in the calling thread's
// process (null: none).
void WatchEngineEvent(void *handle);
// When each was last set (CLOCK_MONOTONIC, nanoseconds; 0 before the first).
int64_t WorkerWokenAt();
int64_t EngineSignalledAt();

} // namespace ombbench
