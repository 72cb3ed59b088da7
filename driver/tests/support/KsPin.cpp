// The test engine's pin: creation with KsCreatePin, states, buffer, events,
// registers, positions and packets.
#include "KsClient.h"

namespace ks_client {
namespace {

constexpr GUID RtAudio = {STATIC_KSPROPSETID_RtAudio};
constexpr GUID Connection = {STATIC_KSPROPSETID_Connection};
constexpr GUID Audio = {STATIC_KSPROPSETID_Audio};

KSPROPERTY Descriptor(const GUID &set, ULONG id, ULONG flags)
{
    KSPROPERTY property = {};
    property.Set = set;
    property.Id = id;
    property.Flags = flags;
    return property;
}

template <typename Value>
Status GetRtAudio(Handle handle, ULONG id, Value *value)
{
    return Property(handle, RtAudio, id, KSPROPERTY_TYPE_GET, value, sizeof *value).status;
}

} // namespace

EnginePin::~EnginePin() { CloseHandle(); }

DWORD EnginePin::Create(Handle filter, const KSDATAFORMAT_WAVEFORMATEXTENSIBLE &format, ULONG pinId)
{
    struct {
        KSPIN_CONNECT connect;
        KSDATAFORMAT_WAVEFORMATEXTENSIBLE format;
    } request = {};
    request.connect.Interface.Set = KSINTERFACESETID_Standard;
    request.connect.Interface.Id = KSINTERFACE_STANDARD_STREAMING;
    request.connect.Medium.Set = KSMEDIUMSETID_Standard;
    request.connect.Medium.Id = KSMEDIUM_TYPE_ANYINSTANCE;
    request.connect.PinId = pinId;
    request.connect.Priority.PriorityClass = KSPRIORITY_NORMAL;
    request.connect.Priority.PrioritySubClass = KSPRIORITY_NORMAL;
    request.format = format;
    HANDLE created = nullptr;
    const DWORD error = KsCreatePin(static_cast<HANDLE>(filter), &request.connect, GENERIC_READ | GENERIC_WRITE,
                                    &created);
    if (error == ERROR_SUCCESS) {
        pin = created;
        state = KSSTATE_STOP;
    }
    return error;
}

Status EnginePin::CloseHandle()
{
    if (pin == nullptr)
        return 0;
    const Status status = Close(pin);
    pin = nullptr;
    return status;
}

Status EnginePin::SetState(KSSTATE next)
{
    KSSTATE value = next;
    const Status status = Property(pin, Connection, KSPROPERTY_CONNECTION_STATE, KSPROPERTY_TYPE_SET, &value,
                                   sizeof value).status;
    if (status == 0)
        state = next;
    return status;
}

Status EnginePin::GetState(KSSTATE *value)
{
    return Property(pin, Connection, KSPROPERTY_CONNECTION_STATE, KSPROPERTY_TYPE_GET, value, sizeof *value).status;
}

Status EnginePin::WalkTo(KSSTATE target)
{
    while (state != target) {
        const KSSTATE next = static_cast<KSSTATE>(state < target ? state + 1 : state - 1);
        const Status status = SetState(next);
        if (status != 0)
            return status;
    }
    return 0;
}

Status EnginePin::SetFormat(const KSDATAFORMAT_WAVEFORMATEXTENSIBLE &format, ULONG size)
{
    KSDATAFORMAT_WAVEFORMATEXTENSIBLE value = format;
    return Property(pin, Connection, KSPROPERTY_CONNECTION_DATAFORMAT, KSPROPERTY_TYPE_SET, &value, size).status;
}

Status EnginePin::AllocateBuffer(ULONG bytes, ULONG notifications)
{
    KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION request = {};
    request.Property = Descriptor(RtAudio,
                                  notifications == 0 ? KSPROPERTY_RTAUDIO_BUFFER
                                                     : KSPROPERTY_RTAUDIO_BUFFER_WITH_NOTIFICATION,
                                  KSPROPERTY_TYPE_GET);
    request.RequestedBufferSize = bytes;
    request.NotificationCount = notifications;
    const uint32_t inputLength = notifications == 0 ? sizeof(KSRTAUDIO_BUFFER_PROPERTY) : sizeof request;
    KSRTAUDIO_BUFFER reply = {};
    const Status status = Control(pin, IOCTL_KS_PROPERTY, &request, inputLength, &reply, sizeof reply).status;
    if (status == 0)
        buffer = reply;
    return status;
}

Status EnginePin::RegisterEvent(Handle event)
{
    KSRTAUDIO_NOTIFICATION_EVENT_PROPERTY request = {};
    request.Property = Descriptor(RtAudio, KSPROPERTY_RTAUDIO_REGISTER_NOTIFICATION_EVENT, KSPROPERTY_TYPE_GET);
    request.NotificationEvent = event;
    return Control(pin, IOCTL_KS_PROPERTY, &request, sizeof request, nullptr, 0).status;
}

Status EnginePin::UnregisterEvent(Handle event)
{
    KSRTAUDIO_NOTIFICATION_EVENT_PROPERTY request = {};
    request.Property = Descriptor(RtAudio, KSPROPERTY_RTAUDIO_UNREGISTER_NOTIFICATION_EVENT, KSPROPERTY_TYPE_GET);
    request.NotificationEvent = event;
    return Control(pin, IOCTL_KS_PROPERTY, &request, sizeof request, nullptr, 0).status;
}

Status EnginePin::PositionRegister(KSRTAUDIO_HWREGISTER *hwRegister)
{
    KSRTAUDIO_HWREGISTER_PROPERTY request = {};
    request.Property = Descriptor(RtAudio, KSPROPERTY_RTAUDIO_POSITIONREGISTER, KSPROPERTY_TYPE_GET);
    return Control(pin, IOCTL_KS_PROPERTY, &request, sizeof request, hwRegister, sizeof *hwRegister).status;
}

Status EnginePin::ClockRegister(KSRTAUDIO_HWREGISTER *hwRegister)
{
    KSRTAUDIO_HWREGISTER_PROPERTY request = {};
    request.Property = Descriptor(RtAudio, KSPROPERTY_RTAUDIO_CLOCKREGISTER, KSPROPERTY_TYPE_GET);
    return Control(pin, IOCTL_KS_PROPERTY, &request, sizeof request, hwRegister, sizeof *hwRegister).status;
}

Status EnginePin::HardwareLatency(KSRTAUDIO_HWLATENCY *latency) { return GetRtAudio(pin, KSPROPERTY_RTAUDIO_HWLATENCY, latency); }

Status EnginePin::Position(KSAUDIO_POSITION *position)
{
    return Property(pin, Audio, KSPROPERTY_AUDIO_POSITION, KSPROPERTY_TYPE_GET, position, sizeof *position).status;
}

Status EnginePin::PacketCount(ULONG *count) { return GetRtAudio(pin, KSPROPERTY_RTAUDIO_PACKETCOUNT, count); }

Status EnginePin::ReadPacket(KSRTAUDIO_GETREADPACKET_INFO *info) { return GetRtAudio(pin, KSPROPERTY_RTAUDIO_GETREADPACKET, info); }

Status EnginePin::WritePacket(ULONG packet, DWORD flags, ULONG eosLength)
{
    KSRTAUDIO_SETWRITEPACKET_INFO info = {packet, flags, eosLength};
    return Property(pin, RtAudio, KSPROPERTY_RTAUDIO_SETWRITEPACKET, KSPROPERTY_TYPE_SET, &info, sizeof info).status;
}

Status EnginePin::PresentationPosition(KSAUDIO_PRESENTATION_POSITION *position)
{
    return GetRtAudio(pin, KSPROPERTY_RTAUDIO_PRESENTATION_POSITION, position);
}

} // namespace ks_client
