// What the stand-in itself costs, so that latency figures of the driver's path
// are not the stand-in's: an event set-to-wake across two threads and a
// buffered DeviceIoControl round trip, each beside a bare futex wake measured
// in the same run and printed as a ratio to it (the median of the repetitions).
#include "TestDriver.h"

#include <benchmark/benchmark.h>
#include <io_boundary.h>
#include <kernel_standin.h>
#include <wdm.h>

#include <atomic>
#include <cstdio>
#include <linux/futex.h>
#include <map>
#include <string>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

namespace {

namespace boundary = standin::io::boundary;

// ---- The baseline: two threads handing a turn over with bare futexes --------

void FutexWait(std::atomic<uint32_t> &word, uint32_t expected)
{
    while (word.load(std::memory_order_acquire) == expected)
        syscall(SYS_futex, reinterpret_cast<uint32_t *>(&word), FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr, 0);
}

void FutexWake(std::atomic<uint32_t> &word)
{
    syscall(SYS_futex, reinterpret_cast<uint32_t *>(&word), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

// Each iteration: the benchmark thread wakes the partner, the partner wakes
// it back: two set-to-wake hand-overs.
void BM_FutexWake(benchmark::State &state)
{
    std::atomic<uint32_t> ping{0}, pong{0};
    std::atomic<bool> stop{false};
    std::thread partner([&] {
        uint32_t seen = 0;
        for (;;) {
            FutexWait(ping, seen);
            seen = ping.load();
            if (stop.load())
                return;
            pong.fetch_add(1, std::memory_order_release);
            FutexWake(pong);
        }
    });
    uint32_t turn = 0;
    for (auto _ : state) {
        ping.fetch_add(1, std::memory_order_release);
        FutexWake(ping);
        FutexWait(pong, turn);
        turn = pong.load();
    }
    stop = true;
    ping.fetch_add(1);
    FutexWake(ping);
    partner.join();
}

// ---- Kernel events: the same hand-over with KeSetEvent and a kernel wait ----

void BM_EventSetToWake(benchmark::State &state)
{
    KEVENT ping, pong;
    KeInitializeEvent(&ping, SynchronizationEvent, FALSE);
    KeInitializeEvent(&pong, SynchronizationEvent, FALSE);
    std::atomic<bool> stop{false};
    std::thread partner([&] {
        for (;;) {
            KeWaitForSingleObject(&ping, Executive, KernelMode, FALSE, nullptr);
            if (stop.load())
                return;
            KeSetEvent(&pong, IO_NO_INCREMENT, FALSE);
        }
    });
    for (auto _ : state) {
        KeSetEvent(&ping, IO_NO_INCREMENT, FALSE);
        KeWaitForSingleObject(&pong, Executive, KernelMode, FALSE, nullptr);
    }
    stop = true;
    KeSetEvent(&ping, IO_NO_INCREMENT, FALSE);
    partner.join();
}

// ---- A buffered device-control request through the I/O manager -------------

constexpr GUID BenchClass = {0x3b2c3d4e, 0x5f60, 0x4718, {0x89, 0x9a, 0xab, 0xbc, 0xcd, 0xde, 0xef, 0x03}};

void BM_DeviceIoControlRoundTrip(benchmark::State &state)
{
    testdriver::Config config;
    config.interfaceClass = BenchClass;
    config.information = 16;
    if (testdriver::Load(config) != STATUS_SUCCESS) {
        state.SkipWithError("the test driver did not load");
        return;
    }
    const std::u16string path = u"\\\\?\\" + testdriver::State().links.at(0).substr(4);
    boundary::Handle file;
    if (boundary::OpenFile(path.c_str(), 0xC0000000, 0, 1, 0x60, &file) != STATUS_SUCCESS) {
        state.SkipWithError("the device did not open");
        testdriver::Unload();
        return;
    }
    uint8_t input[16] = {1, 2, 3}, output[16];
    uint64_t returned;
    for (auto _ : state)
        boundary::DeviceControl(file, testdriver::EchoBuffered, input, sizeof input, output, sizeof output, &returned);
    boundary::CloseHandle(file);
    testdriver::Unload();
}

BENCHMARK(BM_FutexWake)->UseRealTime()->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_EventSetToWake)->UseRealTime()->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_DeviceIoControlRoundTrip)->UseRealTime()->Repetitions(5)->ReportAggregatesOnly(true);

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
