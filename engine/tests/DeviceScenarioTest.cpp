// The engine against the PortCls test adapter, whose hardware the test plays:
// each tick of the device clock moves the position and the audio (played out
// of the cyclic buffer, or recorded into it), so the test decides when the
// device runs ahead of the engine. The engine runs in its own emulated
// process on the machine's self-advancing clock.
#include "EngineProcess.h"
#include "Status.h"
#include "Stream.h"
#include "Verifier.h"

#include <TestAdapter.h>
#include <gtest/gtest.h>
#include <win32_standin.h>

#include <memory>
#include <vector>

namespace {

namespace adapter = testadapter;
namespace win32 = standin::win32;
using namespace engine;

std::string DirectionParamName(const testing::TestParamInfo<Direction> &info)
{
    return DirectionName(info.param);
}

constexpr uint32_t TickFrames = 96; // 2 ms at 48 kHz

wav::Format Stereo(uint32_t rate, bool isFloat)
{
    wav::Format f;
    f.sampleRate = rate;
    f.channels = 2;
    f.containerBits = f.validBits = isFloat ? 32 : 16;
    f.encoding = isFloat ? wav::Encoding::Float : wav::Encoding::Pcm;
    f.channelMask = 0x3;
    return f;
}

// An application's source that is late once: inside its n-th read it keeps
// the engine's thread for `ms`, as a descheduled application does.
class LateSource : public SignalSource {
public:
    LateSource(int read, DWORD ms) : read(read), ms(ms) {}
    size_t Read(void *frames, size_t count) override
    {
        if (++reads == read)
            Sleep(ms);
        return SignalSource::Read(frames, count);
    }

private:
    const int read;
    const DWORD ms;
    int reads = 0;
};

// The same for a recording application's sink, inside its n-th write.
class LateSink : public VerifierSink {
public:
    LateSink(int write, DWORD ms) : write(write), ms(ms) {}
    void Write(const void *frames, size_t count) override
    {
        if (++writes == write)
            Sleep(ms);
        VerifierSink::Write(frames, count);
    }

private:
    const int write;
    const DWORD ms;
    int writes = 0;
};

class EngineOnTestDevice : public testing::Test {
protected:
    void TearDown() override
    {
        engine.Stop();
        win32::SetClockMode(win32::ClockMode::Real);
        if (loaded) {
            EXPECT_EQ(adapter::Unload(), 0) << "the driver unloads clean";
        }
    }

    // The device in one direction with the format proposed for its pin.
    void Load(Direction d, adapter::Config config = {})
    {
        direction = d;
        config.capture = d == Direction::Capture;
        config.proposesFormat = true;
        format = Stereo(config.deviceRate, config.deviceFloat);
        ASSERT_EQ(adapter::Load(config), 0);
        loaded = true;
        win32::SetClockMode(win32::ClockMode::Simulated);
        ASSERT_EQ(engine.Start(), S_OK);
        ASSERT_EQ(engine.FindEndpoint(direction, endpoint), S_OK);
        ASSERT_EQ(endpoint.state, EndpointState::Active);
        ASSERT_TRUE(endpoint.proposedFormat);
        ASSERT_EQ(endpoint.format, format);
        deviceVerifier = std::make_unique<Verifier>(format);
        deviceSignal = std::make_unique<TestSignal>(format);
    }

    HRESULT Open(const StreamConfig &config, std::shared_ptr<Source> src = nullptr,
                 std::shared_ptr<VerifierSink> snk = nullptr)
    {
        if (direction == Direction::Render) {
            source = src ? src : std::make_shared<SignalSource>();
            return engine.OpenRender(endpoint.id, config, source, stream);
        }
        sink = snk ? snk : std::make_shared<VerifierSink>();
        return engine.OpenCapture(endpoint.id, config, sink, stream);
    }

    // The device clock runs `frames` on in one step: what it plays goes to
    // the device's verifier, what it records is the test signal.
    void Move(uint32_t frames)
    {
        std::vector<uint8_t> data(size_t(frames) * format.FrameBytes());
        if (direction == Direction::Capture)
            deviceSignal->Generate(given, data.data(), frames);
        const uint32_t moved = adapter::Transfer(data.data(), frames);
        if (direction == Direction::Render)
            deviceVerifier->Push(data.data(), size_t(moved) * format.FrameBytes());
        given += moved;
    }
    // Ticks of 2 ms for `ms`, the engine's process running between them.
    void Run(DWORD ms, uint32_t frames = TickFrames)
    {
        for (DWORD t = 0; t < ms; t += 2) {
            Move(frames);
            engine.Sleep(2);
        }
    }
    // The far side of the stream, verified.
    VerifyReport Received() const { return direction == Direction::Render ? deviceVerifier->Report() : sink->Report(); }
    // The device has let go of everything the stream had.
    void ExpectNothingOpen() const
    {
        const adapter::Observed o = adapter::Snapshot();
        EXPECT_EQ(o.streamsDestroyed, o.newStreams);
        EXPECT_EQ(o.buffersFreed, o.buffersAllocated);
        EXPECT_EQ(o.eventsUnregistered, o.eventsRegistered);
        EXPECT_FALSE(o.nonAdjacentState) << "the state moved one step at a time";
        EXPECT_EQ(adapter::DriverHoldings(), adapter::Holdings{});
    }
    uint64_t Glitches(const StreamReport &r) const
    {
        return r.underruns + r.overruns + r.latePackets + r.earlyPackets + r.skippedPackets + r.deviceErrors;
    }

    EngineProcess engine;
    bool loaded = false;
    Direction direction = Direction::Render;
    wav::Format format;
    EndpointInfo endpoint;
    StreamId stream = 0;
    std::shared_ptr<Source> source;
    std::shared_ptr<VerifierSink> sink;
    std::unique_ptr<Verifier> deviceVerifier;
    std::unique_ptr<TestSignal> deviceSignal;
    uint64_t given = 0;
};

struct Case {
    Direction direction;
    Mode mode;
    uint32_t notifications;
};

std::string CaseName(const testing::TestParamInfo<Case> &info)
{
    std::string name = std::string(DirectionName(info.param.direction)) + "_" + ModeName(info.param.mode);
    if (info.param.mode == Mode::Event)
        name += std::to_string(info.param.notifications);
    return name;
}

const Case AllCases[] = {
    {Direction::Render, Mode::Event, 2},   {Direction::Render, Mode::Event, 1},  {Direction::Render, Mode::Packet, 2},
    {Direction::Render, Mode::Poll, 0},    {Direction::Capture, Mode::Event, 2}, {Direction::Capture, Mode::Event, 1},
    {Direction::Capture, Mode::Packet, 2}, {Direction::Capture, Mode::Poll, 0},
};

StreamConfig ConfigOf(const Case &c)
{
    StreamConfig config;
    config.mode = c.mode;
    config.notifications = c.notifications != 0 ? c.notifications : 2;
    return config;
}

class Streams : public EngineOnTestDevice, public testing::WithParamInterface<Case> {};

// A second on a steady device clock arrives sample for sample, with nothing
// counted as a glitch; closing the stream leaves nothing open in the device.
TEST_P(Streams, DeliverSampleExactOnASteadyClock)
{
    const Case c = GetParam();
    Load(c.direction);
    ASSERT_EQ(Open(ConfigOf(c)), S_OK);
    ASSERT_EQ(engine.StartStream(stream), S_OK);
    Run(1000);
    ASSERT_EQ(engine.StopStream(stream), S_OK);
    const StreamReport report = engine.Report(stream);
    const VerifyReport verified = Received();
    EXPECT_TRUE(verified.Exact()) << verified.Describe() << "\n" << report.Describe();
    EXPECT_GE(verified.framesMatched, 45000u) << verified.Describe();
    EXPECT_EQ(Glitches(report), 0u) << report.Describe();
    EXPECT_NEAR(report.positionTiming.driftPpm, 0, 10000) << report.Describe();
    const adapter::Observed o = adapter::Snapshot();
    EXPECT_EQ(o.notificationCount, c.mode == Mode::Poll ? 2u : c.notifications)
        << "a polled buffer is allocated without notifications";
    EXPECT_EQ(o.eventsRegistered, c.mode == Mode::Poll ? 0 : 1);
    EXPECT_EQ(engine.CloseStream(stream), S_OK);
    ExpectNothingOpen();
    EXPECT_EQ(o.states, (std::vector<uint32_t>{KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN, KSSTATE_PAUSE,
                                               KSSTATE_ACQUIRE, KSSTATE_STOP}));
}

// The application keeps the engine's thread for three buffers while the
// device runs on: the device overtakes what the engine wrote (render) or
// writes over what it had not read (capture), whole buffers the register
// alone cannot show. The engine counts it, and the verifier finds the first
// discrepancy where the device passed the engine; after it the stream goes
// on in step.
TEST_P(Streams, CountTheDeviceOvertakingALateApplication)
{
    const Case c = GetParam();
    Load(c.direction);
    const DWORD stallMs = c.mode == Mode::Poll ? 90 : 60; // three buffers
    if (c.direction == Direction::Render)
        ASSERT_EQ(Open(ConfigOf(c), std::make_shared<LateSource>(20, stallMs)), S_OK);
    else
        ASSERT_EQ(Open(ConfigOf(c), nullptr, std::make_shared<LateSink>(20, stallMs)), S_OK);
    ASSERT_EQ(engine.StartStream(stream), S_OK);
    Run(600);
    ASSERT_EQ(engine.StopStream(stream), S_OK);
    const StreamReport report = engine.Report(stream);
    const VerifyReport verified = Received();
    if (c.direction == Direction::Render) {
        EXPECT_EQ(report.underruns, 1u) << report.Describe();
        EXPECT_GE(report.underrunFrames, report.bufferFrames) << "more than a buffer: " << report.Describe();
        EXPECT_LE(report.underrunFrames, uint64_t(stallMs) * 48) << report.Describe();
    } else {
        EXPECT_GE(report.overruns, 1u) << report.Describe();
        EXPECT_GE(report.overrunFrames, c.mode == Mode::Packet ? report.periodFrames : report.bufferFrames)
            << report.Describe();
    }
    EXPECT_EQ(report.deviceErrors, 0u) << report.Describe();
    EXPECT_FALSE(verified.Exact()) << verified.Describe();
    // Before the application's 20th period all was in step.
    EXPECT_GE(verified.first.receivedFrame, 19u * report.periodFrames) << verified.Describe();
    EXPECT_LE(verified.first.receivedFrame, 19u * report.periodFrames + uint64_t(stallMs) * 48 + report.bufferFrames)
        << verified.Describe();
    EXPECT_GE(verified.framesMatched, 20000u) << "in step again after it: " << verified.Describe();
    if (c.direction == Direction::Capture) {
        EXPECT_GT(verified.lostFrames, 0u) << verified.Describe();
        EXPECT_EQ(verified.repeatedFrames, 0u)
            << "what was written over is lost, never repeated: " << verified.Describe();
    }
    EXPECT_EQ(engine.CloseStream(stream), S_OK);
}

INSTANTIATE_TEST_SUITE_P(EngineOnTestDevice, Streams, testing::ValuesIn(AllCases), CaseName);

class Packets : public EngineOnTestDevice, public testing::WithParamInterface<Direction> {};

// In packet mode the device's counts are monotonic: a device that leaps two
// and a half buffers in one step while the engine waits is seen whole.
TEST_P(Packets, ADeviceLeapingBuffersIsSeenWhole)
{
    Load(GetParam());
    StreamConfig config;
    config.mode = Mode::Packet;
    ASSERT_EQ(Open(config), S_OK);
    ASSERT_EQ(engine.StartStream(stream), S_OK);
    Run(200);
    const uint32_t buffer = adapter::Snapshot().requestedBuffer / format.FrameBytes();
    Move(buffer * 5 / 2);
    engine.Sleep(2);
    Run(200);
    ASSERT_EQ(engine.StopStream(stream), S_OK);
    const StreamReport report = engine.Report(stream);
    if (direction == Direction::Render) {
        EXPECT_EQ(report.underruns, 1u) << report.Describe();
        EXPECT_EQ(report.underrunFrames, 2u * buffer)
            << "the packets the device passed unwritten: " << report.Describe();
        EXPECT_EQ(report.latePackets, 1u) << report.Describe();
    } else {
        EXPECT_EQ(report.overruns, 3u) << "three packets written over: " << report.Describe();
        EXPECT_EQ(report.skippedPackets, 0u) << report.Describe();
    }
    EXPECT_EQ(report.deviceErrors, 0u) << report.Describe();
}

// A notification without a completed packet: the engine's packet is early,
// its data waits for the next notification and nothing is lost.
TEST_F(Packets, ANotificationWithoutAPacketIsAnEarlyPacket)
{
    Load(Direction::Render);
    StreamConfig config;
    config.mode = Mode::Packet;
    ASSERT_EQ(Open(config), S_OK);
    ASSERT_EQ(engine.StartStream(stream), S_OK);
    Run(100);
    adapter::SignalNotification();
    engine.Sleep(1);
    Run(300);
    ASSERT_EQ(engine.StopStream(stream), S_OK);
    const StreamReport report = engine.Report(stream);
    EXPECT_EQ(report.earlyPackets, 1u) << report.Describe();
    EXPECT_EQ(report.underruns + report.latePackets + report.deviceErrors, 0u) << report.Describe();
    EXPECT_TRUE(Received().Exact()) << Received().Describe();
}

INSTANTIATE_TEST_SUITE_P(EngineOnTestDevice, Packets, testing::Values(Direction::Render, Direction::Capture),
                         DirectionParamName);

class Changes : public EngineOnTestDevice, public testing::WithParamInterface<Direction> {
protected:
    // Ticks until the engine has made a change after an event.
    void RunUntilChanged(uint64_t seen)
    {
        for (int i = 0; i < 200 && engine.Changes() == seen; ++i)
            Run(2);
        ASSERT_NE(engine.Changes(), seen) << "the engine never reacted";
    }
};

// The device takes another format under a running stream: the engine closes
// the stream and opens it again in the new format, running; both stretches
// arrive exactly, the second from the signal's start in the new format.
TEST_P(Changes, AFormatChangeReopensTheStreamInTheNewFormat)
{
    Load(GetParam());
    ASSERT_EQ(Open(StreamConfig{}), S_OK);
    ASSERT_EQ(engine.StartStream(stream), S_OK);
    Run(200);
    const wav::Format next = Stereo(48000, true);
    const uint64_t seen = engine.Changes();
    // The device clock waits while the engine reacts, so that every tick
    // belongs to one stream or the other.
    adapter::SetDeviceFormat(48000, true);
    ASSERT_EQ(engine.WaitForChanges(seen, 1000), S_OK);
    ASSERT_EQ(adapter::Snapshot().newStreams, 2) << "a second pin";
    // The device's side begins again with the new stream.
    const VerifyReport before = Received();
    format = next;
    deviceSignal = std::make_unique<TestSignal>(format);
    given = 0;
    if (direction == Direction::Render)
        deviceVerifier->Restart(format);
    Run(300);
    ASSERT_EQ(engine.StopStream(stream), S_OK);
    const StreamReport report = engine.Report(stream);
    const VerifyReport after = Received();
    EXPECT_EQ(report.reopens, 1u) << report.Describe();
    EXPECT_EQ(report.format, next);
    EXPECT_EQ(report.state, StreamState::Stopped);
    EXPECT_TRUE(before.Exact()) << before.Describe();
    EXPECT_TRUE(after.Exact()) << after.Describe();
    EXPECT_EQ(after.format, next);
    EXPECT_GE(after.framesMatched, before.framesMatched + 48000u * 25 / 100) << after.Describe();
    EndpointInfo info;
    ASSERT_EQ(engine.FindEndpoint(direction, info), S_OK);
    EXPECT_EQ(info.format, next);
    EXPECT_EQ(info.formatChanges, 1u);
    EXPECT_EQ(engine.CloseStream(stream), S_OK);
    ExpectNothingOpen();
}

// The device has taken another format whose event has not reached the
// engine yet: an open still gets the device's format, with a period asked as
// a time in frames of that format's rate, and delivers exactly in it.
TEST_P(Changes, AnOpenTakesTheDevicesFormatBeforeItsEventArrives)
{
    Load(GetParam());
    adapter::SetDeviceFormat(44100, false, false);
    StreamConfig config;
    config.periodHns = 100000; // 10 ms
    ASSERT_EQ(Open(config), S_OK);
    format = Stereo(44100, false);
    deviceVerifier = std::make_unique<Verifier>(format);
    deviceSignal = std::make_unique<TestSignal>(format);
    StreamReport report = engine.Report(stream);
    EXPECT_EQ(report.format, format);
    EXPECT_EQ(report.periodFrames, 441u) << "10 ms at 44.1 kHz";
    EXPECT_EQ(adapter::Snapshot().newStreams, 1) << "one pin, made in the new format";
    EndpointInfo info;
    ASSERT_EQ(engine.FindEndpoint(direction, info), S_OK);
    EXPECT_EQ(info.format, format);
    EXPECT_EQ(info.formatChanges, 1u);
    ASSERT_EQ(engine.StartStream(stream), S_OK);
    Run(200, 88); // 44 kHz: a little slower than the nominal rate, ticks across the periods
    ASSERT_EQ(engine.StopStream(stream), S_OK);
    report = engine.Report(stream);
    EXPECT_EQ(report.reopens, 0u) << report.Describe();
    EXPECT_EQ(Glitches(report), 0u) << report.Describe();
    EXPECT_TRUE(Received().Exact()) << Received().Describe();
    EXPECT_GE(Received().framesMatched, 44100u / 8) << Received().Describe();
    EXPECT_EQ(engine.CloseStream(stream), S_OK);
    ExpectNothingOpen();
}

// The jack is unplugged under a running stream: the stream steps down,
// closes and is invalidated, no stream opens on the endpoint; plugged in
// again, a new stream delivers exactly.
TEST_P(Changes, UnplugInvalidatesAndReplugAllowsANewStream)
{
    Load(GetParam());
    ASSERT_EQ(Open(StreamConfig{}), S_OK);
    ASSERT_EQ(engine.StartStream(stream), S_OK);
    Run(100);
    uint64_t seen = engine.Changes();
    adapter::SetJack(false);
    RunUntilChanged(seen);
    EndpointInfo info;
    ASSERT_EQ(engine.FindEndpoint(direction, info), S_OK);
    EXPECT_EQ(info.state, EndpointState::Unplugged);
    StreamReport report = engine.Report(stream);
    EXPECT_EQ(report.state, StreamState::Invalidated);
    EXPECT_EQ(report.lastError, DeviceInvalidated);
    EXPECT_EQ(engine.StartStream(stream), DeviceInvalidated);
    ExpectNothingOpen();
    StreamId refused = 0;
    EXPECT_EQ(direction == Direction::Render ? engine.OpenRender(endpoint.id, {}, source, refused)
                                             : engine.OpenCapture(endpoint.id, {}, sink, refused),
              DeviceInvalidated);
    EXPECT_EQ(engine.CloseStream(stream), S_OK);

    seen = engine.Changes();
    adapter::SetJack(true);
    RunUntilChanged(seen);
    ASSERT_EQ(engine.FindEndpoint(direction, info), S_OK);
    EXPECT_EQ(info.state, EndpointState::Active);
    deviceVerifier = std::make_unique<Verifier>(format);
    given = 0;
    ASSERT_EQ(Open(StreamConfig{}), S_OK);
    ASSERT_EQ(engine.StartStream(stream), S_OK);
    Run(300);
    ASSERT_EQ(engine.StopStream(stream), S_OK);
    EXPECT_TRUE(Received().Exact()) << Received().Describe();
    EXPECT_GE(Received().framesMatched, 48000u / 4);
    EXPECT_EQ(engine.CloseStream(stream), S_OK);
}

// The wave filter goes (its interface removed): the endpoint is not present
// and its stream invalidated; when it comes back the endpoint is active.
TEST_P(Changes, AWaveFilterThatGoesMakesTheEndpointNotPresent)
{
    Load(GetParam());
    ASSERT_EQ(Open(StreamConfig{}), S_OK);
    ASSERT_EQ(engine.StartStream(stream), S_OK);
    Run(100);
    ASSERT_EQ(adapter::UnplugWave(), 0);
    ASSERT_EQ(engine.Refresh(), S_OK);
    EndpointInfo info;
    const std::vector<EndpointInfo> all = engine.Endpoints();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].state, EndpointState::NotPresent);
    const StreamReport report = engine.Report(stream);
    EXPECT_EQ(report.state, StreamState::Invalidated);
    EXPECT_EQ(report.lastError, DeviceInvalidated);
    EXPECT_EQ(engine.CloseStream(stream), S_OK);
    ExpectNothingOpen();

    ASSERT_EQ(adapter::PlugWave(), 0);
    ASSERT_EQ(engine.Refresh(), S_OK);
    ASSERT_EQ(engine.FindEndpoint(direction, info), S_OK);
    EXPECT_EQ(info.state, EndpointState::Active);
    EXPECT_EQ(info.id, endpoint.id);
    ASSERT_EQ(Open(StreamConfig{}), S_OK);
    EXPECT_EQ(engine.CloseStream(stream), S_OK);
}

INSTANTIATE_TEST_SUITE_P(EngineOnTestDevice, Changes, testing::Values(Direction::Render, Direction::Capture),
                         DirectionParamName);

using Refusals = EngineOnTestDevice;

// What the device refuses, or the application asks wrongly, gives a clear
// status and leaves nothing open; the endpoint serves the next stream.
TEST_F(Refusals, ARefusedBufferLeavesNothingOpen)
{
    Load(Direction::Render);
    const adapter::Holdings platform = adapter::PlatformHoldings();
    adapter::FailPortOperation(adapter::PortFault::UserMapping, 1);
    const HRESULT status = Open(StreamConfig{});
    EXPECT_EQ(adapter::InjectedPortFailures(adapter::PortFault::UserMapping), 1u);
    EXPECT_NE(status, S_OK);
    EXPECT_EQ(HRESULT_FACILITY(status), FACILITY_WIN32) << StatusName(status);
    ExpectNothingOpen();
    EXPECT_EQ(adapter::PlatformHoldings(), platform);
    EXPECT_EQ(adapter::Snapshot().newStreams, 1);
    EXPECT_EQ(Open(StreamConfig{}), S_OK) << "the next open works";
    EXPECT_EQ(engine.CloseStream(stream), S_OK);
}

TEST_F(Refusals, APeriodBelowTheDevicesSmallestIsAnInvalidPeriod)
{
    adapter::Config config;
    config.minimumBufferBytes = 1000 * 4; // 1000 frames
    Load(Direction::Capture, config);
    StreamConfig small;
    small.periodFrames = 240;
    EXPECT_EQ(Open(small), InvalidDevicePeriod);
    ExpectNothingOpen();
    EXPECT_EQ(adapter::Snapshot().buffersAllocated, 1) << "the device's answer decided it";
    StreamConfig smallest;
    smallest.periodFrames = 500; // a buffer of 1000 frames
    ASSERT_EQ(Open(smallest), S_OK);
    EXPECT_EQ(engine.Report(stream).bufferFrames, 1000u);
    EXPECT_EQ(engine.CloseStream(stream), S_OK);
    StreamConfig byDefault; // 10 ms: the device's smallest is taken
    ASSERT_EQ(Open(byDefault), S_OK);
    EXPECT_EQ(engine.Report(stream).bufferFrames, 1000u);
    EXPECT_EQ(engine.CloseStream(stream), S_OK);
}

TEST_F(Refusals, ANotificationCountOtherThanOneOrTwoIsRefusedBeforeThePin)
{
    Load(Direction::Render);
    for (uint32_t count : {0u, 3u}) {
        StreamConfig config;
        config.notifications = count;
        EXPECT_EQ(Open(config), InvalidArgument) << count;
    }
    EXPECT_EQ(adapter::Snapshot().newStreams, 0);
}

TEST_F(Refusals, EventModeOnADeviceWithoutNotificationsIsNotSupported)
{
    adapter::Config config;
    config.notification = false;
    Load(Direction::Render, config);
    EXPECT_EQ(Open(StreamConfig{}), NotSupported);
    ExpectNothingOpen();
    StreamConfig poll;
    poll.mode = Mode::Poll;
    ASSERT_EQ(Open(poll), S_OK) << "polling needs no notification";
    ASSERT_EQ(engine.StartStream(stream), S_OK);
    Run(200);
    ASSERT_EQ(engine.StopStream(stream), S_OK);
    EXPECT_TRUE(Received().Exact()) << Received().Describe();
    EXPECT_EQ(engine.CloseStream(stream), S_OK);
}

} // namespace
