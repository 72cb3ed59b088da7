// The audio engine's side of the driver's endpoints, as tests drive it from
// emulated user processes: filters opened by interface path, pins created
// relative to them with the name, connection and format KsCreatePin sends,
// and kernel-streaming property and event requests with DeviceIoControl's
// semantics. Statuses are the NTSTATUS values the requests complete with.
// Over the platform's request boundary only, so tests of either side
// (driver or client wchar_t) can use it; include the side's base headers
// first.
#pragma once

#include <devioctl.h>
#include <mmreg.h>
#include <ks.h>
#include <ksmedia.h>
#include <KsCompat.h>
#include <io_boundary.h>
#include <string>

namespace ks_client {

using Status = int32_t;
using Handle = standin::io::boundary::Handle;

struct Reply {
    Status status;
    uint64_t information;
};

// Opens a filter (or a pipe) by its path in the current process.
Status Open(const std::u16string &path, Handle *handle);
Status Close(Handle handle);

// A device-control request as DeviceIoControl sends it.
Reply Control(Handle handle, uint32_t code, const void *input, uint32_t inputLength, void *output,
              uint32_t outputLength);

// The property identifier a request starts with.
KSPROPERTY Descriptor(const GUID &set, ULONG id, ULONG flags);

// IOCTL_KS_PROPERTY with a plain property, a pin property (KSP_PIN) or a
// node property (KSNODEPROPERTY, the topology flag added).
Reply Property(Handle handle, const GUID &set, ULONG id, ULONG flags, void *value, ULONG valueSize);
Reply PinProperty(Handle filter, ULONG pinId, const GUID &set, ULONG id, ULONG flags, void *value,
                  ULONG valueSize);
Reply NodeProperty(Handle handle, ULONG nodeId, const GUID &set, ULONG id, ULONG flags, void *value,
                   ULONG valueSize);

// Enables an event with event-handle notification; `data` must stay where it
// is until the event is disabled (it names the event).
Reply EnableEvent(Handle handle, const GUID &set, ULONG id, ULONG pinId, Handle event, KSEVENTDATA *data);
Reply DisableEvent(Handle handle, KSEVENTDATA *data);

// A pin-create data format: extensible with the mask given, or (when
// extensible is false) a basic WAVEFORMATEX block.
KSDATAFORMAT_WAVEFORMATEXTENSIBLE WaveFormat(ULONG rate, ULONG validBits, ULONG channels, ULONG containerBytes,
                                             ULONG channelMask, bool extensible = true);

// One streaming pin, as the audio engine drives it.
class EnginePin {
public:
    EnginePin() = default;
    ~EnginePin();
    EnginePin(const EnginePin &) = delete;
    EnginePin &operator=(const EnginePin &) = delete;

    // Creates the pin (pin 0 unless told) in the current process, in the
    // layout of its bitness.
    Status Create(Handle filter, const KSDATAFORMAT_WAVEFORMATEXTENSIBLE &format, ULONG pinId = 0);
    Status CloseHandle();
    Handle Get() const { return pin; }
    // Gives the handle up without closing it.
    Handle Release()
    {
        Handle handle = pin;
        pin = nullptr;
        return handle;
    }

    Status SetState(KSSTATE state);
    Status GetState(KSSTATE *state);
    // Every step from the current state to `state`, stopping at a failure.
    Status WalkTo(KSSTATE state);
    Status SetFormat(const KSDATAFORMAT_WAVEFORMATEXTENSIBLE &format, ULONG size = sizeof(KSDATAFORMAT_WAVEFORMATEXTENSIBLE));

    // KSPROPERTY_RTAUDIO_BUFFER (notifications 0) or BUFFER_WITH_NOTIFICATION.
    Status AllocateBuffer(ULONG bytes, ULONG notifications);
    const KSRTAUDIO_BUFFER &Buffer() const { return buffer; }
    Status RegisterEvent(Handle event);
    Status UnregisterEvent(Handle event);
    Status PositionRegister(KSRTAUDIO_HWREGISTER *hwRegister);
    Status ClockRegister(KSRTAUDIO_HWREGISTER *hwRegister);
    Status HardwareLatency(KSRTAUDIO_HWLATENCY *latency);
    Status Position(KSAUDIO_POSITION *position);
    Status PacketCount(ULONG *count);
    Status ReadPacket(KSRTAUDIO_GETREADPACKET_INFO *info);
    Status WritePacket(ULONG packet, DWORD flags, ULONG eosLength);
    Status PresentationPosition(KSAUDIO_PRESENTATION_POSITION *position);

private:
    Handle pin = nullptr;
    KSSTATE state = KSSTATE_STOP;
    KSRTAUDIO_BUFFER buffer = {};
};

} // namespace ks_client
