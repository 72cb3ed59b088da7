// The device stack of a test driver.
#include "TestDeviceStack.h"

NTSTATUS AddTestDeviceStack(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo, const GUID &interfaceClass,
                            TestDeviceStack &stack)
{
    NTSTATUS status = IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &stack.fdo);
    if (!NT_SUCCESS(status))
        return status;
    stack.lower = IoAttachDeviceToDeviceStack(stack.fdo, pdo);
    status = IoRegisterDeviceInterface(pdo, &interfaceClass, nullptr, &stack.link);
    if (!NT_SUCCESS(status)) {
        IoDetachDevice(stack.lower);
        IoDeleteDevice(stack.fdo);
        stack.fdo = stack.lower = nullptr;
        return status;
    }
    stack.fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS PassDown(TestDeviceStack &stack, PIRP irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(stack.lower, irp);
}

NTSTATUS RemoveTestDeviceStack(TestDeviceStack &stack, PIRP irp)
{
    PDEVICE_OBJECT lower = stack.lower;
    const NTSTATUS status = PassDown(stack, irp);
    IoDetachDevice(lower);
    IoDeleteDevice(stack.fdo);
    stack.fdo = stack.lower = nullptr;
    return status;
}
