// The streaming pin's kernel-streaming requests.
#include "DevicePin.h"
#include "AudioFormat.h"
#include "KsRequests.h"
#include "Status.h"

#include <cstring>
#include <vector>

namespace engine {

namespace {

HRESULT RtAudioGet(HANDLE pin, ULONG id, void *value, DWORD size)
{
    return ks::Property(pin, KSPROPSETID_RtAudio, id, KSPROPERTY_TYPE_GET, value, size).status;
}

} // namespace

HRESULT DevicePin::Create(HANDLE filter, ULONG pinId, bool render, const wav::Format &format)
{
    Close();
    const KSDATAFORMAT_WAVEFORMATEXTENSIBLE data = ToKsFormat(format);
    std::vector<uint8_t> connect(sizeof(KSPIN_CONNECT) + sizeof data);
    KSPIN_CONNECT head{};
    // WaveRT pins stream through the looped buffer of the standard interface.
    head.Interface.Set = KSINTERFACESETID_Standard;
    head.Interface.Id = KSINTERFACE_STANDARD_LOOPED_STREAMING;
    head.Medium.Set = KSMEDIUMSETID_Standard;
    head.Medium.Id = KSMEDIUM_TYPE_ANYINSTANCE;
    head.PinId = pinId;
    head.PinToHandle = nullptr;
    head.Priority.PriorityClass = KSPRIORITY_NORMAL;
    head.Priority.PrioritySubClass = 1;
    std::memcpy(connect.data(), &head, sizeof head);
    std::memcpy(connect.data() + sizeof head, &data, sizeof data);
    HANDLE created = nullptr;
    const DWORD error = KsCreatePin(filter, reinterpret_cast<PKSPIN_CONNECT>(connect.data()),
                                    render ? GENERIC_WRITE : GENERIC_READ, &created);
    if (error != ERROR_SUCCESS)
        return HRESULT_FROM_WIN32(error);
    pin = created;
    state = KSSTATE_STOP;
    return S_OK;
}

void DevicePin::Close()
{
    if (pin == nullptr)
        return;
    CloseHandle(pin);
    pin = nullptr;
    state = KSSTATE_STOP;
    buffer = nullptr;
    bufferBytes = 0;
    positionRegister = nullptr;
    registerWidth = 0;
    registeredEvent = nullptr;
}

HRESULT DevicePin::SetState(KSSTATE target)
{
    ULONG value = target;
    const HRESULT status =
        ks::Property(pin, KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, KSPROPERTY_TYPE_SET, &value, sizeof value)
            .status;
    if (status == S_OK)
        state = target;
    return status;
}

HRESULT DevicePin::WalkTo(KSSTATE target)
{
    HRESULT first = S_OK;
    while (state != target) {
        const bool up = target > state;
        const KSSTATE next = static_cast<KSSTATE>(state + (up ? 1 : -1));
        const HRESULT status = SetState(next);
        if (status == S_OK)
            continue;
        if (up)
            return status;
        // Down: the step is taken as done whatever the device said.
        if (first == S_OK)
            first = status;
        state = next;
    }
    return first;
}

HRESULT DevicePin::AllocateBuffer(ULONG requestedBytes, ULONG notifications)
{
    KSRTAUDIO_BUFFER result{};
    HRESULT status;
    if (notifications == 0) {
        KSRTAUDIO_BUFFER_PROPERTY request{};
        request.Property.Set = KSPROPSETID_RtAudio;
        request.Property.Id = KSPROPERTY_RTAUDIO_BUFFER;
        request.Property.Flags = KSPROPERTY_TYPE_GET;
        request.BaseAddress = nullptr;
        request.RequestedBufferSize = requestedBytes;
        status = ks::Request(pin, &request, sizeof request, &result, sizeof result).status;
    } else {
        KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION request{};
        request.Property.Set = KSPROPSETID_RtAudio;
        request.Property.Id = KSPROPERTY_RTAUDIO_BUFFER_WITH_NOTIFICATION;
        request.Property.Flags = KSPROPERTY_TYPE_GET;
        request.BaseAddress = nullptr;
        request.RequestedBufferSize = requestedBytes;
        request.NotificationCount = notifications;
        status = ks::Request(pin, &request, sizeof request, &result, sizeof result).status;
    }
    if (status != S_OK)
        return status;
    if (result.BufferAddress == nullptr || result.ActualBufferSize == 0)
        return BufferSizeError;
    buffer = static_cast<uint8_t *>(result.BufferAddress);
    bufferBytes = result.ActualBufferSize;
    return S_OK;
}

HRESULT DevicePin::MapPositionRegister()
{
    KSRTAUDIO_HWREGISTER_PROPERTY request{};
    request.Property.Set = KSPROPSETID_RtAudio;
    request.Property.Id = KSPROPERTY_RTAUDIO_POSITIONREGISTER;
    request.Property.Flags = KSPROPERTY_TYPE_GET;
    KSRTAUDIO_HWREGISTER reg{};
    const HRESULT status = ks::Request(pin, &request, sizeof request, &reg, sizeof reg).status;
    if (status != S_OK)
        return status;
    if (reg.Register == nullptr || (reg.Width != 32 && reg.Width != 64))
        return NotSupported;
    positionRegister = reg.Register;
    registerWidth = reg.Width;
    return S_OK;
}

HRESULT DevicePin::ReadPosition(uint64_t &byteOffset) const
{
    if (positionRegister != nullptr) {
        // The device writes the register while the engine reads it.
        byteOffset = registerWidth == 64 ? *static_cast<const volatile uint64_t *>(positionRegister)
                                         : *static_cast<const volatile uint32_t *>(positionRegister);
        return S_OK;
    }
    KSAUDIO_POSITION position{};
    const HRESULT status =
        ks::Property(pin, KSPROPSETID_Audio, KSPROPERTY_AUDIO_POSITION, KSPROPERTY_TYPE_GET, &position, sizeof position)
            .status;
    if (status == S_OK)
        byteOffset = position.PlayOffset;
    return status;
}

HRESULT DevicePin::HardwareLatency(KSRTAUDIO_HWLATENCY &latency) const
{
    return RtAudioGet(pin, KSPROPERTY_RTAUDIO_HWLATENCY, &latency, sizeof latency);
}

HRESULT DevicePin::RegisterNotificationEvent(HANDLE event)
{
    KSRTAUDIO_NOTIFICATION_EVENT_PROPERTY request{};
    request.Property.Set = KSPROPSETID_RtAudio;
    request.Property.Id = KSPROPERTY_RTAUDIO_REGISTER_NOTIFICATION_EVENT;
    request.Property.Flags = KSPROPERTY_TYPE_GET;
    request.NotificationEvent = event;
    const HRESULT status = ks::Request(pin, &request, sizeof request, nullptr, 0).status;
    if (status == S_OK)
        registeredEvent = event;
    return status;
}

HRESULT DevicePin::UnregisterNotificationEvent()
{
    if (registeredEvent == nullptr)
        return S_OK;
    KSRTAUDIO_NOTIFICATION_EVENT_PROPERTY request{};
    request.Property.Set = KSPROPSETID_RtAudio;
    request.Property.Id = KSPROPERTY_RTAUDIO_UNREGISTER_NOTIFICATION_EVENT;
    request.Property.Flags = KSPROPERTY_TYPE_GET;
    request.NotificationEvent = registeredEvent;
    registeredEvent = nullptr;
    return ks::Request(pin, &request, sizeof request, nullptr, 0).status;
}

HRESULT DevicePin::PacketCount(ULONG &count) const
{
    return RtAudioGet(pin, KSPROPERTY_RTAUDIO_PACKETCOUNT, &count, sizeof count);
}

HRESULT DevicePin::WritePacket(ULONG packet, bool endOfStream, ULONG endOfStreamBytes) const
{
    KSRTAUDIO_SETWRITEPACKET_INFO info{};
    info.PacketNumber = packet;
    info.Flags = endOfStream ? KSSTREAM_HEADER_OPTIONSF_ENDOFSTREAM : 0;
    info.EosPacketLength = endOfStream ? endOfStreamBytes : 0;
    return ks::Property(pin, KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_SETWRITEPACKET, KSPROPERTY_TYPE_SET, &info,
                        sizeof info)
        .status;
}

HRESULT DevicePin::ReadPacket(KSRTAUDIO_GETREADPACKET_INFO &info) const
{
    return RtAudioGet(pin, KSPROPERTY_RTAUDIO_GETREADPACKET, &info, sizeof info);
}

HRESULT DevicePin::PresentationPosition(KSAUDIO_PRESENTATION_POSITION &position) const
{
    return RtAudioGet(pin, KSPROPERTY_RTAUDIO_PRESENTATION_POSITION, &position, sizeof position);
}

} // namespace engine
