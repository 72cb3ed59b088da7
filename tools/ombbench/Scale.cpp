// 5. Scale: the cost of a tick (without and in TransferData) and of a
// notification at 8 channels x 384 kHz x 32 bits against 2 x 48 kHz x 16, in
// real time with a 1 ms tick: 16 times the bytes per tick.
#include "Measurements.h"

#include <io_boundary.h>
#include "NotifyPath.h"
#include "TickProbe.h"

namespace ombbench {

StreamPlan NotifyPlan(const DataFormatDesc &format);

namespace {

bool MeasureCase(const RunLength &length, const char *name, const DataFormatDesc &format, double clockReadNs,
                 ScaleCase &figures)
{
    figures.name = name;
    StreamPlan plan;
    plan.format = format;
    plan.tickMs = 1;
    plan.bufferFrames = format.SR / 100; // 10 ms
    TickProbe probe(clockReadNs);
    uint64_t pool = 0;
    if (!RunTickProbe(plan, length.scaleSeconds(), probe, pool))
        return false;
    std::vector<double> values = probe.TickUs();
    figures.tick = Summarise(values);
    values = probe.CopyUs();
    figures.copy = Summarise(values);
    NotifySamples samples;
    if (!TimeNotifications(NotifyPlan(format), length.notifications() / 2, samples))
        return false;
    figures.notify = Summarise(samples.latency);
    return true;
}

} // namespace

bool MeasureScale(const RunLength &length, ScaleFigures &figures)
{
    standin::io::boundary::SetClockMode(0); // real time
    const double clockReadNs = CpuClockReadNs();
    if (!MeasureCase(length, "2x48k16", {48000, 16, 2, 2, 0x3}, clockReadNs, figures.small) ||
        !MeasureCase(length, "8x384k32", {384000, 32, 8, 4, 0x63F}, clockReadNs, figures.large))
        return false;
    figures.measured = true;
    return true;
}

} // namespace ombbench
