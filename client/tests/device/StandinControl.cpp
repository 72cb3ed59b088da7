// The stand-in device's life in the emulated system (load, add, start,
// unload with the leak check) and the platform services tests steer.
#include <ntddk.h>
#include <io_standin.h>
#include <kernel_standin.h>
#include <io_boundary.h>
#include "StandinDevice.h"

extern "C" NTSTATUS StandinDeviceEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

namespace standin_device {

namespace {
PDRIVER_OBJECT loadedDriver = nullptr;
}

bool Load()
{
    PDEVICE_OBJECT pdo = nullptr;
    if (!NT_SUCCESS(standin::io::LoadDriver(StandinDeviceEntry, "ombstandin", &loadedDriver)))
        return false;
    if (!NT_SUCCESS(standin::io::AddDevice(loadedDriver, &pdo)) ||
        !NT_SUCCESS(standin::io::StartDevice(pdo))) {
        standin::io::UnloadDriver(loadedDriver);
        loadedDriver = nullptr;
        return false;
    }
    return true;
}

void Unload()
{
    if (loadedDriver != nullptr)
        standin::io::UnloadDriver(loadedDriver);
    loadedDriver = nullptr;
}

uint64_t CreateClientProcess() { return standin::io::boundary::CreateClientProcess(false); }

void EndClientProcess(uint64_t process) { standin::io::boundary::EndClientProcess(process); }

InProcess::InProcess(uint64_t process) { standin::io::boundary::EnterProcess(process); }

InProcess::~InProcess() { standin::io::boundary::LeaveProcess(); }

void UseVirtualClock(bool on) { standin::kernel::UseVirtualClock(on); }
void AdvanceClock(int64_t hundredNs) { standin::kernel::AdvanceClock(hundredNs); }
void WaitForTimedWaiters(size_t count) { standin::kernel::WaitForBlockedWaiters(count, true); }
size_t TimedWaiters() { return standin::kernel::BlockedWaiters(true); }
size_t Waiters() { return standin::kernel::BlockedWaiters(false); }
size_t HandleCount(uint64_t process) { return standin::io::boundary::ProcessHandleCount(process); }

} // namespace standin_device
