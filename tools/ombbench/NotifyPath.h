// The notification path timed end to end: from a host's position
// notification entering DeviceIoControl to a thread of the engine's process
// returning from its wait on the stream's notification event; and the
// baseline, the same hand-over with bare futexes.
#pragma once

#include <stddef.h>
#include <vector>
#include "HostedStream.h"

namespace ombbench {

// Runs a stream of the plan in real time until `count` notifications woke the
// engine's thread; the latencies in microseconds.
bool TimeNotifications(const StreamPlan &plan, size_t count, std::vector<double> &latencyUs);

// Thread A wakes B, B wakes C, `count` times at the pace of `periodUs`; B at
// the driver's worker priority. The time from A's wake to C's return, in
// microseconds.
void TimeFutexChain(size_t count, unsigned periodUs, std::vector<double> &latencyUs);

} // namespace ombbench
