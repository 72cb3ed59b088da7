// The client library against the loaded driver, in emulated client
// processes: a host attaches and the endpoint's jack follows, its format and
// minimal size land in the block, a second opener is refused, closing or
// ending the process detaches, and a running host answers the stream's
// requests and clocks the device position the audio engine sees. Client-side
// code: it sees the driver through requests and the test support's headers.
#include <gtest/gtest.h>
#include <io_boundary.h>
#include <atomic>
#include <thread>
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
using Ombrivo::OmbPipe;
using Ombrivo::WaveFormat;

constexpr HRESULT BusyError = static_cast<HRESULT>(0x800700AA);       // ERROR_BUSY
constexpr HRESULT InvalidParameter = static_cast<HRESULT>(0x80070057); // ERROR_INVALID_PARAMETER
constexpr int32_t DeviceNotReady = static_cast<int32_t>(0xC00000A3);

class EndToEnd : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dut::Load());
        process = boundary::CreateClientProcess(false);
        boundary::EnterProcess(process);
        ASSERT_EQ(OmbDriver::Create(driver, ControlInterfaceClass), S_OK);
        ASSERT_EQ(driver->Open(), S_OK);
    }
    void TearDown() override
    {
        driver->Delete();
        boundary::LeaveProcess();
        boundary::EndClientProcess(process);
        dut::Unload();
    }

    OmbPipe *OpenPipe(bool capture)
    {
        OmbPipe *pipe = nullptr;
        EXPECT_EQ(driver->CreatePipe(pipe, capture), S_OK);
        return pipe;
    }

    boundary::ProcessId process = 0;
    OmbDriver *driver = nullptr;
};

TEST_F(EndToEnd, PipeBecomesReadyOnlyWithItsEventAndCarriesFormatAndSize)
{
    Engine engine(PipeRender); // watches the capture endpoint the render pipe feeds
    OmbPipe *pipe = OpenPipe(false);
    ASSERT_NE(pipe, nullptr);
    const CommonDataDesc &block = dut::Block(PipeRender);
    const CommonDataDesc &view = pipe->GetCommonData();
    EXPECT_EQ(view.BufferSizeBytes, PIPE_BUFFER_BYTES);
    EXPECT_NE(view.BufferAddress, 0u);
    EXPECT_EQ(view.PipeReady, 0) << "owner and views, but no event yet";
    EXPECT_FALSE(engine.JackChanged());

    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_EQ(pipe->SetNotificationEvent(event), S_OK);
    EXPECT_EQ(view.PipeReady, 1);
    EXPECT_TRUE(dut::PipeIsReady(PipeRender));
    EXPECT_TRUE(engine.JackChanged()) << "the jack is plugged in";

    ASSERT_EQ(pipe->SetFormat(44100, 16, 2, 2, 0), S_OK);
    EXPECT_EQ(view.Format.SR, 44100u);
    EXPECT_EQ(view.Format.CC, 0x3u) << "the standard mask filled in";
    EXPECT_TRUE(engine.FormatChanged());
    ASSERT_EQ(pipe->SetMinimalBufferSize(441), S_OK);
    EXPECT_EQ(view.MinBufferFrames, 441u);
    EXPECT_EQ(pipe->SetFormat(7999, 16, 2, 2, 0), InvalidParameter);
    EXPECT_EQ(pipe->SetMinimalBufferSize(131073), InvalidParameter) << "more than the buffer holds";
    EXPECT_EQ(view.Format.SR, 44100u);
    EXPECT_EQ(view.MinBufferFrames, 441u);
    EXPECT_EQ(block.Format.SR, 44100u) << "the driver's view agrees";
    EXPECT_EQ(engine.Open({44100, 16, 2, 2, 0x3}), 0) << "the engine opens the host's format";

    pipe->Delete();
    EXPECT_TRUE(engine.JackChanged()) << "and unplugged";
    CloseHandle(event);
}

TEST_F(EndToEnd, SecondOpenerIsBusyAndClosingOrEndingDetaches)
{
    OmbPipe *first = OpenPipe(false);
    ASSERT_NE(first, nullptr);
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_EQ(first->SetNotificationEvent(event), S_OK);

    OmbPipe *second = nullptr;
    EXPECT_EQ(driver->CreatePipe(second, false), BusyError);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(dut::Block(PipeRender).PipeReady, 1) << "the first client keeps the pipe";

    first->Delete(); // closes the handle
    EXPECT_EQ(dut::Block(PipeRender).PipeReady, 0);
    EXPECT_EQ(dut::Block(PipeRender).BufferAddress, 0u);
    CloseHandle(event);

    // A client in another process attaches and then ends without closing.
    const boundary::ProcessId other = boundary::CreateClientProcess(false);
    OmbPipe *pipe = nullptr;
    std::thread client([&] {
        boundary::EnterProcess(other);
        ASSERT_EQ(driver->CreatePipe(pipe, false), S_OK);
        EXPECT_NE(pipe->GetCommonData().BufferAddress, 0u) << "fresh views";
        ASSERT_EQ(pipe->SetNotificationEvent(CreateEventW(nullptr, FALSE, FALSE, nullptr)), S_OK);
        EXPECT_EQ(pipe->GetCommonData().PipeReady, 1);
        boundary::LeaveProcess(); // the pipe object is abandoned with its process
    });
    client.join();
    EXPECT_EQ(dut::Block(PipeRender).PipeReady, 1);
    boundary::EndClientProcess(other);
    EXPECT_EQ(dut::Block(PipeRender).PipeReady, 0);
    EXPECT_EQ(dut::Block(PipeRender).BufferAddress, 0u);
    boundary::EnterProcess(other); // the object's handle went with its process
    pipe->Delete();
    boundary::LeaveProcess();

    OmbPipe *again = OpenPipe(false);
    ASSERT_NE(again, nullptr);
    EXPECT_NE(again->GetCommonData().BufferAddress, 0u);
    again->Delete();
}

TEST_F(EndToEnd, TheTwoPipesNeverShareBytes)
{
    OmbPipe *render = OpenPipe(false);
    OmbPipe *capture = OpenPipe(true);
    ASSERT_NE(render, nullptr);
    ASSERT_NE(capture, nullptr);
    auto *renderBytes = reinterpret_cast<uint8_t *>(render->GetCommonData().BufferAddress);
    auto *captureBytes = reinterpret_cast<uint8_t *>(capture->GetCommonData().BufferAddress);
    memset(renderBytes, 0x3C, PIPE_BUFFER_BYTES);
    memset(captureBytes, 0xC3, PIPE_BUFFER_BYTES);
    EXPECT_EQ(dut::Buffer(PipeRender)[12345], 0x3C);
    EXPECT_EQ(dut::Buffer(PipeCapture)[12345], 0xC3);
    EXPECT_EQ(renderBytes[PIPE_BUFFER_BYTES - 1], 0x3C);
    ASSERT_EQ(render->SetFormat(44100, 16, 1, 2, 0), S_OK);
    EXPECT_EQ(capture->GetCommonData().Format.SR, 0u) << "each pipe has its own block";
    render->Delete();
    capture->Delete();
}

class Silence : public CallbackInterface {
public:
    unsigned TransferData(void *data, unsigned bytes) override
    {
        memset(data, 0, bytes);
        transferred += bytes;
        return bytes;
    }
    std::atomic<unsigned> transferred{0};
};

TEST_F(EndToEnd, RunningHostAnswersTheStreamAndMovesThePositionTheEngineSees)
{
    Silence callback;
    OmbHost *host = nullptr;
    ASSERT_EQ(OmbHost::Create(host, *driver, false, callback), S_OK);
    ASSERT_EQ(host->Start(WaveFormat(44100, 16, 2, 2, 3), 10), S_OK);
    const CommonDataDesc &block = dut::Block(PipeRender);
    EXPECT_EQ(block.PipeReady, 1);
    EXPECT_EQ(block.Format.SR, 44100u);
    EXPECT_EQ(block.MinBufferFrames, 441u) << "10 ms at 44100 Hz";

    // Virtual time: the loop's ticks happen exactly when the test moves the
    // clock, whatever the machine's load.
    boundary::UseVirtualClock(true);
    std::atomic<HRESULT> loopResult{E_FAIL};
    std::thread loop([&] {
        boundary::EnterProcess(process);
        loopResult = host->EventLoop(2);
        boundary::LeaveProcess();
    });
    boundary::WaitForBlockedWaiters(1);
    // The engine opens the capture endpoint's stream, takes a buffer and
    // runs it; the loop answers each request.
    Engine engine(PipeRender);
    ASSERT_EQ(engine.Open({44100, 16, 2, 2, 0x3}), 0);
    ASSERT_EQ(engine.AllocateBuffer(960 * 4, 2), 0);
    EXPECT_EQ(block.BufferSizeFrames, 960u);
    for (KSSTATE state : {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN})
        ASSERT_EQ(engine.Step(state), 0) << state;
    EXPECT_EQ(block.StreamState, STREAM_STATE_RUN);
    EXPECT_EQ(block.RequestFlags & REQUEST_FLAGS_POSTED, 0u);

    // One 2 ms tick: 88 frames at 44100 Hz, which advance the position the
    // engine reads.
    boundary::WaitForBlockedWaiters(1);
    boundary::AdvanceClock(2 * 10'000);
    boundary::WaitForBlockedWaiters(1);
    EXPECT_EQ(callback.transferred.load(), 88u * 4);
    // Read as the host reads its block: the driver's position worker may be
    // taking up this position at the same time.
    EXPECT_EQ(Ombrivo::ReadShared(block.DevicePositionFrames), 88u);
    KSAUDIO_POSITION position = {};
    boundary::EnterProcess(engine.Process());
    EXPECT_EQ(engine.Pin().Position(&position), 0);
    boundary::LeaveProcess();
    EXPECT_EQ(position.PlayOffset, 88u * 4);

    // Stop from another thread: it asks the loop to end and polls every 15 ms.
    std::thread stopper([&] {
        boundary::EnterProcess(process);
        host->Stop();
        boundary::LeaveProcess();
    });
    boundary::WaitForBlockedWaiters(2); // the loop's tick and the first poll
    boundary::AdvanceClock(2 * 10'000);
    loop.join();
    boundary::AdvanceClock(15 * 10'000);
    stopper.join();
    boundary::UseVirtualClock(false);
    EXPECT_EQ(loopResult, S_OK);
    EXPECT_EQ(block.PipeReady, 0) << "stopping closes the pipe";
    EXPECT_EQ(engine.Step(KSSTATE_PAUSE), 0) << "down without a host";
    EXPECT_EQ(engine.Step(KSSTATE_RUN), DeviceNotReady) << "up needs one";
    host->Delete();
}

} // namespace
