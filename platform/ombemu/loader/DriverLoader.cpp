// Loading and unloading Ombrivo through its entry and the PnP manager.
#include "DriverLoader.h"

#include <io_standin.h>
#include <kernel_standin.h>

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

namespace ombemu::loader {

namespace {

PDRIVER_OBJECT driver = nullptr;
PDEVICE_OBJECT physicalDevice = nullptr;

} // namespace

int32_t LoadDriver(uint32_t major, uint32_t minor)
{
    standin::kernel::SetVersion(major, minor);
    const NTSTATUS status = standin::io::LoadDriver(&DriverEntry, "Ombrivo", &driver);
    if (!NT_SUCCESS(status))
        driver = nullptr;
    return status;
}

int32_t AddDevice()
{
    PDEVICE_OBJECT added = nullptr;
    const NTSTATUS status = standin::io::AddDevice(driver, &added);
    if (NT_SUCCESS(status) && physicalDevice == nullptr)
        physicalDevice = added;
    return status;
}

int32_t StartDevice() { return standin::io::StartDevice(physicalDevice); }

int32_t Load(uint32_t major, uint32_t minor)
{
    NTSTATUS status = LoadDriver(major, minor);
    if (!NT_SUCCESS(status))
        return status;
    status = AddDevice();
    if (NT_SUCCESS(status))
        status = StartDevice();
    if (!NT_SUCCESS(status))
        Unload();
    return status;
}

int32_t Unload(bool *leaked)
{
    if (leaked != nullptr)
        *leaked = false;
    if (driver == nullptr)
        return STATUS_SUCCESS;
    NTSTATUS status;
    if (leaked != nullptr) {
        standin::kernel::Holdings held;
        status = standin::io::UnloadDriver(driver, held);
        *leaked = !held.empty();
    } else {
        status = standin::io::UnloadDriver(driver);
    }
    if (!NT_SUCCESS(status))
        return status;
    driver = nullptr;
    physicalDevice = nullptr;
    standin::kernel::SetVersion(10, 0);
    return status;
}

bool IsLoaded() { return driver != nullptr; }

uint32_t Owner() { return driver != nullptr ? standin::io::DriverOwner(driver) : 0; }

} // namespace ombemu::loader
