// The topology miniport: its interfaces, the jack description and the
// jack-change event.
#include "TopologyMiniport.h"
#include "FilterNumbers.h"
#include "PortEvents.h"
#include "PropertyReplies.h"
#include "TextFormat.h"
#include "TopologyFilterTables.h"

namespace {

// One jack description after its multiple-item header.
struct JackReply {
    KSMULTIPLE_ITEM Header;
    KSJACK_DESCRIPTION Jack;
};
static_assert(sizeof(JackReply) == 36, "a multiple item and one jack description");

} // namespace

TopologyMiniport::TopologyMiniport(EndpointLink *link, bool isCapture) : link(link), isCapture(isCapture)
{
    Mosaik::FormatText(subdeviceName, NameCapacity, L"%S%S", "topo", isCapture ? "_c" : "_r");
}

TopologyMiniport::~TopologyMiniport()
{
    ReleasePort(port, portEvents);
}

NTSTATUS TopologyMiniport::NonDelegatingQueryInterface(REFIID iid, PVOID *object)
{
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IMiniport) ||
        IsEqualGUID(iid, IID_IMiniportTopology))
        return Hand(static_cast<IMiniportTopology *>(this), object);
    return Refuse(object);
}

STDMETHODIMP_(NTSTATUS) TopologyMiniport::GetDescription(PPCFILTER_DESCRIPTOR *description)
{
    *description = const_cast<PPCFILTER_DESCRIPTOR>(isCapture ? &TopologyCaptureFilter : &TopologyRenderFilter);
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) TopologyMiniport::DataRangeIntersection(ULONG, PKSDATARANGE, PKSDATARANGE, ULONG, PVOID,
                                                                PULONG)
{
    return STATUS_NOT_IMPLEMENTED; // bridge pins only: PortCls's own answer
}

STDMETHODIMP_(NTSTATUS) TopologyMiniport::Init(PUNKNOWN, PRESOURCELIST, PPORTTOPOLOGY newPort)
{
    return BindPort(newPort, port, portEvents);
}

ULONG TopologyMiniport::JackPin() const
{
    return isCapture ? ULONG{TopologyCaptureJack} : ULONG{TopologyRenderJack};
}

void TopologyMiniport::RaiseJackInfoChange() { RaisePinCapsEvent(portEvents, KSEVENT_PINCAPS_JACKINFOCHANGE, JackPin()); }

void TopologyMiniport::ReleaseFromLink() { Release(); }

TopologyMiniport *TopologyMiniport::FromTarget(PUNKNOWN majorTarget)
{
    // PortCls hands back the unknown the port was initialised with.
    return static_cast<TopologyMiniport *>(static_cast<IMiniportTopology *>(majorTarget));
}

NTSTATUS TopologyMiniport::PropertyJackDescription(PPCPROPERTY_REQUEST request)
{
    return FromTarget(request->MajorTarget)->JackDescription(request);
}

// Reads the client's readiness once and takes no lock.
NTSTATUS TopologyMiniport::JackDescription(PPCPROPERTY_REQUEST request)
{
    if (request->Verb & KSPROPERTY_TYPE_BASICSUPPORT)
        return BasicSupportReply(request, GUID_NULL, PropertyTypeUnwritten);
    const NTSTATUS status = CheckValueSize(request, sizeof(ULONG), sizeof(JackReply));
    if (status != STATUS_SUCCESS)
        return status;
    if (request->Instance == nullptr || *static_cast<const ULONG *>(request->Instance) != JackPin())
        return STATUS_INVALID_PARAMETER;
    if (!(request->Verb & KSPROPERTY_TYPE_GET))
        return STATUS_INVALID_DEVICE_REQUEST;
    JackReply reply = {};
    reply.Header.Size = sizeof reply;
    reply.Header.Count = 1;
    reply.Jack.ChannelMapping = 0;
    reply.Jack.Color = 0;
    reply.Jack.ConnectionType = eConnTypeOtherDigital;
    reply.Jack.GeoLocation = eGeoLocNotApplicable;
    reply.Jack.GenLocation = eGenLocSeparate;
    reply.Jack.PortConnection = ePortConnJack;
    reply.Jack.IsConnected = link->IsClientReadyNow() ? TRUE : FALSE;
    RtlCopyMemory(request->Value, &reply, sizeof reply);
    request->ValueSize = sizeof reply;
    return STATUS_SUCCESS;
}

NTSTATUS TopologyMiniport::EventJackInfoChange(PPCEVENT_REQUEST request)
{
    return HandlePinCapsEvent(request, FromTarget(request->MajorTarget)->portEvents);
}
