// Reading behind the device: by position, every whole period it has
// completed; by packet, each packet it reports until it has no new one.
#include "CapturePump.h"
#include "Status.h"

namespace engine {

namespace {

// Packets read on one wake at most: a device that always has one more would
// otherwise hold the thread.
constexpr int MostPacketsPerWake = 64;

} // namespace

CapturePump::CapturePump(DevicePin &pin, const PumpPlan &plan, PumpStatistics &statistics, Sink &sink)
    : Pump(pin, plan, statistics), sink(sink)
{
}

void CapturePump::Service(uint64_t position, bool notified)
{
    if (plan.mode == Mode::Packet) {
        if (notified)
            ServicePackets();
        return;
    }
    for (bool first = true; read + plan.periodFrames <= position; first = false) {
        // The sink may have kept the thread: the device has gone on since.
        if (!first && PositionNow(position) != S_OK)
            return;
        // More than a buffer behind: the device has written over the oldest.
        if (position > read + plan.bufferFrames) {
            Count([&](StreamReport &r) {
                ++r.overruns;
                r.overrunFrames += position - plan.bufferFrames - read;
            });
            read = position - plan.bufferFrames;
        }
        if (read + plan.periodFrames > position)
            break;
        FromBuffer(read, scratch.data(), plan.periodFrames);
        sink.Write(scratch.data(), plan.periodFrames);
        read += plan.periodFrames;
        Count([&](StreamReport &r) { r.frames += plan.periodFrames; });
    }
}

void CapturePump::ServicePackets()
{
    // Every packet the device has ready first: the last of them says how far
    // the device has certainly gone.
    ULONG packets[MostPacketsPerWake];
    int ready = 0;
    while (ready < MostPacketsPerWake) {
        KSRTAUDIO_GETREADPACKET_INFO info{};
        const HRESULT status = pin.ReadPacket(info);
        if (status == NotReady)
            break; // no new data
        if (status != S_OK) {
            Count([](StreamReport &r) { ++r.deviceErrors; });
            break;
        }
        packets[ready++] = info.PacketNumber;
    }
    if (ready == 0)
        return;
    const uint64_t end = (uint64_t(packets[ready - 1]) + 1) * plan.periodFrames;
    if (end > packetFloor)
        packetFloor = end;
    uint64_t position = 0;
    const bool positioned = DevicePosition(position) == S_OK;
    for (int i = 0; i < ready; ++i) {
        const ULONG packet = packets[i];
        if (packet > nextPacket)
            Count([&](StreamReport &r) { r.skippedPackets += packet - nextPacket; });
        const uint64_t start = uint64_t(packet) * plan.periodFrames;
        // The device writes packet n + 2 where packet n was: once it is past
        // that start, the front of the packet holds newer frames. Only what
        // is still the packet's goes on (a whole packet written over, none),
        // so nothing reaches the application twice.
        uint64_t over = positioned && position > start + plan.bufferFrames ? position - start - plan.bufferFrames : 0;
        if (over > plan.periodFrames)
            over = plan.periodFrames;
        if (over != 0)
            Count([&](StreamReport &r) {
                ++r.latePackets;
                ++r.overruns;
                r.overrunFrames += over;
            });
        const uint32_t kept = plan.periodFrames - uint32_t(over);
        FromBuffer(start + over, scratch.data(), kept);
        if (kept != 0)
            sink.Write(scratch.data(), kept);
        nextPacket = packet + 1;
        Count([&](StreamReport &r) {
            r.frames += kept;
            ++r.packets;
        });
    }
}

} // namespace engine
