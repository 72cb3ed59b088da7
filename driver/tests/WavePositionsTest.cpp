// How a running stream follows the device position the host writes: stream
// and presentation positions, the engine's notification events, packet
// counts and packet exchanges, the position register, and what happens
// without a buffer.
#include "EndpointFixture.h"

namespace endpoint_tests {
namespace {

constexpr uint32_t FrameBytes = 4;       // 16-bit stereo
constexpr uint32_t BufferFrames = 480;   // two packets of 240
constexpr uint32_t PacketFrames = 240;

class Positions : public EndpointTest {
protected:
    // A running stream on the endpoint with a 480-frame buffer of two
    // packets and the engine's notification event registered.
    void StartStream(const Endpoint &endpoint)
    {
        this->endpoint = &endpoint;
        AttachHost(endpoint);
        ASSERT_EQ(CreatePin(endpoint, FormatOf(Stereo48k)), Success);
        ASSERT_EQ(pin.AllocateBuffer(BufferFrames * FrameBytes, 2), Success);
        notification = NewEvent();
        ASSERT_EQ(pin.RegisterEvent(notification), Success);
        ASSERT_EQ(pin.WalkTo(KSSTATE_RUN), Success);
    }
    // The host's device position moves; the driver takes it up.
    void Move(uint32_t frames)
    {
        host->MoveTo(frames, FrameBytes, BufferFrames);
        Settle();
    }
    const CommonDataDesc &Shared() { return Block(*endpoint); }

    const Endpoint *endpoint = nullptr;
    boundary::Handle notification = nullptr;
};

TEST_F(Positions, TheWalkAroundTheBufferCountsPacketsAndSignalsAtEachBoundary)
{
    StartStream(Render);
    struct Step {
        uint32_t to;
        bool signalled;
        uint64_t total;
    };
    // 0 -> 100 -> 250 -> 400 -> 10: boundaries crossed at 250 and at 10.
    const Step walk[] = {{100, false, 100}, {250, true, 250}, {400, false, 400}, {10, true, 490}};
    for (const Step &step : walk) {
        Move(step.to);
        EXPECT_EQ(Signalled(notification), step.signalled) << "to " << step.to;
        EXPECT_EQ(Shared().StreamPositionFrames, step.to) << "the stream follows outside packet mode";
        EXPECT_EQ(uint64_t{Shared().TotalFrames}, step.total);
        EXPECT_EQ(Shared().AvailableFrames, BufferFrames) << "a whole buffer outside packet mode";
        KSAUDIO_POSITION position = {};
        ASSERT_EQ(pin.Position(&position), Success);
        EXPECT_EQ(position.PlayOffset, step.to * FrameBytes);
        EXPECT_EQ(position.WriteOffset, step.to * FrameBytes);
    }
    // A move of exactly one buffer is no move at all.
    Move(10 + BufferFrames);
    EXPECT_FALSE(Signalled(notification));
    EXPECT_EQ(uint64_t{Shared().TotalFrames}, 490u);
    // A position far past the buffer is taken modulo its size.
    Move(10 + 3 * BufferFrames + 240);
    EXPECT_TRUE(Signalled(notification));
    EXPECT_EQ(Shared().StreamPositionFrames, 250u);
    EXPECT_EQ(uint64_t{Shared().TotalFrames}, 730u);

    ULONG packets = 0;
    ASSERT_EQ(pin.PacketCount(&packets), Success);
    EXPECT_EQ(packets, 3u) << "one packet per crossing, however far it went";
    EXPECT_EQ(Shared().EngineUsage & ENGINE_USED_PACKETS, ENGINE_USED_PACKETS);
}

TEST_F(Positions, NothingMovesOutsideRunAndEverySignalledEventIsTheEngines)
{
    StartStream(Render);
    boundary::Handle second = NewEvent();
    ASSERT_EQ(pin.RegisterEvent(second), Success);
    EXPECT_EQ(pin.RegisterEvent(second), AlreadyRegistered);
    Move(300);
    EXPECT_TRUE(Signalled(notification));
    EXPECT_TRUE(Signalled(second)) << "every registered event";
    ASSERT_EQ(pin.UnregisterEvent(second), Success);
    EXPECT_EQ(pin.UnregisterEvent(second), NotFound);

    ASSERT_EQ(pin.SetState(KSSTATE_PAUSE), Success);
    Move(100); // crosses a boundary, but the stream is paused
    EXPECT_FALSE(Signalled(notification));
    EXPECT_EQ(uint64_t{Shared().TotalFrames}, 300u);
    ASSERT_EQ(pin.SetState(KSSTATE_RUN), Success);
    Move(120); // from 300 to 120: one wrap, 300 frames
    EXPECT_TRUE(Signalled(notification));
    EXPECT_EQ(uint64_t{Shared().TotalFrames}, 600u);
    EXPECT_FALSE(Signalled(second)) << "an unregistered event is left alone";
}

TEST_F(Positions, ReadPacketsHandOutEachCompletedPacketOnceWithItsStartTime)
{
    boundary::UseVirtualClock(true);
    StartStream(Capture);
    const int64_t started = boundary::PerformanceCounter();
    KSRTAUDIO_GETREADPACKET_INFO packet = {};
    EXPECT_EQ(pin.ReadPacket(&packet), DeviceNotReady) << "no packet completed yet";
    boundary::AdvanceClock(50'000);
    Move(250);
    const int64_t second = boundary::PerformanceCounter();
    ASSERT_EQ(pin.ReadPacket(&packet), Success);
    EXPECT_EQ(packet.PacketNumber, 0u);
    EXPECT_EQ(packet.PerformanceCounterValue, static_cast<ULONG64>(started)) << "packet 0 began at RUN";
    EXPECT_EQ(packet.Flags, 0u);
    EXPECT_FALSE(packet.MoreData);
    EXPECT_EQ(Shared().StreamPositionFrames, 0u) << "the engine reads at packet 0";
    EXPECT_EQ(pin.ReadPacket(&packet), DeviceNotReady) << "packet 1 is still being captured";
    EXPECT_EQ(Shared().StreamPositionFrames, PacketFrames) << "at the packet it waits for";
    EXPECT_EQ(Shared().AvailableFrames, BufferFrames - 10) << "from the device position (250) forward to it (240)";

    boundary::AdvanceClock(50'000);
    Move(10);
    ASSERT_EQ(pin.ReadPacket(&packet), Success);
    EXPECT_EQ(packet.PacketNumber, 1u);
    EXPECT_EQ(packet.PerformanceCounterValue, static_cast<ULONG64>(second)) << "packet 1 began at the crossing";
    EXPECT_EQ(pin.ReadPacket(&packet), DeviceNotReady);
    EXPECT_EQ(Shared().StreamPositionFrames, 0u);
    EXPECT_EQ(Shared().AvailableFrames, BufferFrames - 10);
    EXPECT_EQ(Shared().EngineUsage & ENGINE_USED_PACKETS, ENGINE_USED_PACKETS);
}

TEST_F(Positions, WritePacketsOnlyTheNextOneLateAndEarlyAreCounted)
{
    StartStream(Render);
    Move(250);
    Move(10); // packet counter 2
    ULONG packets = 0;
    ASSERT_EQ(pin.PacketCount(&packets), Success);
    ASSERT_EQ(packets, 2u);
    const uint32_t totalBefore = Shared().PacketErrorsTotal;
    EXPECT_EQ(pin.WritePacket(3, 0, 0), Success);
    EXPECT_EQ(pin.WritePacket(3, 0, 0), Success) << "again, until the device completes another";
    EXPECT_EQ(Shared().StreamPositionFrames, 0u) << "the start of the packet after it";
    EXPECT_EQ(pin.WritePacket(2, 0, 0), DataLate);
    EXPECT_EQ(pin.WritePacket(1, 0, 0), DataLate);
    EXPECT_EQ(pin.WritePacket(4, 0, 0), DataOverrun);
    EXPECT_EQ(Shared().PacketErrorCount, 3u);
    EXPECT_EQ(Shared().PacketErrorsTotal, totalBefore + 3);
    EXPECT_EQ(pin.WritePacket(3, 0x1, 0), InvalidParameter) << "end of stream is the only flag";
    EXPECT_EQ(Shared().PacketErrorCount, 3u);
    Move(250); // packet counter 3
    EXPECT_EQ(pin.WritePacket(4, 0, 0), Success);
    EXPECT_EQ(Shared().AvailableFrames, BufferFrames - 10 - 240 + 240) << "from the device to the next packet";
}

TEST_F(Positions, EndOfStreamFillsThePacketsRestWithSilenceAndEndsTheWrites)
{
    StartStream(Render);
    uint8_t *buffer = host->AudioBuffer();
    memset(buffer, 0x5A, BufferFrames * FrameBytes);
    Move(250); // packet counter 1: the engine writes packet 2, the buffer's first half
    EXPECT_EQ(pin.WritePacket(2, KSSTREAM_HEADER_OPTIONSF_ENDOFSTREAM, PacketFrames * FrameBytes + 1),
              InvalidParameter) << "longer than a packet";
    ASSERT_EQ(pin.WritePacket(2, KSSTREAM_HEADER_OPTIONSF_ENDOFSTREAM, 100), Success);
    EXPECT_EQ(buffer[99], 0x5A) << "the valid bytes stay";
    EXPECT_EQ(buffer[100], 0) << "the rest is silence";
    EXPECT_EQ(buffer[PacketFrames * FrameBytes - 1], 0);
    EXPECT_EQ(buffer[PacketFrames * FrameBytes], 0x5A) << "only that packet";
    Move(10);
    EXPECT_EQ(pin.WritePacket(3, 0, 0), InvalidDeviceState) << "after the end of the stream";
    // Stopping ends it.
    ASSERT_EQ(pin.WalkTo(KSSTATE_STOP), Success);
    ASSERT_EQ(pin.WalkTo(KSSTATE_RUN), Success);
    EXPECT_EQ(pin.WritePacket(1, 0, 0), Success);
}

TEST_F(Positions, ThePositionRegisterIsTheHostsBytePositionInTheEnginesProcess)
{
    StartStream(Render);
    KSRTAUDIO_HWREGISTER hardware = {};
    ASSERT_EQ(pin.PositionRegister(&hardware), Success);
    EXPECT_EQ(hardware.Width, 32u);
    EXPECT_EQ(hardware.Numerator, 0u);
    EXPECT_EQ(hardware.Denominator, 0u);
    EXPECT_EQ(hardware.Accuracy, 192u) << "one millisecond of 48 kHz 16-bit stereo";
    ASSERT_NE(hardware.Register, nullptr);
    const volatile uint32_t *position = static_cast<const volatile uint32_t *>(hardware.Register);
    host->MoveTo(123, FrameBytes, BufferFrames);
    EXPECT_EQ(*position, 123u * FrameBytes) << "read without asking the driver";
    EXPECT_EQ(Shared().EngineUsage & ENGINE_USED_POSITION_REGISTER, ENGINE_USED_POSITION_REGISTER);
    EXPECT_EQ(pin.ClockRegister(&hardware), NotImplemented) << "there is no clock but the host";
    KSRTAUDIO_HWLATENCY latency = {1, 2, 3};
    ASSERT_EQ(pin.HardwareLatency(&latency), Success);
    EXPECT_EQ(latency.FifoSize + latency.ChipsetDelay + latency.CodecDelay, 0u);
}

TEST_F(Positions, WithoutABufferNothingDividesAndNothingIsReported)
{
    AttachHost(Render);
    ASSERT_EQ(CreatePin(Render, FormatOf(Stereo48k)), Success);
    ASSERT_EQ(pin.WalkTo(KSSTATE_RUN), Success);
    host->MoveTo(100, FrameBytes, 0);
    Settle();
    EXPECT_EQ(uint64_t{Block(Render).TotalFrames}, 0u);
    KSAUDIO_POSITION position = {1, 1};
    ASSERT_EQ(pin.Position(&position), Success);
    EXPECT_EQ(position.PlayOffset, 0u);
    EXPECT_EQ(position.WriteOffset, 0u);
    ULONG packets = 7;
    EXPECT_EQ(pin.PacketCount(&packets), NotSupported) << "no notification buffer";
    KSRTAUDIO_GETREADPACKET_INFO read = {};
    EXPECT_EQ(pin.ReadPacket(&read), NotSupported);
}

TEST_F(Positions, ABufferOfFewerFramesThanNotificationsMovesButNeverSignals)
{
    AttachHost(Render, Stereo48k, 1); // the host allows one-frame buffers
    ASSERT_EQ(CreatePin(Render, FormatOf(Stereo48k)), Success);
    ASSERT_EQ(pin.AllocateBuffer(FrameBytes, 0), Success); // one frame, two notifications
    EXPECT_EQ(Block(Render).BufferSizeFrames, 1u);
    ASSERT_EQ(pin.WalkTo(KSSTATE_RUN), Success);
    host->MoveTo(5, FrameBytes, 1);
    Settle();
    EXPECT_EQ(Block(Render).StreamPositionFrames, 0u);
    EXPECT_EQ(Block(Render).AvailableFrames, 1u);
    KSAUDIO_POSITION position = {};
    EXPECT_EQ(pin.Position(&position), Success);
    EXPECT_EQ(position.PlayOffset, 0u);
}

TEST_F(Positions, TheUpdateAllocatesNothing)
{
    StartStream(Render);
    Move(1);
    const size_t before = dut::PoolAllocations();
    for (uint32_t step = 2; step < 200; ++step)
        Move(step * 37 % BufferFrames);
    EXPECT_EQ(dut::PoolAllocations(), before);
}

} // namespace
} // namespace endpoint_tests
