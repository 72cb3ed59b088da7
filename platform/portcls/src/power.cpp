// Power: the adapter's power interface registered with PcRegisterAdapterPowerManagement,
// set-power and query-power requests turned into its calls, miniports told
// through IPowerNotify, running streams paused across a low-power state, and
// the device brought to D0 before a new stream.
#include "internal.h"

namespace standin::portcls {

void PauseRunningPins(DeviceContext *context); // wavert_pin.cpp
void ResumePausedPins(DeviceContext *context); // wavert_pin.cpp

namespace {

void NotifyMiniports(DeviceContext *context, DEVICE_POWER_STATE state)
{
    std::vector<Port *> ports;
    {
        std::lock_guard<std::recursive_mutex> hold(context->lock);
        for (Subdevice &subdevice : context->subdevices) {
            subdevice.port->AddRef();
            ports.push_back(subdevice.port);
        }
    }
    POWER_STATE power;
    power.DeviceState = state;
    for (Port *port : ports) {
        PUNKNOWN miniport = port->MiniportUnknown();
        IPowerNotify *notify = nullptr;
        if (miniport != nullptr &&
            NT_SUCCESS(miniport->QueryInterface(IID_IPowerNotify, reinterpret_cast<PVOID *>(&notify))) &&
            notify != nullptr) {
            notify->PowerChangeNotify(power);
            notify->Release();
        }
        port->Release();
    }
}

void TellAdapter(DeviceContext *context, DEVICE_POWER_STATE device, SYSTEM_POWER_STATE system)
{
    if (context->power2 != nullptr) {
        context->power2->PowerChangeState2(device, system);
    } else if (context->power != nullptr) {
        POWER_STATE state;
        state.DeviceState = device;
        context->power->PowerChangeState(state);
    }
}

// Going down: streams pause, miniports hear first, then the adapter. Coming
// up: the adapter first, then the miniports, then the streams run again.
void ChangeDevicePower(DeviceContext *context, DEVICE_POWER_STATE state, SYSTEM_POWER_STATE system)
{
    DeviceLockHold hold(context);
    context->systemPower = system;
    const DEVICE_POWER_STATE previous = context->devicePower;
    if (state == previous)
        return;
    if (previous == PowerDeviceD0) {
        PauseRunningPins(context);
        NotifyMiniports(context, state);
        TellAdapter(context, state, system);
        context->devicePower = state;
    } else if (state == PowerDeviceD0) {
        TellAdapter(context, state, system);
        context->devicePower = state;
        NotifyMiniports(context, state);
        ResumePausedPins(context);
    } else {
        NotifyMiniports(context, state);
        TellAdapter(context, state, system);
        context->devicePower = state;
    }
}

NTSTATUS ForwardPower(DeviceContext *context, PIRP irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(context->lower, irp);
}

} // namespace

NTSTATUS DispatchPower(DeviceContext *context, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const POWER_STATE_TYPE type = stack->Parameters.Power.Type;
    const POWER_STATE state = stack->Parameters.Power.State;
    switch (stack->MinorFunction) {
    case IRP_MN_SET_POWER:
        // A device state as asked; a system state maps working to D0 and any
        // sleeping or off state to D3.
        if (type == DevicePowerState) {
            if (state.DeviceState > PowerDeviceUnspecified && state.DeviceState < PowerDeviceMaximum)
                ChangeDevicePower(context, state.DeviceState, context->systemPower);
        } else if (state.SystemState > PowerSystemUnspecified && state.SystemState < PowerSystemMaximum) {
            ChangeDevicePower(context, state.SystemState == PowerSystemWorking ? PowerDeviceD0 : PowerDeviceD3,
                              state.SystemState);
        }
        irp->IoStatus.Status = STATUS_SUCCESS;
        return ForwardPower(context, irp);
    case IRP_MN_QUERY_POWER:
        if (type == DevicePowerState && context->power != nullptr) {
            const NTSTATUS status = context->power->QueryPowerChangeState(state);
            if (!NT_SUCCESS(status)) {
                irp->IoStatus.Status = status;
                IoCompleteRequest(irp, IO_NO_INCREMENT);
                return status;
            }
        }
        irp->IoStatus.Status = STATUS_SUCCESS;
        return ForwardPower(context, irp);
    default: return ForwardPower(context, irp);
    }
}

void EnsureDeviceD0(DeviceContext *context)
{
    if (context->devicePower != PowerDeviceD0)
        ChangeDevicePower(context, PowerDeviceD0, context->systemPower);
}

} // namespace standin::portcls

using namespace standin::portcls;

extern "C" NTSTATUS PcRegisterAdapterPowerManagement(PUNKNOWN pUnknown, PVOID pvContext1)
{
    DeviceContext *context = ContextOf(static_cast<PDEVICE_OBJECT>(pvContext1));
    if (context == nullptr || pUnknown == nullptr)
        return STATUS_INVALID_PARAMETER;
    IAdapterPowerManagement *power = nullptr;
    NTSTATUS status = pUnknown->QueryInterface(IID_IAdapterPowerManagement, reinterpret_cast<PVOID *>(&power));
    if (!NT_SUCCESS(status))
        return status;
    if (power == nullptr)
        return STATUS_INVALID_PARAMETER;
    IAdapterPowerManagement2 *power2 = nullptr;
    if (!NT_SUCCESS(pUnknown->QueryInterface(IID_IAdapterPowerManagement2, reinterpret_cast<PVOID *>(&power2))))
        power2 = nullptr;
    DeviceLockHold hold(context);
    // A later registration replaces the earlier one.
    if (context->power2 != nullptr)
        context->power2->Release();
    if (context->power != nullptr)
        context->power->Release();
    context->power = power;
    context->power2 = power2;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS PcUnregisterAdapterPowerManagement(PDEVICE_OBJECT DeviceObject)
{
    DeviceContext *context = ContextOf(DeviceObject);
    if (context == nullptr)
        return STATUS_INVALID_PARAMETER;
    DeviceLockHold hold(context);
    if (context->power == nullptr)
        return STATUS_NOT_FOUND;
    if (context->power2 != nullptr)
        context->power2->Release();
    context->power->Release();
    context->power = nullptr;
    context->power2 = nullptr;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS PcRequestNewPowerState(PDEVICE_OBJECT pDeviceObject, DEVICE_POWER_STATE RequestedNewState)
{
    DeviceContext *context = ContextOf(pDeviceObject);
    if (context == nullptr || RequestedNewState <= PowerDeviceUnspecified || RequestedNewState >= PowerDeviceMaximum)
        return STATUS_INVALID_PARAMETER;
    ChangeDevicePower(context, RequestedNewState, context->systemPower);
    return STATUS_SUCCESS;
}
