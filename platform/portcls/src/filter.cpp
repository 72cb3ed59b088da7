// The filter object behind an open filter handle: the pin instances it holds,
// the filter properties (the port's own first, then the miniport's filter and
// node tables), pin-wise and node events, and the checks of a pin create that
// every port shares.
#include "internal.h"

#include <cstring>

namespace standin::portcls {

namespace {

// The interfaces a pin accepts when its descriptor names none: the standard
// streaming ones (a WaveRT pin's list is ignored anyway).
bool StandardInterface(const KSPIN_INTERFACE &requested)
{
    return IsEqualGUID(requested.Set, KSINTERFACESETID_Standard) &&
           (requested.Id == KSINTERFACE_STANDARD_STREAMING || requested.Id == KSINTERFACE_STANDARD_LOOPED_STREAMING);
}

bool SameIdentifier(const KSIDENTIFIER &a, const KSIDENTIFIER &b)
{
    return IsEqualGUID(a.Set, b.Set) && a.Id == b.Id;
}

bool AcceptsMedium(const KSPIN_DESCRIPTOR &pin, const KSPIN_MEDIUM &medium)
{
    if (pin.MediumsCount == 0)
        return IsEqualGUID(medium.Set, KSMEDIUMSETID_Standard) && medium.Id == KSMEDIUM_STANDARD_DEVIO;
    for (ULONG i = 0; i < pin.MediumsCount; ++i)
        if (SameIdentifier(pin.Mediums[i], medium))
            return true;
    return false;
}

} // namespace

FilterObject::FilterObject(Port *port) : port_(port)
{
    port_->AddRef();
    instances_.assign(port_->Descriptor()->PinCount, 0);
}

FilterObject::~FilterObject()
{
    port_->Release();
}

ULONG FilterObject::FilterInstances(ULONG pin)
{
    std::lock_guard<std::mutex> hold(lock_);
    return pin < instances_.size() ? instances_[pin] : 0;
}

void FilterObject::ReturnInstance(ULONG pin)
{
    {
        std::lock_guard<std::mutex> hold(lock_);
        --instances_[pin];
    }
    port_->ReturnGlobalInstance(pin);
}

NTSTATUS FilterObject::Property(ks::PropertyCall &call)
{
    KSPROPERTY property;
    std::memcpy(&property, call.input, sizeof property);
    if (VerbOf(property.Flags) == 0)
        return STATUS_INVALID_PARAMETER;
    const PCFILTER_DESCRIPTOR *filter = port_->Descriptor();
    if (property.Flags & KSPROPERTY_TYPE_TOPOLOGY) {
        if (call.inputLength < sizeof(KSNODEPROPERTY))
            return STATUS_INVALID_BUFFER_SIZE;
        KSNODEPROPERTY node;
        std::memcpy(&node, call.input, sizeof node);
        if (node.NodeId >= filter->NodeCount)
            return STATUS_INVALID_PARAMETER;
        const PCAUTOMATION_TABLE *table = NodeDescriptor(filter, node.NodeId)->AutomationTable;
        const PCPROPERTY_ITEM *item = FindProperty(table, property.Set, property.Id);
        if (item == nullptr)
            return HasPropertySet(table, property.Set) ? STATUS_NOT_FOUND : STATUS_PROPSET_NOT_FOUND;
        return CallPropertyHandler(port_->Device(), item, port_->MiniportUnknown(), nullptr, node.NodeId,
                                   sizeof(KSNODEPROPERTY), call);
    }
    bool handled = false;
    const NTSTATUS status = FilterPropertyByPort(*this, call, handled);
    if (handled)
        return status;
    const PCPROPERTY_ITEM *item = FindProperty(filter->AutomationTable, property.Set, property.Id);
    if (item == nullptr) {
        const bool knownSet = HasPropertySet(filter->AutomationTable, property.Set) ||
                              IsEqualGUID(property.Set, KSPROPSETID_Pin) ||
                              IsEqualGUID(property.Set, KSPROPSETID_Topology);
        return knownSet ? STATUS_NOT_FOUND : STATUS_PROPSET_NOT_FOUND;
    }
    return CallPropertyHandler(port_->Device(), item, port_->MiniportUnknown(), nullptr, PCFILTER_NODE,
                               sizeof(KSPROPERTY), call);
}

NTSTATUS FilterObject::EnableEvent(ks::EventEnable &request)
{
    KSEVENT event;
    std::memcpy(&event, request.input, sizeof event);
    const PCFILTER_DESCRIPTOR *filter = port_->Descriptor();
    const PCEVENT_ITEM *item = nullptr;
    ULONG pinId = ULONG(-1), nodeId = ULONG(-1);
    if (event.Flags & KSEVENT_TYPE_TOPOLOGY) {
        if (request.inputLength < sizeof(KSE_NODE))
            return STATUS_INVALID_BUFFER_SIZE;
        KSE_NODE node;
        std::memcpy(&node, request.input, sizeof node);
        if (node.NodeId >= filter->NodeCount)
            return STATUS_INVALID_PARAMETER;
        nodeId = node.NodeId;
        item = FindEvent(NodeDescriptor(filter, nodeId)->AutomationTable, event.Set, event.Id);
    } else if (request.inputLength >= sizeof(KSE_PIN)) {
        // A pin-wise event on the filter: the pin's own table, then the
        // filter's (where the pin-capability events live).
        KSE_PIN pin;
        std::memcpy(&pin, request.input, sizeof pin);
        if (pin.PinId >= filter->PinCount)
            return STATUS_INVALID_PARAMETER;
        pinId = pin.PinId;
        item = FindEvent(PinDescriptor(filter, pinId)->AutomationTable, event.Set, event.Id);
        if (item == nullptr)
            item = FindEvent(filter->AutomationTable, event.Set, event.Id);
    }
    // The ports have no events of the filter itself.
    if (item == nullptr)
        return STATUS_NOT_FOUND;
    return EnableEventFor(port_, request, item, pinId, nodeId, nullptr);
}

NTSTATUS FilterObject::DisableEvent(PFILE_OBJECT file, const void *identity)
{
    return DisableEventsFor(port_, file, identity);
}

ULONG FilterObject::EventSets(GUID *sets, ULONG capacity)
{
    const PCFILTER_DESCRIPTOR *filter = port_->Descriptor();
    std::vector<GUID> all;
    CollectEventSets(filter->AutomationTable, all);
    for (ULONG i = 0; i < filter->PinCount; ++i)
        CollectEventSets(PinDescriptor(filter, i)->AutomationTable, all);
    for (ULONG i = 0; i < filter->NodeCount; ++i)
        CollectEventSets(NodeDescriptor(filter, i)->AutomationTable, all);
    for (ULONG i = 0; i < capacity && i < all.size(); ++i)
        sets[i] = all[i];
    return static_cast<ULONG>(all.size());
}

void FilterObject::Close(PIRP irp)
{
    // Events enabled through this handle go with it; its pins are closed
    // already (each holds the filter's file object).
    DisableEventsFor(port_, IoGetCurrentIrpStackLocation(irp)->FileObject, nullptr);
    delete this;
}

NTSTATUS FilterObject::CreatePin(ks::PinCreate &create, ks::Object **pin)
{
    const PCFILTER_DESCRIPTOR *filter = port_->Descriptor();
    const ULONG id = create.connect.PinId;
    if (id >= filter->PinCount)
        return STATUS_INVALID_PARAMETER;
    const PCPIN_DESCRIPTOR *descriptor = PinDescriptor(filter, id);
    const KSPIN_DESCRIPTOR &ks = descriptor->KsPinDescriptor;
    // A client connects to the pin itself; pin-to-pin connections are not
    // made through a port.
    if (create.connect.PinToHandle != nullptr)
        return STATUS_INVALID_PARAMETER;
    if (!StandardInterface(create.connect.Interface) || !AcceptsMedium(ks, create.connect.Medium))
        return STATUS_NO_MATCH;
    // Data flows in through a writable handle and out through a readable one.
    const ACCESS_MASK needed = ks.DataFlow == KSPIN_DATAFLOW_IN ? FILE_WRITE_DATA : FILE_READ_DATA;
    if (!(create.grantedAccess & needed))
        return STATUS_ACCESS_DENIED;
    {
        std::lock_guard<std::mutex> hold(lock_);
        const ULONG maximum = descriptor->MaxFilterInstanceCount;
        if (maximum != ULONG(-1) && instances_[id] >= maximum)
            return STATUS_INSUFFICIENT_RESOURCES;
        if (!port_->TakeGlobalInstance(id))
            return STATUS_INSUFFICIENT_RESOURCES;
        ++instances_[id];
    }
    const NTSTATUS status = port_->NewPin(this, create, pin);
    if (!NT_SUCCESS(status))
        ReturnInstance(id);
    return status;
}

} // namespace standin::portcls
