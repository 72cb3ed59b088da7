// A host application that measures its own loop: each tick of the loop's
// thread, from the wait's return to the return of its last driver request,
// in CPU time without the time spent in TransferData, with the allocations
// made meanwhile. TransferData fills (render) or reads (capture) the whole
// stretch, as a host copies audio.
#pragma once

#include <vector>
#include "HostedStream.h"
#include "Probe.h"
#include "ombapi.h"

namespace ombbench {

class TickProbe : public CallObserver, public Ombrivo::CallbackInterface {
public:
    // `clockReadNs`: the cost of one CPU-time reading, taken off each tick for
    // the readings the probe itself makes inside it.
    explicit TickProbe(double clockReadNs) : clockReadNs(clockReadNs) {}

    // Per tick that handed out audio: microseconds without TransferData, in
    // TransferData; over those ticks, the allocations made on the loop's
    // thread outside the platform's DeviceIoControl (the library's own) and
    // inside it (the I/O manager's request and buffer, any pool the driver
    // takes there).
    const std::vector<double> &TickUs() const { return tickUs; }
    const std::vector<double> &CopyUs() const { return copyUs; }
    uint64_t LibraryAllocations() const { return allocations - allocationsInRequests; }
    uint64_t AllocationsInRequests() const { return allocationsInRequests; }

    void ControlEntered(uint32_t code, const void *input, uint32_t inputLength) override;
    void ControlReturned(uint32_t code) override;
    void WaitEntered() override;
    void WaitReturned(uint32_t result) override;
    unsigned TransferData(void *data, unsigned bytes) override;

private:
    const double clockReadNs;
    bool inTick = false, transferred = false;
    int64_t tickStart = 0, lastReturn = 0, transferNs = 0;
    uint64_t allocationsAtStart = 0, allocationsAtLastReturn = 0, allocationsAtEntry = 0;
    uint64_t tickAllocationsInRequests = 0, requestsReturned = 0;
    uint8_t value = 0;
    std::vector<double> tickUs, copyUs;
    uint64_t allocations = 0, allocationsInRequests = 0;
};

// Runs a stream of the plan for `seconds` (on the clock in force) with the
// probe as the host's application and the observer of its loop.
// `poolAllocations` receives the kernel pool allocations made meanwhile on
// every thread of the machine (the driver's, its worker's included).
bool RunTickProbe(const StreamPlan &plan, double seconds, TickProbe &probe, uint64_t &poolAllocations);

// The cost of one reading of the thread's CPU time, in nanoseconds (the
// median of many back-to-back readings).
double CpuClockReadNs();

} // namespace ombbench
