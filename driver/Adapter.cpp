// The adapter object: life, power management and device start.
#include "Adapter.h"

Adapter::Adapter() { filterHandles.Init(); }

NTSTATUS Adapter::NonDelegatingQueryInterface(REFIID iid, PVOID *object)
{
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IAdapterPowerManagement))
        return Hand(static_cast<IAdapterPowerManagement *>(this), object);
    if (IsEqualGUID(iid, IID_IAdapterPowerManagement2))
        return Hand(static_cast<IAdapterPowerManagement2 *>(this), object);
    return Refuse(object);
}

STDMETHODIMP_(void) Adapter::PowerChangeState(POWER_STATE state)
{
    if (state.DeviceState != powerState)
        powerState = state.DeviceState; // nothing else depends on it: there is no hardware
}

STDMETHODIMP_(NTSTATUS) Adapter::QueryPowerChangeState(POWER_STATE) { return STATUS_SUCCESS; }

STDMETHODIMP_(NTSTATUS) Adapter::QueryDeviceCapabilities(PDEVICE_CAPABILITIES) { return STATUS_SUCCESS; }

STDMETHODIMP_(void) Adapter::PowerChangeState2(DEVICE_POWER_STATE, SYSTEM_POWER_STATE) {}

NTSTATUS Adapter::Start(PDEVICE_OBJECT device, PIRP irp, PRESOURCELIST resourceList)
{
    deviceObject = device;
    resources = resourceList;
    powerState = PowerDeviceD0;
    NTSTATUS status = PcRegisterAdapterPowerManagement(AsUnknown(), device);
    if (NT_SUCCESS(status))
        status = pipeRender.Start();
    if (NT_SUCCESS(status))
        status = pipeCapture.Start();
    if (NT_SUCCESS(status))
        status = StartSubdevices(captureLink, irp);
    if (NT_SUCCESS(status))
        status = StartSubdevices(renderLink, irp);
    resources = nullptr;
    startStatus = status;
    return status;
}

NTSTATUS Adapter::Restart(PDEVICE_OBJECT device)
{
    if (!NT_SUCCESS(startStatus))
        return startStatus;
    deviceObject = device;
    return PcRegisterAdapterPowerManagement(AsUnknown(), device);
}
