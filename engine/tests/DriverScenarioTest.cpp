// The engine against the product's driver, loaded through its entry and the
// PnP manager, with a host through the client library on the far side: each
// in an emulated process of its own, on the machine's self-advancing clock.
// Audio a Windows application plays reaches the host sample for sample, and
// what the host gives reaches the recording application; the host leaving
// and coming back unplugs and replugs the endpoint under a running stream.
#include "EngineProcess.h"
#include "Status.h"
#include "Stream.h"
#include "Verifier.h"

#include <DriverUnderTest.h>
#include <ManualHost.h>
#include <ControlProtocol.h>
#include <gtest/gtest.h>
#include <io_boundary.h>
#include <ombapi.h>
#include <win32_standin.h>

#include <atomic>
#include <memory>
#include <mutex>

namespace {

namespace boundary = standin::io::boundary;
namespace dut = driver_under_test;
namespace win32 = standin::win32;
using namespace engine;

std::string DirectionParamName(const testing::TestParamInfo<Direction> &info)
{
    return DirectionName(info.param);
}

constexpr unsigned HostTickMs = 2;

struct FormatCase {
    const char *name;
    wav::Format format;
};

wav::Format Pcm(uint32_t rate, uint16_t channels, uint16_t container, uint16_t valid, uint32_t mask)
{
    wav::Format f;
    f.sampleRate = rate;
    f.channels = channels;
    f.containerBits = container;
    f.validBits = valid;
    f.channelMask = mask;
    return f;
}

const FormatCase Formats[] = {
    {"Stereo44k16", Pcm(44100, 2, 16, 16, 0x3)},
    {"SixChannels48k24in32", Pcm(48000, 6, 32, 24, 0x3F)},
    {"Mono8bit", Pcm(22050, 1, 8, 8, 0x4)},
};

// The host's application. Serving the render endpoint it receives what the
// engine played and verifies it; serving the capture endpoint it gives the
// test signal. It can stall once for a while inside a transfer, as a host
// that is descheduled does.
class HostApplication : public Ombrivo::CallbackInterface {
public:
    HostApplication(bool receives, const wav::Format &format)
        : receives(receives), frameBytes(format.FrameBytes()), signal(format), verifier(format)
    {
    }
    unsigned TransferData(void *data, unsigned bytes) override
    {
        const DWORD stall = stallMs.exchange(0);
        if (stall != 0)
            Sleep(stall);
        std::lock_guard<std::mutex> hold(lock);
        const unsigned frames = bytes / frameBytes;
        if (receives)
            verifier.Push(data, size_t(frames) * frameBytes);
        else
            signal.Generate(given, data, frames);
        given += frames;
        return frames * frameBytes;
    }
    VerifyReport Report() const
    {
        std::lock_guard<std::mutex> hold(lock);
        return verifier.Report();
    }
    std::atomic<DWORD> stallMs{0};

private:
    const bool receives;
    const uint32_t frameBytes;
    mutable std::mutex lock;
    TestSignal signal;
    Verifier verifier;
    uint64_t given = 0;
};

// A host through the client library in a process of its own: started, its
// loop a thread of that process.
class Host {
public:
    Host(bool servesRender, const wav::Format &format) : application(servesRender, format)
    {
        win32::ProcessScope scope(process);
        if (Ombrivo::OmbDriver::Create(driver, ControlInterfaceClass) != S_OK || driver->Open() != S_OK)
            return;
        // The render endpoint is read by the capture side of the device.
        if (Ombrivo::OmbHost::Create(host, *driver, servesRender, application) != S_OK)
            return;
        const Ombrivo::WaveFormat wave(format.sampleRate, format.validBits, format.channels, format.containerBits / 8,
                                       format.channelMask);
        startStatus = host->Start(wave, 10);
        if (startStatus == S_OK)
            process.RunThread("host loop", &Host::Loop, this);
    }
    ~Host()
    {
        Leave();
        win32::ProcessScope scope(process);
        if (host != nullptr)
            host->Delete();
        if (driver != nullptr)
            driver->Delete();
    }
    bool Running() const { return startStatus == S_OK; }
    // Stops the loop and closes the pipe: the endpoint is unplugged.
    void Leave()
    {
        if (host == nullptr)
            return;
        {
            win32::ProcessScope scope(process);
            host->Stop();
        }
        process.JoinThreads();
    }
    HRESULT LoopResult() const { return loopResult.load(); }
    OmbHostStats Stats() const
    {
        OmbHostStats stats{};
        stats.Size = sizeof stats;
        win32::ProcessScope scope(process);
        host->GetStats(&stats);
        return stats;
    }
    void Trim(int32_t ppb)
    {
        win32::ProcessScope scope(process);
        host->SetClockTrim(ppb);
    }

    HostApplication application;

private:
    static void Loop(void *self)
    {
        auto *h = static_cast<Host *>(self);
        h->loopResult = h->host->EventLoop(HostTickMs);
    }

    win32::ClientProcess process;
    Ombrivo::OmbDriver *driver = nullptr;
    Ombrivo::OmbHost *host = nullptr;
    HRESULT startStatus = E_FAIL;
    std::atomic<HRESULT> loopResult{S_OK};
};

class EngineOnDriver : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dut::Load());
        win32::SetClockMode(win32::ClockMode::Simulated);
        ASSERT_EQ(engine.Start(), S_OK);
    }
    void TearDown() override
    {
        engine.Stop();
        hosts.clear();
        win32::SetClockMode(win32::ClockMode::Real);
        dut::Unload();
    }

    Host &StartHost(Direction endpoint, const wav::Format &format)
    {
        hosts.push_back(std::make_unique<Host>(endpoint == Direction::Render, format));
        return *hosts.back();
    }

    // Waits (virtual time) until the endpoint of a direction is in `state`
    // (and, when given, has the format); its description then.
    EndpointInfo AwaitEndpoint(Direction direction, EndpointState state, const wav::Format *format = nullptr)
    {
        EndpointInfo info;
        for (int i = 0; i < 100; ++i) {
            const uint64_t seen = engine.Changes();
            if (engine.FindEndpoint(direction, info) == S_OK && info.state == state &&
                (format == nullptr || (info.formatKnown && info.format == *format)))
                return info;
            engine.WaitForChanges(seen, 100);
        }
        ADD_FAILURE() << "the " << DirectionName(direction) << " endpoint never became " << EndpointStateName(state);
        return info;
    }

    StreamId Open(Direction direction, const EndpointInfo &endpoint, const StreamConfig &config)
    {
        StreamId id = 0;
        if (direction == Direction::Render) {
            source = std::make_shared<SignalSource>();
            EXPECT_EQ(engine.OpenRender(endpoint.id, config, source, id), S_OK);
        } else {
            sink = std::make_shared<VerifierSink>();
            EXPECT_EQ(engine.OpenCapture(endpoint.id, config, sink, id), S_OK);
        }
        return id;
    }

    // What reached the far side, verified: the host's application for
    // render, the engine's sink for capture.
    VerifyReport Received(Direction direction, Host &host) const
    {
        return direction == Direction::Render ? host.application.Report() : sink->Report();
    }

    EngineProcess engine;
    std::vector<std::unique_ptr<Host>> hosts;
    std::shared_ptr<SignalSource> source;
    std::shared_ptr<VerifierSink> sink;
};

struct Scenario {
    Direction direction;
    Mode mode;
    FormatCase format;
};

std::string ScenarioName(const testing::TestParamInfo<Scenario> &info)
{
    std::string name = std::string(DirectionName(info.param.direction)) + "_" + ModeName(info.param.mode) + "_" +
                       info.param.format.name;
    return name;
}

void PrintTo(const Scenario &s, std::ostream *out)
{
    *out << DirectionName(s.direction) << ", " << ModeName(s.mode) << ", " << wav::Describe(s.format.format);
}

class Delivery : public EngineOnDriver, public testing::WithParamInterface<Scenario> {};

// A second of audio in each direction, mode and format arrives exactly, with
// no glitch counted on either side.
TEST_P(Delivery, IsSampleExact)
{
    const Scenario &s = GetParam();
    const wav::Format &format = s.format.format;
    Host &host = StartHost(s.direction, format);
    ASSERT_TRUE(host.Running());
    const EndpointInfo endpoint = AwaitEndpoint(s.direction, EndpointState::Active, &format);
    ASSERT_TRUE(endpoint.proposedFormat) << "the pin proposes the host's format";

    StreamConfig config;
    config.mode = s.mode;
    const StreamId id = Open(s.direction, endpoint, config);
    ASSERT_EQ(engine.StartStream(id), S_OK);
    engine.Sleep(1000);
    ASSERT_EQ(engine.StopStream(id), S_OK);
    const StreamReport report = engine.Report(id);
    const VerifyReport verified = Received(s.direction, host);

    EXPECT_TRUE(verified.Exact()) << verified.Describe() << "\n" << report.Describe();
    EXPECT_GE(verified.framesMatched, format.sampleRate * 9 / 10) << verified.Describe();
    EXPECT_EQ(report.underruns + report.overruns + report.latePackets + report.earlyPackets + report.deviceErrors, 0u)
        << report.Describe();
    EXPECT_GE(report.frames, format.sampleRate * 9 / 10);
    EXPECT_EQ(host.LoopResult(), S_OK);
    if (s.mode == Mode::Packet) {
        EXPECT_GE(report.packets, 90u) << "a packet each 10 ms";
    }
    EXPECT_EQ(engine.CloseStream(id), S_OK);
}

std::vector<Scenario> AllScenarios()
{
    std::vector<Scenario> all;
    for (Direction direction : {Direction::Render, Direction::Capture})
        for (Mode mode : {Mode::Event, Mode::Packet, Mode::Poll})
            for (const FormatCase &format : Formats)
                all.push_back({direction, mode, format});
    return all;
}

INSTANTIATE_TEST_SUITE_P(EngineOnDriver, Delivery, testing::ValuesIn(AllScenarios()), ScenarioName);

class HostLeaves : public EngineOnDriver, public testing::WithParamInterface<Direction> {};

// The host goes mid-stream: the jack reports nothing plugged in, the running
// stream is invalidated (it stepped down to STOP without a refusal and
// closed) and the application is told "device invalidated"; a new host with
// another format plugs the endpoint in again, and a stream opened then
// delivers exactly in the new format.
TEST_P(HostLeaves, InvalidatesTheStreamAndItsReturnAllowsANewOne)
{
    const Direction direction = GetParam();
    const wav::Format first = Formats[0].format, second = Formats[1].format;
    Host &host = StartHost(direction, first);
    ASSERT_TRUE(host.Running());
    const EndpointInfo endpoint = AwaitEndpoint(direction, EndpointState::Active, &first);
    const StreamId id = Open(direction, endpoint, StreamConfig{});
    ASSERT_EQ(engine.StartStream(id), S_OK);
    engine.Sleep(200);

    host.Leave();
    const EndpointInfo unplugged = AwaitEndpoint(direction, EndpointState::Unplugged);
    EXPECT_EQ(unplugged.jackChanges, endpoint.jackChanges + 1) << "one jack change for one departure";
    StreamReport report = engine.Report(id);
    EXPECT_EQ(report.state, StreamState::Invalidated);
    EXPECT_EQ(report.lastError, DeviceInvalidated);
    EXPECT_EQ(report.deviceErrors, 0u) << "every step down succeeds without a host";
    EXPECT_GE(report.frames, first.sampleRate / 10) << "it streamed before";
    EXPECT_EQ(engine.StartStream(id), DeviceInvalidated);
    EXPECT_EQ(Received(direction, host).discontinuities, 0u) << Received(direction, host).Describe();
    StreamId refused = 0;
    EXPECT_EQ(direction == Direction::Render ? engine.OpenRender(endpoint.id, {}, source, refused)
                                             : engine.OpenCapture(endpoint.id, {}, sink, refused),
              DeviceInvalidated)
        << "no stream on an unplugged endpoint";
    EXPECT_EQ(engine.CloseStream(id), S_OK);

    Host &back = StartHost(direction, second);
    ASSERT_TRUE(back.Running());
    const EndpointInfo replugged = AwaitEndpoint(direction, EndpointState::Active, &second);
    EXPECT_EQ(replugged.id, endpoint.id) << "the same endpoint";
    const StreamId again = Open(direction, replugged, StreamConfig{});
    ASSERT_EQ(engine.StartStream(again), S_OK);
    engine.Sleep(500);
    ASSERT_EQ(engine.StopStream(again), S_OK);
    const VerifyReport verified = Received(direction, back);
    EXPECT_TRUE(verified.Exact()) << verified.Describe();
    EXPECT_EQ(verified.format, second);
    EXPECT_GE(verified.framesMatched, second.sampleRate * 4 / 10);
    report = engine.Report(again);
    EXPECT_EQ(report.format, second);
    EXPECT_EQ(report.underruns + report.overruns, 0u) << report.Describe();
}

INSTANTIATE_TEST_SUITE_P(EngineOnDriver, HostLeaves, testing::Values(Direction::Render, Direction::Capture),
                         DirectionParamName);

class Glitches : public EngineOnDriver {
protected:
    // A stream of the mode on the endpoint of the direction, running; the
    // host stalls once, `stallMs` long, after `beforeMs`, then the stream
    // runs on and stops.
    StreamReport RunWithStall(Direction direction, Mode mode, DWORD beforeMs, DWORD stallMs)
    {
        const wav::Format format = Formats[0].format;
        Host &host = StartHost(direction, format);
        EXPECT_TRUE(host.Running());
        const EndpointInfo endpoint = AwaitEndpoint(direction, EndpointState::Active, &format);
        StreamConfig config;
        config.mode = mode;
        const StreamId id = Open(direction, endpoint, config);
        EXPECT_EQ(engine.StartStream(id), S_OK);
        engine.Sleep(beforeMs);
        host.application.stallMs = stallMs;
        engine.Sleep(stallMs + 300);
        EXPECT_EQ(engine.StopStream(id), S_OK);
        verified = Received(direction, host);
        return engine.Report(id);
    }
    VerifyReport verified;
};

// A host through the client library that stalls resumes where it stopped:
// nothing is lost, and the pause shows in the stream's timing.
TEST_F(Glitches, AStalledHostShowsInTheTimingAndLosesNothing)
{
    const StreamReport report = RunWithStall(Direction::Render, Mode::Event, 100, 60);
    EXPECT_TRUE(verified.Exact()) << verified.Describe();
    EXPECT_EQ(report.underruns, 0u) << report.Describe();
    EXPECT_GE(report.positionTiming.glitches, 1u) << report.Describe();
    EXPECT_GE(report.notificationTiming.glitches, 1u) << report.Describe();
    EXPECT_LT(report.positionTiming.driftPpm, -50000) << "the device clock fell behind";
}

// The application keeps the engine's thread for three buffers while a
// steady host runs on: the host overtakes what the engine wrote, or writes
// over what it had not read, by more than the register can show; the engine
// counts it. (A host that stalls itself drops the time it lost, so the
// device never runs ahead of the engine: the test above.)
class LateOverHost : public EngineOnDriver, public testing::WithParamInterface<Direction> {
protected:
    class LateSource : public SignalSource {
    public:
        size_t Read(void *frames, size_t count) override
        {
            if (++reads == 20)
                Sleep(60);
            return SignalSource::Read(frames, count);
        }
        int reads = 0;
    };
    class LateSink : public VerifierSink {
    public:
        void Write(const void *frames, size_t count) override
        {
            if (++writes == 20)
                Sleep(60);
            VerifierSink::Write(frames, count);
        }
        int writes = 0;
    };
};

TEST_P(LateOverHost, IsCountedOnce)
{
    const Direction direction = GetParam();
    const wav::Format format = Formats[0].format;
    Host &host = StartHost(direction, format);
    ASSERT_TRUE(host.Running());
    const EndpointInfo endpoint = AwaitEndpoint(direction, EndpointState::Active, &format);
    StreamId id = 0;
    if (direction == Direction::Render) {
        ASSERT_EQ(engine.OpenRender(endpoint.id, {}, std::make_shared<LateSource>(), id), S_OK);
    } else {
        sink = std::make_shared<LateSink>();
        ASSERT_EQ(engine.OpenCapture(endpoint.id, {}, sink, id), S_OK);
    }
    ASSERT_EQ(engine.StartStream(id), S_OK);
    engine.Sleep(600);
    ASSERT_EQ(engine.StopStream(id), S_OK);
    const StreamReport report = engine.Report(id);
    const VerifyReport verified = Received(direction, host);
    if (direction == Direction::Render) {
        EXPECT_EQ(report.underruns, 1u) << report.Describe();
        EXPECT_GE(report.underrunFrames, report.bufferFrames) << report.Describe();
    } else {
        EXPECT_EQ(report.overruns, 1u) << report.Describe();
        EXPECT_GE(report.overrunFrames, report.bufferFrames) << report.Describe();
    }
    EXPECT_FALSE(verified.Exact()) << verified.Describe();
    EXPECT_GE(verified.first.receivedFrame, 19u * report.periodFrames) << verified.Describe();
    EXPECT_GE(verified.framesMatched, format.sampleRate / 3) << "in step again after it: " << verified.Describe();
}

INSTANTIATE_TEST_SUITE_P(EngineOnDriver, LateOverHost, testing::Values(Direction::Render, Direction::Capture),
                         DirectionParamName);

struct GlitchCase {
    Direction direction;
    Mode mode;
};

// A host under the test's control: the test moves the device position and
// tells the driver, as a host's loop does on each tick.
class ClockedHost : public EngineOnDriver, public testing::WithParamInterface<GlitchCase> {
protected:
    void TearDown() override
    {
        engine.Stop();
        manual.reset();
        EngineOnDriver::TearDown();
    }
    // The host attached with the format, the engine's stream running on it.
    void Begin(Direction direction, Mode mode, std::shared_ptr<Source> slowSource = nullptr)
    {
        pipe = direction == Direction::Render ? PipeCapture : PipeRender;
        manual = std::make_unique<host_client::ManualHost>(pipe);
        ASSERT_EQ(manual->OpenStatus(), 0);
        ASSERT_EQ(manual->Attach({format.sampleRate, format.validBits, format.channels,
                                  uint16_t(format.containerBits / 8), format.channelMask}),
                  0);
        // Its responder is a thread of the test's own: the clock counts it
        // once it waits (with the driver's two workers and the engine's
        // monitor).
        dut::WaitUntilBlocked(4);
        const EndpointInfo endpoint = AwaitEndpoint(direction, EndpointState::Active, &format);
        StreamConfig config;
        config.mode = mode;
        if (slowSource) {
            ASSERT_EQ(engine.OpenRender(endpoint.id, config, slowSource, stream), S_OK);
        } else {
            stream = Open(direction, endpoint, config);
        }
        ASSERT_EQ(engine.StartStream(stream), S_OK);
        bufferFrames = dut::Block(pipe).BufferSizeFrames;
        ASSERT_NE(bufferFrames, 0u);
    }
    // Ticks of 2 ms for `ms`, each moving the position by `frames`.
    void Run(DWORD ms, uint32_t frames)
    {
        for (DWORD t = 0; t < ms; t += 2) {
            position += frames;
            manual->MoveTo(position, format.FrameBytes(), bufferFrames);
            engine.Sleep(2);
        }
    }
    StreamReport End()
    {
        EXPECT_EQ(engine.StopStream(stream), S_OK);
        return engine.Report(stream);
    }

    const wav::Format format = Pcm(48000, 2, 16, 16, 0x3);
    const uint32_t tick = 96; // frames in 2 ms
    std::unique_ptr<host_client::ManualHost> manual;
    int pipe = 0;
    StreamId stream = 0;
    uint32_t bufferFrames = 0;
    uint32_t position = 0;
};

// A steady host: no glitch of any kind, and the position keeps the nominal
// rate.
TEST_P(ClockedHost, ASteadyHostIsClean)
{
    const GlitchCase c = GetParam();
    Begin(c.direction, c.mode);
    Run(500, tick);
    const StreamReport report = End();
    EXPECT_EQ(report.underruns + report.overruns + report.latePackets + report.earlyPackets + report.skippedPackets +
                  report.deviceErrors,
              0u)
        << report.Describe();
    // Poll mode samples a 2 ms host at its own 10 ms ticks: up to a tick of noise.
    EXPECT_NEAR(report.positionTiming.driftPpm, 0, 10000) << report.Describe();
    EXPECT_GE(report.frames, 20000u) << report.Describe();
}

// A host whose clock runs a fifth fast: the engine keeps up (no glitch) and
// measures the drift of the device position against its own clock.
TEST_P(ClockedHost, AFastHostShowsAsDrift)
{
    const GlitchCase c = GetParam();
    Begin(c.direction, c.mode);
    Run(500, tick * 6 / 5);
    const StreamReport report = End();
    EXPECT_EQ(report.underruns + report.overruns + report.deviceErrors, 0u) << report.Describe();
    EXPECT_NEAR(report.positionTiming.driftPpm, 200000, 20000) << report.Describe();
}

INSTANTIATE_TEST_SUITE_P(EngineOnDriver, ClockedHost,
                         testing::Values(GlitchCase{Direction::Render, Mode::Event},
                                         GlitchCase{Direction::Render, Mode::Packet},
                                         GlitchCase{Direction::Render, Mode::Poll},
                                         GlitchCase{Direction::Capture, Mode::Event},
                                         GlitchCase{Direction::Capture, Mode::Packet},
                                         GlitchCase{Direction::Capture, Mode::Poll}),
                         [](const testing::TestParamInfo<GlitchCase> &info) {
                             return std::string(DirectionName(info.param.direction)) + "_" +
                                    ModeName(info.param.mode);
                         });

// The application's source is late once (15 ms inside a read, as a
// descheduled application is): the packet the engine then announces is one
// the device has already passed, and the engine counts it late.
class StallingSource : public SignalSource {
public:
    size_t Read(void *frames, size_t count) override
    {
        if (++reads == 30)
            Sleep(15);
        return SignalSource::Read(frames, count);
    }

private:
    int reads = 0;
};

using LateApplication = ClockedHost;

TEST_F(LateApplication, IsALatePacket)
{
    Begin(Direction::Render, Mode::Packet, std::make_shared<StallingSource>());
    Run(500, tick);
    const StreamReport report = End();
    EXPECT_GE(report.latePackets, 1u) << report.Describe();
    EXPECT_EQ(report.deviceErrors, 0u) << report.Describe();
}

} // namespace
