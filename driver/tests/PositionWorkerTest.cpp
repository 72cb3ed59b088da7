// The position worker: each pipe has its thread from start to unload, woken
// by position notifications only; each update takes up the latest device
// position, also when notifications came while the link was busy.
#include <kernel_standin.h>
#include <memory>
#include <thread>
#include "CoreClient.h"
#include "ManualHost.h"

namespace core_tests {
namespace {

namespace kernel = standin::kernel;
using host_client::ManualHost;

constexpr DataFormatDesc Stereo48k = {48000, 16, 2, 2, 0x3};

class PositionWorker : public testing::Test {
protected:
    void SetUp() override
    {
        threadsBefore = kernel::RunningSystemThreads();
        ASSERT_TRUE(dut::Load());
        host = std::make_unique<ManualHost>(PipeRender);
        ASSERT_EQ(host->Attach(Stereo48k), Success);
        engine = std::make_unique<Engine>(PipeRender);
    }
    void TearDown() override
    {
        kernel::UseVirtualClock(false);
        if (host)
            host->Answer(0);
        engine.reset();
        host.reset();
        if (dut::IsLoaded())
            dut::Unload();
    }
    // A running stream with a 480-frame buffer.
    void Run()
    {
        ASSERT_EQ(engine->Open(Stereo48k), Success);
        ASSERT_EQ(engine->AllocateBuffer(1920), Success);
        for (KSSTATE state : {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN})
            ASSERT_EQ(engine->Step(state), Success);
    }
    // The workers and the host's responder idle again.
    void Settle() { dut::WaitUntilBlocked(3); }

    size_t threadsBefore = 0;
    std::unique_ptr<ManualHost> host;
    std::unique_ptr<Engine> engine;
};

TEST_F(PositionWorker, EachPipeHasItsThreadUntilUnload)
{
    EXPECT_EQ(kernel::RunningSystemThreads(), threadsBefore + 2);
    engine.reset();
    host.reset();
    dut::Unload();
    EXPECT_EQ(kernel::RunningSystemThreads(), threadsBefore) << "both workers stopped";
}

TEST_F(PositionWorker, ANotificationMovesTheStreamOfItsPipeOnly)
{
    Run();
    host->MoveTo(10, 4, 480);
    Settle();
    EXPECT_EQ(host->Block().ReplyStatus, NotifyPositionAdvanced);
    EXPECT_EQ(dut::Block(PipeRender).StreamPositionFrames, 10u);
    EXPECT_EQ(uint64_t{dut::Block(PipeRender).TotalFrames}, 10u);
    EXPECT_EQ(uint64_t{dut::Block(PipeCapture).TotalFrames}, 0u) << "the other pipe's worker sleeps";
}

TEST_F(PositionWorker, ClientRepliesAreNotPositionNotifications)
{
    Run();
    host->Block().DevicePositionFrames = 7;
    ASSERT_EQ(host->SetMinimalBufferSize(32), Success); // any request but a notification
    Settle();
    EXPECT_EQ(uint64_t{dut::Block(PipeRender).TotalFrames}, 0u) << "the position is taken up only when notified";
    host->Notify();
    Settle();
    EXPECT_EQ(uint64_t{dut::Block(PipeRender).TotalFrames}, 7u);
}

// A state change holds the link while it waits for the host; the positions
// notified meanwhile are taken up afterwards, as the latest one.
TEST_F(PositionWorker, NotificationsWhileTheLinkIsBusyEndInTheLatestPosition)
{
    Run();
    host->StaySilent();
    kernel::UseVirtualClock(true);
    std::thread stepper([&] { engine->Step(KSSTATE_PAUSE); }); // down: it goes on after the wait
    kernel::WaitForBlockedWaiters(1, true);
    for (uint32_t frames : {100u, 200u, 300u})
        host->MoveTo(frames, 4, 480);
    EXPECT_EQ(uint64_t{dut::Block(PipeRender).TotalFrames}, 0u) << "the worker waits for the link";
    host->Answer(0);
    kernel::AdvanceClock(10'000'000);
    stepper.join();
    Settle();
    EXPECT_EQ(uint64_t{dut::Block(PipeRender).TotalFrames}, 0u) << "paused by then: nothing moves";
    ASSERT_EQ(engine->Step(KSSTATE_RUN), Success);
    host->Notify();
    Settle();
    EXPECT_EQ(uint64_t{dut::Block(PipeRender).TotalFrames}, 300u) << "from the last seen position to the latest";
}

// A worker whose thread object could not be referenced is still waited for
// until its thread has ended, not until it signals on its way out: with
// thread exits held back until the machine is idle, an unload that runs
// ahead of the thread's exit is stopped (0xCE, a thread still in the driver).
TEST(PositionWorkerTeardown, AWorkerWithoutAThreadReferenceIsWaitedForUntilItHasEnded)
{
    const size_t threadsBefore = kernel::RunningSystemThreads();
    ASSERT_EQ(dut::LoadDriver(), Success);
    ASSERT_EQ(dut::AddDevice(), Success);
    kernel::ResetFaults();
    kernel::FailNth(kernel::Fault::ObjectReference, 1);
    kernel::DeferThreadExits(true);
    EXPECT_EQ(dut::StartDevice(), InvalidHandle);
    EXPECT_EQ(kernel::InjectedFailures(kernel::Fault::ObjectReference), 1u);
    dut::Unload();
    kernel::DeferThreadExits(false);
    EXPECT_EQ(kernel::RunningSystemThreads(), threadsBefore);
    kernel::ResetFaults();
}

} // namespace
} // namespace core_tests
