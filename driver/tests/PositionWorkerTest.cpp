// The position worker: woken by each position notification, it runs the
// link's position update under the link lock at priority 31; notifications
// that arrive during an update merge into one more.
#include <kernel_standin.h>
#include "CoreClient.h"

namespace core_tests {
namespace {

namespace kernel = standin::kernel;

class PositionWorker : public RenderPipeTest {
protected:
    void SetUp() override
    {
        threadsBefore = kernel::RunningSystemThreads();
        RenderPipeTest::SetUp();
    }

    void Advance(uint32_t frames)
    {
        view->DevicePositionFrames = frames;
        ASSERT_EQ(Notify(pipe, NotifyPositionAdvanced).status, Success);
    }

    size_t threadsBefore = 0;
};

TEST_F(PositionWorker, EachPipeHasItsThreadUntilUnload)
{
    EXPECT_EQ(kernel::RunningSystemThreads(), threadsBefore + 2);
    in.reset();
    process.End();
    core_device::Unload();
    EXPECT_EQ(kernel::RunningSystemThreads(), threadsBefore) << "both workers stopped";
    ASSERT_TRUE(core_device::Load()); // for TearDown
}

TEST_F(PositionWorker, NotificationRunsAnUpdateUnderTheLinkLockAtPriority31)
{
    Advance(10);
    core_device::WaitForUpdateStart(PipeRender);
    EXPECT_EQ(core_device::PositionUpdates(PipeRender), std::vector<uint32_t>{10});
    EXPECT_EQ(core_device::UnlockedUpdates(PipeRender), 0u);
    EXPECT_EQ(core_device::UpdaterPriority(PipeRender), HIGH_PRIORITY);
    EXPECT_TRUE(core_device::PositionUpdates(PipeCapture).empty()) << "the other pipe's worker sleeps";
    EXPECT_EQ(view->ReplyStatus, NotifyPositionAdvanced);
}

TEST_F(PositionWorker, NotificationsDuringAnUpdateMergeIntoOneMore)
{
    core_device::HoldUpdates(PipeRender, true);
    Advance(1);
    core_device::WaitForUpdateStart(PipeRender); // held inside the first update
    Advance(2);
    Advance(3);
    Advance(4);
    core_device::HoldUpdates(PipeRender, false);
    core_device::ReleaseUpdate(PipeRender);
    core_device::WaitForUpdateStart(PipeRender); // the merged one
    Advance(5);
    core_device::WaitForUpdateStart(PipeRender);
    // Both workers idle again on their wake events: nothing else is due.
    kernel::WaitForBlockedWaiters(2, false);
    const std::vector<uint32_t> expected = {1, 4, 5};
    EXPECT_EQ(core_device::PositionUpdates(PipeRender), expected) << "each update reads the latest position";
}

TEST_F(PositionWorker, ClientRepliesAreNotPositionNotifications)
{
    EXPECT_EQ(Notify(pipe, 0).status, Success);
    EXPECT_EQ(Notify(pipe, 0x20000002).status, Success);
    Advance(7);
    core_device::WaitForUpdateStart(PipeRender);
    EXPECT_EQ(core_device::PositionUpdates(PipeRender), std::vector<uint32_t>{7});
}

} // namespace
} // namespace core_tests

namespace core_tests {
namespace {

// A worker whose thread object could not be referenced is still waited for
// until its thread has ended, not until it signals on its way out: with
// thread exits held back until the machine is idle, an unload that runs
// ahead of the thread's exit is stopped (0xCE, a thread still in the driver).
TEST(PositionWorkerTeardown, AWorkerWithoutAThreadReferenceIsWaitedForUntilItHasEnded)
{
    const size_t threadsBefore = kernel::RunningSystemThreads();
    ASSERT_EQ(core_device::LoadAndAdd(), Success);
    kernel::ResetFaults();
    kernel::FailNth(kernel::Fault::ObjectReference, 1);
    kernel::DeferThreadExits(true);
    EXPECT_EQ(core_device::Start(), InvalidHandle);
    EXPECT_EQ(kernel::InjectedFailures(kernel::Fault::ObjectReference), 1u);
    core_device::Unload();
    kernel::DeferThreadExits(false);
    EXPECT_EQ(kernel::RunningSystemThreads(), threadsBefore);
    kernel::ResetFaults();
}

} // namespace
} // namespace core_tests
