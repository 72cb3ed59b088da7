// A second driver that registers an interface of the control channel's class
// and serves nothing: for discovery with a disabled interface, and with two
// interfaces of the class present.
#include <ntddk.h>
#include <io_standin.h>
#include "ControlProtocol.h"
#include "StandinDevice.h"
#include "TestDeviceStack.h"

namespace {

struct Quiet {
    PDRIVER_OBJECT driver;
    TestDeviceStack stack;
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
    const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    if (minor == IRP_MN_START_DEVICE && quiet.enable)
        IoSetDeviceInterfaceState(&quiet.stack.link, TRUE);
    if (minor == IRP_MN_REMOVE_DEVICE) {
        RtlFreeUnicodeString(&quiet.stack.link);
        return RemoveTestDeviceStack(quiet.stack, irp);
    }
    return PassDown(quiet.stack, irp);
}

NTSTATUS OnAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    return AddTestDeviceStack(driver, pdo, ControlInterfaceClass, quiet.stack);
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
