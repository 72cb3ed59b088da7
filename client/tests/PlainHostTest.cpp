// A plain C render host (flat functions, hand-made callback table) runs
// against the stand-in device.
#include <atomic>
#include <thread>
#include "DeviceFixture.h"
#include "PlainHost.h"

using namespace device_tests;
namespace dev = standin_device;

namespace {

class PlainHostTest : public DeviceFixture {
protected:
    void TearDown() override
    {
        if (loop.joinable())
            StopLoop();
        PlainHostEnd();
        DeviceFixture::TearDown();
    }

    // Runs the C host's loop with a 10 ms tick over a running stream of
    // `bufferFrames` for `ticks` periods.
    void RunTicks(int ticks, uint32_t bufferFrames = 960)
    {
        dev::UseVirtualClock(true);
        loop = std::thread([this] {
            dev::InProcess scope(process);
            result = PlainHostLoop(10);
        });
        dev::WaitForTimedWaiters(1);
        ASSERT_EQ(dev::AnnounceStream(RenderPipe, true, STREAM_STATE_RUN, bufferFrames), 0);
        dev::WaitForTimedWaiters(1);
        for (int i = 0; i < ticks; ++i) {
            dev::AdvanceClock(10 * Millisecond);
            dev::WaitForTimedWaiters(1);
        }
    }

    void StopLoop()
    {
        CallWhileTimeRuns(process, [] { PlainHostStop(); });
        loop.join();
        EXPECT_EQ(result.load(), 0);
    }

    std::thread loop;
    std::atomic<long> result{-1};
};

} // namespace

TEST_F(PlainHostTest, RendersThroughTheFlatInterface)
{
    ASSERT_EQ(PlainHostStart(2, 3), 0);
    EXPECT_TRUE(PlainHostIsStarted());
    EXPECT_EQ(dev::Block(RenderPipe).Format.SR, 48000u);
    EXPECT_EQ(dev::Block(RenderPipe).MinBufferFrames, 960u);
    RunTicks(3);
    EXPECT_EQ(PlainHostBytes(), 3u * 480 * 4);
    EXPECT_EQ(dev::Block(RenderPipe).DevicePositionFrames, (3u * 480) % 960);
    StopLoop();
    EXPECT_FALSE(PlainHostIsStarted());
}

// A C caller's record that asks for the derived container size and the
// standard mask: the host clocks with the format the driver got, 4-byte
// frames, not with the record's container size of 0.
TEST_F(PlainHostTest, DerivedContainerSizeClocksTheStream)
{
    ASSERT_EQ(PlainHostStart(0, 0xFFFFFFFFu), 0);
    EXPECT_EQ(dev::Block(RenderPipe).Format.BPC, 2u);
    EXPECT_EQ(dev::Block(RenderPipe).Format.CC, 3u);
    RunTicks(3);
    EXPECT_EQ(PlainHostCalls(), 3u);
    EXPECT_EQ(PlainHostBytes(), 3u * 480 * 4);
    EXPECT_EQ(dev::LastNotifiedFrames(RenderPipe), (3u * 480) % 960);
    EXPECT_EQ(dev::LastNotifiedBytes(RenderPipe), (3u * 480) % 960 * 4);
}

TEST_F(PlainHostTest, CommonDataIsNullWithoutABlock)
{
    ASSERT_EQ(PlainHostStart(2, 3), 0);
    EXPECT_TRUE(PlainHostHasBlock());
    EXPECT_EQ(PlainPipeHasBlock(false), 1);
    EXPECT_EQ(PlainPipeHasBlock(true), 0);
    EXPECT_EQ(PlainHostStop(), 0);
    EXPECT_FALSE(PlainHostHasBlock());
}

// The clock trim and the counters through the flat functions, with the
// record as a C caller lays it out.
TEST_F(PlainHostTest, ClockTrimAndStatsThroughTheFlatInterface)
{
    ASSERT_EQ(PlainHostStart(2, 3), 0);
    EXPECT_EQ(PlainHostSetTrim(1000001), static_cast<long>(static_cast<int32_t>(0x80070057)));
    EXPECT_EQ(PlainHostSetTrim(1000000), 0);
    RunTicks(3, 4800);
    // 3 x 480.48 frames at 0.1 % fast, each tick rounded to the running total.
    EXPECT_EQ(PlainHostBytes(), 1441u * 4);
    unsigned long long counters[5] = {0, 0, 0, 0, 0};
    unsigned size = 0;
    EXPECT_EQ(PlainHostStats(48, counters, &size), 0);
    EXPECT_EQ(size, 48u);
    EXPECT_EQ(counters[0], 3u);
    EXPECT_EQ(counters[1], 1441u);
    EXPECT_EQ(counters[2], 0u);
    EXPECT_EQ(counters[3], 0u);
    EXPECT_EQ(counters[4], 0u);
    EXPECT_EQ(PlainHostStats(40, counters, &size), static_cast<long>(static_cast<int32_t>(0x80070057)));
    EXPECT_EQ(size, 40u);
}
