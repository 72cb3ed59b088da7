// The control requests of a pipe's owner: checks in their fixed order, the
// replies, and the readiness update after each.
#include "ControlPipe.h"
#include "EndpointLink.h"
#include "Requests.h"

NTSTATUS ControlPipe::Control(PIRP irp)
{
    ULONG_PTR information = 0;
    const NTSTATUS status = Serve(irp, information);
    UpdateReady();
    return CompleteRequest(irp, status, NT_SUCCESS(status) ? information : 0);
}

// No lock is taken here: a driver request holding the pipe mutex may be
// waiting for the very reply this request carries.
NTSTATUS ControlPipe::Serve(PIRP irp, ULONG_PTR &information)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    UCHAR *system = static_cast<UCHAR *>(irp->AssociatedIrp.SystemBuffer);

    // Every control code is buffered: another transfer method is not one of
    // them, whatever its length, and has no system buffer to read.
    if (inputLength < REQ_MIN_INPUT || system == nullptr || METHOD_FROM_CTL_CODE(code) != METHOD_BUFFERED)
        return STATUS_INVALID_DEVICE_REQUEST;
    DriverReq header;
    RtlCopyMemory(&header, system, sizeof header);
    if (header.Version != DRIVER_REQ_VERSION)
        return STATUS_INVALID_DEVICE_REQUEST;

    // The caller's bitness comes from the requesting process, never the length.
    const bool is32Bit = IoIs32bitProcess(irp) != FALSE;
    switch (code) {
    case ReqGetCommonData:
        return GetCommonData(system, outputLength, is32Bit, information);
    case ReqSetFormat: {
        if (inputLength < REQ_SET_FORMAT_MIN_INPUT)
            return STATUS_INVALID_DEVICE_REQUEST;
        SetFormatRequest request;
        RtlCopyMemory(&request, system, sizeof request);
        return link->SetFormat(request.Format);
    }
    case ReqSetMinimalBufferSize: {
        if (inputLength < REQ_SET_MINIMAL_BUFFER_SIZE_MIN_INPUT)
            return STATUS_INVALID_DEVICE_REQUEST;
        SetMinimalBufferSizeRequest request;
        RtlCopyMemory(&request, system, sizeof request);
        return link->SetMinimalBufferSize(request.Frames);
    }
    case ReqSetNotificationEvent:
        return SetNotificationEvent(irp, system, inputLength, is32Bit);
    case ReqNotify: {
        if (inputLength < REQ_NOTIFY_MIN_INPUT)
            return STATUS_INVALID_DEVICE_REQUEST;
        NotifyRequest request;
        RtlCopyMemory(&request, system, sizeof request);
        return Notify(request.Code);
    }
    default:
        return STATUS_INVALID_DEVICE_REQUEST;
    }
}

NTSTATUS ControlPipe::GetCommonData(PVOID system, ULONG outputLength, bool is32Bit, ULONG_PTR &information)
{
    const ULONG addressSize = is32Bit ? sizeof(ULONG) : sizeof(ULONG64);
    if (outputLength < addressSize)
        return STATUS_BUFFER_TOO_SMALL;
    // A 32-bit client's view lies below 4 GiB: its low half is the address.
    const ULONG64 address = reinterpret_cast<ULONG_PTR>(LoadPointer(block.UserView));
    RtlCopyMemory(system, &address, addressSize);
    information = addressSize;
    return STATUS_SUCCESS;
}

NTSTATUS ControlPipe::SetNotificationEvent(PIRP irp, const UCHAR *input, ULONG inputLength, bool is32Bit)
{
    if (LoadPointer(clientEvent) != nullptr)
        return STATUS_ALREADY_REGISTERED; // tested before the length
    const ULONG handleSize = is32Bit ? sizeof(ULONG) : sizeof(ULONG64);
    if (inputLength < sizeof(DriverReq) + handleSize)
        return STATUS_INVALID_DEVICE_REQUEST;
    ULONG64 handle = 0; // a 32-bit caller's handle is zero-extended
    RtlCopyMemory(&handle, input + sizeof(DriverReq), handleSize);

    PVOID event = nullptr;
    const NTSTATUS status = ObReferenceObjectByHandle(reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(handle)),
                                                      EVENT_MODIFY_STATE, *ExEventObjectType, irp->RequestorMode,
                                                      &event, nullptr);
    if (!NT_SUCCESS(status))
        return status;
    // Two requests on the same handle may race here; one event wins.
    if (InterlockedCompareExchangePointer(reinterpret_cast<PVOID volatile *>(&clientEvent), event, nullptr) !=
        nullptr) {
        ObDereferenceObject(event);
        return STATUS_ALREADY_REGISTERED;
    }
    return STATUS_SUCCESS;
}

NTSTATUS ControlPipe::Notify(ULONG code)
{
    StoreWord(Block()->ReplyStatus, code);
    if (code == NotifyPositionAdvanced)
        KeSetEvent(&wakeEvent, IO_SOUND_INCREMENT, FALSE);
    else
        KeSetEvent(&replyEvent, IO_SOUND_INCREMENT, FALSE);
    return STATUS_SUCCESS;
}
