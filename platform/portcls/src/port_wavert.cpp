// The WaveRT port (CLSID_PortWaveRT): IPortWaveRT, a miniport reached as
// IMiniportWaveRT, pins that stream through the miniport's WaveRT streams.
#include "typed_port.h"

namespace standin::portcls {

NTSTATUS NewWaveRTPin(Port *port, FilterObject *filter, ks::PinCreate &create, ks::Object **pin); // wavert_pin.cpp

namespace {

struct WaveRTTraits {
    using Interface = IPortWaveRT;
    static constexpr PortKind Kind = PortKind::WaveRT;
    static const GUID &PortIid() { return IID_IPortWaveRT; }
    static const GUID &MiniportIid() { return IID_IMiniportWaveRT; }
    static NTSTATUS InitMiniport(PUNKNOWN miniport, PUNKNOWN adapter, PRESOURCELIST resources, IPortWaveRT *port)
    {
        return reinterpret_cast<IMiniportWaveRT *>(miniport)->Init(adapter, resources, port);
    }
    static NTSTATUS NewPin(Port *port, FilterObject *filter, ks::PinCreate &create, ks::Object **pin)
    {
        return NewWaveRTPin(port, filter, create, pin);
    }
};

} // namespace

NTSTATUS NewWaveRTPort(PPORT *port)
{
    return TypedPort<WaveRTTraits>::Create(port);
}

} // namespace standin::portcls
