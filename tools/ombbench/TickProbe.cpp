// The host's tick measured from inside its loop thread.
#include "TickProbe.h"

#include <string.h>
#include "Distribution.h"

namespace ombbench {

namespace {

constexpr uint32_t WaitTimedOut = 258; // WAIT_TIMEOUT: the loop's tick
constexpr size_t ReservedTicks = 1 << 20;

} // namespace

void TickProbe::ControlEntered(uint32_t, const void *, uint32_t)
{
    if (inTick)
        allocationsAtEntry = ThreadAllocations();
}

void TickProbe::ControlReturned(uint32_t)
{
    if (!inTick)
        return;
    const uint64_t now = ThreadAllocations();
    tickAllocationsInRequests += now - allocationsAtEntry;
    allocationsAtLastReturn = now;
    lastReturn = ThreadCpuNs();
    ++requestsReturned;
}

// The loop waits again: the tick before is over.
void TickProbe::WaitEntered()
{
    if (!inTick)
        return;
    inTick = false;
    if (!transferred || requestsReturned == 0)
        return; // a tick of a stream not running, or one that handed out nothing
    // The readings inside the tick: one per request's return and two around
    // TransferData, half of the first and last falling outside.
    // TransferData's own time holds about one reading.
    const double readings = static_cast<double>(requestsReturned) + 1;
    const double ns = static_cast<double>(lastReturn - tickStart - transferNs) - readings * clockReadNs;
    tickUs.push_back(ns / 1000);
    copyUs.push_back((static_cast<double>(transferNs) - clockReadNs) / 1000);
    allocations += allocationsAtLastReturn - allocationsAtStart;
    allocationsInRequests += tickAllocationsInRequests;
}

void TickProbe::WaitReturned(uint32_t result)
{
    if (result != WaitTimedOut)
        return; // a driver request woke the loop: not a tick
    if (tickUs.capacity() == 0) {
        tickUs.reserve(ReservedTicks); // before the first tick, so that no tick pays for it
        copyUs.reserve(ReservedTicks);
    }
    inTick = true;
    transferred = false;
    transferNs = 0;
    tickAllocationsInRequests = 0;
    requestsReturned = 0;
    allocationsAtStart = ThreadAllocations();
    tickStart = ThreadCpuNs();
}

unsigned TickProbe::TransferData(void *data, unsigned bytes)
{
    const int64_t start = ThreadCpuNs();
    memset(data, value++, bytes);
    transferNs += ThreadCpuNs() - start;
    transferred = true;
    return bytes;
}

double CpuClockReadNs()
{
    std::vector<double> gaps;
    gaps.reserve(10001);
    int64_t last = ThreadCpuNs();
    for (int i = 0; i < 10000; ++i) {
        const int64_t now = ThreadCpuNs();
        gaps.push_back(static_cast<double>(now - last));
        last = now;
    }
    return Summarise(gaps).median;
}

} // namespace ombbench
