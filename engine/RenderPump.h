// The render side of a running stream: keeps the cyclic buffer filled with
// the application's source ahead of the device position, by position (event
// and poll modes) or by packet (packet mode), and counts what went wrong.
#pragma once

#include "Media.h"
#include "Pump.h"

namespace engine {

class RenderPump : public Pump {
public:
    RenderPump(DevicePin &pin, const PumpPlan &plan, PumpStatistics &statistics, Source &source);

    HRESULT Prime() override;
    bool Finished() const override { return finished; }

private:
    void Service(uint64_t position, bool notified) override;
    void ServicePackets(uint64_t position);
    // One period for stream frame `at` from the source, silence after its end.
    void Fill(uint64_t at, uint8_t *out);
    // running: the device may have passed `at` meanwhile (not while priming).
    void WritePeriod(uint64_t at, bool running);
    // Packet n: the pending data goes into its place and is announced; a
    // refusal is sorted out with the device's packet count.
    HRESULT PlacePacket(ULONG packet);
    void Accepted(ULONG packet);
    // The device is in packet inFlight: counts what it played unwritten.
    void PlayedUnwritten(uint64_t inFlight);

    Source &source;
    uint64_t written = 0; // the stream position up to which the buffer holds data
    bool ended = false;   // the source has ended ...
    uint64_t endFrame = 0; // ... at this stream position
    bool finished = false;

    // Packet mode.
    ULONG lastPacket = 0;       // the last packet the device accepted
    std::vector<uint8_t> pending; // a packet read from the source, not yet accepted
    bool havePending = false;
    uint32_t pendingSourceFrames = 0;
    bool pendingEnd = false;
    bool endAnnounced = false;
    ULONG silencedThrough = 0;   // after the end: packets filled with silence, unannounced
    uint64_t underrunThrough = 0; // the last packet counted as played unwritten
};

} // namespace engine
