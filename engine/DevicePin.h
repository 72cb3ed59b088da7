// The streaming pin of a WaveRT filter as the engine drives it: created with
// the endpoint's format, its cyclic buffer (with or without notifications),
// its position register (or the position property where there is none), the
// hardware latency, the notification event, the state one step at a time,
// and the packet requests. Every request goes through DeviceIoControl.
#pragma once

#include "KsHeaders.h"
#include "WavFormat.h"

#include <stdint.h>

namespace engine {

class DevicePin {
public:
    DevicePin() = default;
    ~DevicePin() { Close(); }
    DevicePin(const DevicePin &) = delete;
    DevicePin &operator=(const DevicePin &) = delete;

    // KsCreatePin on the filter with the format; data flows in for render.
    HRESULT Create(HANDLE filter, ULONG pinId, bool render, const wav::Format &format);
    // Closes the handle: the port frees the buffer and the register views.
    void Close();
    bool IsOpen() const { return pin != nullptr; }

    // One step (the port refuses jumps); the state is kept on success.
    HRESULT SetState(KSSTATE target);
    KSSTATE State() const { return state; }
    // Steps towards the target one state at a time; stops at the first
    // refusal (going up) or goes on past refusals (going down, as a step down
    // never depends on the device).
    HRESULT WalkTo(KSSTATE target);

    // KSPROPERTY_RTAUDIO_BUFFER_WITH_NOTIFICATION (notifications 1 or 2), or
    // KSPROPERTY_RTAUDIO_BUFFER for a polled stream (notifications 0).
    HRESULT AllocateBuffer(ULONG requestedBytes, ULONG notifications);
    uint8_t *Buffer() const { return buffer; }
    ULONG BufferBytes() const { return bufferBytes; }

    // KSPROPERTY_RTAUDIO_POSITIONREGISTER; where the pin has none, positions
    // come from KSPROPERTY_AUDIO_POSITION.
    HRESULT MapPositionRegister();
    bool UsesRegister() const { return positionRegister != nullptr; }
    // The device's byte offset in the cyclic buffer.
    HRESULT ReadPosition(uint64_t &byteOffset) const;
    HRESULT HardwareLatency(KSRTAUDIO_HWLATENCY &latency) const;

    HRESULT RegisterNotificationEvent(HANDLE event);
    HRESULT UnregisterNotificationEvent();

    HRESULT PacketCount(ULONG &count) const;
    HRESULT WritePacket(ULONG packet, bool endOfStream, ULONG endOfStreamBytes) const;
    HRESULT ReadPacket(KSRTAUDIO_GETREADPACKET_INFO &info) const;
    HRESULT PresentationPosition(KSAUDIO_PRESENTATION_POSITION &position) const;

private:
    HANDLE pin = nullptr;
    KSSTATE state = KSSTATE_STOP;
    uint8_t *buffer = nullptr;
    ULONG bufferBytes = 0;
    const volatile void *positionRegister = nullptr;
    ULONG registerWidth = 0;
    HANDLE registeredEvent = nullptr;
};

} // namespace engine
