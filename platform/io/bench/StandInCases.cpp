// The stand-in's own cost: a bare futex hand-over, an event set-to-wake and a
// buffered DeviceIoControl round trip (see StandInCases.h).
#include "StandInCases.h"

#include "TestDriver.h"

#include <io_boundary.h>
#include <kernel_standin.h>
#include <wdm.h>

#include <linux/futex.h>
#include <string>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

namespace standin_bench {

namespace {

namespace boundary = standin::io::boundary;

constexpr GUID BenchClass = {0x3b2c3d4e, 0x5f60, 0x4718, {0x89, 0x9a, 0xab, 0xbc, 0xcd, 0xde, 0xef, 0x03}};

} // namespace

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
void FutexWakeRoundTrip(benchmark::State &state)
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

void EventSetToWake(benchmark::State &state)
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

void DeviceIoControlRoundTrip(benchmark::State &state)
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

} // namespace standin_bench
