// The filter properties the port answers itself from the miniport's
// descriptor: the pin set (counts, flows, ranges, instances, names, physical
// connections, intersections, proposed formats) and the topology set. One
// table names each property, its access, its descriptor and its answer.
#include "internal.h"

#include <cstdio>
#include <cstring>

namespace standin::portcls {

NTSTATUS FindPhysicalConnection(Port *port, ULONG pin, std::u16string &peerLink, ULONG &peerPin); // subdevices.cpp

namespace {

using Answer = NTSTATUS (*)(FilterObject &filter, ks::PropertyCall &call, ULONG pin);

struct PortProperty {
    const GUID *set;
    ULONG id;
    ULONG access;     // KSPROPERTY_TYPE_GET and/or _SET
    ULONG descriptor; // the least input: KSPROPERTY, KSP_PIN or KSP_NODE
    Answer answer;
};

const PCFILTER_DESCRIPTOR *Filter(FilterObject &filter)
{
    return filter.GetPort()->Descriptor();
}

const KSPIN_DESCRIPTOR &Pin(FilterObject &filter, ULONG pin)
{
    return PinDescriptor(Filter(filter), pin)->KsPinDescriptor;
}

ULONG AlignUp8(ULONG value)
{
    return (value + 7u) & ~7u;
}

NTSTATUS ReturnUlong(ks::PropertyCall &call, ULONG value)
{
    return ReturnValue(call, &value, sizeof value);
}

// A KSMULTIPLE_ITEM followed by count items laid out by write (which fills
// bytes bytes after the header).
template <class Write>
NTSTATUS ReturnMultiple(ks::PropertyCall &call, ULONG count, ULONG bytes, Write write)
{
    const ULONG size = static_cast<ULONG>(sizeof(KSMULTIPLE_ITEM)) + bytes;
    const NTSTATUS status = ks::CheckValueLength(call, size);
    if (!NT_SUCCESS(status))
        return status;
    KSMULTIPLE_ITEM header{size, count};
    std::memcpy(call.value, &header, sizeof header);
    std::memset(call.value + sizeof header, 0, bytes);
    write(call.value + sizeof header);
    call.information = size;
    return STATUS_SUCCESS;
}

NTSTATUS ReturnString(ks::PropertyCall &call, const std::u16string &text)
{
    return ReturnValue(call, text.c_str(), static_cast<ULONG>((text.size() + 1) * sizeof(char16_t)));
}

// Registry form of a GUID; the stand-in has no media-category names, so a
// name is reported as the GUID that would be looked up.
std::u16string GuidText(const GUID &guid)
{
    char text[40];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
                  guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return std::u16string(text, text + std::strlen(text));
}

NTSTATUS ReturnRanges(ks::PropertyCall &call, ULONG count, const PKSDATARANGE *ranges)
{
    ULONG bytes = 0;
    for (ULONG i = 0; i < count; ++i)
        bytes += AlignUp8(ranges[i]->FormatSize);
    return ReturnMultiple(call, count, bytes, [&](uint8_t *at) {
        for (ULONG i = 0; i < count; ++i) {
            std::memcpy(at, ranges[i], ranges[i]->FormatSize);
            at += AlignUp8(ranges[i]->FormatSize);
        }
    });
}

NTSTATUS ReturnIdentifiers(ks::PropertyCall &call, ULONG count, const KSIDENTIFIER *items, const KSIDENTIFIER &fallback)
{
    if (count == 0) {
        count = 1;
        items = &fallback;
    }
    return ReturnMultiple(call, count, count * static_cast<ULONG>(sizeof(KSIDENTIFIER)),
                          [&](uint8_t *at) { std::memcpy(at, items, count * sizeof(KSIDENTIFIER)); });
}

NTSTATUS CInstances(FilterObject &filter, ks::PropertyCall &call, ULONG pin)
{
    const KSPIN_CINSTANCES value{PinDescriptor(Filter(filter), pin)->MaxFilterInstanceCount,
                                 filter.FilterInstances(pin)};
    return ReturnValue(call, &value, sizeof value);
}

NTSTATUS GlobalCInstances(FilterObject &filter, ks::PropertyCall &call, ULONG pin)
{
    const KSPIN_CINSTANCES value{PinDescriptor(Filter(filter), pin)->MaxGlobalInstanceCount,
                                 filter.GetPort()->GlobalInstances(pin)};
    return ReturnValue(call, &value, sizeof value);
}

NTSTATUS NecessaryInstances(FilterObject &filter, ks::PropertyCall &call, ULONG pin)
{
    return ReturnUlong(call, PinDescriptor(Filter(filter), pin)->MinFilterInstanceCount);
}

NTSTATUS CTypes(FilterObject &filter, ks::PropertyCall &call, ULONG)
{
    return ReturnUlong(call, Filter(filter)->PinCount);
}

NTSTATUS DataFlow(FilterObject &filter, ks::PropertyCall &call, ULONG pin)
{
    return ReturnUlong(call, Pin(filter, pin).DataFlow);
}

NTSTATUS Communication(FilterObject &filter, ks::PropertyCall &call, ULONG pin)
{
    return ReturnUlong(call, Pin(filter, pin).Communication);
}

NTSTATUS DataRanges(FilterObject &filter, ks::PropertyCall &call, ULONG pin)
{
    return ReturnRanges(call, Pin(filter, pin).DataRangesCount, Pin(filter, pin).DataRanges);
}

NTSTATUS ConstrainedDataRanges(FilterObject &filter, ks::PropertyCall &call, ULONG pin)
{
    // A pin without constrained ranges reports its static ones.
    const KSPIN_DESCRIPTOR &ks = Pin(filter, pin);
    if (ks.ConstrainedDataRangesCount == 0 || ks.ConstrainedDataRanges == nullptr)
        return ReturnRanges(call, ks.DataRangesCount, ks.DataRanges);
    return ReturnRanges(call, ks.ConstrainedDataRangesCount, ks.ConstrainedDataRanges);
}

NTSTATUS Interfaces(FilterObject &filter, ks::PropertyCall &call, ULONG pin)
{
    const KSPIN_DESCRIPTOR &ks = Pin(filter, pin);
    KSPIN_INTERFACE standard{};
    standard.Set = KSINTERFACESETID_Standard;
    standard.Id = filter.GetPort()->Kind() == PortKind::WaveRT ? KSINTERFACE_STANDARD_LOOPED_STREAMING
                                                               : KSINTERFACE_STANDARD_STREAMING;
    // A WaveRT pin's own list is ignored: it streams through its buffer.
    if (filter.GetPort()->Kind() == PortKind::WaveRT)
        return ReturnIdentifiers(call, 0, nullptr, standard);
    return ReturnIdentifiers(call, ks.InterfacesCount, ks.Interfaces, standard);
}

NTSTATUS Mediums(FilterObject &filter, ks::PropertyCall &call, ULONG pin)
{
    const KSPIN_DESCRIPTOR &ks = Pin(filter, pin);
    KSPIN_MEDIUM devio{};
    devio.Set = KSMEDIUMSETID_Standard;
    devio.Id = KSMEDIUM_STANDARD_DEVIO;
    return ReturnIdentifiers(call, ks.MediumsCount, ks.Mediums, devio);
}

NTSTATUS Category(FilterObject &filter, ks::PropertyCall &call, ULONG pin)
{
    const GUID *category = Pin(filter, pin).Category;
    if (category == nullptr)
        return STATUS_NOT_FOUND;
    return ReturnValue(call, category, sizeof(GUID));
}

NTSTATUS Name(FilterObject &filter, ks::PropertyCall &call, ULONG pin)
{
    const KSPIN_DESCRIPTOR &ks = Pin(filter, pin);
    const GUID *name = ks.Name != nullptr ? ks.Name : ks.Category;
    if (name == nullptr)
        return STATUS_NOT_FOUND;
    return ReturnString(call, GuidText(*name));
}

NTSTATUS PhysicalConnection(FilterObject &filter, ks::PropertyCall &call, ULONG pin)
{
    std::u16string link;
    ULONG peerPin = 0;
    const NTSTATUS status = FindPhysicalConnection(filter.GetPort(), pin, link, peerPin);
    if (!NT_SUCCESS(status))
        return status;
    const ULONG size =
        static_cast<ULONG>(offsetof(KSPIN_PHYSICALCONNECTION, SymbolicLinkName) + (link.size() + 1) * sizeof(char16_t));
    const NTSTATUS checked = ks::CheckValueLength(call, size);
    if (!NT_SUCCESS(checked))
        return checked;
    const ULONG head[2] = {size, peerPin};
    std::memcpy(call.value, head, sizeof head);
    std::memcpy(call.value + offsetof(KSPIN_PHYSICALCONNECTION, SymbolicLinkName), link.c_str(),
                (link.size() + 1) * sizeof(char16_t));
    call.information = size;
    return STATUS_SUCCESS;
}

NTSTATUS Intersection(FilterObject &filter, ks::PropertyCall &call, ULONG pin)
{
    return DataIntersection(filter, call, pin);
}

// The port's answer when the miniport has no handler of its own: a set is
// accepted exactly when a static data range holds the format.
NTSTATUS ProposeDataFormat(FilterObject &filter, ks::PropertyCall &call, ULONG pin)
{
    KSPROPERTY property;
    std::memcpy(&property, call.input, sizeof property);
    if (VerbOf(property.Flags) != KSPROPERTY_TYPE_SET)
        return STATUS_NOT_SUPPORTED;
    if (call.valueLength < sizeof(KSDATAFORMAT))
        return STATUS_BUFFER_TOO_SMALL;
    KSDATAFORMAT head;
    std::memcpy(&head, call.value, sizeof head);
    if (head.FormatSize < sizeof(KSDATAFORMAT) || head.FormatSize > call.valueLength)
        return STATUS_INVALID_PARAMETER;
    return MatchDataRanges(Pin(filter, pin), reinterpret_cast<const KSDATAFORMAT *>(call.value), head.FormatSize);
}

NTSTATUS TopologyCategories(FilterObject &filter, ks::PropertyCall &call, ULONG)
{
    const PCFILTER_DESCRIPTOR *f = Filter(filter);
    return ReturnMultiple(call, f->CategoryCount, f->CategoryCount * static_cast<ULONG>(sizeof(GUID)),
                          [&](uint8_t *at) { std::memcpy(at, f->Categories, f->CategoryCount * sizeof(GUID)); });
}

NTSTATUS TopologyNodes(FilterObject &filter, ks::PropertyCall &call, ULONG)
{
    const PCFILTER_DESCRIPTOR *f = Filter(filter);
    return ReturnMultiple(call, f->NodeCount, f->NodeCount * static_cast<ULONG>(sizeof(GUID)), [&](uint8_t *at) {
        for (ULONG i = 0; i < f->NodeCount; ++i)
            std::memcpy(at + i * sizeof(GUID), NodeDescriptor(f, i)->Type, sizeof(GUID));
    });
}

NTSTATUS TopologyConnections(FilterObject &filter, ks::PropertyCall &call, ULONG)
{
    const PCFILTER_DESCRIPTOR *f = Filter(filter);
    static_assert(sizeof(KSTOPOLOGY_CONNECTION) == sizeof(PCCONNECTION_DESCRIPTOR), "same layout");
    return ReturnMultiple(
        call, f->ConnectionCount, f->ConnectionCount * static_cast<ULONG>(sizeof(KSTOPOLOGY_CONNECTION)),
        [&](uint8_t *at) { std::memcpy(at, f->Connections, f->ConnectionCount * sizeof(KSTOPOLOGY_CONNECTION)); });
}

NTSTATUS TopologyName(FilterObject &filter, ks::PropertyCall &call, ULONG)
{
    KSP_NODE node;
    std::memcpy(&node, call.input, sizeof node);
    const PCFILTER_DESCRIPTOR *f = Filter(filter);
    if (node.NodeId >= f->NodeCount)
        return STATUS_INVALID_PARAMETER;
    const GUID *name = NodeDescriptor(f, node.NodeId)->Name;
    if (name == nullptr)
        return STATUS_NOT_FOUND;
    return ReturnString(call, GuidText(*name));
}

constexpr ULONG Get = KSPROPERTY_TYPE_GET;
constexpr ULONG Set = KSPROPERTY_TYPE_SET;
constexpr ULONG ByFilter = sizeof(KSPROPERTY);
constexpr ULONG ByPin = sizeof(KSP_PIN);
constexpr ULONG ByNode = sizeof(KSP_NODE);

const PortProperty FilterProperties[] = {
    // set                    id                                      access     input     answer
    {&KSPROPSETID_Pin, KSPROPERTY_PIN_CINSTANCES, Get, ByPin, &CInstances},
    {&KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, Get, ByFilter, &CTypes},
    {&KSPROPSETID_Pin, KSPROPERTY_PIN_DATAFLOW, Get, ByPin, &DataFlow},
    {&KSPROPSETID_Pin, KSPROPERTY_PIN_DATARANGES, Get, ByPin, &DataRanges},
    {&KSPROPSETID_Pin, KSPROPERTY_PIN_DATAINTERSECTION, Get, ByPin + sizeof(KSMULTIPLE_ITEM), &Intersection},
    {&KSPROPSETID_Pin, KSPROPERTY_PIN_INTERFACES, Get, ByPin, &Interfaces},
    {&KSPROPSETID_Pin, KSPROPERTY_PIN_MEDIUMS, Get, ByPin, &Mediums},
    {&KSPROPSETID_Pin, KSPROPERTY_PIN_COMMUNICATION, Get, ByPin, &Communication},
    {&KSPROPSETID_Pin, KSPROPERTY_PIN_GLOBALCINSTANCES, Get, ByPin, &GlobalCInstances},
    {&KSPROPSETID_Pin, KSPROPERTY_PIN_NECESSARYINSTANCES, Get, ByPin, &NecessaryInstances},
    {&KSPROPSETID_Pin, KSPROPERTY_PIN_PHYSICALCONNECTION, Get, ByPin, &PhysicalConnection},
    {&KSPROPSETID_Pin, KSPROPERTY_PIN_CATEGORY, Get, ByPin, &Category},
    {&KSPROPSETID_Pin, KSPROPERTY_PIN_NAME, Get, ByPin, &Name},
    {&KSPROPSETID_Pin, KSPROPERTY_PIN_CONSTRAINEDDATARANGES, Get, ByPin, &ConstrainedDataRanges},
    {&KSPROPSETID_Pin, KSPROPERTY_PIN_PROPOSEDATAFORMAT, Get | Set, ByPin, &ProposeDataFormat},
    {&KSPROPSETID_Pin, KSPROPERTY_PIN_PROPOSEDATAFORMAT2, Get | Set, ByPin, &ProposeDataFormat},
    {&KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_CATEGORIES, Get, ByFilter, &TopologyCategories},
    {&KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_NODES, Get, ByFilter, &TopologyNodes},
    {&KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_CONNECTIONS, Get, ByFilter, &TopologyConnections},
    {&KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_NAME, Get, ByNode, &TopologyName},
};

// The proposed-format properties are the miniport's when its filter table
// has them: the answer depends on what the device can do now.
bool MiniportAnswers(FilterObject &filter, const KSPROPERTY &property)
{
    return IsEqualGUID(property.Set, KSPROPSETID_Pin) &&
           (property.Id == KSPROPERTY_PIN_PROPOSEDATAFORMAT || property.Id == KSPROPERTY_PIN_PROPOSEDATAFORMAT2) &&
           FindProperty(Filter(filter)->AutomationTable, property.Set, property.Id) != nullptr;
}

} // namespace

NTSTATUS FilterPropertyByPort(FilterObject &filter, ks::PropertyCall &call, bool &handled)
{
    KSPROPERTY property;
    std::memcpy(&property, call.input, sizeof property);
    handled = false;
    const PortProperty *entry = nullptr;
    for (const PortProperty &candidate : FilterProperties)
        if (candidate.id == property.Id && IsEqualGUID(*candidate.set, property.Set))
            entry = &candidate;
    if (entry == nullptr || MiniportAnswers(filter, property))
        return STATUS_SUCCESS;
    handled = true;
    const ULONG verb = VerbOf(property.Flags);
    if (verb == KSPROPERTY_TYPE_SETSUPPORT)
        return STATUS_SUCCESS;
    if (verb == KSPROPERTY_TYPE_BASICSUPPORT)
        return BasicSupportReply(call, entry->access);
    if (!(entry->access & verb))
        return STATUS_INVALID_DEVICE_REQUEST;
    if (call.inputLength < entry->descriptor)
        return STATUS_INVALID_BUFFER_SIZE;
    ULONG pin = 0;
    if (entry->descriptor >= ByPin && IsEqualGUID(property.Set, KSPROPSETID_Pin)) {
        KSP_PIN head;
        std::memcpy(&head, call.input, sizeof head);
        if (head.PinId >= Filter(filter)->PinCount)
            return STATUS_INVALID_PARAMETER;
        pin = head.PinId;
    }
    return entry->answer(filter, call, pin);
}

} // namespace standin::portcls
