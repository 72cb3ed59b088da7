// The test adapter's topology filter: a bridge from the wave filter, a
// volume node and a speaker jack, with the jack-description property and
// the jack-information and node events.
//
//   [pin 0: bridge in] --> (node 0: volume) --> [pin 1: speaker jack]
#include "TestShared.h"

#include <cstring>
#include <new>

namespace testadapter {

namespace {

NTSTATUS JackDescription(PPCPROPERTY_REQUEST request);
NTSTATUS TopologyEvent(PPCEVENT_REQUEST request);
NTSTATUS NodeProbe(PPCPROPERTY_REQUEST request);

const PCPROPERTY_ITEM FilterProperties[] = {
    {&KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION, KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_BASICSUPPORT,
     &JackDescription},
};
const PCEVENT_ITEM FilterEvents[] = {
    {&KSEVENTSETID_PinCapsChange, KSEVENT_PINCAPS_JACKINFOCHANGE, KSEVENT_TYPE_ENABLE | KSEVENT_TYPE_BASICSUPPORT,
     &TopologyEvent},
};
const PCAUTOMATION_TABLE FilterAutomation = {
    sizeof(PCPROPERTY_ITEM), SIZEOF_ARRAY(FilterProperties), FilterProperties, 0, 0, nullptr,
    sizeof(PCEVENT_ITEM),    SIZEOF_ARRAY(FilterEvents),     FilterEvents,     0};

const PCPROPERTY_ITEM NodeProperties[] = {
    {&TestPropertySet, PropertyProbe, KSPROPERTY_TYPE_GET, &NodeProbe},
};
const PCEVENT_ITEM NodeEvents[] = {
    {&TestNodeEventSet, 1, KSEVENT_TYPE_ENABLE | KSEVENT_TYPE_ONESHOT | KSEVENT_TYPE_BASICSUPPORT, &TopologyEvent},
};
const PCAUTOMATION_TABLE NodeAutomation = {
    sizeof(PCPROPERTY_ITEM), SIZEOF_ARRAY(NodeProperties), NodeProperties, 0, 0, nullptr,
    sizeof(PCEVENT_ITEM),    SIZEOF_ARRAY(NodeEvents),     NodeEvents,     0};

KSDATARANGE BridgeRange()
{
    KSDATARANGE range{};
    range.FormatSize = sizeof range;
    range.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    range.SubFormat = KSDATAFORMAT_SUBTYPE_ANALOG;
    range.Specifier = KSDATAFORMAT_SPECIFIER_NONE;
    return range;
}

struct TopologyTables {
    KSDATARANGE bridge;
    PKSDATARANGE ranges[1];
    PCPIN_DESCRIPTOR pins[2];
    PCNODE_DESCRIPTOR nodes[1];
    PCCONNECTION_DESCRIPTOR connections[2];
    GUID categories[2];
    PCFILTER_DESCRIPTOR filter;
};

TopologyTables &Tables()
{
    static TopologyTables *tables = [] {
        auto *t = new TopologyTables{};
        t->bridge = BridgeRange();
        t->ranges[0] = &t->bridge;
        t->pins[TopologyBridgePin] = {0, 0, 0, nullptr, {}};
        t->pins[TopologyBridgePin].KsPinDescriptor = {
            0,       nullptr, 0, nullptr, 1, t->ranges, KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_NONE, &KSCATEGORY_AUDIO,
            nullptr, {}};
        t->pins[TopologyJackPin] = {0, 0, 0, nullptr, {}};
        t->pins[TopologyJackPin].KsPinDescriptor = {0,
                                                    nullptr,
                                                    0,
                                                    nullptr,
                                                    1,
                                                    t->ranges,
                                                    KSPIN_DATAFLOW_OUT,
                                                    KSPIN_COMMUNICATION_NONE,
                                                    &KSNODETYPE_SPEAKER,
                                                    nullptr,
                                                    {}};
        t->nodes[TopologyVolumeNode] = {0, &NodeAutomation, &KSNODETYPE_VOLUME, &KSAUDFNAME_PEAKMETER};
        t->connections[0] = {PCFILTER_NODE, TopologyBridgePin, TopologyVolumeNode, 1};
        t->connections[1] = {TopologyVolumeNode, 0, PCFILTER_NODE, TopologyJackPin};
        t->categories[0] = KSCATEGORY_AUDIO;
        t->categories[1] = KSCATEGORY_TOPOLOGY;
        t->filter = {0,
                     &FilterAutomation,
                     sizeof(PCPIN_DESCRIPTOR),
                     2,
                     t->pins,
                     sizeof(PCNODE_DESCRIPTOR),
                     1,
                     t->nodes,
                     2,
                     t->connections,
                     2,
                     t->categories};
        return t;
    }();
    return *tables;
}

class TopologyMiniport final : public IMiniportTopology, public RefCounted {
public:
    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID iid, PVOID *object) override
    {
        const bool known = IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IMiniport) ||
                           IsEqualGUID(iid, IID_IMiniportTopology);
        return Answer(object, known ? static_cast<IMiniportTopology *>(this) : nullptr);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return AddRefBase(); }
    STDMETHODIMP_(ULONG) Release() override { return ReleaseBase(); }

    STDMETHODIMP_(NTSTATUS) GetDescription(PPCFILTER_DESCRIPTOR *description) override
    {
        *description = &Tables().filter;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS) DataRangeIntersection(ULONG, PKSDATARANGE, PKSDATARANGE, ULONG, PVOID, PULONG) override
    {
        return STATUS_NOT_IMPLEMENTED;
    }
    STDMETHODIMP_(NTSTATUS) Init(PUNKNOWN, PRESOURCELIST, PPORTTOPOLOGY port) override
    {
        return port_.Init(port, State().topologyEvents);
    }

private:
    ~TopologyMiniport() override { port_.Release(State().topologyEvents); }

    PortLink<IPortTopology> port_;
};

NTSTATUS JackDescription(PPCPROPERTY_REQUEST request)
{
    CallProbe probe;
    if (request->Verb & KSPROPERTY_TYPE_BASICSUPPORT)
        return AccessFlagsReply(request);
    const ULONG size = sizeof(KSMULTIPLE_ITEM) + sizeof(KSJACK_DESCRIPTION);
    if (request->ValueSize == 0) {
        request->ValueSize = size;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (request->ValueSize < size || request->InstanceSize < sizeof(ULONG))
        return STATUS_BUFFER_TOO_SMALL;
    if (*static_cast<ULONG *>(request->Instance) != TopologyJackPin)
        return STATUS_INVALID_PARAMETER;
    const KSMULTIPLE_ITEM header{size, 1};
    BOOL connected;
    {
        std::lock_guard<std::mutex> hold(State().lock);
        connected = State().jackConnected ? TRUE : FALSE;
    }
    const KSJACK_DESCRIPTION jack{KSAUDIO_SPEAKER_STEREO, 0x00FF00,      eConnType3Point5mm, eGeoLocRear,
                                  eGenLocPrimaryBox,      ePortConnJack, connected};
    auto *value = static_cast<uint8_t *>(request->Value);
    std::memcpy(value, &header, sizeof header);
    std::memcpy(value + sizeof header, &jack, sizeof jack);
    request->ValueSize = size;
    return STATUS_SUCCESS;
}

NTSTATUS NodeProbe(PPCPROPERTY_REQUEST request)
{
    CallProbe probe;
    std::lock_guard<std::mutex> hold(State().lock);
    State().observed.probeNode = request->Node;
    State().observed.probeVerb = request->Verb;
    if (request->ValueSize == 0) {
        request->ValueSize = sizeof(ULONG);
        return STATUS_BUFFER_OVERFLOW;
    }
    if (request->ValueSize < sizeof(ULONG))
        return STATUS_BUFFER_TOO_SMALL;
    *static_cast<ULONG *>(request->Value) = 0x70D0 + request->Node;
    request->ValueSize = sizeof(ULONG);
    return STATUS_SUCCESS;
}

NTSTATUS TopologyEvent(PPCEVENT_REQUEST request)
{
    return HandleEventRequest(request, State().topologyEvents);
}

} // namespace

NTSTATUS NewTopologyMiniport(PUNKNOWN *miniport)
{
    auto *object = new (std::nothrow) TopologyMiniport;
    if (object == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    *miniport = static_cast<IMiniportTopology *>(object);
    return STATUS_SUCCESS;
}

void SetJack(bool connected)
{
    {
        std::lock_guard<std::mutex> hold(State().lock);
        State().jackConnected = connected;
    }
    Generate(true, &KSEVENTSETID_PinCapsChange, KSEVENT_PINCAPS_JACKINFOCHANGE, true, TopologyJackPin, false, 0);
}

} // namespace testadapter
