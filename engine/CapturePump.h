// The capture side of a running stream: reads what the device has written
// behind its position, whole periods (event and poll modes) or the packets
// the device hands out (packet mode), into the application's sink, and
// counts what the device wrote over before it was read.
#pragma once

#include "Media.h"
#include "Pump.h"

namespace engine {

class CapturePump : public Pump {
public:
    CapturePump(DevicePin &pin, const PumpPlan &plan, PumpStatistics &statistics, Sink &sink);

    HRESULT Prime() override { return S_OK; }

private:
    void Service(uint64_t position, bool notified) override;
    void ServicePackets();

    Sink &sink;
    uint64_t read = 0;     // the stream position up to which the engine has read
    ULONG nextPacket = 0;  // the packet number due next
};

} // namespace engine
