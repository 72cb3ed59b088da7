// The device stack of a test driver: its device object on the physical
// device the PnP manager made, with one interface of a class registered on
// it. Driver-side code (kernel API only).
#pragma once

#include <ntddk.h>

struct TestDeviceStack {
    PDEVICE_OBJECT fdo;
    PDEVICE_OBJECT lower;
    UNICODE_STRING link; // the interface's symbolic link, freed by the driver
};

// Add-device: creates the device object, attaches it and registers the
// interface (disabled); undoes all of it on failure.
NTSTATUS AddTestDeviceStack(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo, const GUID &interfaceClass,
                            TestDeviceStack &stack);
// Passes a PnP request down the stack unchanged.
NTSTATUS PassDown(TestDeviceStack &stack, PIRP irp);
// The remove request: passes it down, then detaches and deletes the device.
NTSTATUS RemoveTestDeviceStack(TestDeviceStack &stack, PIRP irp);
