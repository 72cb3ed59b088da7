// Each endpoint's two subdevices: a topology miniport and a WaveRT miniport,
// each behind a new PortCls port and registered under its name, and the
// physical connection between the two filters.
#include "Adapter.h"
#include "FilterNumbers.h"
#include "TopologyMiniport.h"
#include "WaveMiniport.h"

namespace {

// Where an endpoint's audio crosses from one filter to the other: the one
// place that joins each topology filter to its wave filter.
struct PhysicalConnection {
    bool fromWave; // wave filter to topology filter, or the other way
    ULONG fromPin;
    ULONG toPin;
};

const PhysicalConnection Connections[] = {
    /* RenderEndpoint */ {true, WavePinBridge, TopologyRenderBridge},
    /* CaptureEndpoint */ {false, TopologyCaptureBridge, WavePinBridge},
};
static_assert(RenderEndpoint == 0 && CaptureEndpoint == 1, "connections by endpoint kind");

} // namespace

NTSTATUS Adapter::StartSubdevices(EndpointLink &link, PIRP irp)
{
    // The block first: the miniports reach it through the link from their
    // first call on.
    link.BindBlock();
    PPORT topology = nullptr;
    PPORT wave = nullptr;
    NTSTATUS status = RegisterTopology(link, irp, &topology);
    if (NT_SUCCESS(status))
        status = RegisterWave(link, irp, &wave);
    if (NT_SUCCESS(status)) {
        const PhysicalConnection &connection = Connections[link.Kind()];
        PPORT from = connection.fromWave ? wave : topology;
        PPORT to = connection.fromWave ? topology : wave;
        status = PcRegisterPhysicalConnection(deviceObject, from, connection.fromPin, to, connection.toPin);
    }
    // PortCls keeps what it registered; the ports were only needed until the
    // connection named them.
    if (wave != nullptr)
        wave->Release();
    if (topology != nullptr)
        topology->Release();
    return status;
}

NTSTATUS Adapter::RegisterTopology(EndpointLink &link, PIRP irp, PPORT *port)
{
    auto *miniport = new TopologyMiniport(&link, link.Kind() == CaptureEndpoint);
    if (miniport == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    miniport->AddRef(); // the link's, dropped at the adapter's end
    link.AttachMiniports(link.Wave(), miniport);
    return RegisterPort(CLSID_PortTopology, miniport->AsUnknown(), miniport->SubdeviceName(), irp, port);
}

NTSTATUS Adapter::RegisterWave(EndpointLink &link, PIRP irp, PPORT *port)
{
    auto *miniport = new WaveMiniport(&link, link.Kind() == CaptureEndpoint);
    if (miniport == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    miniport->AddRef(); // the link's, dropped at the adapter's end
    link.AttachMiniports(miniport, link.Topology());
    waves[link.Kind()] = miniport;
    return RegisterPort(CLSID_PortWaveRT, miniport->AsUnknown(), miniport->SubdeviceName(), irp, port);
}

// A new port of the class, bound to the miniport and registered under the
// name; on success *port holds a reference for the caller.
NTSTATUS Adapter::RegisterPort(REFCLSID portClass, PUNKNOWN miniport, const WCHAR *name, PIRP irp, PPORT *port)
{
    PPORT created = nullptr;
    NTSTATUS status = PcNewPort(&created, portClass);
    if (!NT_SUCCESS(status))
        return status;
    status = created->Init(deviceObject, irp, miniport, AsUnknown(), resources);
    if (NT_SUCCESS(status))
        status = PcRegisterSubdevice(deviceObject, const_cast<PWCHAR>(name), created);
    if (!NT_SUCCESS(status)) {
        created->Release();
        return status;
    }
    *port = created;
    return STATUS_SUCCESS;
}
