// Time-outs and the performance counter on the virtual clock: exact, instant
// and deterministic.
#include <kernel_standin.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace sk = standin::kernel;

namespace {

constexpr LONGLONG kSecond = sk::kTicksPerSecond;

class VirtualTime : public ::testing::Test {
protected:
    void SetUp() override { sk::UseVirtualClock(true); }
    void TearDown() override { sk::UseVirtualClock(false); }
};

struct TimedWait {
    NTSTATUS status = -1;
    LONGLONG endedAt = 0;
};

TEST_F(VirtualTime, RelativeTimeOutEndsExactlyWhenTheClockPassesIt)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LONGLONG start = sk::Now();
    TimedWait result;
    std::thread waiter([&] {
        LARGE_INTEGER timeout;
        timeout.QuadPart = -kSecond;
        result.status = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
        result.endedAt = sk::Now();
    });
    sk::WaitForBlockedWaiters(1);
    sk::AdvanceClock(kSecond - 1);
    EXPECT_EQ(sk::BlockedWaiters(), 1u) << "one tick short of the deadline the wait goes on";
    sk::AdvanceClock(1);
    EXPECT_EQ(sk::BlockedWaiters(), 0u) << "AdvanceClock returns after the expired wait has left";
    waiter.join();
    EXPECT_EQ(result.status, STATUS_TIMEOUT);
    EXPECT_EQ(result.endedAt, start + kSecond);
}

TEST_F(VirtualTime, SignalBeforeTheDeadlineEndsTheWaitWithSuccess)
{
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    NTSTATUS status = -1;
    std::thread waiter([&] {
        LARGE_INTEGER timeout;
        timeout.QuadPart = -kSecond;
        status = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
    });
    sk::WaitForBlockedWaiters(1);
    sk::AdvanceClock(kSecond / 2);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    waiter.join();
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST_F(VirtualTime, AbsoluteTimeOutIsSystemTime)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    TimedWait result;
    LONGLONG start = sk::Now();
    std::thread waiter([&] {
        LARGE_INTEGER deadline;
        deadline.QuadPart = now.QuadPart + 3 * kSecond;
        result.status = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &deadline);
        result.endedAt = sk::Now();
    });
    sk::WaitForBlockedWaiters(1);
    sk::AdvanceClock(2 * kSecond);
    EXPECT_EQ(sk::BlockedWaiters(), 1u);
    sk::AdvanceClock(kSecond);
    waiter.join();
    EXPECT_EQ(result.status, STATUS_TIMEOUT);
    EXPECT_EQ(result.endedAt, start + 3 * kSecond);

    LARGE_INTEGER past;
    past.QuadPart = now.QuadPart;
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &past), STATUS_TIMEOUT)
        << "a deadline already passed is a poll";
}

TEST_F(VirtualTime, DelayReturnsSuccessAfterItsInterval)
{
    NTSTATUS status = -1;
    LONGLONG start = sk::Now(), endedAt = 0;
    std::thread sleeper([&] {
        LARGE_INTEGER interval;
        interval.QuadPart = -10'000; // 1 ms
        status = KeDelayExecutionThread(KernelMode, FALSE, &interval);
        endedAt = sk::Now();
    });
    sk::WaitForBlockedWaiters(1);
    sk::AdvanceClock(10'000);
    sleeper.join();
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(endedAt, start + 10'000);
}

TEST_F(VirtualTime, WaitsEndInDeadlineOrderAsTheClockPassesEach)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LONGLONG start = sk::Now();
    LONGLONG endedAt[2] = {};
    auto waitFor = [&](int i, LONGLONG ticks) {
        LARGE_INTEGER timeout;
        timeout.QuadPart = -ticks;
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
        endedAt[i] = sk::Now();
    };
    std::thread shortWait(waitFor, 0, 10 * 10'000), longWait(waitFor, 1, 20 * 10'000);
    sk::WaitForBlockedWaiters(2);
    sk::AdvanceClock(10 * 10'000);
    shortWait.join();
    EXPECT_EQ(sk::BlockedWaiters(), 1u);
    sk::AdvanceClock(10 * 10'000);
    longWait.join();
    EXPECT_EQ(endedAt[0], start + 10 * 10'000);
    EXPECT_EQ(endedAt[1], start + 20 * 10'000);
}

// A thread that waits again as soon as its time-out ends, a period at a time,
// and an observer that moves the clock a period whenever it sees the thread
// waiting: every period ends exactly one wait. Were the waiter counted before
// its time-out was set, the observer could move the clock past a deadline
// nobody watched, and that wait would end a period late. A third thread asks
// for the timer resolution all the while: it holds the clock's lock now and
// then, as a process starting a timer period does, which widens that gap.
TEST_F(VirtualTime, EveryAdvanceEndsTheTimedWaitItSawBlocked)
{
    constexpr int kPeriods = 2000;
    constexpr LONGLONG kPeriod = kSecond / 1000;
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    std::atomic<int> ended{0};
    std::atomic<LONGLONG> longest{0};
    std::atomic<bool> done{false};
    std::thread asker([&] {
        while (!done)
            sk::TimerResolution(sk::SystemProcess());
    });
    std::thread waiter([&] {
        for (int i = 0; i < kPeriods; ++i) {
            LARGE_INTEGER timeout;
            timeout.QuadPart = -kPeriod;
            const LONGLONG start = sk::Now();
            ASSERT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
            if (sk::Now() - start > longest)
                longest = sk::Now() - start;
            ++ended;
        }
    });
    for (int i = 0; i < kPeriods; ++i) {
        // Looking all the time, as a test moving the clock whenever a
        // thread waits does, catches the waiter at its first count.
        while (sk::BlockedWaiters() < 1)
            std::this_thread::yield();
        ASSERT_EQ(ended.load(), i) << "period " << i << " did not end the wait it saw";
        sk::AdvanceClock(kPeriod);
    }
    waiter.join();
    done = true;
    asker.join();
    EXPECT_EQ(ended.load(), kPeriods);
    EXPECT_EQ(longest.load(), kPeriod) << "each wait lasts exactly its time-out";
}

TEST_F(VirtualTime, PerformanceCounterRunsAtTenMegahertzOnTheClock)
{
    LARGE_INTEGER frequency;
    LARGE_INTEGER before = KeQueryPerformanceCounter(&frequency);
    EXPECT_EQ(frequency.QuadPart, 10'000'000);
    sk::AdvanceClock(123'456);
    EXPECT_EQ(KeQueryPerformanceCounter(nullptr).QuadPart - before.QuadPart, 123'456);
    EXPECT_EQ((LONGLONG)KeQueryInterruptTime(), sk::Now());
}

TEST(RealTime, IsTheDefaultAndMoves)
{
    EXPECT_FALSE(sk::IsVirtualClock());
    LARGE_INTEGER interval;
    interval.QuadPart = -10'000;
    LONGLONG before = sk::Now();
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &interval), STATUS_SUCCESS);
    EXPECT_GE(sk::Now() - before, 10'000);
}

} // namespace
