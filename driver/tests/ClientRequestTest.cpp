// The driver's request to its client, in the platform's virtual time: the
// code and flags in the block, the client's event, the reply or the
// one-second time-out, stale replies and position notifications.
#include <kernel_standin.h>
#include <atomic>
#include <thread>
#include "CoreClient.h"

namespace core_tests {
namespace {

namespace kernel = standin::kernel;

class ClientRequest : public RenderPipeTest {
protected:
    void TearDown() override
    {
        kernel::UseVirtualClock(false);
        RenderPipeTest::TearDown();
    }

    // Runs RequestClient on a driver thread, as a stream would.
    void Post(uint32_t code)
    {
        poster = std::thread([this, code] {
            result = core_device::RequestClient(PipeRender, code);
            endedAt = kernel::Now();
            done = true;
        });
    }
    int32_t Finish()
    {
        poster.join();
        return result;
    }

    std::thread poster;
    std::atomic<int32_t> result{0};
    std::atomic<int64_t> endedAt{0};
    std::atomic<bool> done{false};
};

TEST_F(ClientRequest, WithoutAnEventItFailsAtOnceAndEndsTheStartFlags)
{
    ASSERT_EQ(block->RequestFlags, REQUEST_FLAGS_POSTED) << "set at device start";
    EXPECT_EQ(core_device::RequestClient(PipeRender, ClientReqBufferAllocated), DeviceNotReady);
    EXPECT_EQ(block->RequestFlags, 0u) << "the first request's end clears them";
    EXPECT_EQ(block->RequestCode, 0u);
    EXPECT_EQ(core_device::Block(PipeCapture).RequestFlags, REQUEST_FLAGS_POSTED) << "the other pipe's stay";
}

TEST_F(ClientRequest, AnsweringClientGetsItsStatusBack)
{
    const Handle event = CreateAndRegisterEvent(pipe);
    const uint32_t replies[] = {0xC0000022u, 0u};
    for (uint32_t reply : replies) {
        std::atomic<uint32_t> seenFlags{0}, seenCode{0};
        std::thread client([&] {
            InProcess inClient(process);
            ASSERT_EQ(boundary::WaitForObject(event, nullptr), Success);
            seenFlags = view->RequestFlags;
            seenCode = view->RequestCode;
            EXPECT_EQ(view->ReplyStatus, REPLY_STATUS_PRESET);
            EXPECT_EQ(Notify(pipe, reply).status, Success);
        });
        EXPECT_EQ(core_device::RequestClient(PipeRender, ClientReqStateChanged), static_cast<int32_t>(reply));
        client.join();
        EXPECT_EQ(seenFlags, REQUEST_FLAGS_POSTED) << "bits 0 and 1 while posted";
        EXPECT_EQ(seenCode, static_cast<uint32_t>(ClientReqStateChanged));
        EXPECT_EQ(block->RequestFlags, 0u);
        EXPECT_EQ(block->RequestCode, 0u);
    }
}

TEST_F(ClientRequest, SilentClientFailsItAfterExactlyOneSecond)
{
    const Handle event = CreateAndRegisterEvent(pipe);
    kernel::UseVirtualClock(true);
    const int64_t start = kernel::Now();
    Post(ClientReqBufferAllocated);
    kernel::WaitForBlockedWaiters(1, true);
    EXPECT_EQ(block->RequestFlags, REQUEST_FLAGS_POSTED);
    EXPECT_EQ(block->RequestCode, static_cast<uint32_t>(ClientReqBufferAllocated));
    const int64_t noWait = 0;
    EXPECT_EQ(boundary::WaitForObject(event, &noWait), Success) << "the client's event was set";

    kernel::AdvanceClock(OneSecond - 1);
    EXPECT_FALSE(done) << "still waiting one tick before the second is up";
    kernel::AdvanceClock(1);
    EXPECT_EQ(Finish(), DeviceNotReady);
    EXPECT_EQ(endedAt - start, OneSecond);
    EXPECT_EQ(block->RequestFlags & REQUEST_FLAGS_POSTED, 0u);
    EXPECT_EQ(block->RequestCode, 0u);
    EXPECT_EQ(block->ReplyStatus, REPLY_STATUS_PRESET) << "no reply came";
}

// The pipe holds its own reference: the event object outlives the client's
// handle until the pipe closes (a missing reference would be a use after
// free that the sanitizers catch here).
TEST_F(ClientRequest, ClientsOwnHandleMayGoBeforeThePipeDoes)
{
    const Handle event = CreateAndRegisterEvent(pipe);
    ASSERT_EQ(boundary::CloseHandle(event), Success);
    EXPECT_EQ(block->PipeReady, 1);
    kernel::UseVirtualClock(true);
    Post(ClientReqStateChanged);
    kernel::WaitForBlockedWaiters(1, true); // posted: the event was set
    kernel::AdvanceClock(OneSecond);
    EXPECT_EQ(Finish(), DeviceNotReady) << "nobody left to answer";
}

TEST_F(ClientRequest, StaleReplyIsConsumedBeforeTheNextRequest)
{
    CreateAndRegisterEvent(pipe);
    ASSERT_EQ(Notify(pipe, 0).status, Success) << "a reply with nothing waiting";
    EXPECT_EQ(block->ReplyStatus, 0u);
    kernel::UseVirtualClock(true);
    Post(ClientReqStateChanged);
    kernel::WaitForBlockedWaiters(1, true); // it waits: the stale signal did not answer it
    EXPECT_FALSE(done);
    kernel::AdvanceClock(OneSecond);
    EXPECT_EQ(Finish(), DeviceNotReady);
}

// The position notification lands between the reply and the driver reading
// it, or just after; the block keeps the later code either way.
TEST_F(ClientRequest, PositionNotificationRacingAReplyReplacesIt)
{
    const Handle event = CreateAndRegisterEvent(pipe);
    std::thread client([&] {
        InProcess inClient(process);
        ASSERT_EQ(boundary::WaitForObject(event, nullptr), Success);
        EXPECT_EQ(Notify(pipe, 0).status, Success);
        EXPECT_EQ(Notify(pipe, NotifyPositionAdvanced).status, Success);
    });
    const int32_t reply = core_device::RequestClient(PipeRender, ClientReqStateChanged);
    client.join();
    EXPECT_TRUE(reply == 0 || reply == static_cast<int32_t>(NotifyPositionAdvanced)) << std::hex << reply;
    EXPECT_EQ(block->ReplyStatus, NotifyPositionAdvanced);
}

TEST_F(ClientRequest, CloseWaitsForARequestInFlightThenDetaches)
{
    CreateAndRegisterEvent(pipe);
    kernel::UseVirtualClock(true);
    Post(ClientReqBufferReleased);
    kernel::WaitForBlockedWaiters(1, true);
    std::atomic<bool> closed{false};
    std::thread closer([&] {
        InProcess inCloser(process);
        boundary::CloseHandle(pipe);
        closed = true;
    });
    // The close waits on the pipe mutex (no time-out) until the request ends:
    // then the two workers, the request and the close are all blocked.
    kernel::WaitForBlockedWaiters(4, false);
    EXPECT_FALSE(closed);
    EXPECT_EQ(block->PipeReady, 1);
    kernel::AdvanceClock(OneSecond);
    EXPECT_EQ(Finish(), DeviceNotReady);
    closer.join();
    EXPECT_TRUE(closed);
    EXPECT_EQ(block->PipeReady, 0);
    EXPECT_EQ(core_device::RequestClient(PipeRender, ClientReqStateChanged), DeviceNotReady)
        << "no client, no wait";
}

} // namespace
} // namespace core_tests
