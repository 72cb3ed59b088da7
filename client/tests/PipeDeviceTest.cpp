// OmbDriver and OmbPipe against the stand-in device: discovery, the block and
// buffer views, the requests and their failures, the device position.
#include <string.h>
#include "DeviceFixture.h"

using namespace Ombrivo;
using namespace device_tests;
namespace dev = standin_device;

namespace {

constexpr HRESULT NotReadable = static_cast<HRESULT>(0x80070005);
constexpr HRESULT Busy = static_cast<HRESULT>(0x800700AA);
constexpr HRESULT InvalidParameter = static_cast<HRESULT>(0x80070057);

class PipeTest : public DeviceFixture {
protected:
    OmbPipe *OpenPipe(bool capture)
    {
        OmbPipe *pipe = nullptr;
        EXPECT_EQ(driver->CreatePipe(pipe, capture), S_OK);
        return pipe;
    }
};

} // namespace

TEST_F(PipeTest, OpenMapsBlockAndBuffer)
{
    OmbPipe *render = OpenPipe(false);
    OmbPipe *capture = OpenPipe(true);
    ASSERT_NE(render, nullptr);
    ASSERT_NE(capture, nullptr);
    EXPECT_TRUE(render->IsOpen());
    EXPECT_TRUE(dev::IsOpen(RenderPipe));
    EXPECT_TRUE(dev::IsOpen(CapturePipe));

    // The client's view is a view of the device's pages, at another address.
    CommonDataDesc &block = render->GetCommonData();
    EXPECT_NE(&block, &dev::Block(RenderPipe));
    EXPECT_EQ(block.BufferSizeBytes, PIPE_BUFFER_BYTES);
    dev::Block(RenderPipe).StreamPositionFrames = 1234;
    EXPECT_EQ(block.StreamPositionFrames, 1234u);
    uint8_t *buffer = reinterpret_cast<uint8_t *>(static_cast<uintptr_t>(block.BufferAddress));
    buffer[PIPE_BUFFER_BYTES - 1] = 0x5A;
    EXPECT_EQ(dev::Buffer(RenderPipe)[PIPE_BUFFER_BYTES - 1], 0x5A);
    // The two pipes never share bytes.
    EXPECT_NE(capture->GetCommonData().BufferAddress, block.BufferAddress);
    EXPECT_EQ(dev::Buffer(CapturePipe)[PIPE_BUFFER_BYTES - 1], 0);

    render->Delete();
    EXPECT_FALSE(dev::IsOpen(RenderPipe));
    capture->Delete();
}

TEST_F(PipeTest, SecondOpenerIsBusy)
{
    OmbPipe *first = OpenPipe(false);
    OmbPipe *second = reinterpret_cast<OmbPipe *>(0x99);
    EXPECT_EQ(driver->CreatePipe(second, false), Busy);
    EXPECT_EQ(second, reinterpret_cast<OmbPipe *>(0x99));
    first->Delete();
}

TEST_F(PipeTest, UnreadableViewsFailTheOpen)
{
    dev::HandOutUnreadableBlock(RenderPipe, true);
    OmbPipe *opened = nullptr;
    EXPECT_EQ(driver->CreatePipe(opened, false), NotReadable);
    EXPECT_EQ(opened, nullptr);
    EXPECT_FALSE(dev::IsOpen(RenderPipe)); // the pipe was closed again
    dev::HandOutUnreadableBlock(RenderPipe, false);

    dev::HandOutUnreadableBuffer(RenderPipe, true);
    EXPECT_EQ(driver->CreatePipe(opened, false), NotReadable);
    EXPECT_FALSE(dev::IsOpen(RenderPipe));
    dev::HandOutUnreadableBuffer(RenderPipe, false);
    EXPECT_EQ(driver->CreatePipe(opened, false), S_OK);
    opened->Delete();
}

TEST_F(PipeTest, RequestsCarryVersionThreeAndReportRefusals)
{
    OmbPipe *pipe = OpenPipe(false);
    NotifyRequest request = {{7}, 0};
    unsigned returned = 0xFFFF;
    EXPECT_EQ(pipe->DriverRequest(ReqNotify, request.Header, sizeof request, nullptr, 0, &returned), S_OK);
    EXPECT_EQ(request.Header.Version, 3u);
    EXPECT_EQ(returned, 0u);
    EXPECT_EQ(dev::Block(RenderPipe).ReplyStatus, 0u);
    EXPECT_EQ(Pipe_DriverRequest(pipe, ReqNotify, &request.Header, sizeof request, nullptr, 0, nullptr), S_OK);

    // The block address comes back as 8 bytes.
    DriverReq header = {1};
    uint64_t address = 0;
    EXPECT_EQ(pipe->DriverRequest(ReqGetCommonData, header, sizeof header, &address, sizeof address, &returned),
              S_OK);
    EXPECT_EQ(returned, 8u);
    EXPECT_EQ(address, reinterpret_cast<uintptr_t>(&pipe->GetCommonData()));

    // A refusal arrives as the Win32 error of the driver's status; the
    // stored format stays as it was.
    EXPECT_EQ(pipe->SetFormat(48000, 16, 2, 2, 3), S_OK);
    EXPECT_EQ(dev::Block(RenderPipe).Format.SR, 48000u);
    EXPECT_EQ(pipe->SetFormat(7999, 16, 2, 2, 3), InvalidParameter); // rejected client-side too: all zero sent
    EXPECT_EQ(dev::Block(RenderPipe).Format.SR, 48000u);
    dev::RefuseRequest(RenderPipe, ReqSetMinimalBufferSize, static_cast<int32_t>(0xC00000A3));
    EXPECT_EQ(pipe->SetMinimalBufferSize(480), static_cast<HRESULT>(0x80070015));
    dev::RefuseRequest(RenderPipe, ReqSetMinimalBufferSize, 0);
    EXPECT_EQ(pipe->SetMinimalBufferSize(480), S_OK);
    EXPECT_EQ(dev::Block(RenderPipe).MinBufferFrames, 480u);

    // Derived container and standard mask reach the driver.
    EXPECT_EQ(Pipe_SetFormat(pipe, 44100, 24, 6, 0, 0xFFFFFFFF), S_OK);
    const DataFormatDesc &sent = dev::Block(RenderPipe).Format;
    EXPECT_EQ(sent.BPC, 3u);
    EXPECT_EQ(sent.CC, 0x60Fu);
    pipe->Delete();
}

TEST_F(PipeTest, DevicePositionWrapsAndNotifies)
{
    OmbPipe *pipe = OpenPipe(false);
    ASSERT_EQ(pipe->SetFormat(48000, 16, 2, 2, 3), S_OK);
    CommonDataDesc &device = dev::Block(RenderPipe);

    // No cyclic buffer yet: nothing moves and nothing is sent.
    EXPECT_LT(pipe->AdvanceDevicePosition(20), 0);
    EXPECT_EQ(dev::PositionNotifications(RenderPipe), 0u);

    device.BufferSizeFrames = 480;
    device.DevicePositionFrames = 470;
    EXPECT_EQ(pipe->AdvanceDevicePosition(20), S_OK);
    EXPECT_EQ(device.DevicePositionFrames, 10u);
    EXPECT_EQ(device.DevicePositionBytes, 40u);
    EXPECT_EQ(dev::PositionNotifications(RenderPipe), 1u);
    EXPECT_EQ(dev::LastNotifiedFrames(RenderPipe), 10u);
    EXPECT_EQ(dev::LastNotifiedBytes(RenderPipe), 40u);
    EXPECT_EQ(device.ReplyStatus, NotifyPositionAdvanced);

    const uint32_t before = dev::RequestsSeen(RenderPipe, ReqNotify);
    EXPECT_EQ(pipe->ResetDevicePosition(), S_OK);
    EXPECT_EQ(device.DevicePositionFrames, 0u);
    EXPECT_EQ(device.DevicePositionBytes, 0u);
    EXPECT_EQ(dev::RequestsSeen(RenderPipe, ReqNotify), before);
    pipe->Delete();
}

TEST_F(PipeTest, RunningStateNeedsAttachedBufferAndRun)
{
    OmbPipe *pipe = OpenPipe(true);
    CommonDataDesc &device = dev::Block(CapturePipe);
    device.StreamAttached = 1;
    device.BufferSizeFrames = 960;
    device.StreamState = STREAM_STATE_PAUSE;
    EXPECT_FALSE(pipe->IsRunningState());
    device.StreamState = STREAM_STATE_RUN;
    EXPECT_TRUE(pipe->IsRunningState());
    EXPECT_TRUE(Pipe_IsRunningState(pipe));
    device.BufferSizeFrames = 0;
    EXPECT_FALSE(pipe->IsRunningState());
    device.BufferSizeFrames = 960;
    device.StreamAttached = 0;
    EXPECT_FALSE(pipe->IsRunningState());
    device.StreamAttached = 1;
    pipe->Close();
    EXPECT_FALSE(pipe->IsRunningState());
    pipe->Delete();
}

TEST_F(PipeTest, ProcessEndDetaches)
{
    const uint64_t other = dev::CreateClientProcess();
    OmbPipe *pipe = nullptr;
    {
        dev::InProcess scope(other);
        pipe = OpenPipe(false);
        ASSERT_NE(pipe, nullptr);
        EXPECT_TRUE(dev::IsOpen(RenderPipe));
    }
    dev::EndClientProcess(other); // without closing the pipe
    EXPECT_FALSE(dev::IsOpen(RenderPipe));
    EXPECT_EQ(dev::Block(RenderPipe).BufferAddress, 0u);
    {
        dev::InProcess scope(other);
        pipe->Delete(); // its handle went with the process
    }
    OmbPipe *again = OpenPipe(false);
    ASSERT_NE(again, nullptr);
    again->Delete();
}
