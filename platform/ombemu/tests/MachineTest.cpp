// The machine through its C interface, as a host developer's test uses it:
// boot, a plain C host in an emulated process on each pipe, the engine
// playing and recording, the clock, a killed host, and shutdown's leak report.
#include "CHost.h"
#include "LeakInjection.h"
#include "Machine.h"

#include <Signal.h>
#include <Verifier.h>
#include <gtest/gtest.h>

#include <mutex>

namespace {

constexpr int32_t NotFound = static_cast<int32_t>(0x80070490);
constexpr int32_t InvalidState = static_cast<int32_t>(0x8007139F);
constexpr int32_t InvalidArgument = static_cast<int32_t>(0x80070057);
constexpr int32_t EndpointCreateFailed = static_cast<int32_t>(0x8889000F);

wav::Format Stereo48k16()
{
    wav::Format f;
    f.sampleRate = 48000;
    f.channels = 2;
    f.containerBits = f.validBits = 16;
    f.channelMask = 3;
    return f;
}

// What the capture host receives, verified as the test signal.
struct Receiver {
    explicit Receiver(const wav::Format &format) : verifier(format) {}
    static void Transfer(void *self, void *data, unsigned bytes)
    {
        auto *r = static_cast<Receiver *>(self);
        std::lock_guard<std::mutex> hold(r->lock);
        r->verifier.Push(data, bytes);
    }
    engine::VerifyReport Report()
    {
        std::lock_guard<std::mutex> hold(lock);
        return verifier.Report();
    }
    std::mutex lock;
    engine::Verifier verifier;
};

// What the render host gives: the test signal from its first frame.
struct Giver {
    explicit Giver(const wav::Format &format) : signal(format) {}
    static void Transfer(void *self, void *data, unsigned bytes)
    {
        auto *g = static_cast<Giver *>(self);
        const size_t frames = bytes / g->signal.Format().FrameBytes();
        g->signal.Generate(g->next, data, frames);
        g->next += frames;
    }
    engine::TestSignal signal;
    uint64_t next = 0;
};

class Machine : public testing::Test {
protected:
    void SetUp() override
    {
        OmbEmuOptions options{sizeof options, OMBEMU_CLOCK_VIRTUAL, 0, 0};
        ASSERT_EQ(OmbEmu_Boot(&options), 0);
        ASSERT_EQ(OmbEmu_CreateProcess(&captureProcess), 0);
        ASSERT_EQ(OmbEmu_CreateProcess(&renderProcess), 0);
    }
    void TearDown() override
    {
        CHost_Stop(captureHost);
        CHost_Stop(renderHost);
        OmbEmu_DeleteProcess(captureProcess);
        OmbEmu_DeleteProcess(renderProcess);
        if (OmbEmu_IsBooted()) {
            EXPECT_EQ(OmbEmu_Shutdown(), 0);
        }
    }
    // Each host in a process of its own, as on Windows.
    CHost *StartHost(bool capture, Receiver *receiver, Giver *giver)
    {
        int32_t status = -1;
        CHost *host = capture ? CHost_Start(captureProcess, 1, 48000, 16, 2, 2, 2, &Receiver::Transfer, receiver, &status)
                              : CHost_Start(renderProcess, 0, 48000, 16, 2, 2, 2, &Giver::Transfer, giver, &status);
        EXPECT_EQ(status, 0);
        return host;
    }
    static OmbEmuReport Report(uint32_t endpoint)
    {
        OmbEmuReport report{};
        report.Size = sizeof report;
        EXPECT_EQ(OmbEmu_GetReport(endpoint, &report), 0);
        return report;
    }

    OmbEmuProcess *captureProcess = nullptr;
    OmbEmuProcess *renderProcess = nullptr;
    CHost *captureHost = nullptr;
    CHost *renderHost = nullptr;
};

// The engine plays the test signal to a capture host and records a render
// host's test signal, both exact, in each of its modes; the machine's clock
// runs a second of virtual time for each.
TEST_F(Machine, DeliversTheTestSignalExactlyBothWaysInEveryMode)
{
    const wav::Format format = Stereo48k16();
    for (uint32_t mode : {OMBEMU_MODE_EVENT, OMBEMU_MODE_PACKET, OMBEMU_MODE_POLL}) {
        SCOPED_TRACE(mode);
        Receiver receiver(format);
        Giver giver(format);
        captureHost = StartHost(true, &receiver, nullptr);
        renderHost = StartHost(false, nullptr, &giver);
        ASSERT_TRUE(captureHost && renderHost);

        const OmbEmuStreamOptions options{sizeof options, mode, 10, 0};
        const OmbEmuSource signal{OMBEMU_SOURCE_SIGNAL, 0, nullptr, nullptr, nullptr};
        ASSERT_EQ(OmbEmu_Play(&signal, &options), 0);
        ASSERT_EQ(OmbEmu_Record(nullptr, &options), 0);
        EXPECT_EQ(OmbEmu_Play(&signal, &options), InvalidState) << "one stream per endpoint";
        const int64_t before = OmbEmu_Now();
        OmbEmu_Sleep(1000);
        EXPECT_GE(OmbEmu_Now() - before, 1000 * 10000);
        ASSERT_EQ(OmbEmu_StopStream(OMBEMU_RENDER), 0);
        ASSERT_EQ(OmbEmu_StopStream(OMBEMU_CAPTURE), 0);

        const engine::VerifyReport received = receiver.Report();
        EXPECT_TRUE(received.Exact()) << received.Describe();
        EXPECT_GE(received.framesMatched, 48000u * 9 / 10);
        const OmbEmuReport render = Report(OMBEMU_RENDER), capture = Report(OMBEMU_CAPTURE);
        EXPECT_EQ(render.State, OMBEMU_STREAM_STOPPED);
        EXPECT_EQ(render.Mode, mode);
        EXPECT_EQ(render.Format.SampleRate, 48000u);
        EXPECT_EQ(render.Format.Channels, 2u);
        EXPECT_EQ(render.PeriodFrames, 480u);
        EXPECT_EQ(render.Underruns + render.LatePackets + render.EarlyPackets + render.DeviceErrors, 0u);
        EXPECT_EQ(capture.Overruns + capture.LatePackets + capture.SkippedPackets + capture.DeviceErrors, 0u);
        EXPECT_TRUE(capture.SignalExact);
        EXPECT_GE(capture.SignalFrames, 48000u * 9 / 10);
        EXPECT_EQ(capture.SignalDiscontinuities, 0u);

        CHost_Stop(captureHost);
        CHost_Stop(renderHost);
        captureHost = renderHost = nullptr;
    }
}

// A test can kill a host's process: the driver sees its handles closed, the
// endpoint is unplugged and the engine's stream invalidated; the machine
// then shuts down without a leak.
TEST_F(Machine, AKilledHostInvalidatesTheStream)
{
    const wav::Format format = Stereo48k16();
    Receiver receiver(format);
    captureHost = StartHost(true, &receiver, nullptr);
    ASSERT_NE(captureHost, nullptr);
    const OmbEmuSource tone{OMBEMU_SOURCE_TONE, 1000, nullptr, nullptr, nullptr};
    ASSERT_EQ(OmbEmu_Play(&tone, nullptr), 0);
    OmbEmu_Sleep(200);
    ASSERT_EQ(OmbEmu_KillProcess(captureProcess), 0);
    EXPECT_TRUE(OmbEmu_IsProcessEnded(captureProcess));
    OmbEmuReport report{};
    for (int i = 0; i < 100 && report.State != OMBEMU_STREAM_INVALIDATED; ++i) {
        OmbEmu_Sleep(10);
        report = Report(OMBEMU_RENDER);
    }
    EXPECT_EQ(report.State, OMBEMU_STREAM_INVALIDATED);
    EXPECT_GE(report.Frames, 48000u / 10);
    EXPECT_GT(receiver.Report().framesReceived, 0u);
    CHost_Stop(captureHost);
    captureHost = nullptr;
    EXPECT_EQ(OmbEmu_StopStream(OMBEMU_RENDER), 0);
}

// The engine waits for a host only so long (virtual time passes at once).
TEST_F(Machine, PlayingWithoutAHostFailsAfterTheWait)
{
    const OmbEmuStreamOptions options{sizeof options, OMBEMU_MODE_EVENT, 0, 300};
    const OmbEmuSource signal{OMBEMU_SOURCE_SIGNAL, 0, nullptr, nullptr, nullptr};
    const int64_t before = OmbEmu_Now();
    EXPECT_EQ(OmbEmu_Play(&signal, &options), EndpointCreateFailed);
    EXPECT_GE(OmbEmu_Now() - before, 300 * 10000);
    OmbEmuReport report{};
    report.Size = sizeof report;
    EXPECT_EQ(OmbEmu_GetReport(OMBEMU_RENDER, &report), NotFound);
}

TEST_F(Machine, RefusesBadCallsAndASecondBoot)
{
    const OmbEmuOptions options{sizeof options, OMBEMU_CLOCK_VIRTUAL, 0, 0};
    EXPECT_EQ(OmbEmu_Boot(&options), InvalidState);
    const OmbEmuSource unknown{7, 0, nullptr, nullptr, nullptr};
    EXPECT_EQ(OmbEmu_Play(&unknown, nullptr), InvalidArgument);
    const OmbEmuSource noFile{OMBEMU_SOURCE_FILE, 0, nullptr, nullptr, nullptr};
    EXPECT_EQ(OmbEmu_Play(&noFile, nullptr), InvalidArgument);
    const OmbEmuSource missing{OMBEMU_SOURCE_FILE, 0, "/nonexistent/x.wav", nullptr, nullptr};
    EXPECT_EQ(OmbEmu_Play(&missing, nullptr), static_cast<int32_t>(0x80070002));
    const OmbEmuStreamOptions small{sizeof(OmbEmuStreamOptions) - 4, 0, 0, 0};
    EXPECT_EQ(OmbEmu_Record(nullptr, &small), InvalidArgument);
    OmbEmuReport report{};
    report.Size = 8;
    EXPECT_EQ(OmbEmu_GetReport(OMBEMU_CAPTURE, &report), InvalidArgument);
    EXPECT_EQ(OmbEmu_StopStream(5), InvalidArgument);
    EXPECT_EQ(OmbEmu_KillProcess(nullptr), InvalidArgument);
    EXPECT_TRUE(OmbEmu_IsVirtualClock());
}

// A driver that keeps a pool block past its unload is reported, not fatal;
// the machine can boot again afterwards, on the real clock by default.
TEST(MachineShutdown, ReportsADriverLeakAndBootsAgain)
{
    ASSERT_EQ(OmbEmu_Boot(nullptr), 0);
    EXPECT_FALSE(OmbEmu_IsVirtualClock());
    ombemu_tests::LeakPoolBlock(ombemu::DriverOwner());
    EXPECT_EQ(OmbEmu_Shutdown(), 1);
    EXPECT_FALSE(OmbEmu_IsBooted());
    EXPECT_EQ(OmbEmu_Shutdown(), 0) << "nothing booted";
    ASSERT_EQ(OmbEmu_Boot(nullptr), 0);
    EXPECT_EQ(OmbEmu_Shutdown(), 0);
}

} // namespace
