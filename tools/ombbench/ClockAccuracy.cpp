// 3. Clock accuracy: the frames a host hands out against elapsed time x rate
// (x the trim in force), checked at every tick. Ten virtual minutes at each
// rate and tick on the self-advancing clock, the trim changed twice on the
// way; then a stretch of real time, as parts per million.
#include "Measurements.h"

#include <io_boundary.h>
#include <math.h>
#include <stdio.h>
#include <windows.h>
#include "HostedStream.h"

namespace ombbench {

namespace boundary = standin::io::boundary;

namespace {

__extension__ typedef __int128 Wide;
constexpr int64_t Billion = 1000000000;

// A trim from a fraction of the run on, in parts per billion.
struct TrimStep {
    double from;
    int32_t ppb;
};
// Fast, then slow: each applies from the tick after it is set, without a step.
const TrimStep TrimSchedule[] = {{0.0, 0}, {1.0 / 3, 500000}, {2.0 / 3, -250000}};

// The host's application: counts the frames handed out and, at the first
// call of each tick, compares the count at the end of the tick before with
// what the clock owes at that tick's counter reading.
class ClockProbe : public Ombrivo::CallbackInterface {
public:
    ClockProbe(uint32_t rate, uint32_t frameBytes, bool trimmed, int64_t runCounters)
        : rate(rate), frameBytes(frameBytes), trimmed(trimmed), runCounters(runCounters)
    {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        unit = static_cast<Wide>(f.QuadPart) * Billion;
    }

    // Just before the stream runs: it counts from about now (exactly now on
    // the virtual clock).
    void Begin(Ombrivo::OmbHost *h)
    {
        host = h;
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        origin = segmentStart = tickCounter = now.QuadPart;
    }

    unsigned TransferData(void *data, unsigned bytes) override
    {
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        if (now.QuadPart != tickCounter) {
            Check();
            tickCounter = now.QuadPart;
            NextTrim();
        }
        frames += bytes / frameBytes;
        return bytes;
    }

    // The count at the last tick against its due.
    void Check()
    {
        if (tickCounter == origin)
            return;
        const Wide owed = Owed(tickCounter);
        const double deviation =
            static_cast<double>(static_cast<Wide>(frames) * unit - owed) / static_cast<double>(unit);
        if (fabs(deviation) > maxDeviation)
            maxDeviation = fabs(deviation);
        lastFrames = frames;
    }

    double MaxDeviation() const { return maxDeviation; }
    // The count at the last tick checked, and that tick's counter reading.
    uint64_t Frames() const { return lastFrames; }
    int64_t LastTick() const { return tickCounter; }

private:
    // Frames owed at a counter reading, in units of 1 / (frequency x 10^9).
    Wide Owed(int64_t counter) const
    {
        return owedBefore + static_cast<Wide>(counter - segmentStart) * rate * (Billion + trim);
    }

    // The trim of the schedule's next step once the run has come that far.
    void NextTrim()
    {
        if (!trimmed || step + 1 >= sizeof TrimSchedule / sizeof TrimSchedule[0])
            return;
        const TrimStep &next = TrimSchedule[step + 1];
        if (static_cast<double>(tickCounter - origin) < next.from * static_cast<double>(runCounters))
            return;
        owedBefore = Owed(tickCounter);
        segmentStart = tickCounter;
        trim = next.ppb;
        ++step;
        host->SetClockTrim(trim);
    }

    const uint32_t rate, frameBytes;
    const bool trimmed;
    const int64_t runCounters;
    Wide unit = 1;
    Ombrivo::OmbHost *host = nullptr;
    int64_t origin = 0, segmentStart = 0, tickCounter = 0;
    Wide owedBefore = 0;
    int32_t trim = 0;
    size_t step = 0;
    uint64_t frames = 0, lastFrames = 0;
    double maxDeviation = 0;
};

// One stream for `seconds` on the clock in force. `runCounter` receives the
// counter reading of RUN: the middle of the two readings around the request,
// which the host's loop answered between (the same reading in virtual time);
// `stats` the host's counters at the end.
bool RunClock(Machine &machine, const StreamPlan &plan, double seconds, ClockProbe &probe, int64_t &runCounter,
              OmbHostStats &stats)
{
    HostedStream stream(machine, plan, probe, nullptr);
    if (!stream.Start(false, [&] { probe.Begin(&stream.Host()); }))
        return false;
    runCounter = (stream.RunCounterBefore() + stream.RunCounterAfter()) / 2;
    const int64_t wait = -static_cast<int64_t>(seconds * 1e7);
    boundary::Delay(&wait);
    stats.Size = sizeof stats;
    stream.Host().GetStats(&stats);
    stream.Stop();
    probe.Check();
    return true;
}

} // namespace

bool MeasureClock(const RunLength &length, ClockFigures &figures)
{
    const uint32_t rates[] = {44100, 48000, 96000};
    const unsigned ticks[] = {1, 3, 10};
    figures.virtualSeconds = length.clockVirtualSeconds();
    const int64_t runCounters = static_cast<int64_t>(figures.virtualSeconds * boundary::PerformanceFrequency());
    boundary::SetClockMode(2); // virtual time that advances itself
    {
        Machine machine;
        if (!machine.Loaded())
            return false;
        for (uint32_t rate : rates) {
            for (unsigned tickMs : ticks) {
                StreamPlan plan;
                plan.format = {rate, 16, 2, 2, 0x3};
                plan.tickMs = tickMs;
                plan.bufferFrames = rate / 10 & ~1u; // 100 ms: ten ticks of the longest
                ClockProbe probe(rate, 4, true, runCounters);
                int64_t runCounter = 0;
                OmbHostStats stats = {};
                if (!RunClock(machine, plan, figures.virtualSeconds, probe, runCounter, stats)) {
                    boundary::SetClockMode(0);
                    return false;
                }
                figures.cases.push_back({rate, tickMs, probe.Frames(), probe.MaxDeviation()});
                if (probe.MaxDeviation() > figures.maxDeviationFrames)
                    figures.maxDeviationFrames = probe.MaxDeviation();
            }
        }
    }
    boundary::SetClockMode(0);

    // Real time: what the counter says passed against what was handed out.
    Machine machine;
    if (!machine.Loaded())
        return false;
    StreamPlan plan;
    plan.format = {48000, 16, 2, 2, 0x3};
    plan.tickMs = 1;
    // Two seconds of buffer: the host drops time only when its loop stalls
    // for more than half of it, which a loaded machine can otherwise cause.
    plan.bufferFrames = 96000;
    ClockProbe probe(48000, 4, false, 0);
    figures.realSeconds = length.clockRealSeconds();
    int64_t runCounter = 0;
    OmbHostStats stats = {};
    if (!RunClock(machine, plan, figures.realSeconds, probe, runCounter, stats))
        return false;
    figures.realLongestStallUs = stats.MaxLatenessUs;
    figures.realFrames = probe.Frames();
    const double owed = static_cast<double>(probe.LastTick() - runCounter) * plan.format.SR /
                        static_cast<double>(boundary::PerformanceFrequency());
    if (figures.realFrames == 0 || owed <= 0) {
        fprintf(stderr, "ombbench: no audio was handed out in real time\n");
        return false;
    }
    figures.realTimePpm = (static_cast<double>(figures.realFrames) - owed) / owed * 1e6;
    figures.measured = true;
    return true;
}

} // namespace ombbench
