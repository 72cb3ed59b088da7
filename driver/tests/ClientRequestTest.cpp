// The driver's request to its client, in the platform's virtual time: the
// code and flags in the block, the client's event, the reply or the
// one-second time-out, stale replies and position notifications.
#include <kernel_standin.h>
#include <atomic>
#include <memory>
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
        engine.reset();
        RenderPipeTest::TearDown();
    }

    // The capture endpoint's stream, open: the render pipe's client must be
    // complete for it.
    void OpenStream()
    {
        engine = std::make_unique<Engine>(PipeRender);
        ASSERT_EQ(engine->Open({48000, 16, 2, 2, 0x3}), Success);
    }

    // A stream request that posts `code` to the client, on an engine thread:
    // a state step up (3) or a buffer (1).
    void Post(uint32_t code)
    {
        poster = std::thread([this, code] {
            result = code == ClientReqBufferAllocated ? engine->AllocateBuffer(4800) : engine->Step(KSSTATE_ACQUIRE);
            endedAt = kernel::Now();
            done = true;
        });
    }
    int32_t Finish()
    {
        poster.join();
        return result;
    }

    std::unique_ptr<Engine> engine;
    std::thread poster;
    std::atomic<int32_t> result{0};
    std::atomic<int64_t> endedAt{0};
    std::atomic<bool> done{false};
};

TEST_F(ClientRequest, TheFirstRequestsEndClearsTheStartFlagsOfItsPipeOnly)
{
    ASSERT_EQ(block->RequestFlags, REQUEST_FLAGS_POSTED) << "set at device start";
    const Handle event = CreateAndRegisterEvent(pipe);
    OpenStream();
    std::thread client([&] {
        InProcess inClient(process);
        ASSERT_EQ(boundary::WaitForObject(event, nullptr), Success);
        EXPECT_EQ(Notify(pipe, 0).status, Success);
    });
    EXPECT_EQ(engine->Step(KSSTATE_ACQUIRE), Success);
    client.join();
    EXPECT_EQ(block->RequestFlags, 0u) << "the first request's end clears them";
    EXPECT_EQ(block->RequestCode, 0u);
    EXPECT_EQ(dut::Block(PipeCapture).RequestFlags, REQUEST_FLAGS_POSTED) << "the other pipe's stay";

    // Without a client the request fails at once: a step down needs no time.
    ASSERT_EQ(boundary::CloseHandle(pipe), Success);
    kernel::UseVirtualClock(true);
    const int64_t start = kernel::Now();
    EXPECT_EQ(engine->Step(KSSTATE_STOP), Success) << "down without a client";
    EXPECT_EQ(kernel::Now(), start) << "no waiting";
}

TEST_F(ClientRequest, AnsweringClientGetsItsStatusBack)
{
    const Handle event = CreateAndRegisterEvent(pipe);
    OpenStream();
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
        EXPECT_EQ(engine->Step(KSSTATE_ACQUIRE), static_cast<int32_t>(reply)) << "a step up takes the answer";
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
    OpenStream();
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
    EXPECT_EQ(block->BufferSizeFrames, 0u) << "the buffer was not kept";
}

// The pipe holds its own reference: the event object outlives the client's
// handle until the pipe closes (a missing reference would be a use after
// free that the sanitizers catch here).
TEST_F(ClientRequest, ClientsOwnHandleMayGoBeforeThePipeDoes)
{
    const Handle event = CreateAndRegisterEvent(pipe);
    ASSERT_EQ(boundary::CloseHandle(event), Success);
    EXPECT_EQ(block->PipeReady, 1);
    OpenStream();
    kernel::UseVirtualClock(true);
    Post(ClientReqStateChanged);
    kernel::WaitForBlockedWaiters(1, true); // posted: the event was set
    kernel::AdvanceClock(OneSecond);
    EXPECT_EQ(Finish(), DeviceNotReady) << "nobody left to answer";
}

TEST_F(ClientRequest, StaleReplyIsConsumedBeforeTheNextRequest)
{
    CreateAndRegisterEvent(pipe);
    OpenStream();
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
    OpenStream();
    std::thread client([&] {
        InProcess inClient(process);
        ASSERT_EQ(boundary::WaitForObject(event, nullptr), Success);
        EXPECT_EQ(Notify(pipe, 0).status, Success);
        EXPECT_EQ(Notify(pipe, NotifyPositionAdvanced).status, Success);
    });
    EXPECT_EQ(engine->Step(KSSTATE_ACQUIRE), Success) << "either code is a success";
    client.join();
    EXPECT_EQ(block->ReplyStatus, NotifyPositionAdvanced);
}

TEST_F(ClientRequest, CloseWaitsForARequestInFlightThenDetaches)
{
    CreateAndRegisterEvent(pipe);
    OpenStream();
    kernel::UseVirtualClock(true);
    Post(ClientReqStateChanged);
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
    EXPECT_EQ(engine->Step(KSSTATE_ACQUIRE), DeviceNotReady) << "no client, no request";
}

} // namespace
} // namespace core_tests
