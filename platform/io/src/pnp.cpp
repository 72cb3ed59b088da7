// The PnP manager: loads a driver, gives it root-enumerated physical devices,
// starts and removes them, and unloads the driver under the leak check. The
// physical devices belong to the root bus driver defined here.
#include "interface_registry.h"
#include "io_internal.h"

#include <io_standin.h>

#include <cstdio>
#include <map>
#include <memory>
#include <vector>

namespace standin::io {

namespace {

// What the PnP manager keeps for a loaded driver.
struct DriverRecord {
    DRIVER_OBJECT object{};
    DRIVER_EXTENSION extension{};
    std::u16string driverName;
    std::u16string serviceName;
    std::u16string registryPath;
    std::string name;
    std::unique_ptr<standin::kernel::DriverScope> scope;
    std::vector<PDEVICE_OBJECT> devices; // physical devices it was added for
};

std::mutex &PnpLock()
{
    static std::mutex lock;
    return lock;
}

std::map<PDRIVER_OBJECT, DriverRecord *> &Drivers()
{
    static std::map<PDRIVER_OBJECT, DriverRecord *> drivers;
    return drivers;
}

DriverRecord *RecordOf(PDRIVER_OBJECT driver)
{
    std::lock_guard<std::mutex> hold(PnpLock());
    auto it = Drivers().find(driver);
    return it == Drivers().end() ? nullptr : it->second;
}

void SetString(UNICODE_STRING &string, std::u16string &storage)
{
    string.Buffer = reinterpret_cast<PWCH>(storage.data());
    string.Length = static_cast<USHORT>(storage.size() * sizeof(WCHAR));
    string.MaximumLength = static_cast<USHORT>((storage.size() + 1) * sizeof(WCHAR));
}

NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT, PIRP irp)
{
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

// The root bus driver: its devices start and go away without resources, and
// a raw open of one is refused.
NTSTATUS RootBusDispatch(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MajorFunction) {
    case IRP_MJ_PNP:
        switch (stack->MinorFunction) {
        case IRP_MN_START_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL: irp->IoStatus.Status = STATUS_SUCCESS; break;
        default: // what the bus does not handle keeps the status it came with
            break;
        }
        break;
    case IRP_MJ_POWER:
    case IRP_MJ_CLEANUP:
    case IRP_MJ_CLOSE: irp->IoStatus.Status = STATUS_SUCCESS; break;
    default: irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST; break;
    }
    const NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

PDRIVER_OBJECT RootBusDriver()
{
    static DRIVER_OBJECT driver = [] {
        DRIVER_OBJECT d{};
        d.Type = IO_TYPE_DRIVER;
        d.Size = sizeof(DRIVER_OBJECT);
        for (PDRIVER_DISPATCH &f : d.MajorFunction)
            f = &RootBusDispatch;
        return d;
    }();
    return &driver;
}

bool FilesOpenOnStack(PDEVICE_OBJECT physical)
{
    std::lock_guard<std::mutex> hold(DeviceLock());
    for (PDEVICE_OBJECT d = physical; d != nullptr; d = d->AttachedDevice)
        if (d->DeviceObjectExtension->openFiles != 0)
            return true;
    return false;
}

NTSTATUS SendPnp(PDEVICE_OBJECT physical, UCHAR minor, PCM_RESOURCE_LIST raw, PCM_RESOURCE_LIST translated)
{
    PIRP irp = BuildRequest(physical, IRP_MJ_PNP, minor, KernelMode, nullptr);
    if (irp == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    if (minor == IRP_MN_START_DEVICE) {
        PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
        stack->Parameters.StartDevice.AllocatedResources = raw;
        stack->Parameters.StartDevice.AllocatedResourcesTranslated = translated;
    }
    const NTSTATUS status = SendAndWait(physical, irp);
    FreeRequest(irp);
    return status;
}

void DeletePhysicalDevice(PDEVICE_OBJECT physical)
{
    InterfaceRegistry::Instance().RemoveDevice(physical);
    // A function device the driver left attached no longer has a bus below.
    if (physical->AttachedDevice != nullptr)
        physical->AttachedDevice->DeviceObjectExtension->AttachedTo = nullptr;
    std::lock_guard<std::mutex> hold(DeviceLock());
    physical->DeviceObjectExtension->deleted = true;
    if (physical->DeviceObjectExtension->openFiles == 0)
        FreeDeviceObject(physical);
}

} // namespace

NTSTATUS LoadDriver(PDRIVER_INITIALIZE entry, const char *name, PDRIVER_OBJECT *driver)
{
    *driver = nullptr;
    auto *record = new DriverRecord;
    record->name = name;
    const std::u16string wide(record->name.begin(), record->name.end());
    record->driverName = u"\\Driver\\" + wide;
    record->serviceName = wide;
    record->registryPath = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + wide;
    // Everything the driver's code is handed counts against it.
    record->scope = std::make_unique<standin::kernel::DriverScope>(name);

    PDRIVER_OBJECT object = &record->object;
    object->Type = IO_TYPE_DRIVER;
    object->Size = sizeof(DRIVER_OBJECT);
    object->DriverExtension = &record->extension;
    record->extension.DriverObject = object;
    SetString(object->DriverName, record->driverName);
    SetString(record->extension.ServiceKeyName, record->serviceName);
    object->DriverInit = entry;
    // The loader's own field: here, the driver's owner.
    object->DriverSection = reinterpret_cast<PVOID>(static_cast<uintptr_t>(record->scope->Id()));
    for (PDRIVER_DISPATCH &f : object->MajorFunction)
        f = &InvalidDeviceRequest;

    UNICODE_STRING registryPath;
    SetString(registryPath, record->registryPath);
    NTSTATUS status;
    {
        standin::kernel::OwnerScope owner(record->scope->Id());
        status = entry(object, &registryPath);
    }
    if (!NT_SUCCESS(status)) {
        // No unload routine runs after a failed entry; whatever it kept is a leak.
        record->scope->CheckUnload(record->name.c_str());
        if (object->DeviceObject != nullptr)
            standin::kernel::BugCheck(standin::kernel::stop::kDriverUnloadedWithoutCancellingPendingOperations,
                                      "DriverEntry", reinterpret_cast<ULONG_PTR>(object),
                                      reinterpret_cast<ULONG_PTR>(object->DeviceObject));
        delete record;
        return status;
    }
    {
        std::lock_guard<std::mutex> hold(PnpLock());
        Drivers()[object] = record;
    }
    *driver = object;
    return status;
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT *physicalDevice)
{
    *physicalDevice = nullptr;
    DriverRecord *record = RecordOf(driver);
    if (record == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (driver->DriverExtension->AddDevice == nullptr)
        return STATUS_NOT_SUPPORTED; // not a PnP driver
    static std::atomic<unsigned> nextInstance{0};
    char instance[32];
    std::snprintf(instance, sizeof instance, "ROOT\\MEDIA\\%04u", nextInstance.fetch_add(1));
    PDEVICE_OBJECT physical = CreatePhysicalDevice(instance);
    if (physical == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    physical->DriverObject = RootBusDriver();
    physical->Flags &= ~DO_DEVICE_INITIALIZING;

    PDEVICE_OBJECT before = driver->DeviceObject;
    NTSTATUS status;
    {
        standin::kernel::OwnerScope owner(record->scope->Id());
        status = driver->DriverExtension->AddDevice(driver, physical);
    }
    // The PnP manager finishes the initialisation of the devices made in
    // add-device (the newest are first in the driver's list).
    for (PDEVICE_OBJECT d = driver->DeviceObject; d != nullptr && d != before; d = d->NextDevice)
        d->Flags &= ~DO_DEVICE_INITIALIZING;
    if (!NT_SUCCESS(status)) {
        DeletePhysicalDevice(physical);
        return status;
    }
    {
        std::lock_guard<std::mutex> hold(PnpLock());
        record->devices.push_back(physical);
    }
    *physicalDevice = physical;
    return status;
}

NTSTATUS StartDevice(PDEVICE_OBJECT physicalDevice, PCM_RESOURCE_LIST resources, PCM_RESOURCE_LIST translatedResources)
{
    // A root-enumerated device has no hardware resources: one full
    // descriptor with no partial descriptors.
    CM_RESOURCE_LIST empty{};
    empty.Count = 1;
    empty.List[0].InterfaceType = Internal;
    empty.List[0].PartialResourceList.Version = 1;
    empty.List[0].PartialResourceList.Revision = 1;
    CM_RESOURCE_LIST emptyTranslated = empty;
    return SendPnp(physicalDevice, IRP_MN_START_DEVICE, resources ? resources : &empty,
                   translatedResources ? translatedResources : &emptyTranslated);
}

NTSTATUS SetPower(PDEVICE_OBJECT physicalDevice, POWER_STATE_TYPE type, POWER_STATE state)
{
    PIRP irp = BuildRequest(physicalDevice, IRP_MJ_POWER, IRP_MN_SET_POWER, KernelMode, nullptr);
    if (irp == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->Parameters.Power.Type = type;
    stack->Parameters.Power.State = state;
    const NTSTATUS status = SendAndWait(physicalDevice, irp);
    FreeRequest(irp);
    return status;
}

NTSTATUS RemoveDevice(PDEVICE_OBJECT physicalDevice)
{
    if (FilesOpenOnStack(physicalDevice))
        return STATUS_DEVICE_BUSY;
    // Removal cannot be refused by the driver; its status is not looked at.
    SendPnp(physicalDevice, IRP_MN_REMOVE_DEVICE, nullptr, nullptr);
    {
        std::lock_guard<std::mutex> hold(PnpLock());
        for (auto &entry : Drivers())
            std::erase(entry.second->devices, physicalDevice);
    }
    DeletePhysicalDevice(physicalDevice);
    return STATUS_SUCCESS;
}

namespace {

NTSTATUS Unload(PDRIVER_OBJECT driver, standin::kernel::Holdings *leaked)
{
    DriverRecord *record = RecordOf(driver);
    if (record == nullptr)
        return STATUS_INVALID_PARAMETER;
    std::vector<PDEVICE_OBJECT> devices;
    {
        std::lock_guard<std::mutex> hold(PnpLock());
        devices = record->devices;
    }
    for (PDEVICE_OBJECT physical : devices)
        if (FilesOpenOnStack(physical))
            return STATUS_DEVICE_BUSY;
    {
        std::lock_guard<std::mutex> hold(DeviceLock());
        for (PDEVICE_OBJECT d = driver->DeviceObject; d != nullptr; d = d->NextDevice)
            if (d->DeviceObjectExtension->openFiles != 0)
                return STATUS_DEVICE_BUSY;
    }
    for (PDEVICE_OBJECT physical : devices)
        RemoveDevice(physical);
    if (driver->DriverUnload != nullptr) {
        standin::kernel::OwnerScope owner(record->scope->Id());
        driver->DriverUnload(driver);
    }
    if (driver->DeviceObject != nullptr)
        standin::kernel::BugCheck(standin::kernel::stop::kDriverUnloadedWithoutCancellingPendingOperations,
                                  "DriverUnload", reinterpret_cast<ULONG_PTR>(driver),
                                  reinterpret_cast<ULONG_PTR>(driver->DeviceObject));
    if (leaked != nullptr)
        *leaked = record->scope->ReportUnload(record->name.c_str());
    else
        record->scope->CheckUnload(record->name.c_str());
    {
        std::lock_guard<std::mutex> hold(PnpLock());
        Drivers().erase(driver);
    }
    delete record;
    return STATUS_SUCCESS;
}

} // namespace

NTSTATUS UnloadDriver(PDRIVER_OBJECT driver)
{
    return Unload(driver, nullptr);
}

NTSTATUS UnloadDriver(PDRIVER_OBJECT driver, standin::kernel::Holdings &leaked)
{
    return Unload(driver, &leaked);
}

standin::kernel::Owner DriverOwner(PDRIVER_OBJECT driver)
{
    return static_cast<standin::kernel::Owner>(reinterpret_cast<uintptr_t>(driver->DriverSection));
}

const char *DeviceInstanceId(PDEVICE_OBJECT physicalDevice)
{
    return physicalDevice->DeviceObjectExtension->instanceId;
}

} // namespace standin::io
