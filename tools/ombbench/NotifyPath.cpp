// The notification path and its futex baseline.
#include "NotifyPath.h"

#include <io_boundary.h>
#include <stdio.h>
#include <time.h>
#include <atomic>
#include <thread>
#include "ControlProtocol.h"
#include "Probe.h"
#include "StandInCases.h"
#include "KernelSide.h"

namespace ombbench {

namespace boundary = standin::io::boundary;

namespace {

// Longer than any stall of a loaded machine; a wait this long means the path
// is broken.
constexpr int64_t WaitLimit = -20'000'000; // 2 s, in 100-ns units

// On the host's loop thread: when each position notification enters
// DeviceIoControl.
class NotifyEntries : public CallObserver {
public:
    void ControlEntered(uint32_t code, const void *input, uint32_t inputLength) override
    {
        if (code != ReqNotify || inputLength < sizeof(NotifyRequest))
            return;
        if (static_cast<const NotifyRequest *>(input)->Code != NotifyPositionAdvanced)
            return;
        last.store(RealNs(), std::memory_order_release);
        MarkPositionNotify(true);
    }
    void ControlReturned(uint32_t) override { MarkPositionNotify(false); }
    // The latest entry: the notification a wake belongs to, since the next
    // one comes a tick later.
    int64_t Last() const { return last.load(std::memory_order_acquire); }

private:
    std::atomic<int64_t> last{0};
};

struct Waiter {
    boundary::Handle event;
    const NotifyEntries *entries;
    size_t count;
    NotifySamples *samples;
    bool timedOut = false;
};

double Us(int64_t from, int64_t to)
{
    return static_cast<double>(to - from) / 1000;
}

// A thread of the engine's process: waits for the notification event, and
// takes the time since the notification that set it.
void WaitForNotifications(void *context)
{
    Waiter &w = *static_cast<Waiter *>(context);
    WatchEngineEvent(w.event);
    while (w.samples->latency.size() < w.count) {
        if (boundary::WaitForObject(w.event, &WaitLimit) != 0) {
            w.timedOut = true;
            break;
        }
        const int64_t woke = RealNs();
        const int64_t entered = w.entries->Last();
        if (entered == 0)
            continue;
        w.samples->latency.push_back(Us(entered, woke));
        // The parts, when the moments are of this notification (in order).
        const int64_t worker = WorkerWokenAt(), engine = EngineSignalledAt();
        if (entered <= worker && worker <= engine && engine <= woke) {
            w.samples->toDriver.push_back(Us(entered, worker));
            w.samples->inWorker.push_back(Us(worker, engine));
            w.samples->toEngine.push_back(Us(engine, woke));
        }
    }
    WatchEngineEvent(nullptr);
}

void SleepUs(unsigned us)
{
    timespec t{0, static_cast<long>(us) * 1000};
    nanosleep(&t, nullptr);
}

} // namespace

bool TimeNotifications(const StreamPlan &plan, size_t count, NotifySamples &samples)
{
    Machine machine;
    if (!machine.Loaded())
        return false;
    NotifyEntries entries;
    struct Silent : Ombrivo::CallbackInterface {
        unsigned TransferData(void *data, unsigned bytes) override { return bytes; }
    } application;
    HostedStream stream(machine, plan, application, &entries);
    if (!stream.Start(true))
        return false;
    Waiter waiter{stream.Notification(), &entries, samples.latency.size() + count, &samples};
    boundary::Thread thread = boundary::StartThread(stream.Engine().Process(), "engine", WaitForNotifications, &waiter);
    boundary::JoinThread(thread);
    stream.Stop();
    if (waiter.timedOut)
        fprintf(stderr, "ombbench: the engine's notification did not come within 2 s\n");
    return !waiter.timedOut;
}

void TimeFutexChain(size_t count, unsigned periodUs, std::vector<double> &latencyUs)
{
    using standin_bench::FutexWait;
    using standin_bench::FutexWake;
    latencyUs.reserve(latencyUs.size() + count);
    std::atomic<uint32_t> toB{0}, toC{0}, done{0};
    std::atomic<int64_t> woken{0};
    std::thread b([&] {
        RaiseToWorkerPriority();
        for (uint32_t seen = 0;;) {
            FutexWait(toB, seen);
            seen = toB.load();
            toC.fetch_add(1, std::memory_order_release);
            FutexWake(toC);
            if (seen > count)
                return;
        }
    });
    std::thread c([&] {
        for (uint32_t seen = 0;;) {
            FutexWait(toC, seen);
            woken.store(RealNs(), std::memory_order_relaxed);
            seen = toC.load();
            done.fetch_add(1, std::memory_order_release);
            FutexWake(done);
            if (seen > count)
                return;
        }
    });
    for (uint32_t i = 0; i <= count; ++i) {
        SleepUs(periodUs);
        const int64_t start = RealNs();
        toB.fetch_add(1, std::memory_order_release);
        FutexWake(toB);
        FutexWait(done, i);
        if (i < count) // the last round only ends the two threads
            latencyUs.push_back(static_cast<double>(woken.load(std::memory_order_relaxed) - start) / 1000);
    }
    b.join();
    c.join();
}

} // namespace ombbench
