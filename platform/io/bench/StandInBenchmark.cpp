// What the stand-in itself costs, so that latency figures of the driver's path
// are not the stand-in's: an event set-to-wake across two threads and a
// buffered DeviceIoControl round trip, each beside a bare futex wake measured
// in the same run and printed as a ratio to it (the median of the repetitions).
#include "StandInCases.h"

#include <cstdio>
#include <map>
#include <string>

namespace {

BENCHMARK(standin_bench::FutexWakeRoundTrip)
    ->Name("BM_FutexWake")
    ->UseRealTime()
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);
BENCHMARK(standin_bench::EventSetToWake)
    ->Name("BM_EventSetToWake")
    ->UseRealTime()
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);
BENCHMARK(standin_bench::DeviceIoControlRoundTrip)
    ->Name("BM_DeviceIoControlRoundTrip")
    ->UseRealTime()
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

// Keeps the median of each benchmark for the ratios.
class MedianReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs)
            if (run.aggregate_name == "median")
                medians[run.run_name.function_name] = run.GetAdjustedRealTime();
    }
    std::map<std::string, double> medians;
};

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    MedianReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    const double futex = reporter.medians["BM_FutexWake"];
    if (futex <= 0)
        return 1;
    std::printf("\nratios to the bare futex wake (median of 5 repetitions; target for set-to-wake: 1.5 or less):\n");
    for (const char *name : {"BM_EventSetToWake", "BM_DeviceIoControlRoundTrip"})
        std::printf("  %-28s %6.2f\n", name, reporter.medians[name] / futex);
    return 0;
}
