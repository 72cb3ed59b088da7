// OmbHost against the stand-in device, in virtual time: start and stop, the
// replies to driver requests, and the ticks that clock the cyclic buffer.
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include "HostFixture.h"

using namespace Ombrivo;
using namespace device_tests;
namespace dev = standin_device;

namespace {

constexpr HRESULT NotStarted = static_cast<HRESULT>(0x8007139F);
constexpr HRESULT Unexpected = static_cast<HRESULT>(0x8000FFFF);
constexpr HRESULT InvalidFunction = static_cast<HRESULT>(0x80070001); // a refused reply

// Stop on another thread of the process, left to run while virtual time
// moves in 5 ms steps.
class AsyncStop {
public:
    AsyncStop(OmbHost *host, uint64_t process)
        : thread([this, host, process] {
              dev::InProcess scope(process);
              host->Stop();
              done = true;
          })
    {
    }

    ~AsyncStop() { Finish(); }

    // Lets time run until Stop has returned. A limit counts virtual time
    // from the call on, so the caller makes sure Stop already waits for the
    // loop; a Stop still not returned by then never would, and ends the
    // test program.
    void Finish(unsigned limitMs = 0)
    {
        for (unsigned ms = 0; !done;) {
            if (dev::TimedWaiters() == 0) {
                std::this_thread::yield();
                continue;
            }
            if (limitMs != 0 && ms >= limitMs) {
                std::fprintf(stderr, "Stop has not returned after %u ms of virtual time\n", ms);
                std::abort();
            }
            dev::AdvanceClock(5 * Millisecond);
            ms += 5;
        }
        if (thread.joinable())
            thread.join();
    }

private:
    std::atomic<bool> done{false};
    std::thread thread;
};

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

namespace {

// The points of a loop's life where Stop can land.
enum class Landing {
    BeforeTheLoop,
    AsTheLoopStarts,   // Stop and EventLoop called together, Stop a little later each round
    WhileTheLoopWaits,
    InsideTransferData, // from another thread while the loop is in the application's code
    InsideTransferDataOnItsThread,
    WhileAReplyFails,   // the loop is ending on a refused reply
    AfterAFailedReply,
};

} // namespace

// Wherever Stop lands, it returns with the loop ended and the host stopped
// with nothing left behind, and the next Start runs a loop afresh instead of
// ending it at once on a stop request left over.
TEST_F(HostTest, StopLandsAtEveryPointOfTheLoop)
{
    const Landing landings[] = {Landing::BeforeTheLoop,      Landing::AsTheLoopStarts,
                                Landing::WhileTheLoopWaits,  Landing::InsideTransferData,
                                Landing::InsideTransferDataOnItsThread, Landing::WhileAReplyFails,
                                Landing::AfterAFailedReply};
    for (const Landing landing : landings) {
        const int rounds = landing == Landing::AsTheLoopStarts ? 200 : 2;
        for (int round = 0; round < rounds; ++round) {
            SCOPED_TRACE(testing::Message() << "landing " << static_cast<int>(landing) << ", round " << round);
            Start(Stereo48k);
            switch (landing) {
            case Landing::BeforeTheLoop:
                EXPECT_EQ(host->Stop(), S_OK);
                EXPECT_EQ(host->EventLoop(10), NotStarted);
                break;
            case Landing::AsTheLoopStarts: {
                dev::UseVirtualClock(true);
                std::atomic<bool> go{false};
                std::atomic<bool> stopped{false};
                loopDone = false;
                loop = std::thread([&] {
                    dev::InProcess scope(process);
                    SpinUntil([&] { return go.load(); });
                    loopResult = host->EventLoop(10);
                    loopDone = true;
                });
                std::thread stopper([&] {
                    dev::InProcess scope(process);
                    SpinUntil([&] { return go.load(); });
                    std::atomic<int> spin{0};
                    while (spin.fetch_add(1, std::memory_order_relaxed) < round * 20) {
                    }
                    host->Stop();
                    stopped = true;
                });
                go = true;
                while (!stopped || !loopDone) {
                    if (dev::TimedWaiters() > 0)
                        dev::AdvanceClock(5 * Millisecond);
                    else
                        std::this_thread::yield();
                }
                stopper.join();
                loop.join();
                // The loop ended on the stop, or never began when Stop was done first.
                EXPECT_TRUE(loopResult == S_OK || loopResult == NotStarted) << std::hex << loopResult;
                break;
            }
            case Landing::WhileTheLoopWaits:
                RunLoop(10);
                AsyncStop(host, process).Finish();
                loop.join();
                EXPECT_EQ(loopResult.load(), S_OK);
                break;
            case Landing::InsideTransferData: {
                RunLoop(10);
                RunStream(960, 0);
                std::optional<AsyncStop> stop;
                std::atomic<bool> stopLanded{false};
                recorder.onCall = [&] {
                    if (stop)
                        return;
                    stop.emplace(host, process);
                    dev::WaitForTimedWaiters(1); // Stop polls for the loop to end
                    stopLanded = true;
                };
                recorder.Take(); // what an earlier round's stream left
                dev::AdvanceClock(10 * Millisecond);
                SpinUntil([&] { return stopLanded.load(); });
                stop->Finish();
                loop.join();
                recorder.onCall = nullptr;
                EXPECT_EQ(loopResult.load(), S_OK);
                EXPECT_EQ(recorder.Take().size(), 1u);
                break;
            }
            case Landing::InsideTransferDataOnItsThread:
                RunLoop(10);
                RunStream(960, 0);
                recorder.onCall = [this] { EXPECT_EQ(host->Stop(), S_OK); };
                dev::AdvanceClock(10 * Millisecond);
                loop.join();
                recorder.onCall = nullptr;
                EXPECT_EQ(loopResult.load(), S_OK);
                EXPECT_TRUE(host->IsStarted()); // asked to end only: the caller stops it afterwards
                EXPECT_EQ(host->Stop(), S_OK);
                break;
            case Landing::WhileAReplyFails: {
                RunLoop(10);
                dev::RefuseRequest(RenderPipe, ReqNotify, static_cast<int32_t>(0xC0000010));
                dev::HoldNextRequest(RenderPipe, ReqNotify);
                std::thread poster([] { dev::Post(RenderPipe, ClientReqStateChanged); });
                SpinUntil([] { return dev::IsHoldingRequest(RenderPipe); });
                std::optional<AsyncStop> stop;
                stop.emplace(host, process);
                dev::WaitForTimedWaiters(2); // the driver waits for the reply, Stop for the loop
                dev::ReleaseHeldRequest(RenderPipe);
                stop->Finish(); // the driver gives up on the reply meanwhile
                loop.join();
                poster.join();
                dev::RefuseRequest(RenderPipe, ReqNotify, 0);
                EXPECT_EQ(loopResult.load(), InvalidFunction);
                break;
            }
            case Landing::AfterAFailedReply: {
                RunLoop(10);
                dev::RefuseRequest(RenderPipe, ReqNotify, static_cast<int32_t>(0xC0000010));
                std::thread poster([] { dev::Post(RenderPipe, ClientReqStateChanged); });
                loop.join();
                EXPECT_EQ(loopResult.load(), InvalidFunction);
                EXPECT_TRUE(host->IsStarted());
                AsyncStop(host, process).Finish();
                poster.join();
                dev::RefuseRequest(RenderPipe, ReqNotify, 0);
                break;
            }
            }
            ExpectStopped();

            // Afresh: the loop runs and answers the driver until stopped.
            Start(Stereo48k);
            RunLoop(10);
            ASSERT_FALSE(loopDone) << "the loop ended at once, on a stop request left over";
            EXPECT_EQ(dev::Post(RenderPipe, ClientReqBufferAllocated), S_OK);
            AsyncStop(host, process).Finish();
            loop.join();
            EXPECT_EQ(loopResult.load(), S_OK);
            ExpectStopped();
        }
    }
}

// An exception from the application's TransferData stays inside the library:
// the loop releases the timer period and ends with E_UNEXPECTED, the host
// stays started, and a Stop on the loop's own thread afterwards stops it (the
// thread is no longer marked as inside a callback).
TEST_F(HostTest, ExceptionFromTransferDataEndsTheLoopCleanly)
{
    Start(Stereo48k);
    std::atomic<bool> stoppedOnLoopThread{false};
    dev::UseVirtualClock(true);
    loop = std::thread([this, &stoppedOnLoopThread] {
        dev::InProcess scope(process);
        loopResult = host->EventLoop(10);
        loopDone = true;
        host->Stop();
        stoppedOnLoopThread = true;
    });
    dev::WaitForTimedWaiters(1);
    RunStream(960, 0);
    recorder.onCall = [] { throw std::runtime_error("application fault"); };
    dev::AdvanceClock(10 * Millisecond);
    loop.join();
    EXPECT_EQ(loopResult.load(), Unexpected);
    EXPECT_TRUE(stoppedOnLoopThread);
    EXPECT_EQ(dev::PositionNotifications(RenderPipe), 0u);
    ExpectStopped();

    // The host starts and runs again.
    recorder.onCall = nullptr;
    Start(Stereo48k);
    RunLoop(10);
    RunStream(960, 0);
    Tick(10);
    EXPECT_EQ(recorder.Take().size(), 2u); // the throwing call's offer, then this tick's
}

// Every wait fails once something in the process closed the host's event; with
// an INFINITE period the loop must still pause only briefly between them, so
// that it sees Stop.
TEST_F(HostTest, FailedWaitsWithAnInfinitePeriodStillEndOnStop)
{
    Start(Stereo48k);
    RunLoop(INFINITE);
    ASSERT_TRUE(CloseHandle(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(dev::ClientEventHandle(RenderPipe)))));
    dev::SignalClient(RenderPipe); // ends the wait under way; the next one fails
    dev::WaitForTimedWaiters(1);   // the loop pauses after the failed wait
    AsyncStop stop(host, process);
    dev::WaitForTimedWaiters(2); // and Stop waits for the loop
    stop.Finish(100);
    loop.join();
    EXPECT_EQ(loopResult.load(), S_OK);
    ExpectStopped();
}

// A format change the driver defers while an earlier stream is attached: the
// stream's buffer counts 4-byte frames (131072 fill the pipe's 512 KiB) while
// the host clocks 8-byte frames. No stretch leaves the 512 KiB the block
// describes; the position beyond what fits is not handed out at all.
TEST_F(HostTest, StretchesStayInsideTheBlocksBuffer)
{
    Start(WaveFormat(48000, 32, 2, 4, 3));
    RunLoop(1000);
    RunStream(131072, 100000);
    Tick(1000);
    std::vector<Call> calls = recorder.Take();
    for (const Call &c : calls)
        EXPECT_LE(uint64_t(c.frame) * 8 + c.bytes, PIPE_BUFFER_BYTES) << "at frame " << c.frame;
    EXPECT_TRUE(calls.empty());

    // Inside the bytes the stretch runs up to their end, not to the frame count's.
    dev::Block(RenderPipe).DevicePositionFrames = 65000;
    Tick(1000);
    calls = recorder.Take();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].frame, 65000u);
    EXPECT_EQ(calls[0].bytes, (65536u - 65000u) * 8);
}

// Before Start and after Stop the host has no block: GetCommonData gives a
// constant all-zero one.
TEST_F(HostTest, CommonDataWithoutAPipeIsAllZero)
{
    const CommonDataDesc zero = {};
    EXPECT_EQ(memcmp(&host->GetCommonData(), &zero, sizeof zero), 0);
    Start(Stereo48k);
    EXPECT_EQ(host->GetCommonData().BufferSizeBytes, PIPE_BUFFER_BYTES);
    EXPECT_EQ(host->Stop(), S_OK);
    EXPECT_EQ(memcmp(&host->GetCommonData(), &zero, sizeof zero), 0);
}
