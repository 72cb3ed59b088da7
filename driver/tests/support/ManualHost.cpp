// The test host: pipe requests, the responder thread and the device position.
#include "ManualHost.h"
#include <string.h>
#include "DriverUnderTest.h"

namespace host_client {
namespace {

namespace boundary = standin::io::boundary;

// Runs the calling thread in a process for the length of the scope.
class InProcess {
public:
    explicit InProcess(boundary::ProcessId process) { boundary::EnterProcess(process); }
    ~InProcess() { boundary::LeaveProcess(); }
    InProcess(const InProcess &) = delete;
    InProcess &operator=(const InProcess &) = delete;
};

} // namespace

ManualHost::ManualHost(int pipeKind, bool is32Bit) : pipeKind(pipeKind), process(boundary::CreateClientProcess(is32Bit))
{
    InProcess in(process);
    openStatus = driver_under_test::OpenAsClient(driver_under_test::PipePath(pipeKind), &pipe);
    if (openStatus != 0) {
        pipe = nullptr;
        return;
    }
    uint64_t address = 0;
    Send(ReqGetCommonData, nullptr, 0, &address, is32Bit ? 4 : 8);
    view = reinterpret_cast<volatile CommonDataDesc *>(static_cast<uintptr_t>(address));
}

ManualHost::~ManualHost()
{
    Detach();
    if (!boundary::IsProcessEnded(process))
        boundary::EndClientProcess(process);
}

Status ManualHost::Send(uint32_t code, const void *body, uint32_t bodyLength, void *output, uint32_t outputLength)
{
    uint8_t input[64];
    const uint32_t version = DRIVER_REQ_VERSION;
    memcpy(input, &version, sizeof version);
    if (bodyLength != 0)
        memcpy(input + sizeof version, body, bodyLength);
    uint64_t information = 0;
    return boundary::DeviceControl(pipe, code, input, sizeof version + bodyLength, output, outputLength,
                                   &information);
}

Status ManualHost::Attach(const DataFormatDesc &format, uint32_t minimalFrames)
{
    InProcess in(process);
    Status status = boundary::CreateEvent(false, false, &event);
    if (status != 0)
        return status;
    const uint64_t handle = reinterpret_cast<uintptr_t>(event);
    status = Send(ReqSetNotificationEvent, &handle, sizeof handle);
    if (status == 0)
        status = Send(ReqSetFormat, &format, sizeof format);
    if (status == 0 && minimalFrames != 0)
        status = Send(ReqSetMinimalBufferSize, &minimalFrames, sizeof minimalFrames);
    if (status == 0)
        responder = std::thread([this] { Responder(); });
    return status;
}

Status ManualHost::SetFormat(const DataFormatDesc &format)
{
    InProcess in(process);
    return Send(ReqSetFormat, &format, sizeof format);
}

Status ManualHost::SetMinimalBufferSize(uint32_t frames)
{
    InProcess in(process);
    return Send(ReqSetMinimalBufferSize, &frames, sizeof frames);
}

void ManualHost::Responder()
{
    InProcess in(process);
    for (;;) {
        if (boundary::WaitForObject(event, nullptr) != 0)
            return;
        if ((view->RequestFlags & REQUEST_FLAGS_CLIENT_BIT) == 0) {
            if (stopping == Stopping::AfterAnswering)
                return;
            continue; // a wake without a request
        }
        {
            std::lock_guard<std::mutex> hold(seenLock);
            seen.push_back({view->RequestCode, view->StreamState, view->BufferSizeFrames});
        }
        if (!silent || stopping == Stopping::AfterAnswering) {
            const uint32_t reply = answer;
            Send(ReqNotify, &reply, sizeof reply);
        }
        if (stopping == Stopping::AfterAnswering)
            return;
    }
}

// A request in flight is answered before the pipe closes: once the handle is
// gone nothing can answer, and the close would wait the request out.
void ManualHost::Detach()
{
    StopResponder(Stopping::AfterAnswering);
    if (!boundary::IsProcessEnded(process)) {
        InProcess in(process);
        if (pipe != nullptr)
            boundary::CloseHandle(pipe);
        if (event != nullptr)
            boundary::CloseHandle(event);
    }
    pipe = nullptr;
    event = nullptr;
    view = nullptr;
}

void ManualHost::StopResponder(Stopping how)
{
    if (!responder.joinable())
        return;
    stopping = how;
    {
        InProcess in(process);
        boundary::SetEvent(event);
    }
    responder.join();
}

// A request in flight is answered first: nothing answers once the process
// has gone.
void ManualHost::Die()
{
    StopResponder(Stopping::AfterAnswering);
    boundary::EndClientProcess(process);
    pipe = nullptr;
    event = nullptr;
    view = nullptr;
}

std::vector<ManualHost::Seen> ManualHost::TakeRequests()
{
    std::lock_guard<std::mutex> hold(seenLock);
    std::vector<Seen> taken;
    taken.swap(seen);
    return taken;
}

void ManualHost::MoveTo(uint32_t frames, uint32_t frameBytes, uint32_t bufferFrames)
{
    view->DevicePositionFrames = frames;
    view->DevicePositionBytes = bufferFrames != 0 ? frames % bufferFrames * frameBytes : frames * frameBytes;
    Notify();
}

void ManualHost::Notify()
{
    InProcess in(process);
    const uint32_t code = NotifyPositionAdvanced;
    Send(ReqNotify, &code, sizeof code);
}

uint8_t *ManualHost::AudioBuffer() const
{
    return view != nullptr ? reinterpret_cast<uint8_t *>(static_cast<uintptr_t>(view->BufferAddress)) : nullptr;
}

} // namespace host_client
