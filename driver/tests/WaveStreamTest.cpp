// The WaveRT stream as the audio engine drives it and the host sees it:
// creation only with a ready host and the endpoint's format, every state
// step announced, the buffer announced and carved out of the start of the
// pipe's memory, and the refusals of each step.
#include "EndpointFixture.h"

namespace endpoint_tests {
namespace {

using Stream = EndpointTest;


std::vector<uint32_t> Codes(const std::vector<ManualHost::Seen> &seen)
{
    std::vector<uint32_t> codes;
    for (const auto &s : seen)
        codes.push_back(s.code);
    return codes;
}

TEST_F(Stream, NoStreamUntilTheHostIsReadyAndOneAtATime)
{
    EXPECT_EQ(CreatePin(Render, FormatOf(Stereo48k)), DeviceNotReady) << "no host";
    host = std::make_unique<ManualHost>(Render.pipe);
    EXPECT_EQ(CreatePin(Render, FormatOf(Stereo48k)), DeviceNotReady) << "a host without its event";
    ASSERT_EQ(host->Attach(Stereo48k), Success);
    EXPECT_EQ(Block(Render).StreamAttached, 0);
    ASSERT_EQ(CreatePin(Render, FormatOf(Stereo48k)), Success);
    EXPECT_EQ(Block(Render).StreamAttached, 1);
    EXPECT_EQ(Block(Render).StreamState, STREAM_STATE_STOP);

    EnginePin second;
    EXPECT_NE(second.Create(OpenFilter(Render.wave), FormatOf(Stereo48k)), Success);
    EXPECT_EQ(Block(Capture).StreamAttached, 0) << "the other endpoint is untouched";

    ASSERT_EQ(pin.CloseHandle(), Success);
    EXPECT_EQ(Block(Render).StreamAttached, 0);
    EXPECT_EQ(Codes(host->TakeRequests()), std::vector<uint32_t>{ClientReqBufferReleased}) << "detach";
}

TEST_F(Stream, ItsFormatMustBeTheEndpointsInRateBitsChannelsAndContainer)
{
    AttachHost(Render);
    EXPECT_EQ(CreatePin(Render, FormatOf({44100, 16, 2, 2, 0x3})), NoMatch);
    EXPECT_EQ(pin.Create(OpenFilter(Render.wave), FormatOf({48000, 24, 2, 4, 0x3})), NoMatch);
    EXPECT_EQ(pin.Create(OpenFilter(Render.wave), FormatOf({48000, 16, 1, 2, 0x4})), NoMatch);
    EXPECT_EQ(Block(Render).StreamAttached, 0);
    // The mask and the basic or extensible form may differ.
    ASSERT_EQ(pin.Create(OpenFilter(Render.wave), ks_client::WaveFormat(48000, 16, 2, 2, 0, false)),
              Success);
    WAVEFORMATEXTENSIBLE stream;
    memcpy(&stream, Block(Render).StreamFormat, sizeof stream);
    EXPECT_EQ(stream.Format.wFormatTag, WAVE_FORMAT_EXTENSIBLE) << "kept in extensible form";
    EXPECT_EQ(stream.dwChannelMask, 0x3u);
    EXPECT_EQ(stream.Samples.wValidBitsPerSample, 16);

    // A later format change on the pin must keep to the endpoint's numbers.
    EXPECT_EQ(pin.SetFormat(FormatOf({44100, 16, 2, 2, 0x3})), NoMatch);
    memcpy(&stream, Block(Render).StreamFormat, sizeof stream);
    EXPECT_EQ(stream.Format.nSamplesPerSec, 48000u) << "the earlier format is restored";
    EXPECT_EQ(pin.SetFormat(FormatOf({48000, 16, 2, 2, 0x30})), Success);
    memcpy(&stream, Block(Render).StreamFormat, sizeof stream);
    EXPECT_EQ(stream.dwChannelMask, 0x30u);
}

TEST_F(Stream, EveryStepIsAnnouncedToTheHostFirst)
{
    AttachHost(Capture);
    ASSERT_EQ(CreatePin(Capture, FormatOf(Stereo48k)), Success);
    host->TakeRequests();
    const KSSTATE walk[] = {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN, KSSTATE_PAUSE, KSSTATE_ACQUIRE, KSSTATE_STOP};
    for (KSSTATE state : walk) {
        ASSERT_EQ(pin.SetState(state), Success) << state;
        const auto seen = host->TakeRequests();
        ASSERT_EQ(seen.size(), 1u) << state;
        EXPECT_EQ(seen[0].code, static_cast<uint32_t>(ClientReqStateChanged));
        EXPECT_EQ(seen[0].streamState, static_cast<uint32_t>(state)) << "the state being entered";
        EXPECT_EQ(Block(Capture).StreamState, static_cast<uint32_t>(state));
    }
}

TEST_F(Stream, StepsAreOneAtATimeAndOnlyUpNeedTheHost)
{
    AttachHost(Render);
    ASSERT_EQ(CreatePin(Render, FormatOf(Stereo48k)), Success);
    // The port walks a jump through the states between, each announced.
    host->TakeRequests();
    ASSERT_EQ(pin.SetState(KSSTATE_PAUSE), Success);
    const auto walked = host->TakeRequests();
    ASSERT_EQ(walked.size(), 2u);
    EXPECT_EQ(walked[0].streamState, STREAM_STATE_ACQUIRE);
    EXPECT_EQ(walked[1].streamState, STREAM_STATE_PAUSE);

    // A refusal fails a step up and leaves the state and the block as they were.
    host->TakeRequests();
    host->Answer(static_cast<uint32_t>(AccessDenied));
    EXPECT_EQ(pin.SetState(KSSTATE_RUN), AccessDenied);
    EXPECT_EQ(Block(Render).StreamState, STREAM_STATE_PAUSE);
    EXPECT_EQ(host->TakeRequests().size(), 1u) << "it was asked";
    // Steps down go on whatever the host answers.
    EXPECT_EQ(pin.SetState(KSSTATE_ACQUIRE), Success);
    EXPECT_EQ(Block(Render).StreamState, STREAM_STATE_ACQUIRE);
    // And without a host at all; a step up then needs one.
    host->Detach();
    EXPECT_EQ(pin.SetState(KSSTATE_PAUSE), DeviceNotReady);
    EXPECT_EQ(pin.SetState(KSSTATE_STOP), Success);
    EXPECT_EQ(Block(Render).StreamState, STREAM_STATE_STOP);
}

TEST_F(Stream, SilentHostFailsAStepUpAfterOneSecondButNotAStepDown)
{
    AttachHost(Render);
    ASSERT_EQ(CreatePin(Render, FormatOf(Stereo48k)), Success);
    ASSERT_EQ(pin.SetState(KSSTATE_ACQUIRE), Success);
    host->TakeRequests();
    host->StaySilent();
    boundary::UseVirtualClock(true);
    for (KSSTATE state : {KSSTATE_PAUSE, KSSTATE_STOP}) {
        Status status = Success;
        std::thread engineThread([&] {
            boundary::EnterProcess(engine);
            status = pin.SetState(state);
            boundary::LeaveProcess();
        });
        boundary::WaitForBlockedWaiters(1); // the driver's one-second wait for the reply
        boundary::AdvanceClock(OneSecond);
        engineThread.join();
        if (state == KSSTATE_PAUSE) {
            EXPECT_EQ(status, DeviceNotReady) << "no answer within a second";
            EXPECT_EQ(Block(Render).StreamState, STREAM_STATE_ACQUIRE);
        } else {
            EXPECT_EQ(status, Success) << "down without an answer";
            EXPECT_EQ(Block(Render).StreamState, STREAM_STATE_STOP);
        }
    }
}

TEST_F(Stream, TheBufferIsAnnouncedAndLiesAtTheStartOfThePipesMemory)
{
    AttachHost(Render);
    ASSERT_EQ(CreatePin(Render, FormatOf(Stereo48k)), Success);
    uint8_t *hostView = host->AudioBuffer();
    ASSERT_NE(hostView, nullptr);
    memset(hostView, 0x55, 8192);
    host->TakeRequests();
    ASSERT_EQ(pin.AllocateBuffer(4800, 2), Success);
    const auto seen = host->TakeRequests();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].code, static_cast<uint32_t>(ClientReqBufferAllocated));
    EXPECT_EQ(seen[0].bufferSizeFrames, 0u) << "the size appears only once the host has agreed";
    EXPECT_EQ(Block(Render).BufferSizeFrames, 1200u);
    EXPECT_EQ(pin.Buffer().ActualBufferSize, 4800u);
    EXPECT_EQ(Block(Render).EngineUsage & ENGINE_USED_NOTIFICATIONS, ENGINE_USED_NOTIFICATIONS);
    EXPECT_EQ(hostView[0], 0) << "a render buffer starts as silence";
    EXPECT_EQ(hostView[4799], 0);
    EXPECT_EQ(hostView[4800], 0x55) << "and only the buffer";

    // The engine's writes are the host's reads, from the first byte on.
    auto *engineView = static_cast<uint8_t *>(pin.Buffer().BufferAddress);
    ASSERT_NE(engineView, nullptr);
    for (int i = 0; i < 4800; ++i)
        engineView[i] = static_cast<uint8_t>(i * 7);
    EXPECT_EQ(memcmp(engineView, hostView, 4800), 0);

    ASSERT_EQ(pin.CloseHandle(), Success);
    EXPECT_EQ(Codes(host->TakeRequests()),
              (std::vector<uint32_t>{ClientReqBufferReleased, ClientReqBufferReleased}))
        << "the buffer's release, then the stream's";
    EXPECT_EQ(Block(Render).BufferSizeFrames, 0u);
}

TEST_F(Stream, SilenceIsTheFormatsAndCaptureBuffersAreLeftAsTheyAre)
{
    const DataFormatDesc eightBitMono = {8000, 8, 1, 1, 0x4};
    AttachHost(Render, eightBitMono);
    ASSERT_EQ(CreatePin(Render, FormatOf(eightBitMono)), Success);
    memset(host->AudioBuffer(), 0x11, 256);
    ASSERT_EQ(pin.AllocateBuffer(200, 0), Success);
    EXPECT_EQ(host->AudioBuffer()[0], 0x80) << "8-bit silence";
    EXPECT_EQ(host->AudioBuffer()[199], 0x80);

    ManualHost captureHost(Capture.pipe);
    ASSERT_EQ(captureHost.Attach(Stereo48k), Success);
    memset(captureHost.AudioBuffer(), 0x11, 256);
    EnginePin capturePin;
    ASSERT_EQ(capturePin.Create(OpenFilter(Capture.wave), FormatOf(Stereo48k)), Success);
    ASSERT_EQ(capturePin.AllocateBuffer(192, 2), Success);
    EXPECT_EQ(captureHost.AudioBuffer()[0], 0x11) << "the host's capture data is not touched";
    capturePin.CloseHandle();
}

TEST_F(Stream, BufferSizesAreWholeFramesAtLeastTheMinimalSize)
{
    AttachHost(Render);
    ASSERT_EQ(CreatePin(Render, FormatOf(Stereo48k)), Success);
    EXPECT_EQ(pin.AllocateBuffer(3, 0), Unsuccessful) << "less than one frame";
    ASSERT_EQ(pin.AllocateBuffer(1001, 0), Success);
    EXPECT_EQ(pin.Buffer().ActualBufferSize, 1004u) << "rounded up to whole frames";
    // One buffer at a time: a stopped stream's new buffer replaces the old
    // one (the port frees it first), a running one keeps it.
    host->TakeRequests();
    ASSERT_EQ(pin.AllocateBuffer(2000, 0), Success);
    EXPECT_EQ(Codes(host->TakeRequests()), (std::vector<uint32_t>{ClientReqBufferReleased, ClientReqBufferAllocated}));
    EXPECT_EQ(Block(Render).BufferSizeFrames, 500u);
    ASSERT_EQ(pin.SetState(KSSTATE_ACQUIRE), Success);
    EXPECT_EQ(pin.AllocateBuffer(1001, 0), InvalidDeviceState);
    EXPECT_EQ(Block(Render).BufferSizeFrames, 500u);
    pin.CloseHandle();

    ASSERT_EQ(CreatePin(Render, FormatOf(Stereo48k)), Success);
    ASSERT_EQ(pin.AllocateBuffer(40, 0), Success);
    EXPECT_EQ(pin.Buffer().ActualBufferSize, 128u) << "raised to 32 frames";
    pin.CloseHandle();

    ASSERT_EQ(CreatePin(Render, FormatOf(Stereo48k)), Success);
    EXPECT_EQ(pin.AllocateBuffer(3000, 3), InvalidParameter) << "one or two notifications";
    EXPECT_EQ(pin.AllocateBuffer(3001, 2), InvalidParameter) << "not a multiple of the count";
    EXPECT_EQ(pin.AllocateBuffer(PIPE_BUFFER_BYTES + 4, 2), InsufficientResources);
    ASSERT_EQ(pin.AllocateBuffer(PIPE_BUFFER_BYTES, 2), Success) << "the whole pipe buffer";
}

TEST_F(Stream, RefusedBufferIsNotKept)
{
    AttachHost(Render);
    ASSERT_EQ(CreatePin(Render, FormatOf(Stereo48k)), Success);
    host->Answer(static_cast<uint32_t>(AccessDenied));
    EXPECT_EQ(pin.AllocateBuffer(4800, 2), AccessDenied);
    EXPECT_EQ(Block(Render).BufferSizeFrames, 0u);
    host->Answer(0);
    EXPECT_EQ(pin.AllocateBuffer(4800, 2), Success) << "a later allocation works";
}

TEST_F(Stream, StoppingRewindsPositionsButTotalFramesKeepGrowing)
{
    AttachHost(Render);
    ASSERT_EQ(CreatePin(Render, FormatOf(Stereo48k)), Success);
    ASSERT_EQ(pin.AllocateBuffer(1920, 2), Success); // 480 frames
    ASSERT_EQ(pin.WalkTo(KSSTATE_RUN), Success);
    host->MoveTo(300, 4, 480);
    Settle();
    EXPECT_EQ(uint64_t{Block(Render).TotalFrames}, 300u);
    ASSERT_EQ(pin.WalkTo(KSSTATE_STOP), Success);
    EXPECT_EQ(Block(Render).DevicePositionFrames, 0u) << "rewound for the host";
    EXPECT_EQ(Block(Render).DevicePositionBytes, 0u);
    EXPECT_EQ(Block(Render).StreamPositionFrames, 0u);
    EXPECT_EQ(Block(Render).StreamState, STREAM_STATE_STOP);
    EXPECT_EQ(uint64_t{Block(Render).TotalFrames}, 300u);
    ASSERT_EQ(pin.WalkTo(KSSTATE_RUN), Success);
    host->MoveTo(100, 4, 480);
    Settle();
    EXPECT_EQ(uint64_t{Block(Render).TotalFrames}, 400u);
    KSAUDIO_PRESENTATION_POSITION presentation = {};
    ASSERT_EQ(pin.PresentationPosition(&presentation), Success);
    EXPECT_EQ(presentation.u64PositionInBlocks, 400u);
}

} // namespace
} // namespace endpoint_tests
