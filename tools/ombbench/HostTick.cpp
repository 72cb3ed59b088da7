// 2. The host's tick: CPU time per tick of the event loop without
// TransferData and the allocations made in it, at 48 kHz 16-bit stereo with
// a 1 ms tick in real time, beside one bare DeviceIoControl round trip of the
// platform (the stand-in benchmark's own case, run here by Google Benchmark).
#include "Measurements.h"

#include <benchmark/benchmark.h>
#include <io_boundary.h>
#include <stdio.h>
#include "HostedStream.h"
#include "DriverUnderTest.h"
#include "StandInCases.h"
#include "TickProbe.h"

namespace ombbench {

namespace boundary = standin::io::boundary;

namespace {

// Keeps the median aggregate of the one benchmark run, in CPU time.
class MedianOnly : public benchmark::BenchmarkReporter {
public:
    bool ReportContext(const Context &) override { return true; }
    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &run : runs) {
            if (run.run_type == Run::RT_Iteration)
                iterations += static_cast<uint64_t>(run.iterations);
            else if (run.aggregate_name == "median")
                medianUs = run.GetAdjustedCPUTime() / 1000; // the run's unit is nanoseconds
            if (run.error_occurred)
                failed = true;
        }
    }
    double medianUs = 0;
    uint64_t iterations = 0;
    bool failed = false;
};

bool IoctlRoundTrip(const RunLength &length, HostTickFigures &figures)
{
    int argc = 1;
    char name[] = "ombbench";
    char *argv[] = {name, nullptr};
    benchmark::Initialize(&argc, argv);
    benchmark::ClearRegisteredBenchmarks();
    benchmark::RegisterBenchmark("DeviceIoControlRoundTrip", standin_bench::DeviceIoControlRoundTrip)
        ->Repetitions(length.repetitions())
        ->MinTime(length.quick ? 0.02 : 0.2)
        ->Unit(benchmark::kNanosecond);
    MedianOnly reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::ClearRegisteredBenchmarks();
    figures.ioctlRoundTripUs = reporter.medianUs;
    figures.ioctlIterations = reporter.iterations;
    if (reporter.failed || reporter.medianUs <= 0) {
        fprintf(stderr, "ombbench: the DeviceIoControl round trip did not run\n");
        return false;
    }
    return true;
}

} // namespace

bool RunTickProbe(const StreamPlan &plan, double seconds, TickProbe &probe, uint64_t &poolAllocations)
{
    Machine machine;
    if (!machine.Loaded())
        return false;
    HostedStream stream(machine, plan, probe, &probe);
    if (!stream.Start())
        return false;
    const size_t poolBefore = driver_under_test::PoolAllocations();
    const int64_t wait = -static_cast<int64_t>(seconds * 1e7);
    boundary::Delay(&wait);
    poolAllocations = driver_under_test::PoolAllocations() - poolBefore;
    stream.Stop();
    if (probe.TickUs().empty()) {
        fprintf(stderr, "ombbench: the host's loop ticked no audio\n");
        return false;
    }
    return true;
}

bool MeasureHostTick(const RunLength &length, HostTickFigures &figures)
{
    boundary::SetClockMode(0); // real time
    if (!IoctlRoundTrip(length, figures))
        return false;
    const double clockReadNs = CpuClockReadNs();
    figures.clockReadUs = clockReadNs / 1000;
    StreamPlan plan;
    plan.format = {48000, 16, 2, 2, 0x3};
    plan.tickMs = 1;
    plan.bufferFrames = 480;
    TickProbe probe(clockReadNs);
    uint64_t pool = 0;
    if (!RunTickProbe(plan, length.hostTickSeconds(), probe, pool))
        return false;
    std::vector<double> ticks = probe.TickUs();
    figures.tick = Summarise(ticks);
    const double count = static_cast<double>(figures.tick.samples);
    figures.allocationsPerTick = static_cast<double>(probe.LibraryAllocations() + pool) / count;
    figures.platformAllocationsPerTick = static_cast<double>(probe.AllocationsInRequests()) / count;
    figures.measured = true;
    return true;
}

} // namespace ombbench
