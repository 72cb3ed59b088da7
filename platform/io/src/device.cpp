// Device objects and device stacks: IoCreateDevice, IoDeleteDevice,
// IoAttachDeviceToDeviceStack, IoDetachDevice, IoGetAttachedDevice.
#include "io_internal.h"

#include <io_standin.h>

#include <cstdlib>
#include <cstring>
#include <map>

namespace standin::io {

namespace {

constexpr ULONG DeviceTag = 0x69766544; // "Devi", the tag Windows gives device objects

std::mutex &NamesLock()
{
    static std::mutex lock;
    return lock;
}

// Named devices, so that a second device of the same name is refused.
std::map<std::u16string, PDEVICE_OBJECT> &DeviceNames()
{
    static std::map<std::u16string, PDEVICE_OBJECT> names;
    return names;
}

constexpr size_t Head = (sizeof(DEVICE_OBJECT) + 15) & ~size_t(15);
constexpr size_t Ext = (sizeof(_DEVOBJ_EXTENSION) + 15) & ~size_t(15);

size_t BlockSize(ULONG extensionSize)
{
    return Head + Ext + extensionSize;
}

PDEVICE_OBJECT LayOut(char *block, ULONG extensionSize)
{
    std::memset(block, 0, BlockSize(extensionSize));
    PDEVICE_OBJECT device = reinterpret_cast<PDEVICE_OBJECT>(block);
    _DEVOBJ_EXTENSION *hidden = reinterpret_cast<_DEVOBJ_EXTENSION *>(block + Head);
    hidden->Type = 13;
    hidden->Size = sizeof(_DEVOBJ_EXTENSION);
    hidden->DeviceObject = device;
    device->Type = IO_TYPE_DEVICE;
    device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + extensionSize);
    device->StackSize = 1;
    device->DeviceObjectExtension = hidden;
    device->DeviceExtension = extensionSize ? block + Head + Ext : nullptr;
    return device;
}

} // namespace

PDEVICE_OBJECT CreatePhysicalDevice(const char *instanceId)
{
    char *block = static_cast<char *>(std::malloc(BlockSize(0)));
    if (block == nullptr)
        return nullptr;
    PDEVICE_OBJECT device = LayOut(block, 0);
    device->DeviceType = FILE_DEVICE_BUS_EXTENDER;
    device->DeviceObjectExtension->physical = true;
    std::strncpy(device->DeviceObjectExtension->instanceId, instanceId,
                 sizeof(device->DeviceObjectExtension->instanceId) - 1);
    return device;
}

std::u16string TextOf(PCUNICODE_STRING string)
{
    if (string == nullptr || string->Buffer == nullptr)
        return {};
    return std::u16string(reinterpret_cast<const char16_t *>(string->Buffer), string->Length / sizeof(WCHAR));
}

std::mutex &DeviceLock()
{
    static std::mutex lock;
    return lock;
}

void FreeDeviceObject(PDEVICE_OBJECT device)
{
    // Physical devices are the platform's own memory, not the driver's pool.
    if (device->DeviceObjectExtension->physical)
        std::free(device);
    else
        ExFreePoolWithTag(device, DeviceTag);
}

PDEVICE_OBJECT BottomOfStack(PDEVICE_OBJECT device)
{
    while (device->DeviceObjectExtension->AttachedTo != nullptr)
        device = device->DeviceObjectExtension->AttachedTo;
    return device;
}

} // namespace standin::io

using namespace standin::io;

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                        DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT *DeviceObject)
{
    *DeviceObject = nullptr;
    const std::u16string name = TextOf(DeviceName);
    if (!name.empty()) {
        std::lock_guard<std::mutex> hold(NamesLock());
        if (!DeviceNames().emplace(name, nullptr).second)
            return STATUS_OBJECT_NAME_COLLISION;
    }
    // One pool block, as on Windows: the device object, the I/O manager's
    // extension and the driver's device extension behind it. Non-paged, and
    // no-execute only where the booted system has that pool.
    RTL_OSVERSIONINFOW version = {};
    version.dwOSVersionInfoSize = sizeof version;
    RtlGetVersion(&version);
    const POOL_TYPE pool =
        (version.dwMajorVersion << 8 | version.dwMinorVersion) >= 0x602 ? NonPagedPoolNx : NonPagedPool;
    char *block = static_cast<char *>(ExAllocatePoolWithTag(pool, BlockSize(DeviceExtensionSize), DeviceTag));
    if (block == nullptr) {
        if (!name.empty()) {
            std::lock_guard<std::mutex> hold(NamesLock());
            DeviceNames().erase(name);
        }
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PDEVICE_OBJECT device = LayOut(block, DeviceExtensionSize);
    device->DriverObject = DriverObject;
    device->DeviceType = DeviceType;
    device->Characteristics = DeviceCharacteristics;
    device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0);
    device->NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = device;
    if (!name.empty()) {
        std::lock_guard<std::mutex> hold(NamesLock());
        DeviceNames()[name] = device;
    }
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject)
{
    _DEVOBJ_EXTENSION *hidden = DeviceObject->DeviceObjectExtension;
    // A device must be detached from the one below before it goes: the lower
    // device would point at freed memory.
    if (hidden->AttachedTo != nullptr)
        standin::kernel::BugCheck(standin::kernel::stop::kDriverVerifierIoManagerViolation, "IoDeleteDevice",
                                  standin::kernel::stop::kIoDeviceStillAttached,
                                  reinterpret_cast<ULONG_PTR>(DeviceObject));
    for (PDEVICE_OBJECT *link = &DeviceObject->DriverObject->DeviceObject; *link; link = &(*link)->NextDevice)
        if (*link == DeviceObject) {
            *link = DeviceObject->NextDevice;
            break;
        }
    DeviceObject->NextDevice = nullptr;
    {
        std::lock_guard<std::mutex> hold(NamesLock());
        std::erase_if(DeviceNames(), [DeviceObject](const auto &entry) { return entry.second == DeviceObject; });
    }
    // A device with open files stays until the last of them is closed.
    std::lock_guard<std::mutex> hold(DeviceLock());
    hidden->deleted = true;
    if (hidden->openFiles == 0)
        FreeDeviceObject(DeviceObject);
}

PDEVICE_OBJECT IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject)
{
    while (DeviceObject->AttachedDevice != nullptr)
        DeviceObject = DeviceObject->AttachedDevice;
    return DeviceObject;
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice)
{
    PDEVICE_OBJECT top = IoGetAttachedDevice(TargetDevice);
    if (top->DeviceObjectExtension->deleted)
        return nullptr;
    top->AttachedDevice = SourceDevice;
    SourceDevice->DeviceObjectExtension->AttachedTo = top;
    SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
    return top;
}

VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice)
{
    PDEVICE_OBJECT above = TargetDevice->AttachedDevice;
    if (above != nullptr) {
        above->DeviceObjectExtension->AttachedTo = nullptr;
        TargetDevice->AttachedDevice = nullptr;
    }
}
