// A WaveRT pin instance: the miniport's stream and its optional interfaces,
// the pin's state and format, the cyclic buffer and registers mapped into the
// client, and the notification events the client registered. Every call into
// the stream happens under the device lock.
#pragma once

#include "internal.h"

namespace standin::portcls {

class WaveRTPin final : public ks::Object {
public:
    WaveRTPin(Port *port, FilterObject *filter, ULONG pinId, bool capture);
    // Only a pin that never got a stream is deleted from outside; an open one
    // goes through Close.
    ~WaveRTPin() override;

    NTSTATUS Property(ks::PropertyCall &call) override;
    NTSTATUS EnableEvent(ks::EventEnable &request) override;
    NTSTATUS DisableEvent(PFILE_OBJECT file, const void *identity) override;
    ULONG EventSets(GUID *sets, ULONG capacity) override;
    void Close(PIRP irp) override;

    // Walks the stream one state at a time to target; stops at a refusal.
    NTSTATUS StepTo(KSSTATE target);
    void PauseForPower();
    void ResumeAfterPower();
    // The buffer's user view goes first, then the miniport frees it.
    void ReleaseBuffer();

    // A register mapped into the client (position or clock), once per pin.
    struct Register {
        PMDL mdl = nullptr;
        UserView view;
        bool mapped = false;
    };
    void ReleaseRegister(Register &reg);

    Port *const port;
    FilterObject *const filter;
    DeviceContext *const device;
    const ULONG pinId;
    const bool capture;

    IPortWaveRTStream *portStream = nullptr;
    IMiniportWaveRTStream *stream = nullptr;
    IMiniportWaveRTStreamNotification *notification = nullptr;
    IMiniportWaveRTInputStream *input = nullptr;
    IMiniportWaveRTOutputStream *output = nullptr;

    std::vector<uint64_t> format; // the current data format, 8-byte aligned
    ULONG formatSize = 0;
    KSSTATE state = KSSTATE_STOP;
    bool pausedForPower = false;

    struct Buffer {
        PMDL mdl = nullptr;
        ULONG size = 0;
        bool withNotification = false;
        UserView view;
    } buffer;
    Register position, clock;
    std::vector<PKEVENT> notificationEvents; // referenced while registered
};

// KSPROPSETID_RtAudio on a pin instance; handled is false for other sets.
NTSTATUS RtAudioProperty(WaveRTPin &pin, ks::PropertyCall &call, bool &handled);

} // namespace standin::portcls
