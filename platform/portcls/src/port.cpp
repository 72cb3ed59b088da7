// What every port has: its initialisation (the miniport interface it needs,
// the miniport's Init, the descriptor taken and checked), its COM identity,
// the event list behind IPortEvents, the global instance counts of its pin
// factories, and the filters it makes for KS.
#include "internal.h"

#include <new>

namespace standin::portcls {

// {5E1F6D0C-9A51-4F2D-8C0E-3B7A2D4C9F10}: not a published interface.
const GUID IID_StandinPort = {0x5e1f6d0c, 0x9a51, 0x4f2d, {0x8c, 0x0e, 0x3b, 0x7a, 0x2d, 0x4c, 0x9f, 0x10}};

Port::Port(PortKind kind) : kind_(kind) {}

Port::~Port()
{
    if (device_ != nullptr) {
        std::lock_guard<std::recursive_mutex> hold(device_->lock);
        std::erase(device_->ports, this);
    }
    ReleaseChildren();
}

void Port::Detach()
{
    device_ = nullptr;
    ReleaseChildren();
}

ULONG Port::ReleaseCommon()
{
    const ULONG left = --references_;
    if (left == 0)
        delete this;
    return left;
}

void Port::ReleaseChildren()
{
    PUNKNOWN miniport = miniport_;
    PUNKNOWN unknown = miniportUnknown_;
    miniport_ = nullptr;
    miniportUnknown_ = nullptr;
    if (miniport != nullptr)
        miniport->Release();
    if (unknown != nullptr)
        unknown->Release();
}

NTSTATUS Port::QueryCommon(REFIID iid, PVOID *object, PUNKNOWN primary, const GUID &primaryIid)
{
    if (object == nullptr)
        return STATUS_INVALID_PARAMETER;
    *object = nullptr;
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IPort) || IsEqualGUID(iid, primaryIid))
        *object = primary;
    else if (IsEqualGUID(iid, IID_IPortEvents))
        *object = static_cast<IPortEvents *>(this);
    else if (IsEqualGUID(iid, IID_IUnregisterSubdevice))
        *object = static_cast<IUnregisterSubdevice *>(this);
    else if (IsEqualGUID(iid, IID_IUnregisterPhysicalConnection))
        *object = static_cast<IUnregisterPhysicalConnection *>(this);
    else if (IsEqualGUID(iid, IID_StandinPort))
        *object = this;
    if (*object == nullptr)
        return STATUS_INVALID_PARAMETER;
    AddRefCommon();
    return STATUS_SUCCESS;
}

NTSTATUS Port::InitCommon(PDEVICE_OBJECT device, PUNKNOWN unknownMiniport, PUNKNOWN unknownAdapter,
                          PRESOURCELIST resources, const GUID &miniportIid, MiniportInit initMiniport)
{
    if (Initialised() || miniport_ != nullptr)
        return STATUS_INVALID_DEVICE_REQUEST; // a port is initialised once
    DeviceContext *context = ContextOf(device);
    if (context == nullptr || unknownMiniport == nullptr)
        return STATUS_INVALID_PARAMETER;
    PUNKNOWN miniport = nullptr;
    NTSTATUS status = unknownMiniport->QueryInterface(miniportIid, reinterpret_cast<PVOID *>(&miniport));
    if (!NT_SUCCESS(status))
        return status;
    if (miniport == nullptr)
        return STATUS_INVALID_PARAMETER;
    unknownMiniport->AddRef();
    miniport_ = miniport;
    miniportUnknown_ = unknownMiniport;
    device_ = context;
    // The miniport builds its tables in Init; the description is taken after.
    status = initMiniport(this, miniport, unknownAdapter, resources);
    PPCFILTER_DESCRIPTOR descriptor = nullptr;
    if (NT_SUCCESS(status))
        status = Miniport()->GetDescription(&descriptor);
    if (NT_SUCCESS(status))
        status = CheckDescriptor(descriptor);
    if (!NT_SUCCESS(status)) {
        ReleaseChildren();
        device_ = nullptr;
        return status;
    }
    {
        std::lock_guard<std::mutex> hold(instanceLock_);
        globalInstances_.assign(descriptor->PinCount, 0);
    }
    descriptor_ = descriptor;
    std::lock_guard<std::recursive_mutex> hold(context->lock);
    context->ports.push_back(this);
    return STATUS_SUCCESS;
}

bool Port::TakeGlobalInstance(ULONG pin)
{
    std::lock_guard<std::mutex> hold(instanceLock_);
    const ULONG maximum = PinDescriptor(descriptor_, pin)->MaxGlobalInstanceCount;
    if (maximum != ULONG(-1) && globalInstances_[pin] >= maximum)
        return false;
    ++globalInstances_[pin];
    return true;
}

void Port::ReturnGlobalInstance(ULONG pin)
{
    std::lock_guard<std::mutex> hold(instanceLock_);
    --globalInstances_[pin];
}

ULONG Port::GlobalInstances(ULONG pin)
{
    std::lock_guard<std::mutex> hold(instanceLock_);
    return pin < globalInstances_.size() ? globalInstances_[pin] : 0;
}

NTSTATUS Port::CreateFilter(PIRP, ks::Filter **filter)
{
    if (!Initialised())
        return STATUS_INVALID_DEVICE_STATE;
    auto *object = new (std::nothrow) FilterObject(this);
    if (object == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    *filter = object;
    return STATUS_SUCCESS;
}

void Port::AddEventToEventList(PKSEVENT_ENTRY EventEntry)
{
    events_.Arm(EventEntry);
}

Port *PortOf(PUNKNOWN unknown)
{
    if (unknown == nullptr)
        return nullptr;
    PVOID object = nullptr;
    if (!NT_SUCCESS(unknown->QueryInterface(IID_StandinPort, &object)) || object == nullptr)
        return nullptr;
    return static_cast<Port *>(object);
}

} // namespace standin::portcls

using namespace standin::portcls;

extern "C" NTSTATUS PcNewPort(PPORT *OutPort, REFCLSID ClassId)
{
    if (OutPort == nullptr)
        return STATUS_INVALID_PARAMETER;
    *OutPort = nullptr;
    if (IsEqualGUID(ClassId, CLSID_PortWaveRT))
        return NewWaveRTPort(OutPort);
    if (IsEqualGUID(ClassId, CLSID_PortTopology))
        return NewTopologyPort(OutPort);
    // The WaveCyclic, WavePci, MIDI and DirectMusic ports are not part of the
    // stand-in.
    return STATUS_NOT_SUPPORTED;
}

extern "C" NTSTATUS PcNewMiniport(PMINIPORT *OutMiniport, REFCLSID ClassId)
{
    if (OutMiniport != nullptr)
        *OutMiniport = nullptr;
    return STATUS_NOT_SUPPORTED; // the system's own miniports are not part of the stand-in
}
