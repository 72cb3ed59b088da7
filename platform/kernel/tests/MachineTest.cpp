// The machine's self-advancing clock: when every thread waits, time jumps to
// the earliest deadline and wakes exactly the waits due then, so a minute of
// several threads ticking runs at once and the same every time; when every
// thread waits without a deadline, the machine says who waits for what.
#include <kernel_standin.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

namespace sk = standin::kernel;

namespace {

constexpr LONGLONG kMs = 10'000;

class Simulated : public ::testing::Test {
protected:
    void SetUp() override { sk::SetClockMode(sk::ClockMode::Simulated); }
    void TearDown() override { sk::SetClockMode(sk::ClockMode::Real); }
};

// A host ticking every millisecond and signalling an engine, the engine
// waiting for each tick with a time-out, and a monitor looking every 10 ms.
struct Minute {
    LONGLONG start = 0;
    KEVENT tick;
    KEVENT stop;
    std::vector<LONGLONG> hostTicks;   // virtual time of each tick
    std::vector<LONGLONG> engineWakes; // virtual time of each wake, negative for a time-out
    std::vector<LONGLONG> monitorLooks;
};

void Host(void *context)
{
    auto &m = *static_cast<Minute *>(context);
    LARGE_INTEGER period;
    period.QuadPart = -kMs;
    for (int i = 0; i < 60'000; ++i) {
        KeDelayExecutionThread(UserMode, FALSE, &period);
        m.hostTicks.push_back(sk::Now() - m.start);
        KeSetEvent(&m.tick, IO_NO_INCREMENT, FALSE);
    }
    KeSetEvent(&m.stop, IO_NO_INCREMENT, FALSE);
}

void Engine(void *context)
{
    auto &m = *static_cast<Minute *>(context);
    PVOID objects[2] = {&m.stop, &m.tick};
    LARGE_INTEGER timeout;
    timeout.QuadPart = -3 * kMs;
    for (;;) {
        NTSTATUS s = KeWaitForMultipleObjects(2, objects, WaitAny, Executive, UserMode, FALSE, &timeout, nullptr);
        if (s == STATUS_WAIT_0)
            return;
        m.engineWakes.push_back(s == STATUS_TIMEOUT ? -(sk::Now() - m.start) : sk::Now() - m.start);
    }
}

void Monitor(void *context)
{
    auto &m = *static_cast<Minute *>(context);
    LARGE_INTEGER period;
    period.QuadPart = -10 * kMs;
    while (KeWaitForSingleObject(&m.stop, Executive, UserMode, FALSE, &period) == STATUS_TIMEOUT)
        m.monitorLooks.push_back(sk::Now() - m.start);
}

void RunMinute(Minute &m)
{
    KeInitializeEvent(&m.tick, SynchronizationEvent, FALSE);
    KeInitializeEvent(&m.stop, NotificationEvent, FALSE);
    PEPROCESS process = sk::CreateProcess(false, "streaming");
    m.start = sk::Now();
    PKTHREAD threads[] = {sk::StartThread(process, "host", Host, &m), sk::StartThread(process, "engine", Engine, &m),
                          sk::StartThread(process, "monitor", Monitor, &m)};
    for (PKTHREAD t : threads)
        sk::JoinThread(t);
    sk::EndProcess(process);
}

TEST_F(Simulated, AMinuteOfSeveralThreadsIsExactAndTheSameEveryRun)
{
    Minute first;
    const auto began = std::chrono::steady_clock::now();
    RunMinute(first);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    std::printf("a virtual minute of three threads took %.3f s of real time\n", seconds);

    ASSERT_EQ(first.hostTicks.size(), 60'000u);
    for (size_t i = 0; i < first.hostTicks.size(); ++i)
        ASSERT_EQ(first.hostTicks[i], (LONGLONG)(i + 1) * kMs) << i;
    // Each tick reached the engine at its instant, none merged or lost.
    EXPECT_EQ(first.engineWakes, first.hostTicks);
    // The monitor's last time-out falls due with the host's last tick, in the
    // same step of the clock: it looks once more before it sees the stop.
    ASSERT_EQ(first.monitorLooks.size(), 6'000u);
    EXPECT_EQ(first.monitorLooks.back(), 60'000 * kMs);

    Minute second;
    RunMinute(second);
    EXPECT_EQ(second.hostTicks, first.hostTicks);
    EXPECT_EQ(second.engineWakes, first.engineWakes);
    EXPECT_EQ(second.monitorLooks, first.monitorLooks);
}

struct Sleeper {
    LONGLONG delay;
    LONGLONG wokeAt = 0;
};

void Sleep(void *context)
{
    auto &s = *static_cast<Sleeper *>(context);
    LARGE_INTEGER interval;
    interval.QuadPart = -s.delay;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
    s.wokeAt = sk::Now();
}

TEST_F(Simulated, TheClockJumpsToTheEarliestDeadlineAndWakesExactlyThose)
{
    const LONGLONG start = sk::Now();
    Sleeper sleepers[] = {{7 * kMs}, {5 * kMs}, {5 * kMs}, {12 * kMs}};
    std::vector<PKTHREAD> threads;
    for (Sleeper &s : sleepers)
        threads.push_back(sk::StartThread(sk::SystemProcess(), "sleeper", Sleep, &s));
    for (PKTHREAD t : threads)
        sk::JoinThread(t);
    EXPECT_EQ(sleepers[0].wokeAt - start, 7 * kMs);
    EXPECT_EQ(sleepers[1].wokeAt - start, 5 * kMs);
    EXPECT_EQ(sleepers[2].wokeAt - start, 5 * kMs);
    EXPECT_EQ(sleepers[3].wokeAt - start, 12 * kMs);
    EXPECT_EQ(sk::Now() - start, 12 * kMs) << "no further than the last deadline";
}

// A thread the test started itself wakes another thread, then ends while the
// only other thread sleeps: its end lets the clock run on, and the wake that
// follows is made from the ending thread's own clean-up.
void WaitForEvent(void *context)
{
    KeWaitForSingleObject(static_cast<KEVENT *>(context), Executive, KernelMode, FALSE, nullptr);
}

TEST_F(Simulated, AForeignThreadEndingWakesTheSleeperFromItsCleanUp)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PKTHREAD waiter = sk::StartThread(sk::SystemProcess(), "waiter", WaitForEvent, &event);
    std::atomic<bool> woke{false};
    std::thread foreign([&] {
        sk::WaitForBlockedWaiters(1, false);
        KeSetEvent(&event, IO_NO_INCREMENT, FALSE); // a wake made by this thread
        woke = true;
        LARGE_INTEGER interval;
        interval.QuadPart = -1 * kMs;
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
    });
    while (!woke) // the test thread runs meanwhile, so the machine is not idle
        std::this_thread::yield();
    const LONGLONG start = sk::Now();
    LARGE_INTEGER interval;
    interval.QuadPart = -10 * kMs;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
    EXPECT_EQ(sk::Now() - start, 10 * kMs);
    sk::JoinThread(waiter);
    foreign.join();
}

struct Pair {
    KEVENT a, b;
};

void WaitForA(void *context)
{
    auto &p = *static_cast<Pair *>(context);
    KeWaitForSingleObject(&p.a, Executive, KernelMode, FALSE, nullptr);
    KeSetEvent(&p.b, IO_NO_INCREMENT, FALSE);
}

void WaitForB(void *context)
{
    auto &p = *static_cast<Pair *>(context);
    KeWaitForSingleObject(&p.b, Executive, KernelMode, FALSE, nullptr);
    KeSetEvent(&p.a, IO_NO_INCREMENT, FALSE);
}

class SimulatedDeathTest : public Simulated {
protected:
    void SetUp() override
    {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        Simulated::SetUp();
    }
};

TEST_F(SimulatedDeathTest, ADeadlockIsReportedWithEachThreadsWait)
{
    EXPECT_DEATH(
        {
            static Pair p;
            KeInitializeEvent(&p.a, SynchronizationEvent, FALSE);
            KeInitializeEvent(&p.b, SynchronizationEvent, FALSE);
            PEPROCESS process = sk::CreateProcess(false, "stuck");
            PKTHREAD a = sk::StartThread(process, "first", WaitForA, &p);
            sk::StartThread(process, "second", WaitForB, &p);
            sk::SetThreadName("test");
            sk::JoinThread(a);
        },
        "deadlock: every thread of the machine waits and no wait has a deadline\n"
        "(.|\n)*thread [0-9]+ 'test' of System \\(4\\): waits in JoinThread for thread 0x[0-9a-f]+ with no deadline"
        "(.|\n)*'first' of stuck \\([0-9]+\\): waits in KeWaitForSingleObject for synchronization event"
        "(.|\n)*'second' of stuck");
}

TEST(Clock, PerformanceCounterAtAnyFrequency)
{
    sk::SetClockMode(sk::ClockMode::Manual);
    LARGE_INTEGER frequency;
    KeQueryPerformanceCounter(&frequency);
    EXPECT_EQ(frequency.QuadPart, 10'000'000) << "10 MHz unless set";
    sk::SetPerformanceFrequency(3'579'545);
    const LONGLONG t0 = sk::Now();
    const LONGLONG c0 = KeQueryPerformanceCounter(&frequency).QuadPart;
    EXPECT_EQ(frequency.QuadPart, 3'579'545);
    EXPECT_EQ(c0, (LONGLONG)((__int128)t0 * 3'579'545 / sk::kTicksPerSecond));
    sk::AdvanceClock(sk::kTicksPerSecond);
    EXPECT_EQ(KeQueryPerformanceCounter(nullptr).QuadPart - c0, 3'579'545);
    sk::SetPerformanceFrequency(10'000'000);
    sk::SetClockMode(sk::ClockMode::Real);
}

TEST(Clock, TimerResolutionIsTheFinestAProcessAskedFor)
{
    PEPROCESS quiet = sk::CreateProcess(false), player = sk::CreateProcess(false);
    EXPECT_EQ(sk::TimerResolution(quiet), 156'250) << "15.625 ms by default";
    sk::RequestTimerResolution(player, 10 * kMs);
    sk::RequestTimerResolution(player, 1 * kMs);
    EXPECT_EQ(sk::TimerResolution(player), kMs);
    EXPECT_EQ(sk::TimerResolution(quiet), 156'250) << "another process's request is not its own";
    EXPECT_LE(sk::TimerResolution(sk::SystemProcess()), kMs) << "the system's timers run at the finest rate";
    sk::ReleaseTimerResolution(player, 1 * kMs);
    EXPECT_EQ(sk::TimerResolution(player), 10 * kMs);
    sk::ReleaseTimerResolution(player, 10 * kMs);
    EXPECT_EQ(sk::TimerResolution(player), 156'250);
}

} // namespace
