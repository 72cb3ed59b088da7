// A WaveRT pin from a client process: its creation and the checks before
// NewStream, states walked one step at a time, the real-time audio set (the
// buffer and registers mapped into the client, notification events, packets,
// positions), and everything the pin's close or its process's end removes.
#include "KsClient.h"
#include "TestAdapter.h"

#include <gtest/gtest.h>
#include <win32_standin.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

using namespace ksclient;

namespace {

class Streams : public ::testing::Test {
protected:
    void Start(const testadapter::Config &config = {}, bool is32Bit = false)
    {
        ASSERT_EQ(testadapter::Load(config), 0);
        client = std::make_unique<standin::win32::ClientProcess>(is32Bit);
        scope = std::make_unique<standin::win32::ProcessScope>(*client);
        wave = OpenFilter(KSCATEGORY_RENDER);
        ASSERT_NE(wave, INVALID_HANDLE_VALUE);
    }
    void TearDown() override
    {
        if (pin != nullptr)
            CloseHandle(pin);
        if (wave != INVALID_HANDLE_VALUE)
            CloseHandle(wave);
        scope.reset();
        client.reset();
        EXPECT_EQ(testadapter::Unload(), 0);
    }

    // Stop → Run with a notification buffer of requested bytes and 2 packets.
    KSRTAUDIO_BUFFER Running(ULONG requested = 4096)
    {
        EXPECT_EQ(CreatePcmPin(wave, &pin), 0u);
        KSRTAUDIO_BUFFER buffer{};
        const Reply reply = Buffer(requested, 2, buffer);
        EXPECT_TRUE(reply.ok) << reply.error;
        EXPECT_TRUE(SetState(pin, KSSTATE_RUN).ok);
        return buffer;
    }

    // The pin's buffer, with notifications (that many packets) or without (0).
    Reply Buffer(ULONG requested, ULONG notifications, KSRTAUDIO_BUFFER &buffer)
    {
        KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION property{};
        property.Property.Set = KSPROPSETID_RtAudio;
        property.Property.Id =
            notifications != 0 ? KSPROPERTY_RTAUDIO_BUFFER_WITH_NOTIFICATION : KSPROPERTY_RTAUDIO_BUFFER;
        property.Property.Flags = KSPROPERTY_TYPE_GET;
        property.RequestedBufferSize = requested;
        property.NotificationCount = notifications;
        const DWORD size = notifications != 0 ? sizeof property : sizeof(KSRTAUDIO_BUFFER_PROPERTY);
        return Control(pin, IOCTL_KS_PROPERTY, &property, size, &buffer, sizeof buffer);
    }

    Reply RtAudio(ULONG id, ULONG flags, void *value, DWORD valueLength, HANDLE event = nullptr)
    {
        KSRTAUDIO_NOTIFICATION_EVENT_PROPERTY property{};
        property.Property.Set = KSPROPSETID_RtAudio;
        property.Property.Id = id;
        property.Property.Flags = flags;
        property.NotificationEvent = event;
        return Control(pin, IOCTL_KS_PROPERTY, &property, sizeof property, value, valueLength);
    }

    std::unique_ptr<standin::win32::ClientProcess> client;
    std::unique_ptr<standin::win32::ProcessScope> scope;
    HANDLE wave = INVALID_HANDLE_VALUE;
    HANDLE pin = nullptr;
};

KSPIN_CINSTANCES Instances(HANDLE filter, ULONG id)
{
    KSPIN_CINSTANCES instances{99, 99};
    EXPECT_TRUE(PinGet(filter, id, 0, &instances, sizeof instances).ok);
    return instances;
}

} // namespace

TEST_F(Streams, PinCreateChecksEverythingBeforeNewStream)
{
    Start();
    HANDLE other = nullptr;
    // Each refusal comes before the miniport hears of it.
    KSDATAFORMAT_WAVEFORMATEX format = PcmFormat(22050);
    EXPECT_EQ(CreatePin(wave, 0, &format, sizeof format, &other), DWORD(ERROR_NO_MATCH));
    format = PcmFormat(48000, 6);
    EXPECT_EQ(CreatePin(wave, 0, &format, sizeof format, &other), DWORD(ERROR_NO_MATCH));
    format = PcmFormat(48000);
    EXPECT_EQ(CreatePin(wave, 7, &format, sizeof format, &other), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(CreatePin(wave, 1, &format, sizeof format, &other, GENERIC_READ), DWORD(ERROR_NO_SYSTEM_RESOURCES));
    EXPECT_EQ(CreatePin(wave, 0, &format, sizeof format, &other, GENERIC_READ), DWORD(ERROR_ACCESS_DENIED));
    format.DataFormat.FormatSize = 32; // less than a data format
    EXPECT_EQ(CreatePin(wave, 0, &format, sizeof format, &other), DWORD(ERROR_INVALID_PARAMETER));
    format = PcmFormat(48000);
    EXPECT_EQ(testadapter::Snapshot().newStreams, 0);

    // The one instance the pin allows.
    ASSERT_EQ(CreatePcmPin(wave, &pin), 0u);
    testadapter::Observed seen = testadapter::Snapshot();
    EXPECT_EQ(seen.newStreams, 1);
    EXPECT_EQ(seen.newStreamPin, 0u);
    EXPECT_FALSE(seen.newStreamCapture);
    EXPECT_EQ(Instances(wave, KSPROPERTY_PIN_CINSTANCES).CurrentCount, 1u);
    EXPECT_EQ(Instances(wave, KSPROPERTY_PIN_GLOBALCINSTANCES).CurrentCount, 1u);
    EXPECT_EQ(CreatePcmPin(wave, &other), DWORD(ERROR_NO_SYSTEM_RESOURCES));
    // A second filter handle shares the global count.
    HANDLE second = OpenFilter(KSCATEGORY_RENDER);
    EXPECT_EQ(CreatePcmPin(second, &other), DWORD(ERROR_NO_SYSTEM_RESOURCES));
    EXPECT_EQ(Instances(second, KSPROPERTY_PIN_CINSTANCES).CurrentCount, 0u);
    CloseHandle(second);

    // Closing releases the stream and the instance.
    CloseHandle(pin);
    pin = nullptr;
    EXPECT_EQ(testadapter::Snapshot().streamsDestroyed, 1);
    EXPECT_EQ(Instances(wave, KSPROPERTY_PIN_GLOBALCINSTANCES).CurrentCount, 0u);
}

TEST_F(Streams, RefusedNewStreamLeavesNoInstance)
{
    testadapter::Config config;
    config.newStreamStatus = static_cast<int32_t>(0xC0000272); // STATUS_NO_MATCH
    Start(config);
    EXPECT_EQ(CreatePcmPin(wave, &pin), DWORD(ERROR_NO_MATCH));
    EXPECT_EQ(Instances(wave, KSPROPERTY_PIN_CINSTANCES).CurrentCount, 0u);
    EXPECT_EQ(Instances(wave, KSPROPERTY_PIN_GLOBALCINSTANCES).CurrentCount, 0u);
}

TEST_F(Streams, StatesAreWalkedOneStepAtATime)
{
    Start();
    ASSERT_EQ(CreatePcmPin(wave, &pin), 0u);
    ASSERT_TRUE(SetState(pin, KSSTATE_RUN).ok);
    ULONG state = 0;
    ASSERT_TRUE(Get(pin, KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, &state, sizeof state).ok);
    EXPECT_EQ(state, ULONG(KSSTATE_RUN));
    ASSERT_TRUE(SetState(pin, KSSTATE_STOP).ok);
    const testadapter::Observed seen = testadapter::Snapshot();
    EXPECT_EQ(seen.states, (std::vector<uint32_t>{1, 2, 3, 2, 1, 0}));
    EXPECT_FALSE(seen.nonAdjacentState);
    ULONG bad = 4;
    EXPECT_EQ(Set(pin, KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, &bad, sizeof bad).error,
              DWORD(ERROR_INVALID_PARAMETER));
    // The format: read back, changed within the ranges, refused outside them.
    KSDATAFORMAT_WAVEFORMATEX format{};
    ASSERT_TRUE(Get(pin, KSPROPSETID_Connection, KSPROPERTY_CONNECTION_DATAFORMAT, &format, sizeof format).ok);
    EXPECT_EQ(format.WaveFormatEx.nSamplesPerSec, 48000u);
    format = PcmFormat(44100);
    EXPECT_TRUE(Set(pin, KSPROPSETID_Connection, KSPROPERTY_CONNECTION_DATAFORMAT, &format, sizeof format).ok);
    format = PcmFormat(96000);
    EXPECT_EQ(Set(pin, KSPROPSETID_Connection, KSPROPERTY_CONNECTION_DATAFORMAT, &format, sizeof format).error,
              DWORD(ERROR_NO_MATCH));
    EXPECT_EQ(testadapter::Snapshot().formatsSet, std::vector<uint32_t>{44100});
}

TEST_F(Streams, BufferAndRegistersAreTheDevicesMemoryInTheClient)
{
    Start();
    const KSRTAUDIO_BUFFER buffer = Running(4000);
    ASSERT_NE(buffer.BufferAddress, nullptr);
    EXPECT_EQ(buffer.ActualBufferSize, 4000u);
    EXPECT_FALSE(buffer.CallMemoryBarrier);
    EXPECT_EQ(testadapter::Snapshot().notificationCount, 2u);
    // What the client writes is what the device reads.
    const ULONG sample = 0x12345678;
    std::memcpy(static_cast<uint8_t *>(buffer.BufferAddress) + 64, &sample, sizeof sample);
    EXPECT_EQ(testadapter::ReadBuffer(64), sample);

    KSRTAUDIO_HWREGISTER position{};
    ASSERT_TRUE(RtAudio(KSPROPERTY_RTAUDIO_POSITIONREGISTER, KSPROPERTY_TYPE_GET, &position, sizeof position).ok);
    EXPECT_EQ(position.Width, 32u);
    testadapter::Advance(100);
    EXPECT_EQ(*static_cast<volatile ULONG *>(position.Register), 400u);
    // Mapped once per pin.
    EXPECT_EQ(RtAudio(KSPROPERTY_RTAUDIO_POSITIONREGISTER, KSPROPERTY_TYPE_GET, &position, sizeof position).error,
              DWORD(ERROR_INVALID_FUNCTION));
    KSRTAUDIO_HWREGISTER clock{};
    ASSERT_TRUE(RtAudio(KSPROPERTY_RTAUDIO_CLOCKREGISTER, KSPROPERTY_TYPE_GET, &clock, sizeof clock).ok);
    EXPECT_EQ(clock.Numerator, 10000000u);
    EXPECT_EQ(*static_cast<volatile ULONG64 *>(clock.Register), 100u);

    KSRTAUDIO_HWLATENCY latency{};
    ASSERT_TRUE(RtAudio(KSPROPERTY_RTAUDIO_HWLATENCY, KSPROPERTY_TYPE_GET, &latency, sizeof latency).ok);
    EXPECT_EQ(latency.FifoSize, 64u);
    EXPECT_EQ(latency.CodecDelay, 20u);
    KSAUDIO_POSITION audio{};
    ASSERT_TRUE(Get(pin, KSPROPSETID_Audio, KSPROPERTY_AUDIO_POSITION, &audio, sizeof audio).ok);
    EXPECT_EQ(audio.PlayOffset, 400u);

    // The close removes the views and the miniport frees the buffer.
    CloseHandle(pin);
    pin = nullptr;
    EXPECT_TRUE(IsBadReadPtr(buffer.BufferAddress, 4));
    EXPECT_TRUE(IsBadReadPtr(position.Register, 4));
    EXPECT_EQ(testadapter::Snapshot().buffersFreed, 1);
}

// The buffer and both registers mapped into the client, each step's reply.
struct Mapped {
    Reply buffer, position, clock;
    KSRTAUDIO_BUFFER view{};
};

TEST_F(Streams, TheViewsAndDescriptorsOfThePortAreThePlatformsNotTheDrivers)
{
    Start();
    const testadapter::Holdings driver = testadapter::DriverHoldings();
    const testadapter::Holdings platform = testadapter::PlatformHoldings();
    Running(4000);
    // The stream's register page and its buffer: their pages and system
    // views are the driver's, the client's view of the buffer the port's.
    testadapter::Holdings driverNow = testadapter::DriverHoldings();
    EXPECT_EQ(driverNow.mdls, driver.mdls + 2);
    EXPECT_EQ(driverNow.mappings, driver.mappings + 2);
    EXPECT_EQ(testadapter::PlatformHoldings().mappings, platform.mappings + 1);
    KSRTAUDIO_HWREGISTER position{}, clock{};
    ASSERT_TRUE(RtAudio(KSPROPERTY_RTAUDIO_POSITIONREGISTER, KSPROPERTY_TYPE_GET, &position, sizeof position).ok);
    ASSERT_TRUE(RtAudio(KSPROPERTY_RTAUDIO_CLOCKREGISTER, KSPROPERTY_TYPE_GET, &clock, sizeof clock).ok);
    EXPECT_EQ(testadapter::DriverHoldings(), driverNow);
    const testadapter::Holdings platformNow = testadapter::PlatformHoldings();
    EXPECT_EQ(platformNow.mdls, platform.mdls + 2);
    EXPECT_EQ(platformNow.mappings, platform.mappings + 3);
    CloseHandle(pin);
    pin = nullptr;
    EXPECT_EQ(testadapter::PlatformHoldings(), platform);
    EXPECT_EQ(testadapter::DriverHoldings(), driver);
}

TEST_F(Streams, EachViewOrDescriptorThePortCannotMakeFailsTheRequestAndLeavesNothing)
{
    Start();
    // Create a pin, take its buffer and map both registers; the reply of each.
    auto scenario = [&] {
        Mapped result;
        EXPECT_EQ(CreatePcmPin(wave, &pin), 0u);
        result.buffer = Buffer(4000, 0, result.view);
        KSRTAUDIO_HWREGISTER hardware{};
        result.position = RtAudio(KSPROPERTY_RTAUDIO_POSITIONREGISTER, KSPROPERTY_TYPE_GET, &hardware, sizeof hardware);
        result.clock = RtAudio(KSPROPERTY_RTAUDIO_CLOCKREGISTER, KSPROPERTY_TYPE_GET, &hardware, sizeof hardware);
        return result;
    };
    const testadapter::Holdings driver = testadapter::DriverHoldings();
    const testadapter::Holdings platform = testadapter::PlatformHoldings();
    testadapter::CountPortOperations();
    scenario();
    const size_t counts[] = {testadapter::PortOperations(testadapter::PortFault::Mdl),
                             testadapter::PortOperations(testadapter::PortFault::UserMapping)};
    CloseHandle(pin);
    pin = nullptr;
    EXPECT_EQ(counts[0], 2u); // the registers' descriptors
    EXPECT_EQ(counts[1], 3u); // the views of the buffer and the registers
    int failedRequests = 0;
    for (testadapter::PortFault kind : {testadapter::PortFault::Mdl, testadapter::PortFault::UserMapping}) {
        for (size_t n = 1; n <= counts[static_cast<int>(kind)]; ++n) {
            SCOPED_TRACE(testing::Message() << "kind " << static_cast<int>(kind) << " operation " << n);
            testadapter::FailPortOperation(kind, n);
            const Mapped result = scenario();
            EXPECT_EQ(testadapter::InjectedPortFailures(kind), 1u);
            // Exactly one request fails, with the status of the operation.
            int failed = 0;
            for (const Reply &reply : {result.buffer, result.position, result.clock}) {
                if (!reply.ok) {
                    ++failed;
                    EXPECT_EQ(reply.error, DWORD(ERROR_NO_SYSTEM_RESOURCES));
                }
            }
            EXPECT_EQ(failed, 1);
            failedRequests += failed;
            if (!result.buffer.ok) {
                EXPECT_EQ(result.view.BufferAddress, nullptr);
            }
            CloseHandle(pin);
            pin = nullptr;
            EXPECT_EQ(testadapter::PlatformHoldings(), platform);
            EXPECT_EQ(testadapter::DriverHoldings(), driver);
        }
    }
    EXPECT_EQ(failedRequests, 5);
    const testadapter::Observed seen = testadapter::Snapshot();
    EXPECT_EQ(seen.buffersAllocated, seen.buffersFreed);
}

TEST_F(Streams, NotificationEventsAreSetPerPacketUntilUnregistered)
{
    Start();
    ASSERT_EQ(CreatePcmPin(wave, &pin), 0u);
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    // Only after a buffer with notifications.
    EXPECT_EQ(RtAudio(KSPROPERTY_RTAUDIO_REGISTER_NOTIFICATION_EVENT, KSPROPERTY_TYPE_GET, nullptr, 0, event).error,
              DWORD(ERROR_INVALID_FUNCTION));
    CloseHandle(pin);
    pin = nullptr;
    Running(4000); // 1000 frames, 500 per packet
    ASSERT_TRUE(RtAudio(KSPROPERTY_RTAUDIO_REGISTER_NOTIFICATION_EVENT, KSPROPERTY_TYPE_SET, nullptr, 0, event).ok);
    // A handle the client may not set is refused before the miniport sees it.
    HANDLE waitOnly = testadapter::RestrictedHandle(event, SYNCHRONIZE);
    EXPECT_EQ(RtAudio(KSPROPERTY_RTAUDIO_REGISTER_NOTIFICATION_EVENT, KSPROPERTY_TYPE_GET, nullptr, 0, waitOnly).error,
              DWORD(ERROR_ACCESS_DENIED));
    EXPECT_EQ(testadapter::Snapshot().eventsRegistered, 1);

    testadapter::Advance(499);
    EXPECT_FALSE(Signalled(event));
    testadapter::Advance(1);
    EXPECT_TRUE(Signalled(event));
    ULONG packets = 0;
    ASSERT_TRUE(RtAudio(KSPROPERTY_RTAUDIO_PACKETCOUNT, KSPROPERTY_TYPE_GET, &packets, sizeof packets).ok);
    EXPECT_EQ(packets, 1u);
    BOOL supported = FALSE;
    ASSERT_TRUE(
        RtAudio(KSPROPERTY_RTAUDIO_QUERY_NOTIFICATION_SUPPORT, KSPROPERTY_TYPE_GET, &supported, sizeof supported).ok);
    EXPECT_TRUE(supported);

    ASSERT_TRUE(RtAudio(KSPROPERTY_RTAUDIO_UNREGISTER_NOTIFICATION_EVENT, KSPROPERTY_TYPE_GET, nullptr, 0, event).ok);
    EXPECT_EQ(RtAudio(KSPROPERTY_RTAUDIO_UNREGISTER_NOTIFICATION_EVENT, KSPROPERTY_TYPE_GET, nullptr, 0, event).error,
              DWORD(ERROR_NOT_FOUND));
    testadapter::Advance(500);
    EXPECT_FALSE(Signalled(event));
    CloseHandle(waitOnly);
    CloseHandle(event);
}

TEST_F(Streams, PacketsAndPresentationPositionReachTheStream)
{
    Start();
    Running(4000);
    testadapter::Advance(1000); // two packets
    KSRTAUDIO_GETREADPACKET_INFO read{};
    ASSERT_TRUE(RtAudio(KSPROPERTY_RTAUDIO_GETREADPACKET, KSPROPERTY_TYPE_GET, &read, sizeof read).ok);
    EXPECT_EQ(read.PacketNumber, 0u);
    EXPECT_TRUE(read.MoreData);
    EXPECT_EQ(read.PerformanceCounterValue, 1000u);
    // The write packet is a set carrying its packet in the value.
    KSPROPERTY property{};
    property.Set = KSPROPSETID_RtAudio;
    property.Id = KSPROPERTY_RTAUDIO_SETWRITEPACKET;
    property.Flags = KSPROPERTY_TYPE_SET;
    KSRTAUDIO_SETWRITEPACKET_INFO write{3, 0, 0};
    EXPECT_TRUE(Control(pin, IOCTL_KS_PROPERTY, &property, sizeof property, &write, sizeof write).ok);
    write.PacketNumber = 2;
    EXPECT_EQ(Control(pin, IOCTL_KS_PROPERTY, &property, sizeof property, &write, sizeof write).error,
              DWORD(ERROR_IO_DEVICE));
    EXPECT_EQ(Control(pin, IOCTL_KS_PROPERTY, &property, sizeof property, &write, 4).error,
              DWORD(ERROR_INSUFFICIENT_BUFFER));
    property.Flags = KSPROPERTY_TYPE_GET; // get-only the other way round
    EXPECT_EQ(Control(pin, IOCTL_KS_PROPERTY, &property, sizeof property, &write, sizeof write).error,
              DWORD(ERROR_INVALID_FUNCTION));
    KSAUDIO_PRESENTATION_POSITION presentation{};
    ASSERT_TRUE(
        RtAudio(KSPROPERTY_RTAUDIO_PRESENTATION_POSITION, KSPROPERTY_TYPE_GET, &presentation, sizeof presentation).ok);
    EXPECT_EQ(presentation.u64PositionInBlocks, 1000u);
}

TEST_F(Streams, AStreamWithoutTheOptionalInterfacesSaysSo)
{
    testadapter::Config config;
    config.notification = false;
    config.packets = false;
    config.clockRegister = false;
    Start(config);
    ASSERT_EQ(CreatePcmPin(wave, &pin), 0u);
    KSRTAUDIO_BUFFER buffer{};
    EXPECT_EQ(Buffer(4000, 2, buffer).error, DWORD(ERROR_NOT_SUPPORTED));
    // The plain buffer still works.
    EXPECT_TRUE(Buffer(4000, 0, buffer).ok);
    BOOL supported = TRUE;
    ASSERT_TRUE(
        RtAudio(KSPROPERTY_RTAUDIO_QUERY_NOTIFICATION_SUPPORT, KSPROPERTY_TYPE_GET, &supported, sizeof supported).ok);
    EXPECT_FALSE(supported);
    ULONG packets = 0;
    EXPECT_EQ(RtAudio(KSPROPERTY_RTAUDIO_PACKETCOUNT, KSPROPERTY_TYPE_GET, &packets, sizeof packets).error,
              DWORD(ERROR_NOT_SUPPORTED));
    KSRTAUDIO_HWREGISTER clock{};
    EXPECT_EQ(RtAudio(KSPROPERTY_RTAUDIO_CLOCKREGISTER, KSPROPERTY_TYPE_GET, &clock, sizeof clock).error,
              DWORD(ERROR_NOT_SUPPORTED));
}

TEST_F(Streams, AProcessThatEndsWithAPinOpenLosesItAsOnWindows)
{
    Start();
    const KSRTAUDIO_BUFFER buffer = Running(4000);
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_TRUE(RtAudio(KSPROPERTY_RTAUDIO_REGISTER_NOTIFICATION_EVENT, KSPROPERTY_TYPE_GET, nullptr, 0, event).ok);
    KSRTAUDIO_HWREGISTER position{};
    ASSERT_TRUE(RtAudio(KSPROPERTY_RTAUDIO_POSITIONREGISTER, KSPROPERTY_TYPE_GET, &position, sizeof position).ok);
    scope.reset();
    client->End();
    pin = nullptr;
    wave = INVALID_HANDLE_VALUE;
    const testadapter::Observed seen = testadapter::Snapshot();
    EXPECT_EQ(seen.states.back(), 0u); // stopped on the way out
    EXPECT_EQ(seen.eventsUnregistered, 1);
    EXPECT_EQ(seen.buffersFreed, 1);
    EXPECT_EQ(seen.streamsDestroyed, 1);
    EXPECT_TRUE(IsBadReadPtr(buffer.BufferAddress, 4));
    // Unload in TearDown runs the leak check: nothing of the pin remains.
}

TEST_F(Streams, AProcessEndWaitsForTheRequestItsThreadHasInTheMiniport)
{
    testadapter::Config config;
    config.holdPended = true;
    Start(config);
    Running(4000);
    // A thread of the client waits in a pended property request of the filter.
    struct Call {
        HANDLE pin;
        Reply reply;
        ULONG value = 0;
    } call{wave, {}};
    client->RunThread(
        "pended",
        [](void *context) {
            auto *c = static_cast<Call *>(context);
            c->reply =
                Get(c->pin, testadapter::TestPropertySet, testadapter::PropertyPended, &c->value, sizeof c->value);
        },
        &call);
    ASSERT_TRUE(testadapter::WaitForPendedCall());
    // The process ends under it: PortCls has no cancellation to offer for a
    // pended handler, so the end waits until the miniport completes it; only
    // then are the handles closed, the stream's last.
    scope.reset();
    std::thread ender([this] { client->End(); });
    // Time enough for an end that did not wait to close the handles.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(client->Ended());
    EXPECT_EQ(testadapter::Snapshot().streamsDestroyed, 0);
    testadapter::ReleasePended();
    ender.join();
    client->JoinThreads();
    pin = nullptr;
    wave = INVALID_HANDLE_VALUE;
    EXPECT_TRUE(call.reply.ok);
    EXPECT_EQ(call.value, 0xABCDu);
    const testadapter::Observed seen = testadapter::Snapshot();
    EXPECT_EQ(seen.streamsDestroyed, 1);
    EXPECT_EQ(seen.buffersFreed, 1);
}

TEST_F(Streams, A32BitProcessGetsThe32BitLayouts)
{
    Start({}, true);
    ASSERT_EQ(CreatePcmPin(wave, &pin), 0u);
    KSRTAUDIO_BUFFER_PROPERTY32 property{};
    property.Property.Set = KSPROPSETID_RtAudio;
    property.Property.Id = KSPROPERTY_RTAUDIO_BUFFER;
    property.Property.Flags = KSPROPERTY_TYPE_GET;
    property.RequestedBufferSize = 4000;
    KSRTAUDIO_BUFFER32 buffer{};
    const Reply reply = Control(pin, IOCTL_KS_PROPERTY, &property, sizeof property, &buffer, sizeof buffer);
    ASSERT_TRUE(reply.ok) << reply.error;
    EXPECT_EQ(reply.returned, sizeof buffer);
    EXPECT_EQ(buffer.ActualBufferSize, 4000u);
    EXPECT_NE(buffer.BufferAddress, 0u); // a view below 4 GiB
    const ULONG sample = 0xCAFE;
    std::memcpy(reinterpret_cast<void *>(static_cast<uintptr_t>(buffer.BufferAddress)), &sample, sizeof sample);
    EXPECT_EQ(testadapter::ReadBuffer(0), sample);
    KSRTAUDIO_HWREGISTER_PROPERTY32 registerProperty{};
    registerProperty.Property.Set = KSPROPSETID_RtAudio;
    registerProperty.Property.Id = KSPROPERTY_RTAUDIO_POSITIONREGISTER;
    registerProperty.Property.Flags = KSPROPERTY_TYPE_GET;
    KSRTAUDIO_HWREGISTER32 position{};
    ASSERT_TRUE(
        Control(pin, IOCTL_KS_PROPERTY, &registerProperty, sizeof registerProperty, &position, sizeof position).ok);
    EXPECT_EQ(position.Width, 32u);
    EXPECT_NE(position.Register, 0u);
    // The 64-bit layout from a 32-bit caller is one that does not fit.
    KSRTAUDIO_BUFFER wide{};
    EXPECT_FALSE(Control(pin, IOCTL_KS_PROPERTY, &property, sizeof property, &wide, 4).ok);
}

TEST_F(Streams, PowerDownPausesTheStreamAndANewStreamFindsTheDeviceInD0)
{
    Start();
    Running(4000);
    ASSERT_EQ(testadapter::SetDevicePower(4), 0); // D3
    testadapter::Observed seen = testadapter::Snapshot();
    EXPECT_EQ(seen.states.back(), 2u); // paused
    EXPECT_EQ(seen.adapterDeviceStates.back(), 4);
    EXPECT_EQ(seen.miniportPowerNotices.back(), 4);
    ASSERT_EQ(testadapter::SetSystemPower(1), 0); // working: back to D0
    seen = testadapter::Snapshot();
    EXPECT_EQ(seen.states.back(), 3u);
    EXPECT_EQ(seen.adapterDeviceStates.back(), 1);
    EXPECT_EQ(seen.adapterSystemStates.back(), 1);

    CloseHandle(pin);
    pin = nullptr;
    ASSERT_EQ(testadapter::SetDevicePower(4), 0);
    ASSERT_EQ(CreatePcmPin(wave, &pin), 0u);
    EXPECT_EQ(testadapter::Snapshot().deviceStateAtNewStream, 1);
}
