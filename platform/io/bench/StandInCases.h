// The stand-in's own cost as Google Benchmark cases, shared by the stand-in's
// benchmark and by ombbench, which prints the driver's figures beside them:
// a bare futex hand-over (the baseline), an event set-to-wake, and a buffered
// DeviceIoControl round trip through the I/O manager. No wide text here.
#pragma once

#include <benchmark/benchmark.h>
#include <atomic>
#include <stdint.h>

namespace standin_bench {

// A bare futex: waits while the word holds `expected`; wakes one waiter.
void FutexWait(std::atomic<uint32_t> &word, uint32_t expected);
void FutexWake(std::atomic<uint32_t> &word);

// Each iteration: two set-to-wake hand-overs between two threads, with bare
// futexes and with kernel events.
void FutexWakeRoundTrip(benchmark::State &state);
void EventSetToWake(benchmark::State &state);
// Each iteration: one buffered DeviceIoControl answered by the platform's
// test driver, from an emulated client's handle.
void DeviceIoControlRoundTrip(benchmark::State &state);

} // namespace standin_bench
