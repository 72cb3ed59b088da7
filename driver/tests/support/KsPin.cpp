// The test engine's pin: creation as KsCreatePin sends it, states, buffer, events,
// registers, positions and packets.
#include "KsClient.h"
#include <string.h>
#include <string>

namespace ks_client {
namespace {

constexpr GUID RtAudio = {STATIC_KSPROPSETID_RtAudio};
constexpr GUID Connection = {STATIC_KSPROPSETID_Connection};
constexpr GUID Audio = {STATIC_KSPROPSETID_Audio};

template <typename Value>
Status GetRtAudio(Handle handle, ULONG id, Value *value)
{
    return Property(handle, RtAudio, id, KSPROPERTY_TYPE_GET, value, sizeof *value).status;
}

// KSPIN_CONNECT as a 32-bit process lays it out (the handle in 4 bytes).
struct PinConnect32 {
    KSPIN_INTERFACE Interface;
    KSPIN_MEDIUM Medium;
    ULONG PinId;
    ULONG PinToHandle;
    KSPRIORITY Priority;
};
static_assert(sizeof(PinConnect32) == 64, "the 32-bit connection is 64 bytes");

// The pin's name, a separator, then the connection and the format as bytes.
std::u16string PinCreateName(const KSPIN_CONNECT &connect, const KSDATAFORMAT_WAVEFORMATEXTENSIBLE &format)
{
    std::string bytes;
    if (standin::io::boundary::IsProcess32Bit(standin::io::boundary::CurrentProcess())) {
        const PinConnect32 narrow{connect.Interface, connect.Medium, connect.PinId, 0, connect.Priority};
        bytes.append(reinterpret_cast<const char *>(&narrow), sizeof narrow);
    } else {
        bytes.append(reinterpret_cast<const char *>(&connect), sizeof connect);
    }
    // As many bytes as the block says it has, but never past the block: a
    // damaged size then claims more than the request carries.
    const size_t size = format.DataFormat.FormatSize < sizeof format ? format.DataFormat.FormatSize : sizeof format;
    bytes.append(reinterpret_cast<const char *>(&format), size);
    if (bytes.size() % 2 != 0)
        bytes.push_back(0);
    std::u16string name = u"{146F1A80-4791-11D0-A5D6-28DB04C10000}\\";
    const size_t prefix = name.size();
    name.resize(prefix + bytes.size() / 2);
    memcpy(&name[prefix], bytes.data(), bytes.size());
    return name;
}

} // namespace

EnginePin::~EnginePin() { CloseHandle(); }

Status EnginePin::Create(Handle filter, const KSDATAFORMAT_WAVEFORMATEXTENSIBLE &format, ULONG pinId)
{
    KSPIN_CONNECT connect = {};
    connect.Interface.Set = KSINTERFACESETID_Standard;
    connect.Interface.Id = KSINTERFACE_STANDARD_STREAMING;
    connect.Medium.Set = KSMEDIUMSETID_Standard;
    connect.Medium.Id = KSMEDIUM_TYPE_ANYINSTANCE;
    connect.PinId = pinId;
    connect.Priority.PriorityClass = KSPRIORITY_NORMAL;
    connect.Priority.PrioritySubClass = KSPRIORITY_NORMAL;
    const std::u16string name = PinCreateName(connect, format);
    Handle created = nullptr;
    constexpr uint32_t ReadWrite = 0x80000000u | 0x40000000u; // GENERIC_READ | GENERIC_WRITE
    const Status status = standin::io::boundary::OpenRelative(filter, name.data(), name.size(), ReadWrite, &created);
    if (status >= 0) {
        pin = created;
        state = KSSTATE_STOP;
    }
    return status;
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
