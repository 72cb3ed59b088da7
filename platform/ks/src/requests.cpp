// IOCTL_KS_PROPERTY, IOCTL_KS_ENABLE_EVENT and IOCTL_KS_DISABLE_EVENT: the
// caller's METHOD_NEITHER buffers are probed and captured, the object sees
// kernel copies, and what it returns is copied back.
#include "requests.h"
#include "user_buffers.h"

#include <kernel_standin.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace standin::ks {

namespace {

// What a get's value buffer holds before the handler writes it: bytes a
// handler reports without writing them show up as this pattern.
constexpr uint8_t ValuePoison = 0xCD;

// KSEVENTDATA as a 32-bit process lays it out.
constexpr ULONG EventData32Size = 16;

struct Buffers {
    KPROCESSOR_MODE mode;
    bool is32Bit;
    const void *input;
    ULONG inputLength;
    void *output;
    ULONG outputLength;
};

Buffers BuffersOf(PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    return {irp->RequestorMode,
            IoIs32bitProcess(irp) != FALSE,
            stack->Parameters.DeviceIoControl.Type3InputBuffer,
            stack->Parameters.DeviceIoControl.InputBufferLength,
            irp->UserBuffer,
            stack->Parameters.DeviceIoControl.OutputBufferLength};
}

ULONG EventDataSize(const Buffers &b)
{
    return b.is32Bit ? EventData32Size : static_cast<ULONG>(sizeof(KSEVENTDATA));
}

// The caller's notification: an event handle it may set, nothing else.
NTSTATUS ReferenceNotification(const Buffers &b, PKEVENT *event)
{
    std::vector<uint8_t> data;
    NTSTATUS status = CaptureInput(b.mode, b.output, EventDataSize(b), data);
    if (!NT_SUCCESS(status))
        return status;
    ULONG type;
    uint64_t handle, reserved0, reserved1;
    std::memcpy(&type, data.data(), 4);
    if (b.is32Bit) {
        uint32_t narrow[3];
        std::memcpy(narrow, data.data() + 4, sizeof narrow);
        handle = narrow[0];
        reserved0 = narrow[1];
        reserved1 = narrow[2];
    } else {
        std::memcpy(&handle, data.data() + 8, 8);
        std::memcpy(&reserved0, data.data() + 16, 8);
        std::memcpy(&reserved1, data.data() + 24, 8);
    }
    if (type == KSEVENTF_SEMAPHORE_HANDLE)
        return STATUS_NOT_IMPLEMENTED; // the stand-in has no semaphores
    if (type != KSEVENTF_EVENT_HANDLE || reserved0 != 0 || reserved1 != 0)
        return STATUS_INVALID_PARAMETER;
    return ReferenceEventHandle(b.mode, reinterpret_cast<HANDLE>(static_cast<uintptr_t>(handle)), event);
}

NTSTATUS ReturnEventSets(Object &object, const Buffers &b, ULONG_PTR &information)
{
    const ULONG count = object.EventSets(nullptr, 0);
    const ULONG needed = count * static_cast<ULONG>(sizeof(GUID));
    if (b.outputLength == 0) {
        information = needed;
        return needed != 0 ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
    }
    if (b.outputLength < needed)
        return STATUS_BUFFER_TOO_SMALL;
    std::vector<GUID> sets(count);
    object.EventSets(sets.data(), count);
    const NTSTATUS status = ReturnOutput(b.mode, b.output, sets.data(), needed);
    if (NT_SUCCESS(status))
        information = needed;
    return status;
}

} // namespace

NTSTATUS ReferenceEventHandle(KPROCESSOR_MODE mode, HANDLE handle, PKEVENT *event)
{
    if (mode == UserMode && standin::kernel::IsKernelHandle(handle))
        return STATUS_INVALID_HANDLE;
    void *body;
    ACCESS_MASK granted = 0;
    NTSTATUS status = standin::kernel::ReferenceHandle(standin::kernel::CurrentProcess(), handle, *ExEventObjectType,
                                                       &body, &granted);
    if (!NT_SUCCESS(status))
        return status;
    // A caller may only have an event set that it could set itself.
    if (mode == UserMode && !(granted & EVENT_MODIFY_STATE)) {
        standin::kernel::DereferenceObject(body);
        return STATUS_ACCESS_DENIED;
    }
    *event = static_cast<PKEVENT>(body);
    return STATUS_SUCCESS;
}

namespace {

// Captures the request's KSIDENTIFIER and what follows it; flags receives
// its Flags.
NTSTATUS CaptureIdentifier(const Buffers &b, std::vector<uint8_t> &input, ULONG &flags)
{
    const NTSTATUS status = CaptureInput(b.mode, b.input, b.inputLength, input);
    if (NT_SUCCESS(status))
        std::memcpy(&flags, input.data() + offsetof(KSIDENTIFIER, Flags), sizeof flags);
    return status;
}

} // namespace

NTSTATUS HandleProperty(Object &object, PIRP irp, ULONG_PTR &information)
{
    const Buffers b = BuffersOf(irp);
    if (b.inputLength < sizeof(KSPROPERTY))
        return STATUS_INVALID_BUFFER_SIZE;
    if (b.inputLength > MaximumCapture || b.outputLength > MaximumCapture)
        return STATUS_INSUFFICIENT_RESOURCES;
    std::vector<uint8_t> input;
    ULONG flags = 0;
    NTSTATUS status = CaptureIdentifier(b, input, flags);
    if (!NT_SUCCESS(status))
        return status;
    // A set's value is the caller's data; every other verb writes the value.
    const bool set = (flags & KSPROPERTY_TYPE_SET) != 0;
    std::vector<uint8_t> value(b.outputLength, ValuePoison);
    status =
        set ? CaptureInput(b.mode, b.output, b.outputLength, value) : ProbeOutput(b.mode, b.output, b.outputLength);
    if (!NT_SUCCESS(status))
        return status;

    PropertyCall call{
        irp, b.is32Bit, input.data(), b.inputLength, value.empty() ? nullptr : value.data(), b.outputLength, 0};
    status = object.Property(call);
    information = call.information;
    if (NT_ERROR(status) || set)
        return status;
    // A success never returns more than the caller's buffer holds; a size
    // query's count is the size needed and copies nothing.
    if (NT_SUCCESS(status) && information > b.outputLength)
        information = b.outputLength;
    const ULONG returned = static_cast<ULONG>(std::min<ULONG_PTR>(information, b.outputLength));
    if (returned != 0 && !NT_SUCCESS(ReturnOutput(b.mode, b.output, value.data(), returned)))
        return STATUS_ACCESS_VIOLATION;
    return status;
}

NTSTATUS HandleEnableEvent(Object &object, PIRP irp, ULONG_PTR &information)
{
    const Buffers b = BuffersOf(irp);
    if (b.inputLength == 0)
        return ReturnEventSets(object, b, information);
    if (b.inputLength < sizeof(KSEVENT))
        return STATUS_INVALID_BUFFER_SIZE;
    if (b.inputLength > MaximumCapture)
        return STATUS_INSUFFICIENT_RESOURCES;
    std::vector<uint8_t> input;
    ULONG flags = 0;
    NTSTATUS status = CaptureIdentifier(b, input, flags);
    if (!NT_SUCCESS(status))
        return status;
    EventEnable request{
        irp, input.data(), b.inputLength, flags, nullptr, nullptr, IoGetCurrentIrpStackLocation(irp)->FileObject};
    if (flags & KSEVENT_TYPE_BASICSUPPORT)
        return object.EnableEvent(request);
    if (!(flags & (KSEVENT_TYPE_ENABLE | KSEVENT_TYPE_ONESHOT)))
        return STATUS_INVALID_PARAMETER;
    if (b.outputLength < EventDataSize(b))
        return STATUS_INVALID_BUFFER_SIZE;
    status = ReferenceNotification(b, &request.event);
    if (!NT_SUCCESS(status))
        return status;
    request.identity = b.output;
    status = object.EnableEvent(request);
    if (!NT_SUCCESS(status))
        standin::kernel::DereferenceObject(request.event);
    return status;
}

NTSTATUS HandleDisableEvent(Object &object, PIRP irp)
{
    const Buffers b = BuffersOf(irp);
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    if (b.inputLength == 0)
        return object.DisableEvent(file, nullptr);
    if (b.inputLength != EventDataSize(b))
        return STATUS_INVALID_BUFFER_SIZE;
    // The address names the event; it must still be the caller's memory.
    std::vector<uint8_t> data;
    const NTSTATUS status = CaptureInput(b.mode, b.input, b.inputLength, data);
    if (!NT_SUCCESS(status))
        return status;
    return object.DisableEvent(file, b.input);
}

} // namespace standin::ks
