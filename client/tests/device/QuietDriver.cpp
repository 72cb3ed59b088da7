// A second driver that registers an interface of the control channel's class
// and serves nothing: for discovery with a disabled interface, and with two
// interfaces of the class present.
#include <ntddk.h>
#include <io_standin.h>
#include "ControlProtocol.h"
#include "StandinDevice.h"

namespace {

struct Quiet {
    PDRIVER_OBJECT driver;
    PDEVICE_OBJECT fdo;
    PDEVICE_OBJECT lower;
    UNICODE_STRING link;
    bool enable;
} quiet;

NTSTATUS Complete(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS OnCreate(PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_OBJECT_NAME_NOT_FOUND); }

NTSTATUS OnPnp(PDEVICE_OBJECT, PIRP irp)
{
    PDEVICE_OBJECT lower = quiet.lower;
    const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    if (minor == IRP_MN_START_DEVICE && quiet.enable)
        IoSetDeviceInterfaceState(&quiet.link, TRUE);
    IoSkipCurrentIrpStackLocation(irp);
    const NTSTATUS status = IoCallDriver(lower, irp);
    if (minor == IRP_MN_REMOVE_DEVICE) {
        RtlFreeUnicodeString(&quiet.link);
        IoDetachDevice(lower);
        IoDeleteDevice(quiet.fdo);
        quiet.fdo = quiet.lower = nullptr;
    }
    return status;
}

NTSTATUS OnAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    NTSTATUS status = IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &quiet.fdo);
    if (!NT_SUCCESS(status))
        return status;
    quiet.lower = IoAttachDeviceToDeviceStack(quiet.fdo, pdo);
    status = IoRegisterDeviceInterface(pdo, &ControlInterfaceClass, nullptr, &quiet.link);
    if (!NT_SUCCESS(status)) {
        IoDetachDevice(quiet.lower);
        IoDeleteDevice(quiet.fdo);
        return status;
    }
    quiet.fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

void OnUnload(PDRIVER_OBJECT) {}

NTSTATUS QuietEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    driver->MajorFunction[IRP_MJ_CREATE] = OnCreate;
    driver->MajorFunction[IRP_MJ_PNP] = OnPnp;
    driver->DriverExtension->AddDevice = OnAddDevice;
    driver->DriverUnload = OnUnload;
    return STATUS_SUCCESS;
}

} // namespace

namespace standin_device {

bool LoadQuietDevice(bool enableInterface)
{
    quiet.enable = enableInterface;
    PDEVICE_OBJECT pdo = nullptr;
    if (!NT_SUCCESS(standin::io::LoadDriver(QuietEntry, "ombquiet", &quiet.driver)))
        return false;
    if (!NT_SUCCESS(standin::io::AddDevice(quiet.driver, &pdo)) || !NT_SUCCESS(standin::io::StartDevice(pdo))) {
        UnloadQuietDevice();
        return false;
    }
    return true;
}

void UnloadQuietDevice()
{
    if (quiet.driver != nullptr)
        standin::io::UnloadDriver(quiet.driver);
    quiet.driver = nullptr;
}

} // namespace standin_device
