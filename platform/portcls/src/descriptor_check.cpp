// The checks a careful port makes on a miniport's filter descriptor before it
// trusts it: version, element sizes and counts, every table's items, every
// pin's ranges, and every connection naming an existing pin or node.
#include "internal.h"

namespace standin::portcls {

namespace {

// An element size must hold the structure and keep the next one 8-aligned.
bool GoodSize(ULONG size, size_t least)
{
    return size >= least && size % 8 == 0;
}

template <class Item>
bool GoodItems(ULONG count, ULONG size, const Item *items)
{
    if (count == 0)
        return true;
    if (items == nullptr || !GoodSize(size, sizeof(Item)))
        return false;
    for (ULONG i = 0; i < count; ++i) {
        const Item *item = reinterpret_cast<const Item *>(reinterpret_cast<const uint8_t *>(items) + size_t(i) * size);
        // A property or event item without a set or a handler could never
        // be served.
        if (item->Set == nullptr || item->Handler == nullptr)
            return false;
    }
    return true;
}

bool GoodTable(const PCAUTOMATION_TABLE *table)
{
    if (table == nullptr)
        return true;
    return GoodItems(table->PropertyCount, table->PropertyItemSize, table->Properties) &&
           GoodItems(table->MethodCount, table->MethodItemSize, table->Methods) &&
           GoodItems(table->EventCount, table->EventItemSize, table->Events);
}

bool GoodPin(const PCPIN_DESCRIPTOR *pin)
{
    const KSPIN_DESCRIPTOR &ks = pin->KsPinDescriptor;
    if (!GoodTable(pin->AutomationTable))
        return false;
    if ((ks.InterfacesCount != 0 && ks.Interfaces == nullptr) || (ks.MediumsCount != 0 && ks.Mediums == nullptr))
        return false;
    if (ks.DataRangesCount != 0 && ks.DataRanges == nullptr)
        return false;
    for (ULONG i = 0; i < ks.DataRangesCount; ++i)
        if (ks.DataRanges[i] == nullptr || ks.DataRanges[i]->FormatSize < sizeof(KSDATARANGE))
            return false;
    if (ks.DataFlow != KSPIN_DATAFLOW_IN && ks.DataFlow != KSPIN_DATAFLOW_OUT)
        return false;
    if (static_cast<ULONG>(ks.Communication) > KSPIN_COMMUNICATION_BRIDGE)
        return false;
    // The necessary count cannot exceed what a filter may hold.
    if (pin->MaxFilterInstanceCount != ULONG(-1) && pin->MinFilterInstanceCount > pin->MaxFilterInstanceCount)
        return false;
    return true;
}

bool GoodEnd(ULONG node, ULONG pin, const PCFILTER_DESCRIPTOR *filter)
{
    return node == PCFILTER_NODE ? pin < filter->PinCount : node < filter->NodeCount;
}

} // namespace

NTSTATUS CheckDescriptor(const PCFILTER_DESCRIPTOR *filter)
{
    if (filter == nullptr || filter->Version != 0 || !GoodTable(filter->AutomationTable))
        return STATUS_INVALID_PARAMETER;
    if (filter->PinCount != 0 && (filter->Pins == nullptr || !GoodSize(filter->PinSize, sizeof(PCPIN_DESCRIPTOR))))
        return STATUS_INVALID_PARAMETER;
    for (ULONG i = 0; i < filter->PinCount; ++i)
        if (!GoodPin(PinDescriptor(filter, i)))
            return STATUS_INVALID_PARAMETER;
    if (filter->NodeCount != 0 && (filter->Nodes == nullptr || !GoodSize(filter->NodeSize, sizeof(PCNODE_DESCRIPTOR))))
        return STATUS_INVALID_PARAMETER;
    for (ULONG i = 0; i < filter->NodeCount; ++i) {
        const PCNODE_DESCRIPTOR *node = NodeDescriptor(filter, i);
        if (node->Type == nullptr || !GoodTable(node->AutomationTable))
            return STATUS_INVALID_PARAMETER;
    }
    if (filter->ConnectionCount != 0 && filter->Connections == nullptr)
        return STATUS_INVALID_PARAMETER;
    for (ULONG i = 0; i < filter->ConnectionCount; ++i) {
        const PCCONNECTION_DESCRIPTOR &c = filter->Connections[i];
        if (!GoodEnd(c.FromNode, c.FromNodePin, filter) || !GoodEnd(c.ToNode, c.ToNodePin, filter))
            return STATUS_INVALID_PARAMETER;
    }
    if (filter->CategoryCount != 0 && filter->Categories == nullptr)
        return STATUS_INVALID_PARAMETER;
    return STATUS_SUCCESS;
}

} // namespace standin::portcls
