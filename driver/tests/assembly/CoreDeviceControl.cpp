// The test driver's life in the emulated system: load, add, start and unload
// with the leak check, and the paths its pipes are opened by.
#include <ntddk.h>
#include <io_boundary.h>
#include <io_standin.h>
#include "ControlProtocol.h"
#include "CoreDevice.h"
#include "CoreDriverInternals.h"

extern "C" NTSTATUS CoreDeviceEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

namespace core_device {

namespace {
PDRIVER_OBJECT loadedDriver = nullptr;
PDEVICE_OBJECT physicalDevice = nullptr;
} // namespace

int32_t LoadAndAdd()
{
    NTSTATUS status = standin::io::LoadDriver(CoreDeviceEntry, "ombrivo", &loadedDriver);
    if (!NT_SUCCESS(status)) {
        loadedDriver = nullptr;
        return status;
    }
    status = standin::io::AddDevice(loadedDriver, &physicalDevice);
    if (!NT_SUCCESS(status))
        physicalDevice = nullptr;
    return status;
}

int32_t Start() { return standin::io::StartDevice(physicalDevice); }

bool Load() { return NT_SUCCESS(LoadAndAdd()) && NT_SUCCESS(Start()); }

void Unload()
{
    if (loadedDriver != nullptr)
        standin::io::UnloadDriver(loadedDriver);
    loadedDriver = nullptr;
    physicalDevice = nullptr;
}

std::u16string InterfacePath()
{
    for (const auto &record : standin::io::boundary::PresentInterfaces(&ControlInterfaceClass))
        if (record.enabled)
            return record.devicePath;
    return {};
}

std::u16string PipePath(int pipe) { return InterfacePath() + PipeSuffix(pipe); }

} // namespace core_device
