// The topology port (CLSID_PortTopology): IPortTopology, a miniport reached as
// IMiniportTopology; its pins are bridges, none can be instantiated.
#include "typed_port.h"

namespace standin::portcls {

namespace {

struct TopologyTraits {
    using Interface = IPortTopology;
    static constexpr PortKind Kind = PortKind::Topology;
    static const GUID &PortIid() { return IID_IPortTopology; }
    static const GUID &MiniportIid() { return IID_IMiniportTopology; }
    static NTSTATUS InitMiniport(PUNKNOWN miniport, PUNKNOWN adapter, PRESOURCELIST resources, IPortTopology *port)
    {
        return reinterpret_cast<IMiniportTopology *>(miniport)->Init(adapter, resources, port);
    }
    static NTSTATUS NewPin(Port *, FilterObject *, ks::PinCreate &, ks::Object **)
    {
        return STATUS_NOT_SUPPORTED; // a topology filter streams nothing
    }
};

} // namespace

NTSTATUS NewTopologyPort(PPORT *port)
{
    return TypedPort<TopologyTraits>::Create(port);
}

} // namespace standin::portcls
