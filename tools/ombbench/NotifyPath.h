// The notification path timed end to end: from a host's position
// notification entering DeviceIoControl to a thread of the engine's process
// returning from its wait on the stream's notification event; and the
// baseline, the same hand-over with bare futexes.
#pragma once

#include <stddef.h>
#include <vector>
#include "HostedStream.h"

namespace ombbench {

// Per notification, in microseconds: the whole path, and its three parts:
// the host's request until the driver wakes its worker, the worker's wake and
// update until it signals the engine's event, and that signal until the
// engine's thread returns from its wait.
struct NotifySamples {
    std::vector<double> latency, toDriver, inWorker, toEngine;
};

// Runs a stream of the plan in real time until `count` more notifications
// woke the engine's thread, adding their samples.
bool TimeNotifications(const StreamPlan &plan, size_t count, NotifySamples &samples);

// Thread A wakes B, B wakes C, `count` times at the pace of `periodUs`; B at
// the driver's worker priority. The time from A's wake to C's return, in
// microseconds, added to `latencyUs`.
void TimeFutexChain(size_t count, unsigned periodUs, std::vector<double> &latencyUs);

} // namespace ombbench
