// Sleep, WaitForSingleObject and the performance counter on the kernel's
// virtual clock, and the counting of timer periods.
#include <gtest/gtest.h>
#include <mmsystem.h>
#include <win32_standin.h>
#include <windows.h>

#include <atomic>
#include <thread>

namespace {

class VirtualTime : public ::testing::Test {
protected:
    void SetUp() override { standin::win32::UseVirtualClock(true); }
    void TearDown() override { standin::win32::UseVirtualClock(false); }
};

TEST_F(VirtualTime, SleepEndsExactlyWhenTheClockPassesItsTime)
{
    std::atomic<bool> woke{false};
    std::thread sleeper([&] {
        Sleep(1000);
        woke = true;
    });
    standin::win32::WaitForBlockedWaiters(1);
    standin::win32::AdvanceClock(999 * 10000);
    EXPECT_FALSE(woke.load());
    standin::win32::AdvanceClock(1 * 10000);
    sleeper.join();
    EXPECT_TRUE(woke.load());
}

TEST_F(VirtualTime, WaitTimesOutAfterItsTimeUnlessSignalled)
{
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    std::atomic<DWORD> result{0xFFFF};
    std::thread waiter([&] { result = WaitForSingleObject(event, 1000); });
    standin::win32::WaitForBlockedWaiters(1);
    standin::win32::AdvanceClock(999 * 10000);
    EXPECT_EQ(result.load(), 0xFFFFu);
    standin::win32::AdvanceClock(10000);
    waiter.join();
    EXPECT_EQ(result.load(), static_cast<DWORD>(WAIT_TIMEOUT));

    // Signalled before its time: the wait ends with the event, not the clock.
    std::thread second([&] { result = WaitForSingleObject(event, 1000); });
    standin::win32::WaitForBlockedWaiters(1);
    EXPECT_TRUE(SetEvent(event));
    second.join();
    EXPECT_EQ(result.load(), WAIT_OBJECT_0);
    CloseHandle(event);
}

TEST_F(VirtualTime, CounterFollowsTheClock)
{
    LARGE_INTEGER a, b;
    ASSERT_TRUE(QueryPerformanceCounter(&a));
    standin::win32::AdvanceClock(10 * 10000); // 10 ms
    ASSERT_TRUE(QueryPerformanceCounter(&b));
    EXPECT_EQ(b.QuadPart - a.QuadPart, 100000);
}

TEST(TimerPeriods, BeginsAndEndsAreCountedPerPeriod)
{
    standin::win32::ResetTimerPeriods();
    EXPECT_EQ(timeBeginPeriod(1), static_cast<MMRESULT>(TIMERR_NOERROR));
    EXPECT_EQ(timeBeginPeriod(1), static_cast<MMRESULT>(TIMERR_NOERROR));
    EXPECT_EQ(timeBeginPeriod(0), static_cast<MMRESULT>(TIMERR_NOCANDO)); // not counted
    EXPECT_EQ(standin::win32::OutstandingTimerPeriods(1), 2);
    EXPECT_EQ(timeEndPeriod(1), static_cast<MMRESULT>(TIMERR_NOERROR));
    EXPECT_EQ(timeEndPeriod(5), static_cast<MMRESULT>(TIMERR_NOERROR)); // never begun
    const auto counts = standin::win32::TimerPeriodState();
    EXPECT_EQ(counts.begins, 2u);
    EXPECT_EQ(counts.ends, 2u);
    EXPECT_EQ(counts.outstanding, 1);
    EXPECT_EQ(counts.unmatchedEnds, 1u);
    EXPECT_EQ(timeEndPeriod(1), static_cast<MMRESULT>(TIMERR_NOERROR));
    EXPECT_EQ(standin::win32::TimerPeriodState().outstanding, 0);
}

} // namespace

namespace {

// A client's own thread ticking with Sleep(1) for a virtual second, on the
// clock that advances itself: exact, and done at once.
struct Ticker {
    LARGE_INTEGER first{}, last{};
    int ticks = 0;
};

TEST(SimulatedTime, AClientThreadTicksAVirtualSecondExactly)
{
    standin::win32::SetClockMode(standin::win32::ClockMode::Simulated);
    Ticker t;
    {
        standin::win32::ClientProcess client;
        client.RunThread(
            "ticker",
            [](void *c) {
                auto t = static_cast<Ticker *>(c);
                timeBeginPeriod(1);
                QueryPerformanceCounter(&t->first);
                for (int i = 0; i < 1000; ++i) {
                    Sleep(1);
                    ++t->ticks;
                }
                QueryPerformanceCounter(&t->last);
                timeEndPeriod(1);
            },
            &t);
        client.JoinThreads();
    }
    standin::win32::SetClockMode(standin::win32::ClockMode::Real);
    EXPECT_EQ(t.ticks, 1000);
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    EXPECT_EQ(t.last.QuadPart - t.first.QuadPart, frequency.QuadPart);
}

TEST(TimerResolution, TimeBeginPeriodSetsTheProcessResolution)
{
    standin::win32::ClientProcess client;
    standin::win32::ProcessScope in(client);
    EXPECT_EQ(client.TimerResolution(), 156250) << "15.625 ms until the process asks";
    ASSERT_EQ(timeBeginPeriod(1), (MMRESULT)TIMERR_NOERROR);
    EXPECT_EQ(client.TimerResolution(), 10000);
    ASSERT_EQ(timeEndPeriod(1), (MMRESULT)TIMERR_NOERROR);
    EXPECT_EQ(client.TimerResolution(), 156250);
    standin::win32::ResetTimerPeriods();
}

TEST(PerformanceCounter, FrequencyCanBeAnOddOne)
{
    standin::win32::SetPerformanceFrequency(3579545);
    LARGE_INTEGER frequency;
    EXPECT_TRUE(QueryPerformanceFrequency(&frequency));
    EXPECT_EQ(frequency.QuadPart, 3579545);
    standin::win32::SetPerformanceFrequency(10000000);
}

} // namespace
