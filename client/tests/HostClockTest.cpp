// The host's clock trim and its counters, against the stand-in device in
// virtual time: a trimmed clock stays on its rate for minutes, a trim changed
// while running takes no step, trims beyond the limit are refused, and the
// counters read from another thread are whole.
#include <climits>
#include <cstring>
#include "HostFixture.h"

using namespace Ombrivo;
using namespace device_tests;

namespace {

constexpr HRESULT InvalidArgument = static_cast<HRESULT>(0x80070057);
constexpr int64_t Billion = 1000000000;

OmbHostStats ReadStats(const OmbHost *host)
{
    OmbHostStats stats;
    memset(&stats, 0xA5, sizeof stats);
    stats.Size = sizeof stats;
    EXPECT_EQ(host->GetStats(&stats), S_OK);
    EXPECT_EQ(stats.Size, sizeof stats);
    return stats;
}

class HostClockTest : public HostTest {
protected:
    // Frames offered since the last call.
    uint64_t Offered()
    {
        uint64_t frames = 0;
        for (const Call &c : recorder.Take())
            frames += c.bytes / recorder.frameSize;
        return frames;
    }

    // Runs `ticks` periods of `tickMs`; after each the frames offered in all
    // must lie within one frame of `expected(tick)` x 10^-9 frames, and each
    // tick's count within one frame of its share of that.
    template <typename Expected>
    void ExpectOnRate(int ticks, unsigned tickMs, Expected expected, uint64_t &offered, int64_t &tick)
    {
        for (int i = 0; i < ticks; ++i) {
            Tick(tickMs);
            ++tick;
            const uint64_t previous = offered;
            offered += Offered();
            const int64_t due = expected(tick);
            const int64_t error = static_cast<int64_t>(offered) * Billion - due;
            ASSERT_LE(error < 0 ? -error : error, Billion)
                << "tick " << tick << ": " << offered << " frames offered, " << due / double(Billion) << " due";
            const int64_t step = static_cast<int64_t>(offered - previous) * Billion - (due - expected(tick - 1));
            ASSERT_LT(step < 0 ? -step : step, Billion) << "tick " << tick << " took a step";
        }
    }
};

} // namespace

// Ten virtual minutes at 48 kHz with a 10 ms tick, the clock 250 ppm fast:
// after every tick the frames offered are within one frame of
// elapsed x 48000 x (1 + 250e-6), and the counters agree with the callback.
TEST_F(HostClockTest, TrimmedClockStaysOnItsRateForTenMinutes)
{
    ASSERT_EQ(host->SetClockTrim(250000), S_OK);
    Start(Stereo48k);
    RunLoop(10);
    RunStream(8192, 0);
    uint64_t offered = 0;
    int64_t tick = 0;
    const auto due = [](int64_t k) { return k * 480 * (Billion + 250000); };
    for (int minute = 0; minute < 10; ++minute) {
        ExpectOnRate(6000, 10, due, offered, tick);
        const OmbHostStats stats = ReadStats(host);
        EXPECT_EQ(stats.FramesHandedOut, offered);
        EXPECT_EQ(stats.Ticks, static_cast<uint64_t>(tick));
    }
    EXPECT_EQ(offered, 28807200u); // 600 s x 48000 x 1.00025
    EXPECT_EQ(dev::Block(RenderPipe).DevicePositionFrames, 28807200u % 8192);
}

// The slowest trim, at a rate that leaves a fraction every tick (44.1 frames
// a millisecond less 0.1 %): every tick within one frame, no drift.
TEST_F(HostClockTest, NegativeTrimRunsSlowWithoutDrift)
{
    ASSERT_EQ(host->SetClockTrim(-OMB_CLOCK_TRIM_LIMIT_PPB), S_OK);
    Start(WaveFormat(44100, 16, 2, 2, 3));
    RunLoop(1);
    RunStream(8192, 0);
    uint64_t offered = 0;
    int64_t tick = 0;
    ExpectOnRate(20000, 1, [](int64_t k) { return k * 441 * (Billion - 1000000) / 10; }, offered, tick);
    EXPECT_EQ(offered, 881118u); // 20 s x 44100 x 0.999, rounded
}

// A trim set while the loop runs applies from the next tick on: the total
// follows the two rates piece by piece, and no tick is off by more than a
// frame from its share, so the position takes no step.
TEST_F(HostClockTest, TrimChangedWhileRunningTakesNoStep)
{
    Start(Stereo48k);
    RunLoop(10);
    RunStream(8192, 0);
    uint64_t offered = 0;
    int64_t tick = 0;
    ASSERT_EQ(host->SetClockTrim(OMB_CLOCK_TRIM_LIMIT_PPB), S_OK);
    const auto fast = [](int64_t k) { return k * 480 * (Billion + 1000000); };
    ExpectOnRate(777, 10, fast, offered, tick);
    ASSERT_EQ(host->SetClockTrim(-OMB_CLOCK_TRIM_LIMIT_PPB), S_OK);
    const auto slow = [&fast](int64_t k) { return fast(777) + (k - 777) * 480 * (Billion - 1000000); };
    ExpectOnRate(1500, 10, slow, offered, tick);
    ASSERT_EQ(host->SetClockTrim(0), S_OK);
    const auto plain = [&slow](int64_t k) { return slow(2277) + (k - 2277) * 480 * Billion; };
    ExpectOnRate(100, 10, plain, offered, tick);
}

// Trims beyond 0.1 % either way are refused and leave the trim in force; the
// limits themselves are accepted. A trim set before Start applies to the first
// tick and stays across Stop and Start.
TEST_F(HostClockTest, TrimBeyondTheLimitIsRefused)
{
    ASSERT_EQ(host->SetClockTrim(OMB_CLOCK_TRIM_LIMIT_PPB), S_OK);
    ASSERT_EQ(host->SetClockTrim(-OMB_CLOCK_TRIM_LIMIT_PPB), S_OK);
    ASSERT_EQ(host->SetClockTrim(250000), S_OK);
    for (const int32_t refused : {OMB_CLOCK_TRIM_LIMIT_PPB + 1, -OMB_CLOCK_TRIM_LIMIT_PPB - 1, INT_MAX, INT_MIN})
        EXPECT_EQ(host->SetClockTrim(refused), InvalidArgument) << refused;

    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        Start(Stereo48k);
        RunLoop(10);
        RunStream(8192, 0);
        EXPECT_EQ(host->SetClockTrim(INT_MIN), InvalidArgument); // while running, too
        recorder.Take(); // what the loop offered while the last round stopped
        uint64_t offered = 0;
        int64_t tick = 0;
        ExpectOnRate(2000, 10, [](int64_t k) { return k * 480 * (Billion + 250000); }, offered, tick);
        EXPECT_EQ(offered, 960240u);
        StopFromAnotherThread();
    }
}

// The counters of a host whose application takes only part of each offer and
// whose ticks come late now and then; they start afresh with each Start.
TEST_F(HostClockTest, StatsCountWhatWasNotTakenAndLateTicks)
{
    OmbHostStats stats = ReadStats(host);
    EXPECT_EQ(stats.Ticks, 0u);
    EXPECT_EQ(stats.FramesHandedOut, 0u);
    EXPECT_EQ(stats.Reserved, 0u);

    Start(Stereo48k);
    RunLoop(10);
    Tick(10); // no stream runs yet: no tick is counted
    RunStream(8192, 0);
    recorder.handledLimit = 1000; // 250 frames of each offer
    for (int i = 0; i < 3; ++i)
        Tick(10);
    stats = ReadStats(host);
    EXPECT_EQ(stats.Ticks, 3u);
    EXPECT_EQ(stats.FramesHandedOut, 3u * 480);
    EXPECT_EQ(stats.FramesNotTaken, 3u * 230);
    EXPECT_EQ(stats.LateTicks, 0u);
    EXPECT_EQ(stats.MaxLatenessUs, 0u);

    Tick(35); // 25 ms late: more than two periods after the last tick
    Tick(20); // exactly two periods: 10 ms late, not counted as late
    stats = ReadStats(host);
    EXPECT_EQ(stats.Ticks, 5u);
    EXPECT_EQ(stats.LateTicks, 1u);
    EXPECT_EQ(stats.MaxLatenessUs, 25000u);
    EXPECT_EQ(stats.FramesHandedOut, 3u * 480 + 1680 + 960);
    EXPECT_EQ(stats.FramesNotTaken, 3u * 230 + 1430 + 710);
    EXPECT_EQ(dev::Block(RenderPipe).DevicePositionFrames, 5u * 250);

    // A driver request answered inside a period postpones the next tick by up
    // to a period: 5 ms late, not a late tick.
    dev::AdvanceClock(5 * Millisecond);
    ASSERT_EQ(dev::Post(RenderPipe, ClientReqBufferAllocated), S_OK);
    dev::WaitForTimedWaiters(1);
    Tick(10);
    stats = ReadStats(host);
    EXPECT_EQ(stats.Ticks, 6u);
    EXPECT_EQ(stats.LateTicks, 1u);
    EXPECT_EQ(stats.MaxLatenessUs, 25000u);
    EXPECT_EQ(stats.FramesHandedOut, 3u * 480 + 1680 + 960 + 720);

    // The counters stay readable after Stop (the loop may tick on while Stop
    // waits for it), and Start begins afresh.
    StopFromAnotherThread();
    EXPECT_GE(ReadStats(host).Ticks, 6u);
    Start(Stereo48k);
    stats = ReadStats(host);
    EXPECT_EQ(stats.Ticks, 0u);
    EXPECT_EQ(stats.FramesNotTaken, 0u);
    EXPECT_EQ(stats.MaxLatenessUs, 0u);
}

// Size tells both sides what the record holds: too small is refused with the
// record untouched; a larger record (a newer host's) gets the 48 bytes this
// library knows, and Size says so.
TEST_F(HostClockTest, StatsRecordSizeIsChecked)
{
    struct Grown {
        OmbHostStats stats;
        uint64_t later[2];
    } grown;
    memset(&grown, 0x5A, sizeof grown);
    grown.stats.Size = sizeof grown;
    ASSERT_EQ(host->GetStats(&grown.stats), S_OK);
    EXPECT_EQ(grown.stats.Size, 48u);
    EXPECT_EQ(grown.stats.Ticks, 0u);
    EXPECT_EQ(grown.later[0], 0x5A5A5A5A5A5A5A5Aull);

    for (const uint32_t size : {0u, 8u, 47u}) {
        OmbHostStats small;
        memset(&small, 0x5A, sizeof small);
        small.Size = size;
        EXPECT_EQ(host->GetStats(&small), InvalidArgument) << size;
        EXPECT_EQ(small.Size, size);
        EXPECT_EQ(small.Ticks, 0x5A5A5A5A5A5A5A5Aull);
    }
    EXPECT_EQ(host->GetStats(nullptr), InvalidArgument);
}

// Another thread reads the counters all the time the loop runs: each read is
// one instant between two ticks, never the ticks of one and the frames of
// another (every tick here offers exactly 480 frames).
TEST_F(HostClockTest, StatsReadFromAnotherThreadAreWhole)
{
    Start(Stereo48k);
    RunLoop(10);
    RunStream(960, 0);
    std::atomic<bool> done{false};
    std::atomic<uint64_t> reads{0};
    std::thread reader([&] {
        uint64_t lastTicks = 0;
        while (!done) {
            OmbHostStats stats = {};
            stats.Size = sizeof stats;
            ASSERT_EQ(host->GetStats(&stats), S_OK);
            ASSERT_EQ(stats.FramesHandedOut, stats.Ticks * 480) << "a read across two ticks";
            ASSERT_GE(stats.Ticks, lastTicks);
            lastTicks = stats.Ticks;
            ++reads;
        }
    });
    for (int i = 0; i < 3000; ++i)
        Tick(10);
    SpinUntil([&] { return reads > 0; });
    done = true;
    reader.join();
    EXPECT_EQ(ReadStats(host).Ticks, 3000u);
}
