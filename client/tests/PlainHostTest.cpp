// A plain C render host (flat functions, hand-made callback table) runs
// against the stand-in device.
#include <atomic>
#include <thread>
#include "DeviceFixture.h"
#include "PlainHost.h"

using namespace device_tests;
namespace dev = standin_device;

TEST_F(DeviceFixture, PlainCHostRendersThroughTheFlatInterface)
{
    ASSERT_EQ(PlainHostStart(), 0);
    EXPECT_TRUE(PlainHostIsStarted());
    EXPECT_EQ(dev::Block(RenderPipe).Format.SR, 48000u);
    EXPECT_EQ(dev::Block(RenderPipe).MinBufferFrames, 960u);

    dev::UseVirtualClock(true);
    std::atomic<long> result{-1};
    std::thread loop([&] {
        dev::InProcess scope(process);
        result = PlainHostLoop(10);
    });
    dev::WaitForTimedWaiters(1);
    ASSERT_EQ(dev::AnnounceStream(RenderPipe, true, STREAM_STATE_RUN, 960), 0);
    dev::WaitForTimedWaiters(1);
    for (int i = 0; i < 3; ++i) {
        dev::AdvanceClock(10 * Millisecond);
        dev::WaitForTimedWaiters(1);
    }
    EXPECT_EQ(PlainHostBytes(), 3u * 480 * 4);
    EXPECT_EQ(dev::Block(RenderPipe).DevicePositionFrames, (3u * 480) % 960);

    CallWhileTimeRuns(process, [] { PlainHostStop(); });
    loop.join();
    EXPECT_EQ(result.load(), 0);
    EXPECT_FALSE(PlainHostIsStarted());
    PlainHostEnd();
}
