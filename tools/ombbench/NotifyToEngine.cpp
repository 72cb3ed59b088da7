// 1. Notify to engine: the host's position notification to the engine's
// thread leaving its wait, in real time with a 1 ms tick, beside two chained
// futex wakes with the same threads and priorities at the same pace.
#include "Measurements.h"

#include <io_boundary.h>
#include "NotifyPath.h"

namespace ombbench {

// A buffer of two packets of one tick each at 48 kHz, so that every tick
// crosses a packet boundary and notifies the engine.
StreamPlan NotifyPlan(const DataFormatDesc &format)
{
    StreamPlan plan;
    plan.format = format;
    plan.tickMs = 1;
    plan.bufferFrames = 2 * format.SR / 1000;
    plan.notifications = 2;
    plan.hostCaptures = true; // the engine plays to the host
    return plan;
}

// The machine is shared and its load changes: the path and its baseline take
// turns, a tenth of the samples each time, so that both see the same load.
bool MeasureNotifyToEngine(const RunLength &length, NotifyFigures &figures)
{
    standin::io::boundary::SetClockMode(0); // real time
    const size_t rounds = length.quick ? 2 : 10;
    const size_t perRound = length.notifications() / rounds;
    NotifySamples samples;
    for (size_t round = 0; round < rounds; ++round) {
        if (!TimeNotifications(NotifyPlan({48000, 16, 2, 2, 0x3}), perRound, samples))
            return false;
        TimeFutexChain(perRound, 1000, figures.baselineUs);
    }
    figures.latencyUs = samples.latency;
    figures.latency = Summarise(samples.latency);
    figures.toDriver = Summarise(samples.toDriver);
    figures.inWorker = Summarise(samples.inWorker);
    figures.toEngine = Summarise(samples.toEngine);
    std::vector<double> sorted = figures.baselineUs;
    figures.baseline = Summarise(sorted);
    figures.measured = true;
    return true;
}

} // namespace ombbench
