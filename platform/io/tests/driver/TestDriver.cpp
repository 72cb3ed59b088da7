// The test driver: entry, add-device, PnP start and remove, create, cleanup,
// close and device control, written with the kernel API only and loaded
// through the stand-in's PnP manager.
#include "TestDriver.h"

#include <ntifs.h>
#include <io_standin.h>

#include <cstring>

namespace testdriver {

namespace {

constexpr ULONG Tag = 0x74736554; // "Test"

struct DeviceExtension {
    PDEVICE_OBJECT lower;
    UNICODE_STRING links[4];
    ULONG linkCount;
};

Config config;
Observed observed;
PDRIVER_OBJECT driverObject = nullptr;
PFILE_OBJECT heldFile = nullptr;
PVOID leaked = nullptr;
// Threads that complete requests later; unload waits for each to end, so
// none is still in the driver's code when it goes.
HANDLE completers[16];
ULONG completerCount = 0;
KSPIN_LOCK eventsLock = 0;
KEVENT busy;         // a request is held or in its dispatch routine
PIRP held = nullptr; // guarded by the cancel spin lock

void Record(const char *event)
{
    KIRQL irql;
    KeAcquireSpinLock(&eventsLock, &irql);
    observed.events.emplace_back(event);
    KeReleaseSpinLock(&eventsLock, irql);
}

VOID CancelHeld(PDEVICE_OBJECT, PIRP irp)
{
    held = nullptr;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Record("cancel");
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

uint64_t Process()
{
    return reinterpret_cast<uint64_t>(PsGetCurrentProcess());
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_SOUND_INCREMENT);
    return status;
}

NTSTATUS Create(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    observed.creates++;
    observed.createProcess = Process();
    observed.createSaw32Bit = IoIs32bitProcess(irp) != FALSE;
    observed.requestorMode = irp->RequestorMode;
    observed.createFile = stack->FileObject;
    observed.createRelated = stack->FileObject->RelatedFileObject;
    const UNICODE_STRING &name = stack->FileObject->FileName;
    observed.fileName.assign(reinterpret_cast<const char16_t *>(name.Buffer), name.Length / sizeof(WCHAR));
    if (NT_SUCCESS(config.createStatus) && config.holdFileReference) {
        ObReferenceObject(stack->FileObject);
        heldFile = stack->FileObject;
    }
    return Complete(irp, config.createStatus, 0);
}

NTSTATUS Cleanup(PDEVICE_OBJECT, PIRP irp)
{
    Record("cleanup");
    observed.cleanups++;
    observed.cleanupProcess = Process();
    return Complete(irp, STATUS_SUCCESS, 0);
}

NTSTATUS Close(PDEVICE_OBJECT, PIRP irp)
{
    Record("close");
    observed.closes++;
    observed.closeProcess = Process();
    return Complete(irp, STATUS_SUCCESS, 0);
}

VOID CompleteFromThread(PVOID context)
{
    PIRP irp = static_cast<PIRP>(context);
    std::memcpy(irp->AssociatedIrp.SystemBuffer, "PEND", 4);
    Complete(irp, STATUS_SUCCESS, 4);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

NTSTATUS DeviceControl(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
    observed.inputLength = in;
    observed.outputLength = out;
    observed.requestorMode = irp->RequestorMode;
    observed.systemBufferNull = irp->AssociatedIrp.SystemBuffer == nullptr;
    PUCHAR buffer = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case EchoBuffered: {
        const ULONG size = in > out ? in : out;
        observed.systemBufferAtEntry.assign(buffer, buffer + size);
        for (ULONG i = 0; i < size; ++i)
            buffer[i] = static_cast<UCHAR>(0xC0 + i);
        return Complete(irp, STATUS_SUCCESS, config.information);
    }
    case SeePointers:
        observed.type3Input = stack->Parameters.DeviceIoControl.Type3InputBuffer;
        observed.userBuffer = irp->UserBuffer;
        return Complete(irp, STATUS_SUCCESS, 0);
    case NeedsWrite: return Complete(irp, STATUS_SUCCESS, 0);
    case Fail: return Complete(irp, config.failStatus, 0);
    case Is32Bit:
        if (out < 1)
            return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
        buffer[0] = IoIs32bitProcess(irp) ? 1 : 0;
        return Complete(irp, STATUS_SUCCESS, 1);
    case SetCallersEvent: {
        if (in < sizeof(HANDLE))
            return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
        HANDLE handle;
        std::memcpy(&handle, buffer, sizeof handle);
        PVOID event;
        const NTSTATUS status =
            ObReferenceObjectByHandle(handle, EVENT_MODIFY_STATE, *ExEventObjectType, UserMode, &event, nullptr);
        if (NT_SUCCESS(status)) {
            KeSetEvent(static_cast<PKEVENT>(event), IO_NO_INCREMENT, FALSE);
            ObDereferenceObject(event);
        }
        return Complete(irp, status, 0);
    }
    case CompleteLater: {
        if (out < 4)
            return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
        IoMarkIrpPending(irp);
        // A kernel handle: the unload runs in another process than this request.
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
        HANDLE thread;
        if (completerCount == sizeof completers / sizeof completers[0] ||
            !NT_SUCCESS(PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr,
                                             &CompleteFromThread, irp))) {
            Complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
            return STATUS_PENDING;
        }
        completers[completerCount++] = thread;
        return STATUS_PENDING;
    }
    case CompleteTwice: Complete(irp, STATUS_SUCCESS, 0); return Complete(irp, STATUS_SUCCESS, 0);
    case PendingUnmarked: {
        // Completed later from a system thread, but never marked pending.
        HANDLE thread;
        if (NT_SUCCESS(
                PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, &CompleteFromThread, irp)))
            ZwClose(thread);
        return STATUS_PENDING;
    }
    case ReturnWithoutCompleting: return STATUS_SUCCESS;
    case HoldPending: {
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, &CancelHeld);
        held = irp;
        IoReleaseCancelSpinLock(irql);
        Record("held");
        KeSetEvent(&busy, IO_NO_INCREMENT, FALSE);
        return STATUS_PENDING;
    }
    case SleepInDispatch: {
        Record("dispatch entered");
        KeSetEvent(&busy, IO_NO_INCREMENT, FALSE);
        LARGE_INTEGER tenMs;
        tenMs.QuadPart = -100'000;
        KeDelayExecutionThread(KernelMode, FALSE, &tenMs);
        Record("dispatch done");
        return Complete(irp, STATUS_SUCCESS, 0);
    }
    case ReturnUnwritten:
        if (out >= 2)
            buffer[0] = buffer[1] = 0x11;
        return Complete(irp, STATUS_SUCCESS, out);
    case ReturnAtRaisedIrql: {
        Complete(irp, STATUS_SUCCESS, 0);
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        return STATUS_SUCCESS;
    }
    case CompleteWithCancelRoutine: IoSetCancelRoutine(irp, &CancelHeld); return Complete(irp, STATUS_SUCCESS, 0);
    case MarkPendingButComplete: IoMarkIrpPending(irp); return Complete(irp, STATUS_SUCCESS, 0);
    default: return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

NTSTATUS Pnp(PDEVICE_OBJECT device, PIRP irp)
{
    auto *ext = static_cast<DeviceExtension *>(device->DeviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        observed.starts++;
        PCM_RESOURCE_LIST resources = stack->Parameters.StartDevice.AllocatedResources;
        observed.startHadResources =
            resources != nullptr && resources->Count == 1 && resources->List[0].PartialResourceList.Count == 0;
        IoSkipCurrentIrpStackLocation(irp);
        const NTSTATUS status = IoCallDriver(ext->lower, irp);
        if (NT_SUCCESS(status))
            for (ULONG i = 0; i < ext->linkCount; ++i)
                if (config.interfaces[i].enable)
                    IoSetDeviceInterfaceState(&ext->links[i], TRUE);
        if (config.initializingAfterStart)
            device->Flags |= DO_DEVICE_INITIALIZING;
        return status;
    }
    case IRP_MN_REMOVE_DEVICE: {
        observed.removes++;
        for (ULONG i = 0; i < ext->linkCount; ++i) {
            IoSetDeviceInterfaceState(&ext->links[i], FALSE);
            RtlFreeUnicodeString(&ext->links[i]);
        }
        IoSkipCurrentIrpStackLocation(irp);
        const NTSTATUS status = IoCallDriver(ext->lower, irp);
        IoDetachDevice(ext->lower);
        if (!config.keepDeviceAtUnload)
            IoDeleteDevice(device);
        return status;
    }
    default: IoSkipCurrentIrpStackLocation(irp); return IoCallDriver(ext->lower, irp);
    }
}

NTSTATUS AddDeviceRoutine(PDRIVER_OBJECT driver, PDEVICE_OBJECT physical)
{
    PDEVICE_OBJECT device;
    NTSTATUS status = IoCreateDevice(driver, sizeof(DeviceExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status))
        return status;
    auto *ext = static_cast<DeviceExtension *>(device->DeviceExtension);
    for (const Config::Interface &i : config.interfaces) {
        UNICODE_STRING reference;
        reference.Buffer = reinterpret_cast<PWCH>(const_cast<char16_t *>(i.reference.c_str()));
        reference.Length = static_cast<USHORT>(i.reference.size() * sizeof(WCHAR));
        reference.MaximumLength = reference.Length;
        status = IoRegisterDeviceInterface(physical, &config.interfaceClass, i.reference.empty() ? nullptr : &reference,
                                           &ext->links[ext->linkCount]);
        if (!NT_SUCCESS(status))
            break;
        const UNICODE_STRING &link = ext->links[ext->linkCount++];
        observed.links.emplace_back(reinterpret_cast<const char16_t *>(link.Buffer), link.Length / sizeof(WCHAR));
    }
    ext->lower = NT_SUCCESS(status) ? IoAttachDeviceToDeviceStack(device, physical) : nullptr;
    if (ext->lower == nullptr) {
        for (ULONG i = 0; i < ext->linkCount; ++i)
            RtlFreeUnicodeString(&ext->links[i]);
        IoDeleteDevice(device);
        return NT_SUCCESS(status) ? STATUS_NO_SUCH_DEVICE : status;
    }
    if (config.clearInitializing)
        device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

VOID Unload(PDRIVER_OBJECT)
{
    for (ULONG i = 0; i < completerCount; ++i) {
        ZwWaitForSingleObject(completers[i], FALSE, nullptr);
        ZwClose(completers[i]);
    }
    completerCount = 0;
    observed.unloads++;
}

NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    driver->MajorFunction[IRP_MJ_CREATE] = &Create;
    driver->MajorFunction[IRP_MJ_CLEANUP] = &Cleanup;
    driver->MajorFunction[IRP_MJ_CLOSE] = &Close;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = &DeviceControl;
    driver->MajorFunction[IRP_MJ_PNP] = &Pnp;
    driver->DriverUnload = &Unload;
    driver->DriverExtension->AddDevice = &AddDeviceRoutine;
    if (config.leakPool)
        leaked = ExAllocatePoolWithTag(NonPagedPoolNx, 24, Tag);
    return STATUS_SUCCESS;
}

} // namespace

Observed &State()
{
    return observed;
}

int32_t Load(const Config &c)
{
    config = c;
    observed = Observed{};
    KeInitializeEvent(&busy, SynchronizationEvent, FALSE);
    held = nullptr;
    heldFile = nullptr;
    NTSTATUS status = standin::io::LoadDriver(&Entry, "TestDriver", &driverObject);
    if (!NT_SUCCESS(status))
        return status;
    return AddDevice();
}

int32_t AddDevice()
{
    PDEVICE_OBJECT physical;
    NTSTATUS status = standin::io::AddDevice(driverObject, &physical);
    if (!NT_SUCCESS(status))
        return status;
    return standin::io::StartDevice(physical);
}

void DropFileReference()
{
    if (heldFile != nullptr) {
        // The driver's own code, called from the test.
        standin::kernel::OwnerScope owner(standin::io::DriverOwner(driverObject));
        PFILE_OBJECT file = heldFile;
        heldFile = nullptr;
        ObDereferenceObject(file);
    }
}

void WaitUntilBusy()
{
    KeWaitForSingleObject(&busy, Executive, KernelMode, FALSE, nullptr);
}

void ReleaseHeld()
{
    standin::kernel::OwnerScope owner(standin::io::DriverOwner(driverObject));
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    PIRP irp = held;
    held = nullptr;
    if (irp != nullptr && IoSetCancelRoutine(irp, nullptr) == nullptr)
        irp = nullptr; // being cancelled: the cancel routine completes it
    IoReleaseCancelSpinLock(irql);
    if (irp != nullptr)
        Complete(irp, STATUS_SUCCESS, 0);
}

std::vector<std::string> Events()
{
    KIRQL irql;
    KeAcquireSpinLock(&eventsLock, &irql);
    std::vector<std::string> copy = observed.events;
    KeReleaseSpinLock(&eventsLock, irql);
    return copy;
}

int32_t Unload()
{
    const NTSTATUS status = standin::io::UnloadDriver(driverObject);
    if (NT_SUCCESS(status))
        driverObject = nullptr;
    return status;
}

} // namespace testdriver
