// OmbPipe: one control channel to the driver, its requests, the shared block
// and the device position the client owns.
#include "ombapi.h"
#include "SharedBlock.h"
#include "Status.h"

namespace Ombrivo {

namespace {

constexpr unsigned FileNameCapacity = 260;
constexpr unsigned GuidTextCapacity = 40;
constexpr DWORD BlockAddressBytes = sizeof(void *);

// The class GUID as 36 lower-case hexadecimal characters without braces.
void FormatGuidText(wchar_t *text, unsigned capacity, const GUID *guid)
{
    wchar_t built[GuidTextCapacity];
    if (guid == nullptr) {
        _snwprintf(built, GuidTextCapacity, L"GUID_NULL");
    } else {
        _snwprintf(built, GuidTextCapacity, L"%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                   static_cast<unsigned>(guid->Data1), guid->Data2, guid->Data3, guid->Data4[0], guid->Data4[1],
                   guid->Data4[2], guid->Data4[3], guid->Data4[4], guid->Data4[5], guid->Data4[6],
                   guid->Data4[7]);
    }
    built[GuidTextCapacity - 1] = L'\0';
    wcsncpy(text, built, capacity - 1);
    text[capacity - 1] = L'\0';
}

} // namespace

const CommonDataDesc NoBlock = {};

OmbPipe::OmbPipe(const OmbDriver *driver, bool capture)
    : driver(driver), capture(capture), format(), handle(nullptr), commonData(nullptr)
{
    Check();
}

OmbPipe::~OmbPipe()
{
    Check();
    Close();
}

void OmbPipe::Delete()
{
    // Read through a volatile copy: the compiler may not assume this is set.
    OmbPipe *volatile self = this;
    if (self == nullptr)
        return;
    delete self;
}

HRESULT OmbPipe::Open(const wchar_t *interfacePath)
{
    Check();
    if (handle != nullptr)
        return StatusAlreadyStarted;
    const wchar_t *suffix = capture ? PIPE_SUFFIX_CAPTURE : PIPE_SUFFIX_RENDER;
    wchar_t guidText[GuidTextCapacity];
    FormatGuidText(guidText, GuidTextCapacity, driver != nullptr ? &driver->GetClassId() : nullptr);

    // A name that does not fit is refused, never passed on cut.
    wchar_t fileName[FileNameCapacity];
    const int length = _snwprintf(fileName, FileNameCapacity, L"%ls\\%ls\\%ls",
                                  interfacePath != nullptr ? interfacePath : L"", guidText, suffix);
    if (length < 0 || static_cast<unsigned>(length) >= FileNameCapacity)
        return StatusNameTooLong;

    HANDLE file = CreateFileW(fileName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return StatusFromLastError();
    handle = file;

    DriverReq request = {DRIVER_REQ_VERSION};
    HRESULT status = DriverRequest(ReqGetCommonData, request, sizeof request, &commonData, BlockAddressBytes,
                                   nullptr);
    if (SUCCEEDED(status)) {
        if (IsBadReadPtr(commonData, sizeof(CommonDataDesc)))
            status = StatusNotReadable;
        else if (IsBadReadPtr(reinterpret_cast<const void *>(static_cast<UINT_PTR>(
                                  ReadShared(commonData->BufferAddress))),
                              ReadShared(commonData->BufferSizeBytes)))
            status = StatusNotReadable;
    }
    if (FAILED(status))
        Close();
    Check();
    return status;
}

void OmbPipe::Close()
{
    Check();
    if (handle == nullptr)
        return;
    commonData = nullptr;
    CloseHandle(handle);
    handle = nullptr;
}

bool OmbPipe::IsOpen() const { return handle != nullptr; }

bool OmbPipe::IsCapt() const { return capture; }

const wchar_t *OmbPipe::GetType() const { return capture ? L"capture" : L"render"; }

// A closed pipe has no block; the constant stand-in lies in read-only
// memory, so a write through it faults instead of corrupting anything.
CommonDataDesc &OmbPipe::GetCommonData()
{
    return commonData != nullptr ? *commonData : const_cast<CommonDataDesc &>(NoBlock);
}

const CommonDataDesc &OmbPipe::GetCommonData() const { return commonData != nullptr ? *commonData : NoBlock; }

const WaveFormat &OmbPipe::GetFormat() const { return format; }

bool OmbPipe::IsRunningState() const
{
    Check();
    return IsOpen() && commonData != nullptr && ReadShared(commonData->StreamAttached) != 0 &&
           ReadShared(commonData->BufferSizeFrames) != 0 &&
           ReadShared(commonData->StreamState) == STREAM_STATE_RUN;
}

HRESULT OmbPipe::DriverRequest(unsigned code, DriverReq &req, unsigned reqSize, void *out, unsigned outSize,
                               unsigned *bytesReturned) const
{
    Check();
    req.Version = DRIVER_REQ_VERSION;
    DWORD returned = 0;
    HRESULT status = S_OK;
    if (handle == nullptr) {
        status = StatusNotOpen;
    } else if (!DeviceIoControl(handle, code, &req, reqSize, out, outSize, &returned, nullptr)) {
        status = StatusFromLastError();
    }
    if (bytesReturned != nullptr)
        *bytesReturned = returned;
    return status;
}

HRESULT OmbPipe::SetFormat(unsigned sr, unsigned bps, unsigned nc, unsigned bpc, unsigned cc)
{
    Check();
    const WaveFormat wanted(sr, bps, nc, bpc, cc);
    SetFormatRequest request = {{DRIVER_REQ_VERSION}, wanted.GetFormat()};
    const HRESULT status = DriverRequest(ReqSetFormat, request.Header, sizeof request, nullptr, 0, nullptr);
    if (SUCCEEDED(status))
        format = wanted;
    return status;
}

HRESULT OmbPipe::SetMinimalBufferSize(unsigned frames)
{
    Check();
    SetMinimalBufferSizeRequest request = {{DRIVER_REQ_VERSION}, frames};
    return DriverRequest(ReqSetMinimalBufferSize, request.Header, sizeof request, nullptr, 0, nullptr);
}

HRESULT OmbPipe::SetNotificationEvent(HANDLE event)
{
    Check();
    SetNotificationEventRequest request = {{DRIVER_REQ_VERSION},
                                           static_cast<uint64_t>(reinterpret_cast<UINT_PTR>(event))};
    return DriverRequest(ReqSetNotificationEvent, request.Header, sizeof request, nullptr, 0, nullptr);
}

HRESULT OmbPipe::Notify(unsigned long code)
{
    Check();
    NotifyRequest request = {{DRIVER_REQ_VERSION}, static_cast<uint32_t>(code)};
    return DriverRequest(ReqNotify, request.Header, sizeof request, nullptr, 0, nullptr);
}

HRESULT OmbPipe::AdvanceDevicePosition(unsigned frames)
{
    Check();
    if (commonData == nullptr)
        return StatusNotOpen;
    // Without a cyclic buffer there is no position to move.
    const uint32_t bufferFrames = ReadShared(commonData->BufferSizeFrames);
    if (bufferFrames == 0)
        return StatusInvalidState;
    const uint32_t position = (ReadShared(commonData->DevicePositionFrames) + frames) % bufferFrames;
    WriteShared(commonData->DevicePositionFrames, position);
    WriteShared(commonData->DevicePositionBytes, static_cast<uint32_t>(format.FramesToBytes(position)));
    return Notify(NotifyPositionAdvanced);
}

HRESULT OmbPipe::ResetDevicePosition()
{
    Check();
    if (commonData != nullptr) {
        WriteShared(commonData->DevicePositionFrames, 0u);
        WriteShared(commonData->DevicePositionBytes, 0u);
    }
    return S_OK;
}

void OmbPipe::Check() const {}

} // namespace Ombrivo
