// The adapter driver's life under PortCls: PcInitializeAdapterDriver installs
// the port class's request handlers, PcAddAdapterDevice makes the functional
// device, the start request reaches the adapter's start routine with a
// resource list, removal tears the subdevices down; PcDispatchIrp routes.
#include "internal.h"

#include <cstring>
#include <new>

namespace standin::portcls {

namespace {

// The device extension's first two pointers are the port class's: a tag and
// the context. The adapter may use elements 4 to 7 and what lies past the
// default extension size.
constexpr ULONG_PTR ContextTag = 0x6C436350; // "PcCl"

NTSTATUS CompleteWith(PIRP irp, NTSTATUS status, ULONG_PTR information = 0)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS SignalForwarded(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends the request down the stack and waits until the lower drivers are done
// with it; the request comes back to the caller to complete.
NTSTATUS ForwardAndWait(DeviceContext *context, PIRP irp)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, &SignalForwarded, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(context->lower, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    return irp->IoStatus.Status;
}

NTSTATUS StartDevice(DeviceContext *context, PIRP irp)
{
    NTSTATUS status = ForwardAndWait(context, irp);
    if (NT_SUCCESS(status)) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        PRESOURCELIST resources = nullptr;
        status = PcNewResourceList(&resources, nullptr, PagedPool,
                                   stack->Parameters.StartDevice.AllocatedResourcesTranslated,
                                   stack->Parameters.StartDevice.AllocatedResources);
        if (NT_SUCCESS(status)) {
            status = context->startDevice(context->fdo, irp, resources);
            resources->Release();
        }
    }
    return CompleteWith(irp, status);
}

// Everything of the device goes: its subdevices (interfaces disabled, ports
// and their miniports released), physical connections, power interfaces.
void TearDown(DeviceContext *context)
{
    std::vector<Subdevice> subdevices;
    std::vector<PhysicalConnection> connections;
    std::vector<Port *> ports;
    {
        std::lock_guard<std::recursive_mutex> hold(context->lock);
        subdevices.swap(context->subdevices);
        connections.swap(context->connections);
        // Every port of the device lets go of its miniport, registered or not
        // (a port whose registration failed would keep the cycle otherwise).
        // Nothing else releases them meanwhile: no file is open on the device.
        ports.swap(context->ports);
    }
    for (Port *port : ports)
        port->Detach();
    ks::RemoveDevice(context->fdo);
    for (Subdevice &subdevice : subdevices) {
        for (UNICODE_STRING &link : subdevice.links) {
            IoSetDeviceInterfaceState(&link, FALSE);
            RtlFreeUnicodeString(&link);
        }
        subdevice.port->Release();
    }
    for (PhysicalConnection &connection : connections) {
        if (connection.from != nullptr)
            connection.from->Release();
        if (connection.to != nullptr)
            connection.to->Release();
    }
    if (context->power2 != nullptr)
        context->power2->Release();
    if (context->power != nullptr)
        context->power->Release();
    context->power = nullptr;
    context->power2 = nullptr;
}

NTSTATUS RemoveDevice(DeviceContext *context, PIRP irp)
{
    TearDown(context);
    PDEVICE_OBJECT fdo = context->fdo;
    PDEVICE_OBJECT lower = context->lower;
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(irp);
    const NTSTATUS status = IoCallDriver(lower, irp);
    auto *slots = static_cast<ULONG_PTR *>(fdo->DeviceExtension);
    slots[0] = 0;
    slots[1] = 0;
    IoDetachDevice(lower);
    IoDeleteDevice(fdo);
    delete context;
    return status;
}

NTSTATUS DispatchPnp(DeviceContext *context, PIRP irp)
{
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE: return StartDevice(context, irp);
    case IRP_MN_REMOVE_DEVICE: return RemoveDevice(context, irp);
    default: IoSkipCurrentIrpStackLocation(irp); return IoCallDriver(context->lower, irp);
    }
}

// The eleven major functions PortCls installs.
constexpr UCHAR InstalledFunctions[] = {
    IRP_MJ_CLOSE,          IRP_MJ_CREATE, IRP_MJ_DEVICE_CONTROL, IRP_MJ_FLUSH_BUFFERS,  IRP_MJ_PNP,  IRP_MJ_POWER,
    IRP_MJ_QUERY_SECURITY, IRP_MJ_READ,   IRP_MJ_SET_SECURITY,   IRP_MJ_SYSTEM_CONTROL, IRP_MJ_WRITE};

VOID UnloadAdapterDriver(PDRIVER_OBJECT)
{
    // The port class keeps nothing per driver beyond its devices, which are
    // gone by the time a driver unloads.
}

} // namespace

NTSTATUS DispatchPower(DeviceContext *context, PIRP irp); // power.cpp

DeviceContext *ContextOf(PDEVICE_OBJECT device)
{
    if (device == nullptr || device->DeviceExtension == nullptr ||
        device->Size < sizeof(DEVICE_OBJECT) + PORT_CLASS_DEVICE_EXTENSION_SIZE)
        return nullptr;
    auto *slots = static_cast<ULONG_PTR *>(device->DeviceExtension);
    if (slots[0] != ContextTag)
        return nullptr;
    auto *context = reinterpret_cast<DeviceContext *>(slots[1]);
    return context != nullptr && context->fdo == device ? context : nullptr;
}

DeviceLockHold::DeviceLockHold(DeviceContext *context) : context_(context)
{
    KeWaitForSingleObject(&context_->deviceLock, Executive, KernelMode, FALSE, nullptr);
}

DeviceLockHold::~DeviceLockHold()
{
    KeReleaseMutex(&context_->deviceLock, FALSE);
}

} // namespace standin::portcls

using namespace standin::portcls;

extern "C" NTSTATUS PcInitializeAdapterDriver(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPathName,
                                              PDRIVER_ADD_DEVICE AddDevice)
{
    if (DriverObject == nullptr || AddDevice == nullptr)
        return STATUS_INVALID_PARAMETER;
    DriverObject->DriverExtension->AddDevice = AddDevice;
    for (UCHAR major : InstalledFunctions)
        DriverObject->MajorFunction[major] = &PcDispatchIrp;
    DriverObject->DriverUnload = &UnloadAdapterDriver;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS PcAddAdapterDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject,
                                       PCPFNSTARTDEVICE StartDevice, ULONG MaxObjects, ULONG DeviceExtensionSize)
{
    if (DriverObject == nullptr || PhysicalDeviceObject == nullptr || StartDevice == nullptr)
        return STATUS_INVALID_PARAMETER;
    // Zero asks for the default size; anything smaller than it is illegal.
    if (DeviceExtensionSize == 0)
        DeviceExtensionSize = PORT_CLASS_DEVICE_EXTENSION_SIZE;
    else if (DeviceExtensionSize < PORT_CLASS_DEVICE_EXTENSION_SIZE)
        return STATUS_INVALID_PARAMETER;
    auto *context = new (std::nothrow) DeviceContext;
    if (context == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    PDEVICE_OBJECT fdo = nullptr;
    NTSTATUS status = IoCreateDevice(DriverObject, DeviceExtensionSize, nullptr, FILE_DEVICE_KS,
                                     FILE_AUTOGENERATED_DEVICE_NAME | FILE_DEVICE_SECURE_OPEN, FALSE, &fdo);
    if (!NT_SUCCESS(status)) {
        delete context;
        return status;
    }
    context->fdo = fdo;
    context->pdo = PhysicalDeviceObject;
    context->startDevice = StartDevice;
    context->maxSubdevices = MaxObjects;
    KeInitializeMutex(&context->deviceLock, 0);
    context->lower = IoAttachDeviceToDeviceStack(fdo, PhysicalDeviceObject);
    if (context->lower == nullptr) {
        IoDeleteDevice(fdo);
        delete context;
        return STATUS_NO_SUCH_DEVICE;
    }
    auto *slots = static_cast<ULONG_PTR *>(fdo->DeviceExtension);
    slots[0] = ContextTag;
    slots[1] = reinterpret_cast<ULONG_PTR>(context);
    fdo->Flags |= DO_DIRECT_IO | DO_POWER_PAGABLE;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS PcDispatchIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    DeviceContext *context = ContextOf(DeviceObject);
    if (context == nullptr)
        return CompleteWith(Irp, STATUS_INVALID_DEVICE_REQUEST);
    switch (IoGetCurrentIrpStackLocation(Irp)->MajorFunction) {
    case IRP_MJ_CREATE: return standin::ks::DispatchCreate(DeviceObject, Irp);
    case IRP_MJ_CLOSE: return standin::ks::DispatchClose(DeviceObject, Irp);
    case IRP_MJ_DEVICE_CONTROL: return standin::ks::DispatchDeviceControl(DeviceObject, Irp);
    case IRP_MJ_PNP: return DispatchPnp(context, Irp);
    case IRP_MJ_POWER: return DispatchPower(context, Irp);
    case IRP_MJ_SYSTEM_CONTROL: IoSkipCurrentIrpStackLocation(Irp); return IoCallDriver(context->lower, Irp);
    default:
        // Reads, writes, flushes and security requests: the KS defaults for
        // objects that stream nothing through IRPs.
        return CompleteWith(Irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

extern "C" NTSTATUS PcCompleteIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status)
{
    if (Status == STATUS_PENDING)
        return Status;
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

extern "C" NTSTATUS PcForwardIrpSynchronous(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    DeviceContext *context = ContextOf(DeviceObject);
    if (context == nullptr)
        return STATUS_INVALID_PARAMETER;
    return ForwardAndWait(context, Irp);
}
