// A host through the client library and the audio engine's stream, each in a
// process of its own, in virtual time: the engine opens the endpoint with the
// host's format, takes a buffer with notifications and runs; the host's loop
// answers every request and clocks the device position. Render: what the
// engine wrote is what the host's application receives, byte for byte.
// Capture: what the host's application gives is what the engine reads. The
// engine's notification events and its position register follow the host.
#include <gtest/gtest.h>
#include <io_boundary.h>
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>
#include "ControlProtocol.h"
#include "DriverUnderTest.h"
#include "Engine.h"
#include "SharedBlock.h"
#include "ombapi.h"

namespace {

namespace boundary = standin::io::boundary;
namespace dut = driver_under_test;
using ks_client::Engine;
using Ombrivo::CallbackInterface;
using Ombrivo::OmbDriver;
using Ombrivo::OmbHost;
using Ombrivo::WaveFormat;

constexpr int64_t Millisecond = 10'000; // 100-ns units
constexpr unsigned TickMs = 2;
// The machine's threads once the stream runs: the host's loop and each pipe's
// position worker, which takes up what the loop notified on its own thread.
constexpr size_t MachineThreads = 3;

struct Case {
    const char *name;
    DataFormatDesc format;
};

const Case Cases[] = {
    {"44.1 kHz 16-bit stereo", {44100, 16, 2, 2, 0x3}},
    {"48 kHz 24-in-32 six channels", {48000, 24, 6, 4, 0x60F}},
    {"22.05 kHz 8-bit mono", {22050, 8, 1, 1, 0x4}},
};

// The byte at a position of the test's stream: a pattern no silence matches.
uint8_t PatternAt(size_t offset) { return static_cast<uint8_t>(offset * 7 + 3); }

// Render side: records what the loop hands over. Capture side: gives the
// pattern from where it left off.
class Application : public CallbackInterface {
public:
    explicit Application(bool capture) : capture(capture) {}
    unsigned TransferData(void *data, unsigned bytes) override
    {
        std::lock_guard<std::mutex> hold(lock);
        auto *at = static_cast<uint8_t *>(data);
        if (capture)
            received.insert(received.end(), at, at + bytes);
        else
            for (unsigned i = 0; i < bytes; ++i)
                at[i] = PatternAt(given++);
        return bytes;
    }
    std::vector<uint8_t> Received()
    {
        std::lock_guard<std::mutex> hold(lock);
        return received;
    }

private:
    const bool capture;
    std::mutex lock;
    std::vector<uint8_t> received;
    size_t given = 0;
};

class HostStream : public testing::TestWithParam<Case> {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dut::Load());
        hostProcess = boundary::CreateClientProcess(false);
        boundary::EnterProcess(hostProcess);
        ASSERT_EQ(OmbDriver::Create(driver, ControlInterfaceClass), S_OK);
        ASSERT_EQ(driver->Open(), S_OK);
        boundary::UseVirtualClock(true);
    }
    void TearDown() override
    {
        StopHost();
        boundary::UseVirtualClock(false);
        engine.reset();
        if (host != nullptr)
            host->Delete();
        driver->Delete();
        boundary::LeaveProcess();
        boundary::EndClientProcess(hostProcess);
        dut::Unload();
    }

    // The host on the side that serves the endpoint, its loop running; the
    // application outlives the loop.
    void StartHost(bool captureSide)
    {
        const DataFormatDesc &f = GetParam().format;
        application = std::make_unique<Application>(captureSide);
        ASSERT_EQ(OmbHost::Create(host, *driver, captureSide, *application), S_OK);
        ASSERT_EQ(host->Start(WaveFormat(f.SR, f.BPS, f.NC, f.BPC, f.CC), 10), S_OK);
        loop = std::thread([this] {
            boundary::EnterProcess(hostProcess);
            result = host->EventLoop(TickMs);
            boundary::LeaveProcess();
        });
        boundary::WaitForBlockedWaiters(1);
    }

    // Stop from another thread: it asks the loop to end and polls every
    // 15 ms; the loop's tick and the first poll wait on the clock.
    void StopHost()
    {
        if (!loop.joinable())
            return;
        std::thread stopper([&] {
            boundary::EnterProcess(hostProcess);
            host->Stop();
            boundary::LeaveProcess();
        });
        boundary::WaitForBlockedWaiters(2);
        boundary::AdvanceClock(TickMs * Millisecond);
        loop.join();
        boundary::AdvanceClock(15 * Millisecond);
        stopper.join();
    }

    // The engine's stream on the endpoint, running, with `frames` of buffer.
    void RunEngine(int pipe, uint32_t frames)
    {
        engine = std::make_unique<Engine>(pipe);
        ASSERT_EQ(engine->Open(GetParam().format), 0);
        ASSERT_EQ(engine->AllocateBuffer(frames * FrameBytes(), 2), 0);
        boundary::EnterProcess(engine->Process());
        ASSERT_EQ(boundary::CreateEvent(false, false, &notification), 0);
        ASSERT_EQ(engine->Pin().RegisterEvent(notification), 0);
        ASSERT_EQ(engine->Pin().PositionRegister(&positionRegister), 0);
        boundary::LeaveProcess();
    }
    void Run()
    {
        for (KSSTATE state : {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN})
            ASSERT_EQ(engine->Step(state), 0) << state;
    }

    // One tick of the host's clock, after which its loop waits again and the
    // position worker has taken up the position the loop notified (and set
    // the engine's events): the loop's return to its wait alone says nothing
    // of the worker.
    void Tick()
    {
        dut::WaitUntilBlocked(MachineThreads);
        boundary::AdvanceClock(TickMs * Millisecond);
        dut::WaitUntilBlocked(MachineThreads);
    }
    bool Notified()
    {
        boundary::EnterProcess(engine->Process());
        const int64_t now = 0;
        const bool signalled = boundary::WaitForObject(notification, &now) == 0;
        boundary::LeaveProcess();
        return signalled;
    }

    uint32_t FrameBytes() const { return GetParam().format.NC * GetParam().format.BPC; }
    uint8_t *EngineBuffer() { return static_cast<uint8_t *>(engine->Pin().Buffer().BufferAddress); }

    boundary::ProcessId hostProcess = 0;
    OmbDriver *driver = nullptr;
    std::unique_ptr<Application> application;
    OmbHost *host = nullptr;
    std::thread loop;
    std::atomic<HRESULT> result{E_FAIL};
    std::unique_ptr<Engine> engine;
    boundary::Handle notification = nullptr;
    KSRTAUDIO_HWREGISTER positionRegister = {};
};

TEST_P(HostStream, RenderDeliversTheEnginesBytesExactlyToTheHost)
{
    StartHost(true); // the host captures what Windows plays
    const DataFormatDesc &f = GetParam().format;
    const uint32_t bufferFrames = f.SR / 10 & ~1u; // 100 ms, two equal packets
    RunEngine(PipeCapture, bufferFrames);
    // The engine writes the whole buffer ahead of the device, then runs.
    for (uint32_t i = 0; i < bufferFrames * FrameBytes(); ++i)
        EngineBuffer()[i] = PatternAt(i);
    Run();

    uint32_t notified = 0;
    for (int tick = 0; tick < 40; ++tick) { // 80 ms: less than the buffer
        Tick();
        notified += Notified();
    }
    const std::vector<uint8_t> received = application->Received();
    const uint32_t frames = received.size() / FrameBytes();
    EXPECT_EQ(received.size() % FrameBytes(), 0u) << "whole frames";
    EXPECT_EQ(frames, f.SR * 80 / 1000) << "80 ms of frames, no more, no less";
    ASSERT_LT(frames, bufferFrames);
    size_t wrong = 0;
    for (size_t i = 0; i < received.size(); ++i)
        wrong += received[i] != PatternAt(i);
    EXPECT_EQ(wrong, 0u) << "sample-exact";
    EXPECT_EQ(notified, 1u) << "the half-buffer boundary was crossed once";
    const auto *position = static_cast<const volatile uint32_t *>(positionRegister.Register);
    EXPECT_EQ(*position, frames * FrameBytes()) << "the engine reads the host's position through the register";
}

TEST_P(HostStream, CaptureDeliversTheHostsBytesExactlyToTheEngine)
{
    StartHost(false); // what the host renders, Windows records
    const DataFormatDesc &f = GetParam().format;
    const uint32_t bufferFrames = f.SR / 10 & ~1u;
    RunEngine(PipeRender, bufferFrames);
    Run();
    for (int tick = 0; tick < 30; ++tick)
        Tick();
    // As the host reads it, while the driver may be taking it up.
    const uint32_t device = Ombrivo::ReadShared(host->GetCommonData().DevicePositionFrames);
    EXPECT_EQ(device, f.SR * 60 / 1000);
    // Everything behind the device position is the host's, in order.
    size_t wrong = 0;
    for (size_t i = 0; i < size_t(device) * FrameBytes(); ++i)
        wrong += EngineBuffer()[i] != PatternAt(i);
    EXPECT_EQ(wrong, 0u) << "sample-exact";
    KSAUDIO_POSITION position = {};
    boundary::EnterProcess(engine->Process());
    ASSERT_EQ(engine->Pin().Position(&position), 0);
    boundary::LeaveProcess();
    EXPECT_EQ(position.PlayOffset, uint64_t(device) * FrameBytes());
}

TEST_P(HostStream, AHostThatLeavesUnplugsTheJackAndStepsDownStillWork)
{
    StartHost(true);
    RunEngine(PipeCapture, GetParam().format.SR / 10 & ~1u);
    Run();
    Tick();
    // The host goes: its pipe closes.
    StopHost();
    EXPECT_EQ(result, S_OK);
    EXPECT_TRUE(engine->JackChanged()) << "unplugged";
    KSAUDIO_POSITION position = {};
    boundary::EnterProcess(engine->Process());
    EXPECT_EQ(engine->Pin().Position(&position), static_cast<int32_t>(0xC00000A3)) << "not ready";
    boundary::LeaveProcess();
    EXPECT_EQ(engine->Step(KSSTATE_PAUSE), 0) << "down without a host";
    EXPECT_EQ(engine->Step(KSSTATE_RUN), static_cast<int32_t>(0xC00000A3)) << "up needs one";
    // A host comes back: the stream goes on from where it stood.
    Application again(true);
    OmbHost *next = nullptr;
    ASSERT_EQ(OmbHost::Create(next, *driver, true, again), S_OK);
    const DataFormatDesc &f = GetParam().format;
    ASSERT_EQ(next->Start(WaveFormat(f.SR, f.BPS, f.NC, f.BPC, f.CC), 10), S_OK);
    EXPECT_TRUE(engine->JackChanged()) << "plugged in again";
    boundary::EnterProcess(engine->Process());
    EXPECT_EQ(engine->Pin().Position(&position), 0) << "ready again";
    boundary::LeaveProcess();
    next->Delete();
}

INSTANTIATE_TEST_SUITE_P(Formats, HostStream, testing::ValuesIn(Cases),
                         [](const testing::TestParamInfo<Case> &info) {
                             std::string name;
                             for (const char *c = info.param.name; *c; ++c)
                                 if (isalnum(static_cast<unsigned char>(*c)))
                                     name += *c;
                             return name;
                         });

} // namespace
