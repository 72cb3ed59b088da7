// Control of the I/O stand-in for tests and tools (Linux build only): the PnP
// manager that loads a driver and drives its device, kernel-mode opens and
// requests, and the record of completed requests.
#pragma once

#include <wdm.h>
#include <kernel_standin.h>

#include <cstddef>
#include <vector>

namespace standin::io {

// ---- PnP manager ------------------------------------------------------------
// A driver's life: LoadDriver calls its entry with a driver object
// \Driver\<name> and the registry path
// \Registry\Machine\System\CurrentControlSet\Services\<name>; AddDevice makes
// a root-enumerated physical device object (instance ROOT\MEDIA\nnnn) and
// calls the driver's add-device routine; StartDevice sends IRP_MN_START_DEVICE
// to the top of that device's stack; UnloadDriver removes every device the
// driver was added for, calls DriverUnload and then the kernel's leak check,
// which stops the system when the driver still holds anything.

// Returns the entry's status; on failure the driver object is gone (no
// DriverUnload is called, as on Windows) and the leak check has run. The
// driver is an owner of its own (standin::kernel::Owner): what its code is
// handed counts against it, apart from every other driver and the platform.
NTSTATUS LoadDriver(PDRIVER_INITIALIZE entry, const char *name, PDRIVER_OBJECT *driver);
// The owner of a loaded driver (kPlatform for the platform's own drivers).
standin::kernel::Owner DriverOwner(PDRIVER_OBJECT driver);
// Returns add-device's status; on failure the physical device object is
// deleted again.
NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT *physicalDevice);
// Null lists give the driver an empty resource list (no partial descriptors).
NTSTATUS StartDevice(PDEVICE_OBJECT physicalDevice, PCM_RESOURCE_LIST resources = nullptr,
                     PCM_RESOURCE_LIST translatedResources = nullptr);
// Sends IRP_MN_REMOVE_DEVICE down the stack, forgets the device's interfaces
// and deletes the physical device object. Refused with STATUS_DEVICE_BUSY
// while a file object is open on the device.
NTSTATUS RemoveDevice(PDEVICE_OBJECT physicalDevice);
// Removes what is left, then DriverUnload, then the leak check. A driver that
// still has device objects after DriverUnload is stopped with
// DriverUnloadedWithDevices. Refused with STATUS_DEVICE_BUSY (nothing done)
// while a file object is open on one of its devices.
NTSTATUS UnloadDriver(PDRIVER_OBJECT driver);
// The same for a bench that reports a leak and goes on: what the driver
// still held is printed and returned in `leaked` instead of stopping.
NTSTATUS UnloadDriver(PDRIVER_OBJECT driver, standin::kernel::Holdings &leaked);

// Sends IRP_MJ_POWER / IRP_MN_SET_POWER down the device's stack, as the
// power manager does: a device power state (type DevicePowerState) or a
// system power state (SystemPowerState). Returns the request's status.
NTSTATUS SetPower(PDEVICE_OBJECT physicalDevice, POWER_STATE_TYPE type, POWER_STATE state);

// The physical device object's instance id, e.g. ROOT\MEDIA\0000 (UTF-8).
const char *DeviceInstanceId(PDEVICE_OBJECT physicalDevice);

// ---- Opens and requests from kernel mode ------------------------------------
// What the platform's own components (and tests) send as Windows itself would.
// mode UserMode: the handle goes to the current process, as a client's open;
// KernelMode: a kernel handle (close it with ZwClose), requests trusted with
// any access.

// Opens a device path (\\?\..., \\.\... or \??\...) like CreateFileW.
NTSTATUS OpenDevicePath(const char16_t *path, ACCESS_MASK desiredAccess, KPROCESSOR_MODE mode, HANDLE *handle);
// Opens a file object relative to an open one, as kernel streaming creates a
// pin on a filter: the create goes to the parent's device with name (length
// UTF-16 units, binary data allowed) as FileName and the parent as
// RelatedFileObject, which the new file object holds until it is closed.
NTSTATUS OpenRelative(HANDLE parent, const char16_t *name, size_t length, ACCESS_MASK desiredAccess,
                      KPROCESSOR_MODE mode, HANDLE *handle);
// A synchronous device-control request with the semantics DeviceIoControl has.
NTSTATUS DeviceControl(HANDLE file, KPROCESSOR_MODE mode, ULONG controlCode, const void *input, ULONG inputLength,
                       void *output, ULONG outputLength, ULONG_PTR *information);

// ---- Completed requests -----------------------------------------------------
struct Completion {
    UCHAR majorFunction;
    UCHAR minorFunction;
    ULONG ioControlCode; // device-control requests only
    NTSTATUS status;
    ULONG_PTR information;
    CCHAR priorityBoost;
    PFILE_OBJECT fileObject;
};
// Every request completed since the last ClearCompletions, oldest first.
std::vector<Completion> Completions();
void ClearCompletions();

// File objects now open (created and not yet closed), over all devices.
size_t OpenFileObjects();

// The request checks stop with the kernel's codes (standin::kernel::stop):
// 0x44 a request completed twice, unknown to the I/O manager or completed
// with STATUS_PENDING; 0x0A IoCallDriver or IoCompleteRequest above
// DISPATCH_LEVEL; 0x35 no stack location left; 0xC9 the verifier's request
// rules (parameter 1 kIo*); 0xCE devices left after DriverUnload.

} // namespace standin::io
