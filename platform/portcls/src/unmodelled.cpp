// The PortCls functions the stand-in declares but does not model: the device
// registry, registry keys and I/O timers. Each refuses plainly instead of
// pretending; the time interval is exact.
#include "internal.h"

using namespace standin::portcls;

extern "C" ULONGLONG PcGetTimeInterval(ULONGLONG Since)
{
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    return static_cast<ULONGLONG>(now.QuadPart) - Since;
}

extern "C" NTSTATUS PcGetDeviceProperty(PVOID DeviceObject, DEVICE_REGISTRY_PROPERTY DeviceProperty, ULONG BufferLength,
                                        PVOID PropertyBuffer, PULONG ResultLength)
{
    if (ResultLength != nullptr)
        *ResultLength = 0;
    return STATUS_NOT_IMPLEMENTED; // the stand-in keeps no device registry
}

extern "C" NTSTATUS PcNewRegistryKey(PREGISTRYKEY *OutRegistryKey, PUNKNOWN OuterUnknown, ULONG RegistryKeyType,
                                     ACCESS_MASK DesiredAccess, PVOID DeviceObject, PVOID SubDevice,
                                     POBJECT_ATTRIBUTES ObjectAttributes, ULONG CreateOptions, PULONG Disposition)
{
    if (OutRegistryKey != nullptr)
        *OutRegistryKey = nullptr;
    return STATUS_NOT_IMPLEMENTED; // no registry
}

extern "C" NTSTATUS PcRegisterIoTimeout(PDEVICE_OBJECT pDeviceObject, PIO_TIMER_ROUTINE pTimerRoutine, PVOID pContext)
{
    return STATUS_NOT_IMPLEMENTED; // no I/O timer
}

extern "C" NTSTATUS PcUnregisterIoTimeout(PDEVICE_OBJECT pDeviceObject, PIO_TIMER_ROUTINE pTimerRoutine, PVOID pContext)
{
    return STATUS_NOT_IMPLEMENTED;
}
