/* The adapter: the one object behind the started device. It owns both
   endpoints' links and control pipes and the list of open WaveRT filter
   handles, answers PortCls's power management, and routes the device's
   create, close and device-control requests between the pipes, the WaveRT
   filters' data-range answer and PortCls. */
#pragma once

#include "ControlPipe.h"
#include "EndpointLink.h"
#include "UnknownBase.h"

class WaveMiniport;
class Adapter;

// The adapter of the started device, or null (kept by the driver's entry).
Adapter *StartedAdapter();

class Adapter : public UnknownObject<IAdapterPowerManagement2> {
public:
    Adapter();
    ~Adapter() override;

    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID *object) override;

    // IAdapterPowerManagement (the first six slots serve as that interface)
    STDMETHODIMP_(void) PowerChangeState(POWER_STATE state) override;
    STDMETHODIMP_(NTSTATUS) QueryPowerChangeState(POWER_STATE state) override;
    STDMETHODIMP_(NTSTATUS) QueryDeviceCapabilities(PDEVICE_CAPABILITIES capabilities) override;
    // IAdapterPowerManagement2
    STDMETHODIMP_(void) PowerChangeState2(DEVICE_POWER_STATE deviceState, SYSTEM_POWER_STATE systemState) override;

    // Device start: power management, both pipes, then both endpoints'
    // subdevices (capture endpoint first). Stops at the first failure and
    // returns its status.
    NTSTATUS Start(PDEVICE_OBJECT device, PIRP irp, PRESOURCELIST resources);
    // A later start of the same device, after a stop: PortCls kept the
    // subdevices and the pipes kept their clients, so nothing is built again;
    // the power-management registration is renewed. A device whose first
    // start failed stays failed.
    NTSTATUS Restart(PDEVICE_OBJECT device);

    // The request routing; each returns the request's final status.
    NTSTATUS Create(PDEVICE_OBJECT device, PIRP irp);
    NTSTATUS Close(PDEVICE_OBJECT device, PIRP irp);
    NTSTATUS DeviceControl(PDEVICE_OBJECT device, PIRP irp);

    DEVICE_POWER_STATE PowerState() const { return powerState; }
    ControlPipe &Pipe(PipeKind kind) { return kind == PipeRender ? pipeRender : pipeCapture; }
    EndpointLink &Link(EndpointKind kind) { return kind == CaptureEndpoint ? captureLink : renderLink; }
    // Open WaveRT filter handles the routing knows.
    ULONG FilterHandleCount();

private:
    NTSTATUS StartSubdevices(EndpointLink &link, PIRP irp);
    NTSTATUS RegisterTopology(EndpointLink &link, PIRP irp, PPORT *port);
    NTSTATUS RegisterWave(EndpointLink &link, PIRP irp, PPORT *port);
    NTSTATUS RegisterPort(REFCLSID portClass, PUNKNOWN miniport, const WCHAR *name, PIRP irp, PPORT *port);

    // The open WaveRT filter handles, by file object.
    struct FilterHandleEntry;
    void RecordFilterHandle(PFILE_OBJECT file, const WCHAR *name);
    WaveMiniport *FilterOf(PFILE_OBJECT file);
    void ForgetFilterHandle(PFILE_OBJECT file);

    PDEVICE_OBJECT deviceObject = nullptr;
    PRESOURCELIST resources = nullptr; // valid during start only
    DEVICE_POWER_STATE powerState = PowerDeviceD0;
    NTSTATUS startStatus = STATUS_DEVICE_NOT_READY; // of the first start

    // Construction in this order; destruction the other way round: the
    // filter handles, PipeCapture, PipeRender, the render-endpoint link, the
    // capture-endpoint link.
    EndpointLink captureLink{CaptureEndpoint, &pipeRender};
    EndpointLink renderLink{RenderEndpoint, &pipeCapture};
    ControlPipe pipeRender{PipeRender, &captureLink};
    ControlPipe pipeCapture{PipeCapture, &renderLink};
    // The WaveRT miniports by endpoint kind, for the routing (the links hold
    // their references).
    WaveMiniport *waves[2] = {};
    Mosaik::SpinLock handleLock;
    Mosaik::ListHead filterHandles;
};
