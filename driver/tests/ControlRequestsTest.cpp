// The control requests of a pipe's owner as a client sends them: the check
// order and its statuses, the replies and output lengths, the 32-bit forms,
// completion boosts, and PipeReady after every request.
#include <io_standin.h>
#include <kernel_standin.h>
#include "CoreClient.h"
#include "ManualHost.h"

namespace core_tests {
namespace {

using ControlRequests = RenderPipeTest;

// The last device-control completion the I/O manager recorded.
standin::io::Completion LastControlCompletion()
{
    standin::io::Completion last{};
    for (const auto &completion : standin::io::Completions())
        if (completion.majorFunction == IRP_MJ_DEVICE_CONTROL)
            last = completion;
    return last;
}

TEST(PipeStart, BlockStandsReadyBeforeAnyClient)
{
    ASSERT_TRUE(dut::Load());
    for (int pipe : {PipeRender, PipeCapture}) {
        const CommonDataDesc &block = dut::Block(pipe);
        EXPECT_EQ(block.BufferSizeBytes, PIPE_BUFFER_BYTES) << "pipe " << pipe;
        EXPECT_EQ(block.RequestFlags, REQUEST_FLAGS_POSTED) << "set when the worker is created";
        EXPECT_EQ(block.RequestCode, 0u);
        EXPECT_EQ(block.Format.SR, 0u) << "the initial format is not written";
        EXPECT_EQ(block.MinBufferFrames, 0u);
        EXPECT_EQ(block.PipeReady, 0);
        EXPECT_EQ(block.BufferAddress, 0u);
    }
    EXPECT_NE(&dut::Block(PipeRender), &dut::Block(PipeCapture));
    EXPECT_NE(dut::Buffer(PipeRender), dut::Buffer(PipeCapture));
    dut::Unload();
}

TEST_F(ControlRequests, HeaderFaultsRefuseEveryCodeAndChangeNothing)
{
    const uint32_t codes[] = {ReqGetCommonData, ReqSetFormat, ReqSetMinimalBufferSize, ReqSetNotificationEvent,
                              ReqNotify, 0x226400, 0x22A418, 0x2F0003, 0};
    uint8_t input[64] = {};
    const uint32_t version2 = 2;
    for (uint32_t code : codes) {
        uint8_t output[16];
        memset(output, 0xA5, sizeof output);
        Reply reply = Send(pipe, code, input, 3, output, sizeof output);
        EXPECT_EQ(reply.status, InvalidDeviceRequest) << "3 bytes, code " << std::hex << code;
        memcpy(input, &version2, 4);
        reply = Send(pipe, code, input, sizeof input, output, sizeof output);
        EXPECT_EQ(reply.status, InvalidDeviceRequest) << "version 2, code " << std::hex << code;
        EXPECT_EQ(reply.information, 0u);
        EXPECT_EQ(output[0], 0xA5) << "a refusal writes no output";
        reply = Send(pipe, code, nullptr, 0, output, sizeof output);
        EXPECT_EQ(reply.status, InvalidDeviceRequest) << "no input, code " << std::hex << code;
    }
    const DriverReq header{DRIVER_REQ_VERSION};
    EXPECT_EQ(Send(pipe, 0x22A418, &header, sizeof header).status, InvalidDeviceRequest) << "unknown code";
    EXPECT_EQ(Send(pipe, ReqGetCommonData | 0xC000, &header, sizeof header).status, InvalidDeviceRequest)
        << "the whole 32-bit code is compared";
    EXPECT_EQ(block->Format.SR, 0u);
    EXPECT_EQ(block->ReplyStatus, 0u);
    EXPECT_FALSE(dut::PipeIsReady(PipeRender));
}

TEST_F(ControlRequests, GetCommonDataAnswersTheViewInTheCallersAddressSize)
{
    uint64_t address = 0;
    Reply reply = SendHeaderOnly(pipe, ReqGetCommonData, &address, 4);
    EXPECT_EQ(reply.status, BufferTooSmall) << "a 64-bit caller needs 8 bytes";
    EXPECT_EQ(address, 0u);

    reply = SendHeaderOnly(pipe, ReqGetCommonData, &address, sizeof address);
    ASSERT_EQ(reply.status, Success);
    EXPECT_EQ(reply.information, 8u);
    const auto *view = reinterpret_cast<const CommonDataDesc *>(address);
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(view->BufferSizeBytes, PIPE_BUFFER_BYTES) << "the client's view shows the driver's block";
    EXPECT_NE(static_cast<const void *>(view), static_cast<const void *>(block)) << "a view of its own";
    EXPECT_EQ(LastControlCompletion().information, 8u);
    EXPECT_EQ(LastControlCompletion().priorityBoost, IO_SOUND_INCREMENT);

    // A 32-bit process gets 4 bytes, the low half of a view below 4 GiB.
    in.reset();
    ClientProcess process32(true);
    InProcess in32(process32);
    Handle other = nullptr;
    ASSERT_EQ(OpenPipe(PipeCapture, &other), Success);
    uint64_t address32 = 0;
    reply = SendHeaderOnly(other, ReqGetCommonData, &address32, 4);
    ASSERT_EQ(reply.status, Success);
    EXPECT_EQ(reply.information, 4u);
    ASSERT_NE(address32, 0u);
    EXPECT_LT(address32, 1ull << 32);
    EXPECT_EQ(reinterpret_cast<const CommonDataDesc *>(address32)->BufferSizeBytes, PIPE_BUFFER_BYTES);
    EXPECT_EQ(dut::Block(PipeCapture).BufferAddress >> 32, 0u);
    process32.End();
}

TEST_F(ControlRequests, SetFormatChecksEveryBoundAndFillsTheStandardMask)
{
    struct Case {
        DataFormatDesc format;
        Status expected;
    };
    const Case cases[] = {
        {{7999, 16, 2, 2, 3}, InvalidParameter},   {{384001, 16, 2, 2, 3}, InvalidParameter},
        {{48000, 7, 2, 2, 3}, InvalidParameter},   {{48000, 33, 2, 2, 3}, InvalidParameter},
        {{48000, 16, 0, 2, 3}, InvalidParameter},  {{48000, 16, 9, 2, 3}, InvalidParameter},
        {{48000, 16, 2, 0, 3}, InvalidParameter},  {{48000, 16, 2, 5, 3}, InvalidParameter},
        {{48000, 16, 2, 2, 0x40000}, InvalidParameter}, {{48000, 16, 2, 2, 0x40000000}, InvalidParameter},
        {{8000, 8, 1, 1, 0x4}, Success},           {{384000, 32, 8, 4, 0x63F}, Success},
        {{44100, 16, 2, 2, 0x80000000}, Success},  {{44100, 16, 2, 2, 0x3FFFF}, Success},
    };
    for (const Case &c : cases) {
        const DataFormatDesc before = block->Format;
        const Reply reply = SendBody(pipe, ReqSetFormat, c.format);
        EXPECT_EQ(reply.status, c.expected) << "SR " << c.format.SR << " BPS " << c.format.BPS << " NC "
                                            << c.format.NC << " BPC " << c.format.BPC << " CC " << std::hex
                                            << c.format.CC;
        const DataFormatDesc &expected = c.expected == Success ? c.format : before;
        EXPECT_EQ(memcmp(&block->Format, &expected, sizeof expected), 0) << "SR " << c.format.SR;
    }

    SetFormat(pipe, 44100, 16, 2, 2, 0);
    EXPECT_EQ(block->Format.CC, 0x3u) << "two channels, standard mask";
    SetFormat(pipe, 44100, 16, 3, 2, 0);
    EXPECT_EQ(block->Format.CC, 0u) << "three channels have no standard mask";
    SetFormat(pipe, 44100, 16, 6, 2, 0);
    EXPECT_EQ(block->Format.CC, 0x60Fu);

    uint8_t shortInput[23] = {};
    const uint32_t version = DRIVER_REQ_VERSION;
    memcpy(shortInput, &version, 4);
    EXPECT_EQ(Send(pipe, ReqSetFormat, shortInput, sizeof shortInput).status, InvalidDeviceRequest);
    uint8_t longInput[40] = {};
    const DataFormatDesc wide = {96000, 24, 2, 3, 3};
    memcpy(longInput, &version, 4);
    memcpy(longInput + 4, &wide, sizeof wide);
    memset(longInput + 24, 0xFF, 16);
    EXPECT_EQ(Send(pipe, ReqSetFormat, longInput, sizeof longInput).status, Success) << "excess is ignored";
    EXPECT_EQ(block->Format.SR, 96000u);
}

// The render pipe's client feeds the capture endpoint: its format is that
// endpoint's, and only that endpoint hears of a change.
TEST_F(ControlRequests, FormatChangesRaiseTheEventOnlyWhenTheyChangeSomething)
{
    Engine capture(PipeRender), render(PipeCapture);
    EXPECT_EQ(SetFormat(pipe, 48000, 16, 2, 2, 0).status, Success) << "the initial format, CC filled to 3";
    EXPECT_FALSE(capture.FormatChanged()) << "the current format again raises nothing";
    EXPECT_EQ(block->Format.SR, 0u) << "and writes nothing";
    EXPECT_EQ(SetFormat(pipe, 44100, 16, 2, 2, 3).status, Success);
    EXPECT_TRUE(capture.FormatChanged());
    EXPECT_EQ(SetFormat(pipe, 44100, 16, 2, 2, 3).status, Success);
    EXPECT_FALSE(capture.FormatChanged());
    EXPECT_FALSE(render.FormatChanged()) << "the other endpoint is not told";
}

// A minimal size is refused only when its bytes cannot fit the pipe's
// buffer with the format in force (or waiting).
TEST_F(ControlRequests, MinimalBufferSizeMustFitThePipesBuffer)
{
    EXPECT_EQ(SetMinimalBufferSize(pipe, 441).status, Success);
    EXPECT_EQ(block->MinBufferFrames, 441u);
    EXPECT_EQ(SetMinimalBufferSize(pipe, 131072).status, Success) << "4-byte frames: exactly the buffer";
    EXPECT_EQ(SetMinimalBufferSize(pipe, 131073).status, InvalidParameter);
    EXPECT_EQ(SetMinimalBufferSize(pipe, 0xFFFFFFFF).status, InvalidParameter) << "no overflow";
    EXPECT_EQ(block->MinBufferFrames, 131072u) << "a refusal changes nothing";
    EXPECT_EQ(SetMinimalBufferSize(pipe, 7).status, Success) << "small values are accepted";
    EXPECT_EQ(SetMinimalBufferSize(pipe, 0).status, Success);
    EXPECT_EQ(block->MinBufferFrames, 0u);

    SetFormat(pipe, 48000, 32, 8, 4, 0); // 32-byte frames
    EXPECT_EQ(SetMinimalBufferSize(pipe, 16384).status, Success);
    EXPECT_EQ(SetMinimalBufferSize(pipe, 16385).status, InvalidParameter);

    uint8_t shortInput[7] = {3, 0, 0, 0, 1, 2, 3};
    EXPECT_EQ(Send(pipe, ReqSetMinimalBufferSize, shortInput, sizeof shortInput).status, InvalidDeviceRequest);
}

// While a stream exists the format waits, and the bound follows the format
// that waits.
TEST(MinimalBufferSize, TheBoundFollowsAFormatThatWaitsForTheStream)
{
    ASSERT_TRUE(dut::Load());
    {
        host_client::ManualHost host(PipeRender);
        ASSERT_EQ(host.Attach({48000, 32, 8, 4, 0}, 16384), Success); // 32-byte frames
        Engine engine(PipeRender);
        ASSERT_EQ(engine.Open({48000, 32, 8, 4, 0x63F}), Success);
        EXPECT_EQ(host.SetFormat({48000, 16, 1, 2, 0}), Success); // 2-byte frames, deferred
        EXPECT_EQ(host.SetMinimalBufferSize(262144), Success);
        EXPECT_EQ(host.SetMinimalBufferSize(262145), InvalidParameter);
        const CommonDataDesc &block = dut::Block(PipeRender);
        EXPECT_EQ(block.MinBufferFrames, 16384u) << "deferred too";
        EXPECT_EQ(block.Format.NC, 8u);
        ASSERT_EQ(engine.Close(), Success);
        EXPECT_EQ(block.MinBufferFrames, 262144u);
        EXPECT_EQ(block.Format.NC, 1u);
    }
    dut::Unload();
}

TEST_F(ControlRequests, NotificationEventMakesThePipeReadyOnce)
{
    Engine engine(PipeRender);
    ASSERT_NE(GetCommonData(pipe), 0u);
    EXPECT_EQ(block->PipeReady, 0) << "no event yet";
    EXPECT_FALSE(engine.JackChanged());

    Handle event = nullptr;
    ASSERT_EQ(boundary::CreateEvent(false, false, &event), Success);
    uint8_t shortInput[11] = {3};
    memcpy(shortInput + 4, &event, 7);
    EXPECT_EQ(Send(pipe, ReqSetNotificationEvent, shortInput, sizeof shortInput).status, InvalidDeviceRequest)
        << "a 64-bit caller sends 8 bytes of handle";
    EXPECT_EQ(RegisterEvent(pipe, reinterpret_cast<Handle>(0x7FF0)).status, InvalidHandle)
        << "the lookup's status, unchanged";
    EXPECT_EQ(RegisterEvent(pipe, pipe).status, ObjectTypeMismatch) << "a file is not an event";
    EXPECT_EQ(block->PipeReady, 0);

    ASSERT_EQ(RegisterEvent(pipe, event).status, Success);
    EXPECT_EQ(block->PipeReady, 1);
    EXPECT_TRUE(dut::PipeIsReady(PipeRender));
    EXPECT_TRUE(engine.JackChanged());

    EXPECT_EQ(RegisterEvent(pipe, event).status, AlreadyRegistered);
    EXPECT_EQ(Send(pipe, ReqSetNotificationEvent, shortInput, 4).status, AlreadyRegistered)
        << "tested before the length";
    EXPECT_EQ(block->PipeReady, 1);
    EXPECT_FALSE(engine.JackChanged()) << "no change, no event";
}

TEST(PipeReady, ThirtyTwoBitCallerRegistersAFourByteHandle)
{
    ASSERT_TRUE(dut::Load());
    {
        ClientProcess process(true);
        InProcess in(process);
        Handle pipe = nullptr, event = nullptr;
        ASSERT_EQ(OpenPipe(PipeCapture, &pipe), Success);
        ASSERT_EQ(boundary::CreateEvent(false, false, &event), Success);
        const uint32_t handle32 = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(event));
        ASSERT_EQ(reinterpret_cast<uintptr_t>(event) >> 32, 0u);
        uint8_t input[8];
        const uint32_t version = DRIVER_REQ_VERSION;
        memcpy(input, &version, 4);
        memcpy(input + 4, &handle32, 4);
        EXPECT_EQ(Send(pipe, ReqSetNotificationEvent, input, 7).status, InvalidDeviceRequest);
        EXPECT_EQ(Send(pipe, ReqSetNotificationEvent, input, 8).status, Success);
        EXPECT_EQ(dut::Block(PipeCapture).PipeReady, 1);
    }
    EXPECT_EQ(dut::Block(PipeCapture).PipeReady, 0) << "the process ended";
    dut::Unload();
}

TEST_F(ControlRequests, SecondOpenerIsBusyAndAReopenGetsFreshViews)
{
    Engine engine(PipeRender);
    const Handle event = CreateAndRegisterEvent(pipe);
    ASSERT_EQ(block->PipeReady, 1);
    EXPECT_TRUE(engine.JackChanged()) << "connected";
    const uint64_t firstBuffer = block->BufferAddress;
    ASSERT_NE(firstBuffer, 0u);

    Handle second = nullptr;
    EXPECT_EQ(OpenPipe(PipeRender, &second), DeviceBusy);
    {
        ClientProcess other;
        InProcess inOther(other);
        EXPECT_EQ(OpenPipe(PipeRender, &second), DeviceBusy) << "from any process";
    }
    EXPECT_EQ(block->PipeReady, 1) << "the first client is untouched";
    EXPECT_EQ(block->BufferAddress, firstBuffer);

    ASSERT_EQ(boundary::CloseHandle(pipe), Success);
    EXPECT_EQ(block->PipeReady, 0);
    EXPECT_EQ(block->BufferAddress, 0u);
    EXPECT_TRUE(engine.JackChanged()) << "disconnected";
    EXPECT_FALSE(dut::PipeIsReady(PipeRender));

    ASSERT_EQ(OpenPipe(PipeRender, &pipe), Success);
    EXPECT_NE(block->BufferAddress, 0u);
    const uint64_t view = GetCommonData(pipe);
    ASSERT_NE(view, 0u);
    EXPECT_EQ(reinterpret_cast<const CommonDataDesc *>(view)->BufferSizeBytes, PIPE_BUFFER_BYTES);
    EXPECT_EQ(block->PipeReady, 0) << "the old event went with the old handle";
    CreateAndRegisterEvent(pipe);
    EXPECT_EQ(block->PipeReady, 1);
    boundary::CloseHandle(event);
}

TEST_F(ControlRequests, EndingTheClientProcessDetaches)
{
    CreateAndRegisterEvent(pipe);
    ASSERT_EQ(block->PipeReady, 1);
    in.reset();
    process.End();
    EXPECT_EQ(block->PipeReady, 0);
    EXPECT_EQ(block->BufferAddress, 0u);
    EXPECT_FALSE(dut::PipeIsReady(PipeRender));
    Engine engine(PipeRender);
    EXPECT_EQ(engine.Open({48000, 16, 2, 2, 0x3}), DeviceNotReady) << "no stream without a client";

    ClientProcess next;
    InProcess inNext(next);
    Handle again = nullptr;
    EXPECT_EQ(OpenPipe(PipeRender, &again), Success);
    next.End();
}

TEST_F(ControlRequests, NamesThatAreNotExactlyAPipeGoElsewhere)
{
    const std::u16string path = dut::PipePath(PipeCapture);
    std::u16string upper = path;
    const size_t guid = upper.rfind(u"e6dcd72d");
    ASSERT_NE(guid, std::u16string::npos);
    upper.replace(guid, 8, u"E6DCD72D");
    std::u16string lowerSuffix = path;
    lowerSuffix.replace(lowerSuffix.size() - 7, 1, u"c");
    const std::u16string variants[] = {upper, lowerSuffix, path + u"x", path.substr(0, path.size() - 1)};
    for (const std::u16string &name : variants) {
        Handle handle = nullptr;
        const Status status = OpenPath(name, &handle);
        EXPECT_NE(status, Success) << "PortCls has no object of that name";
        if (status == Success)
            boundary::CloseHandle(handle);
        EXPECT_EQ(dut::Block(PipeCapture).BufferAddress, 0u) << "the pipe was not opened";
    }
    Handle capture = nullptr;
    EXPECT_EQ(OpenPipe(PipeCapture, &capture), Success) << "the exact name still opens it";
}

TEST_F(ControlRequests, CompletionsCarryTheSoundBoostAndOutputOnlyForTheAddress)
{
    standin::io::ClearCompletions();
    GetCommonData(pipe);
    SetFormat(pipe, 44100, 16, 2, 2, 3);
    SetMinimalBufferSize(pipe, 64);
    Notify(pipe, 0);
    SetFormat(pipe, 1, 16, 2, 2, 3);
    uint64_t address = 0;
    SendHeaderOnly(pipe, ReqGetCommonData, &address, 4);
    CreateAndRegisterEvent(pipe);

    std::vector<standin::io::Completion> controls;
    for (const auto &completion : standin::io::Completions())
        if (completion.majorFunction == IRP_MJ_DEVICE_CONTROL)
            controls.push_back(completion);
    ASSERT_EQ(controls.size(), 7u);
    const ULONG_PTR expectedOutput[] = {8, 0, 0, 0, 0, 0, 0};
    const NTSTATUS expectedStatus[] = {0, 0, 0, 0, InvalidParameter, BufferTooSmall, 0};
    for (size_t i = 0; i < controls.size(); ++i) {
        EXPECT_EQ(controls[i].status, expectedStatus[i]) << "request " << i;
        EXPECT_EQ(controls[i].information, expectedOutput[i]) << "request " << i;
        EXPECT_EQ(controls[i].priorityBoost, IO_SOUND_INCREMENT) << "request " << i;
    }
}

TEST_F(ControlRequests, NotifyStoresTheCodeWithoutARequestWaiting)
{
    EXPECT_EQ(Notify(pipe, 0).status, Success);
    EXPECT_EQ(block->ReplyStatus, 0u);
    EXPECT_EQ(Notify(pipe, 0xC0000022).status, Success);
    EXPECT_EQ(block->ReplyStatus, 0xC0000022u);
    EXPECT_EQ(Notify(pipe, NotifyPositionAdvanced).status, Success);
    EXPECT_EQ(block->ReplyStatus, NotifyPositionAdvanced);
    uint8_t shortInput[7] = {3};
    EXPECT_EQ(Send(pipe, ReqNotify, shortInput, sizeof shortInput).status, InvalidDeviceRequest);
    EXPECT_EQ(block->ReplyStatus, NotifyPositionAdvanced);
}

TEST_F(ControlRequests, TwoPipesNeverShareBytes)
{
    Handle capture = nullptr;
    ASSERT_EQ(OpenPipe(PipeCapture, &capture), Success);
    auto *renderView = reinterpret_cast<CommonDataDesc *>(GetCommonData(pipe));
    auto *captureView = reinterpret_cast<CommonDataDesc *>(GetCommonData(capture));
    ASSERT_NE(renderView, nullptr);
    ASSERT_NE(captureView, nullptr);
    auto *renderBuffer = reinterpret_cast<uint8_t *>(renderView->BufferAddress);
    auto *captureBuffer = reinterpret_cast<uint8_t *>(captureView->BufferAddress);
    ASSERT_NE(renderBuffer, nullptr);
    ASSERT_NE(captureBuffer, nullptr);

    memset(renderBuffer, 0x5A, PIPE_BUFFER_BYTES);
    renderView->DevicePositionFrames = 77;
    EXPECT_EQ(dut::Buffer(PipeRender)[PIPE_BUFFER_BYTES - 1], 0x5A) << "the driver sees the client's bytes";
    size_t leaked = 0;
    for (size_t i = 0; i < PIPE_BUFFER_BYTES; ++i)
        leaked += captureBuffer[i] != 0;
    EXPECT_EQ(leaked, 0u);
    EXPECT_EQ(captureView->DevicePositionFrames, 0u);
    EXPECT_EQ(dut::Block(PipeRender).DevicePositionFrames, 77u);
}

} // namespace
} // namespace core_tests
