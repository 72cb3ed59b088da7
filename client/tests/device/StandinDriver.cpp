// The stand-in device's driver, written with the kernel API only: two pipes
// reached through one device interface, each with a block and an audio buffer
// in shared pages, mapped into the process that opens the pipe.
#include <ntddk.h>
#include <guarded_call.h>
#include <initializer_list>
#include "ControlProtocol.h"
#include "CommonDataDesc.h"
#include "StandinDevice.h"
#include "TestDeviceStack.h"

namespace {

constexpr ULONG PageBytes = 4096;
constexpr LONGLONG OneSecond = 10'000'000;
constexpr ULONG UnreadableAddress = 0x1000; // below every mapping of a process

struct Pipe {
    const wchar_t *referenceString;
    PMDL blockMdl;
    PMDL bufferMdl;
    CommonDataDesc *block; // system view
    UCHAR *buffer;
    PVOID userBlock;
    PVOID userBuffer;
    PFILE_OBJECT owner;
    PKEVENT clientEvent;
    KEVENT replyEvent;
    KMUTEX mutex;
    volatile LONG positionNotifications;
    volatile LONG lastFrames;
    volatile LONG lastBytes;
    volatile LONG seen[6];
    volatile LONG refusedCode;
    volatile LONG refusedStatus;
    volatile LONG unreadableBlock;
    volatile LONG unreadableBuffer;
    volatile LONG64 clientEventHandle;
    volatile LONG heldCode;
    volatile LONG holding; // a request with heldCode waits in the driver
    KEVENT releaseHeld;
};

// The steering fields are written by test threads while requests run.
LONG Read(volatile LONG &field) { return InterlockedCompareExchange(&field, 0, 0); }
LONG64 Read(volatile LONG64 &field) { return InterlockedCompareExchange64(&field, 0, 0); }

struct Device {
    TestDeviceStack stack;
    Pipe pipes[2];
} device;

PVOID MapPages(PMDL mdl, KPROCESSOR_MODE mode)
{
    return MmMapLockedPagesSpecifyCache(mdl, mode, MmCached, nullptr, FALSE, NormalPagePriority);
}

PMDL AllocatePages(ULONG bytes)
{
    PHYSICAL_ADDRESS low, high, skip;
    low.QuadPart = 0;
    high.QuadPart = -1;
    skip.QuadPart = 0;
    return MmAllocatePagesForMdlEx(low, high, skip, bytes, MmCached, 0);
}

NTSTATUS AllocatePipe(Pipe &pipe, const wchar_t *referenceString)
{
    pipe.referenceString = referenceString;
    KeInitializeEvent(&pipe.replyEvent, SynchronizationEvent, FALSE);
    KeInitializeMutex(&pipe.mutex, 0);
    KeInitializeEvent(&pipe.releaseHeld, SynchronizationEvent, FALSE);
    pipe.blockMdl = AllocatePages(PageBytes);
    pipe.bufferMdl = AllocatePages(PIPE_BUFFER_BYTES);
    if (pipe.blockMdl == nullptr || pipe.bufferMdl == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    pipe.block = static_cast<CommonDataDesc *>(MapPages(pipe.blockMdl, KernelMode));
    pipe.buffer = static_cast<UCHAR *>(MapPages(pipe.bufferMdl, KernelMode));
    if (pipe.block == nullptr || pipe.buffer == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    pipe.block->BufferSizeBytes = PIPE_BUFFER_BYTES;
    pipe.block->ReplyStatus = REPLY_STATUS_PRESET;
    return STATUS_SUCCESS;
}

void FreePipe(Pipe &pipe)
{
    if (pipe.block != nullptr)
        MmUnmapLockedPages(pipe.block, pipe.blockMdl);
    if (pipe.buffer != nullptr)
        MmUnmapLockedPages(pipe.buffer, pipe.bufferMdl);
    for (PMDL mdl : {pipe.blockMdl, pipe.bufferMdl}) {
        if (mdl != nullptr) {
            MmFreePagesFromMdl(mdl);
            ExFreePool(mdl);
        }
    }
    pipe = Pipe{};
}

bool SameText(PCUNICODE_STRING name, const wchar_t *text)
{
    UNICODE_STRING expected;
    RtlInitUnicodeString(&expected, text);
    return RtlEqualUnicodeString(name, &expected, FALSE) != FALSE;
}

Pipe *PipeOfName(PFILE_OBJECT file)
{
    if (file == nullptr)
        return nullptr;
    for (Pipe &pipe : device.pipes)
        if (SameText(&file->FileName, pipe.referenceString))
            return &pipe;
    return nullptr;
}

Pipe *PipeOfOwner(PFILE_OBJECT file)
{
    for (Pipe &pipe : device.pipes)
        if (file != nullptr && pipe.owner == file)
            return &pipe;
    return nullptr;
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_SOUND_INCREMENT);
    return status;
}

NTSTATUS MapIntoCaller(PVOID context)
{
    Pipe &pipe = *static_cast<Pipe *>(context);
    pipe.userBlock = MapPages(pipe.blockMdl, UserMode);
    pipe.userBuffer = MapPages(pipe.bufferMdl, UserMode);
    return STATUS_SUCCESS;
}

void Detach(Pipe &pipe)
{
    if (pipe.userBlock != nullptr)
        MmUnmapLockedPages(pipe.userBlock, pipe.blockMdl);
    if (pipe.userBuffer != nullptr)
        MmUnmapLockedPages(pipe.userBuffer, pipe.bufferMdl);
    pipe.userBlock = pipe.userBuffer = nullptr;
    if (pipe.clientEvent != nullptr)
        ObDereferenceObject(pipe.clientEvent);
    pipe.clientEvent = nullptr;
    pipe.owner = nullptr;
    pipe.block->BufferAddress = 0;
    pipe.block->PipeReady = 0;
}

NTSTATUS OnCreate(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    Pipe *pipe = PipeOfName(stack->FileObject);
    if (pipe == nullptr)
        return Complete(irp, STATUS_OBJECT_NAME_NOT_FOUND);
    KeWaitForSingleObject(&pipe->mutex, Executive, KernelMode, FALSE, nullptr);
    NTSTATUS status = STATUS_SUCCESS;
    if (pipe->owner != nullptr) {
        status = STATUS_DEVICE_BUSY;
    } else {
        status = GuardedCall(MapIntoCaller, pipe);
        if (NT_SUCCESS(status) && (pipe->userBlock == nullptr || pipe->userBuffer == nullptr))
            status = STATUS_INSUFFICIENT_RESOURCES;
        if (NT_SUCCESS(status)) {
            pipe->owner = stack->FileObject;
            pipe->block->BufferAddress = reinterpret_cast<ULONG_PTR>(pipe->userBuffer);
        } else {
            Detach(*pipe);
        }
    }
    KeReleaseMutex(&pipe->mutex, FALSE);
    return Complete(irp, status);
}

NTSTATUS OnCleanupOrClose(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (Pipe *pipe = PipeOfOwner(stack->FileObject)) {
        KeWaitForSingleObject(&pipe->mutex, Executive, KernelMode, FALSE, nullptr);
        Detach(*pipe);
        KeReleaseMutex(&pipe->mutex, FALSE);
    }
    return Complete(irp, STATUS_SUCCESS);
}

ULONG CodeIndex(ULONG code)
{
    switch (code) {
    case ReqGetCommonData: return 1;
    case ReqSetFormat: return 2;
    case ReqSetMinimalBufferSize: return 3;
    case ReqSetNotificationEvent: return 4;
    case ReqNotify: return 5;
    default: return 0;
    }
}

NTSTATUS Serve(Pipe &pipe, PIRP irp, ULONG code, ULONG inLength, ULONG outLength, ULONG_PTR &information)
{
    auto *buffer = static_cast<UCHAR *>(irp->AssociatedIrp.SystemBuffer);
    if (inLength < REQ_MIN_INPUT || reinterpret_cast<DriverReq *>(buffer)->Version != DRIVER_REQ_VERSION)
        return STATUS_INVALID_DEVICE_REQUEST;
    const LONG refusedCode = Read(pipe.refusedCode);
    if (refusedCode != 0 && static_cast<ULONG>(refusedCode) == code)
        return Read(pipe.refusedStatus);
    CommonDataDesc &block = *pipe.block;
    switch (code) {
    case ReqGetCommonData: {
        if (outLength < sizeof(ULONG64))
            return STATUS_BUFFER_TOO_SMALL;
        ULONG64 address = reinterpret_cast<ULONG_PTR>(pipe.userBlock);
        if (Read(pipe.unreadableBlock))
            address = UnreadableAddress;
        block.BufferAddress = Read(pipe.unreadableBuffer) ? UnreadableAddress : reinterpret_cast<ULONG_PTR>(pipe.userBuffer);
        RtlCopyMemory(buffer, &address, sizeof address);
        information = sizeof address;
        return STATUS_SUCCESS;
    }
    case ReqSetFormat: {
        if (inLength < REQ_SET_FORMAT_MIN_INPUT)
            return STATUS_INVALID_DEVICE_REQUEST;
        const SetFormatRequest *request = reinterpret_cast<const SetFormatRequest *>(buffer);
        const DataFormatDesc &f = request->Format;
        if (f.SR < 8000 || f.SR > 384000 || f.BPS < 8 || f.BPS > 32 || f.NC < 1 || f.NC > 8 || f.BPC < 1 ||
            f.BPC > 4 || (f.CC & 0x7FFC0000u) != 0)
            return STATUS_INVALID_PARAMETER;
        block.Format = f;
        return STATUS_SUCCESS;
    }
    case ReqSetMinimalBufferSize:
        if (inLength < REQ_SET_MINIMAL_BUFFER_SIZE_MIN_INPUT)
            return STATUS_INVALID_DEVICE_REQUEST;
        block.MinBufferFrames = reinterpret_cast<const SetMinimalBufferSizeRequest *>(buffer)->Frames;
        return STATUS_SUCCESS;
    case ReqSetNotificationEvent: {
        if (pipe.clientEvent != nullptr)
            return STATUS_ALREADY_REGISTERED;
        if (inLength < REQ_SET_NOTIFICATION_EVENT_MIN_INPUT)
            return STATUS_INVALID_DEVICE_REQUEST;
        ULONG64 handle;
        RtlCopyMemory(&handle, buffer + sizeof(DriverReq), sizeof handle);
        PVOID event = nullptr;
        const NTSTATUS status = ObReferenceObjectByHandle(reinterpret_cast<HANDLE>(handle), EVENT_MODIFY_STATE,
                                                          *ExEventObjectType, irp->RequestorMode, &event, nullptr);
        if (NT_SUCCESS(status)) {
            pipe.clientEvent = static_cast<PKEVENT>(event);
            InterlockedExchange64(&pipe.clientEventHandle, static_cast<LONG64>(handle));
            block.PipeReady = 1;
        }
        return status;
    }
    case ReqNotify: {
        if (inLength < REQ_NOTIFY_MIN_INPUT)
            return STATUS_INVALID_DEVICE_REQUEST;
        const ULONG notifyCode = reinterpret_cast<const NotifyRequest *>(buffer)->Code;
        block.ReplyStatus = notifyCode;
        if (notifyCode == NotifyPositionAdvanced) {
            InterlockedExchange(&pipe.lastFrames, static_cast<LONG>(block.DevicePositionFrames));
            InterlockedExchange(&pipe.lastBytes, static_cast<LONG>(block.DevicePositionBytes));
            InterlockedIncrement(&pipe.positionNotifications);
        } else {
            KeSetEvent(&pipe.replyEvent, IO_SOUND_INCREMENT, FALSE);
        }
        return STATUS_SUCCESS;
    }
    default:
        return STATUS_INVALID_DEVICE_REQUEST;
    }
}

NTSTATUS OnDeviceControl(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    Pipe *pipe = PipeOfOwner(stack->FileObject);
    if (pipe == nullptr)
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    InterlockedIncrement(&pipe->seen[CodeIndex(code)]);
    const LONG heldCode = Read(pipe->heldCode);
    if (heldCode != 0 && static_cast<ULONG>(heldCode) == code) {
        // Held until the test lets it go, then served as any other.
        InterlockedExchange(&pipe->heldCode, 0);
        InterlockedExchange(&pipe->holding, 1);
        KeWaitForSingleObject(&pipe->releaseHeld, Executive, KernelMode, FALSE, nullptr);
        InterlockedExchange(&pipe->holding, 0);
    }
    ULONG_PTR information = 0;
    const NTSTATUS status = Serve(*pipe, irp, code, stack->Parameters.DeviceIoControl.InputBufferLength,
                                  stack->Parameters.DeviceIoControl.OutputBufferLength, information);
    return Complete(irp, status, NT_SUCCESS(status) ? information : 0);
}

NTSTATUS OnPnp(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        NTSTATUS status = AllocatePipe(device.pipes[PipeRender], PIPE_REFSTRING_RENDER);
        if (NT_SUCCESS(status))
            status = AllocatePipe(device.pipes[PipeCapture], PIPE_REFSTRING_CAPTURE);
        if (NT_SUCCESS(status))
            status = IoSetDeviceInterfaceState(&device.stack.link, TRUE);
        if (!NT_SUCCESS(status))
            return Complete(irp, status);
        break;
    }
    case IRP_MN_REMOVE_DEVICE: {
        IoSetDeviceInterfaceState(&device.stack.link, FALSE);
        for (Pipe &pipe : device.pipes)
            FreePipe(pipe);
        RtlFreeUnicodeString(&device.stack.link);
        return RemoveTestDeviceStack(device.stack, irp);
    }
    default:
        break;
    }
    return PassDown(device.stack, irp);
}

NTSTATUS OnAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    return AddTestDeviceStack(driver, pdo, ControlInterfaceClass, device.stack);
}

void OnUnload(PDRIVER_OBJECT) {}

} // namespace

extern "C" NTSTATUS StandinDeviceEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    driver->MajorFunction[IRP_MJ_CREATE] = OnCreate;
    driver->MajorFunction[IRP_MJ_CLEANUP] = OnCleanupOrClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = OnCleanupOrClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = OnDeviceControl;
    driver->MajorFunction[IRP_MJ_PNP] = OnPnp;
    driver->DriverExtension->AddDevice = OnAddDevice;
    driver->DriverUnload = OnUnload;
    return STATUS_SUCCESS;
}

// ---- Steering, for the tests ------------------------------------------------

namespace standin_device {

CommonDataDesc &Block(int pipe) { return *device.pipes[pipe].block; }
uint8_t *Buffer(int pipe) { return device.pipes[pipe].buffer; }
bool IsOpen(int pipe) { return device.pipes[pipe].owner != nullptr; }
bool HasClientEvent(int pipe) { return device.pipes[pipe].clientEvent != nullptr; }

int32_t Post(int index, uint32_t code)
{
    Pipe &pipe = device.pipes[index];
    KeWaitForSingleObject(&pipe.mutex, Executive, KernelMode, FALSE, nullptr);
    NTSTATUS result = STATUS_DEVICE_NOT_READY;
    if (pipe.clientEvent != nullptr) {
        LARGE_INTEGER timeout;
        timeout.QuadPart = 0;
        KeWaitForSingleObject(&pipe.replyEvent, Executive, KernelMode, FALSE, &timeout);
        pipe.block->ReplyStatus = REPLY_STATUS_PRESET;
        pipe.block->RequestCode = code;
        InterlockedOr(reinterpret_cast<volatile LONG *>(&pipe.block->RequestFlags), REQUEST_FLAGS_POSTED);
        KeSetEvent(pipe.clientEvent, IO_SOUND_INCREMENT, FALSE);
        timeout.QuadPart = -OneSecond;
        const NTSTATUS wait = KeWaitForSingleObject(&pipe.replyEvent, Executive, KernelMode, FALSE, &timeout);
        result = wait == STATUS_SUCCESS   ? static_cast<NTSTATUS>(pipe.block->ReplyStatus)
                 : wait == STATUS_TIMEOUT ? STATUS_DEVICE_NOT_READY
                                          : STATUS_UNSUCCESSFUL;
    }
    InterlockedAnd(reinterpret_cast<volatile LONG *>(&pipe.block->RequestFlags),
                   static_cast<LONG>(~REQUEST_FLAGS_POSTED));
    pipe.block->RequestCode = ClientReqNone;
    KeReleaseMutex(&pipe.mutex, FALSE);
    return result;
}

void SignalClient(int index)
{
    if (device.pipes[index].clientEvent != nullptr)
        KeSetEvent(device.pipes[index].clientEvent, IO_SOUND_INCREMENT, FALSE);
}

int32_t AnnounceStream(int index, bool attached, uint32_t state, uint32_t bufferFrames)
{
    CommonDataDesc &block = *device.pipes[index].block;
    block.StreamAttached = attached ? 1 : 0;
    block.BufferSizeFrames = bufferFrames;
    block.StreamState = state;
    return Post(index, ClientReqStateChanged);
}

uint32_t PositionNotifications(int pipe) { return static_cast<uint32_t>(Read(device.pipes[pipe].positionNotifications)); }
uint32_t LastNotifiedFrames(int pipe) { return static_cast<uint32_t>(Read(device.pipes[pipe].lastFrames)); }
uint32_t LastNotifiedBytes(int pipe) { return static_cast<uint32_t>(Read(device.pipes[pipe].lastBytes)); }
uint32_t RequestsSeen(int pipe, uint32_t code) { return static_cast<uint32_t>(Read(device.pipes[pipe].seen[CodeIndex(code)])); }

void RefuseRequest(int pipe, uint32_t code, int32_t status)
{
    InterlockedExchange(&device.pipes[pipe].refusedStatus, status);
    InterlockedExchange(&device.pipes[pipe].refusedCode, static_cast<LONG>(status != 0 ? code : 0));
}
void HoldNextRequest(int pipe, uint32_t code) { InterlockedExchange(&device.pipes[pipe].heldCode, static_cast<LONG>(code)); }
bool IsHoldingRequest(int pipe) { return Read(device.pipes[pipe].holding) != 0; }
void ReleaseHeldRequest(int pipe) { KeSetEvent(&device.pipes[pipe].releaseHeld, IO_SOUND_INCREMENT, FALSE); }
uint64_t ClientEventHandle(int pipe) { return static_cast<uint64_t>(Read(device.pipes[pipe].clientEventHandle)); }
void HandOutUnreadableBlock(int pipe, bool on) { InterlockedExchange(&device.pipes[pipe].unreadableBlock, on); }
void HandOutUnreadableBuffer(int pipe, bool on) { InterlockedExchange(&device.pipes[pipe].unreadableBuffer, on); }

} // namespace standin_device
