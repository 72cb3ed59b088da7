// OmbHost against the stand-in device, in virtual time: start and stop, the
// replies to driver requests, and the ticks that clock the cyclic buffer.
#include <atomic>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>
#include "DeviceFixture.h"

using namespace Ombrivo;
using namespace device_tests;
namespace dev = standin_device;

namespace {

struct Call {
    uint32_t frame; // where the stretch starts in the buffer
    uint32_t bytes;
};

// Records every stretch and reports a configurable share of it handled.
class Recorder : public CallbackInterface {
public:
    unsigned TransferData(void *data, unsigned bytes) override
    {
        std::lock_guard lock(mutex);
        const auto offset = static_cast<uint32_t>(static_cast<uint8_t *>(data) - base);
        calls.push_back({frameSize ? offset / frameSize : 0, bytes});
        if (onCall)
            onCall();
        return handledLimit < bytes ? handledLimit : bytes;
    }

    std::vector<Call> Take()
    {
        std::lock_guard lock(mutex);
        return std::move(calls);
    }

    std::mutex mutex;
    std::vector<Call> calls;
    uint8_t *base = nullptr;
    uint32_t frameSize = 4;
    unsigned handledLimit = ~0u;
    std::function<void()> onCall;
};

class HostTest : public DeviceFixture {
protected:
    void SetUp() override
    {
        DeviceFixture::SetUp();
        ASSERT_EQ(OmbHost::Create(host, *driver, false, recorder), S_OK);
    }

    void TearDown() override
    {
        if (loop.joinable()) {
            StopFromAnotherThread();
        }
        host->Delete();
        DeviceFixture::TearDown();
    }

    void Start(const WaveFormat &format, unsigned minimalMs = 0)
    {
        ASSERT_EQ(host->Start(format, minimalMs), S_OK);
        recorder.base = reinterpret_cast<uint8_t *>(static_cast<uintptr_t>(host->GetCommonData().BufferAddress));
        recorder.frameSize = format.GetFrameSize();
    }

    // Runs the loop on its own thread, in the test's client process.
    void RunLoop(unsigned tickMs)
    {
        dev::UseVirtualClock(true);
        loop = std::thread([this, tickMs] {
            dev::InProcess scope(process);
            loopResult = host->EventLoop(tickMs);
        });
        dev::WaitForTimedWaiters(1);
    }

    // Lets exactly one period pass: the loop ticks and waits again.
    void Tick(unsigned ms)
    {
        dev::AdvanceClock(ms * Millisecond);
        dev::WaitForTimedWaiters(1);
    }

    // Announces a running stream with a buffer of `frames`, the position at
    // `position`, and waits until the loop waits again.
    void RunStream(uint32_t frames, uint32_t position)
    {
        dev::Block(RenderPipe).DevicePositionFrames = position;
        ASSERT_EQ(dev::AnnounceStream(RenderPipe, true, STREAM_STATE_RUN, frames), S_OK);
        dev::WaitForTimedWaiters(1);
    }

    void StopFromAnotherThread()
    {
        CallWhileTimeRuns(process, [this] { host->Stop(); });
        loop.join();
    }

    Recorder recorder;
    OmbHost *host = nullptr;
    std::thread loop;
    std::atomic<HRESULT> loopResult{-1};
};

const WaveFormat Stereo48k(48000, 16, 2, 2, 3);

} // namespace

TEST_F(HostTest, StartSetsEventFormatAndMinimalSize)
{
    EXPECT_FALSE(host->IsStarted());
    Start(WaveFormat(44100, 16, 2, 2, 3), 20);
    EXPECT_TRUE(host->IsStarted());
    EXPECT_TRUE(dev::HasClientEvent(RenderPipe));
    EXPECT_EQ(dev::Block(RenderPipe).Format.SR, 44100u);
    EXPECT_EQ(dev::Block(RenderPipe).MinBufferFrames, 882u);
    // A second start is refused and changes nothing.
    EXPECT_LT(host->Start(Stereo48k, 0), 0);
    EXPECT_EQ(dev::Block(RenderPipe).Format.SR, 44100u);
    EXPECT_EQ(host->Stop(), S_OK);
    EXPECT_FALSE(host->IsStarted());
    EXPECT_FALSE(dev::IsOpen(RenderPipe));
}

TEST_F(HostTest, RejectedFormatLeavesNoPipe)
{
    dev::RefuseRequest(RenderPipe, ReqSetFormat, static_cast<int32_t>(0xC000000D));
    EXPECT_EQ(host->Start(Stereo48k, 0), static_cast<HRESULT>(0x80070057));
    EXPECT_FALSE(host->IsStarted());
    EXPECT_FALSE(dev::IsOpen(RenderPipe));
    EXPECT_EQ(host->EventLoop(10), static_cast<HRESULT>(0x8007139F));
}

TEST_F(HostTest, RepliesToRequestsAndIgnoresBareSignals)
{
    Start(Stereo48k);
    RunLoop(10);
    const uint32_t replies = dev::RequestsSeen(RenderPipe, ReqNotify);
    EXPECT_EQ(dev::Post(RenderPipe, ClientReqBufferAllocated), S_OK);
    EXPECT_EQ(dev::RequestsSeen(RenderPipe, ReqNotify), replies + 1);
    dev::WaitForTimedWaiters(1);
    // A signal without a posted request gets no reply.
    dev::SignalClient(RenderPipe);
    dev::WaitForTimedWaiters(1);
    EXPECT_EQ(dev::RequestsSeen(RenderPipe, ReqNotify), replies + 1);
    // A state announced without a running stream moves nothing.
    EXPECT_EQ(dev::AnnounceStream(RenderPipe, true, STREAM_STATE_PAUSE, 960), S_OK);
    dev::WaitForTimedWaiters(1);
    Tick(10);
    EXPECT_TRUE(recorder.Take().empty());
}

TEST_F(HostTest, TickSplitsAtTheWrap)
{
    Start(Stereo48k);
    RunLoop(10);
    RunStream(960, 900);
    Tick(10);
    const std::vector<Call> calls = recorder.Take();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].frame, 900u);
    EXPECT_EQ(calls[0].bytes, 240u);
    EXPECT_EQ(calls[1].frame, 0u);
    EXPECT_EQ(calls[1].bytes, 1680u);
    EXPECT_EQ(dev::Block(RenderPipe).DevicePositionFrames, 420u);
    EXPECT_EQ(dev::Block(RenderPipe).DevicePositionBytes, 1680u);
    EXPECT_EQ(dev::LastNotifiedFrames(RenderPipe), 420u);
}

TEST_F(HostTest, StallHandsOutAtMostHalfTheBuffer)
{
    Start(Stereo48k);
    RunLoop(10);
    RunStream(960, 0);
    Tick(50);
    const std::vector<Call> calls = recorder.Take();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].bytes, 480u * 4);
    // The dropped time is not handed out later.
    Tick(10);
    ASSERT_EQ(recorder.Take().size(), 1u);
    EXPECT_EQ(dev::Block(RenderPipe).DevicePositionFrames, 0u); // 480 + 480 wraps to 0
}

TEST_F(HostTest, PositionMovesByWhatTheApplicationTook)
{
    Start(Stereo48k);
    RunLoop(10);
    RunStream(960, 900);
    recorder.handledLimit = 100; // 25 frames of each offer
    Tick(10);
    // Each offer counts in full against the tick's 480 frames, whatever the
    // application took; the position moves only by what it took.
    const std::vector<Call> calls = recorder.Take();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[0].frame, 900u);
    EXPECT_EQ(calls[0].bytes, 60u * 4);
    EXPECT_EQ(calls[1].frame, 925u);
    EXPECT_EQ(calls[1].bytes, 35u * 4);
    EXPECT_EQ(calls[2].frame, 950u);
    EXPECT_EQ(calls[2].bytes, 10u * 4);
    EXPECT_EQ(calls[3].frame, 0u);
    EXPECT_EQ(calls[3].bytes, 375u * 4);
    EXPECT_EQ(dev::Block(RenderPipe).DevicePositionFrames, 25u);
    EXPECT_EQ(dev::PositionNotifications(RenderPipe), 4u);
}

TEST_F(HostTest, PositionOutsideTheBufferIsBroughtBack)
{
    Start(Stereo48k);
    RunLoop(10);
    RunStream(960, 0);
    dev::Block(RenderPipe).DevicePositionFrames = 2000; // set from outside, beyond the buffer
    Tick(10);
    const std::vector<Call> calls = recorder.Take();
    ASSERT_FALSE(calls.empty());
    for (const Call &c : calls)
        EXPECT_LE(c.frame * 4 + c.bytes, 960u * 4);
    EXPECT_EQ(calls[0].frame, 2000u % 960u);
    EXPECT_LT(dev::Block(RenderPipe).DevicePositionFrames, 960u);
}

TEST_F(HostTest, ReattachRestartsTheClock)
{
    Start(Stereo48k);
    RunLoop(5);
    RunStream(960, 0);
    Tick(5);
    EXPECT_EQ(recorder.Take().size(), 1u);
    ASSERT_EQ(dev::AnnounceStream(RenderPipe, false, STREAM_STATE_STOP, 0), S_OK);
    dev::WaitForTimedWaiters(1);
    Tick(5);
    Tick(30);
    EXPECT_TRUE(recorder.Take().empty());
    // The time without a stream is not handed out to the next one.
    RunStream(960, 0);
    Tick(5);
    const std::vector<Call> calls = recorder.Take();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].bytes, 240u * 4);
}

TEST_F(HostTest, StopFromAnotherThreadEndsTheLoop)
{
    Start(Stereo48k);
    RunLoop(10);
    StopFromAnotherThread();
    EXPECT_EQ(loopResult.load(), S_OK);
    EXPECT_FALSE(host->IsStarted());
    EXPECT_FALSE(dev::IsOpen(RenderPipe));
    EXPECT_EQ(dev::TimerPeriodsHeld(), 0u);
}

TEST_F(HostTest, StopInsideTransferDataOnlyAsksTheLoopToEnd)
{
    Start(Stereo48k);
    RunLoop(10);
    RunStream(960, 0);
    recorder.onCall = [this] { EXPECT_EQ(host->Stop(), S_OK); };
    dev::AdvanceClock(10 * Millisecond);
    loop.join(); // the loop ends at its next pass
    EXPECT_EQ(loopResult.load(), S_OK);
    EXPECT_TRUE(host->IsStarted()); // still attached until stopped from outside
    EXPECT_TRUE(dev::IsOpen(RenderPipe));
    recorder.onCall = nullptr;
    EXPECT_EQ(host->Stop(), S_OK);
    EXPECT_FALSE(dev::IsOpen(RenderPipe));
}

TEST_F(HostTest, FailedReplyEndsTheLoop)
{
    Start(Stereo48k);
    RunLoop(10);
    dev::RefuseRequest(RenderPipe, ReqNotify, static_cast<int32_t>(0xC0000010));
    std::atomic<int32_t> posted{0};
    std::thread poster([&posted] { posted = dev::Post(RenderPipe, ClientReqStateChanged); });
    loop.join(); // the refused reply ends the loop with its status
    EXPECT_EQ(loopResult.load(), static_cast<HRESULT>(0x80070001));
    EXPECT_TRUE(host->IsStarted());
    // The driver, never answered, gives up after one second.
    dev::WaitForTimedWaiters(1);
    dev::AdvanceClock(1000 * Millisecond);
    poster.join();
    EXPECT_EQ(posted.load(), static_cast<int32_t>(0xC00000A3));
    dev::RefuseRequest(RenderPipe, ReqNotify, 0);
}

TEST_F(HostTest, ClockDoesNotDrift)
{
    // 44.1 frames are due each millisecond: over 5 s every frame is handed out.
    Start(WaveFormat(44100, 16, 2, 2, 3));
    RunLoop(1);
    RunStream(8192, 0);
    uint64_t offered = 0;
    for (int ms = 1; ms <= 5000; ++ms) {
        Tick(1);
        for (const Call &c : recorder.Take())
            offered += c.bytes / 4;
        const uint64_t due = static_cast<uint64_t>(ms) * 44100 / 1000;
        ASSERT_LE(offered > due ? offered - due : due - offered, 1u) << "after " << ms << " ms";
    }
    EXPECT_EQ(offered, 220500u);
}
