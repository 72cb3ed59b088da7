// Writing ahead of the device: by position, whole periods while the buffer
// has room for them; by packet, the packet after the one in flight.
#include "RenderPump.h"
#include "Status.h"

#include <cstring>

namespace engine {

RenderPump::RenderPump(DevicePin &pin, const PumpPlan &plan, PumpStatistics &statistics, Source &source)
    : Pump(pin, plan, statistics), source(source), pending(scratch.size())
{
}

void RenderPump::Fill(uint64_t at, uint8_t *out)
{
    const uint32_t period = plan.periodFrames;
    size_t got = 0;
    if (!ended) {
        got = source.Read(out, period);
        if (got < period) {
            ended = true;
            endFrame = at + got;
        }
    }
    std::memset(out + got * plan.frameBytes, plan.silence, (period - got) * plan.frameBytes);
    Count([&](StreamReport &r) {
        r.sourceFrames += got;
        r.sourceEnded = ended;
    });
}

void RenderPump::WritePeriod(uint64_t at, bool running)
{
    Fill(at, scratch.data());
    // The source may have kept the thread: where the device has gone past,
    // the period goes where the device is now (nothing of the source skipped).
    uint64_t position = 0;
    if (running && PositionNow(position) == S_OK && position > at) {
        Count([&](StreamReport &r) {
            ++r.underruns;
            r.underrunFrames += position - at;
        });
        written = at = position;
    }
    ToBuffer(at, scratch.data(), plan.periodFrames);
    Count([&](StreamReport &r) { r.frames += plan.periodFrames; });
}

HRESULT RenderPump::Prime()
{
    written = 0;
    if (plan.mode != Mode::Packet) {
        // As much as the buffer holds, in whole periods.
        while (written + plan.periodFrames <= plan.bufferFrames) {
            WritePeriod(written, false);
            written += plan.periodFrames;
        }
        return S_OK;
    }
    // Packet 0 is in flight as soon as the device runs: it is written now and
    // not announced. Packet 1 is the first the engine announces.
    Fill(0, scratch.data());
    ToBuffer(0, scratch.data(), plan.periodFrames);
    Count([&](StreamReport &r) {
        r.frames += plan.periodFrames;
        ++r.packets;
    });
    lastPacket = 0;
    return PlacePacket(1);
}

void RenderPump::Service(uint64_t position, bool notified)
{
    if (plan.mode == Mode::Packet) {
        PlayedUnwritten(position / plan.periodFrames);
        // Packets follow the device's notifications, never a time-out.
        if (notified)
            ServicePackets(position);
    } else {
        if (position > written) {
            Count([&](StreamReport &r) {
                ++r.underruns;
                r.underrunFrames += position - written;
            });
            written = position;
        }
        while (written + plan.periodFrames <= position + plan.bufferFrames) {
            WritePeriod(written, true);
            written += plan.periodFrames;
            position = LastPosition();
        }
    }
    if (ended && position >= endFrame)
        finished = true;
}

void RenderPump::PlayedUnwritten(uint64_t inFlight)
{
    // The device plays the packet it is in whether or not it was written:
    // one past the last announced is an underrun, each counted once.
    if (endAnnounced || inFlight <= lastPacket || inFlight <= underrunThrough)
        return;
    const uint64_t from = underrunThrough > lastPacket ? underrunThrough : lastPacket;
    Count([&](StreamReport &r) {
        ++r.underruns;
        r.underrunFrames += (inFlight - from) * plan.periodFrames;
    });
    underrunThrough = inFlight;
}

void RenderPump::ServicePackets(uint64_t position)
{
    if (!endAnnounced) {
        // A notification with no packet completed since the last one placed
        // (a spurious one, or one left from a boundary already served): the
        // next packet would be early, and its place is the packet the device
        // plays now. The data waits for the next notification.
        if (uint64_t(lastPacket) > position / plan.periodFrames) {
            Count([](StreamReport &r) { ++r.earlyPackets; });
            return;
        }
        PlacePacket(lastPacket + 1);
        return;
    }
    // After the end of the stream nothing is announced any more; the places
    // the device reaches next get silence, so that it plays no old packet.
    ULONG count = 0;
    if (pin.PacketCount(count) != S_OK)
        return;
    for (ULONG packet = silencedThrough + 1; packet <= count + 1; ++packet) {
        std::memset(scratch.data(), plan.silence, scratch.size());
        ToBuffer(uint64_t(packet) * plan.periodFrames, scratch.data(), plan.periodFrames);
        silencedThrough = packet;
    }
}

HRESULT RenderPump::PlacePacket(ULONG packet)
{
    if (!havePending) {
        const bool endedBefore = ended;
        Fill(uint64_t(packet) * plan.periodFrames, pending.data());
        pendingSourceFrames = endedBefore ? 0 : uint32_t(ended ? endFrame - uint64_t(packet) * plan.periodFrames
                                                               : plan.periodFrames);
        pendingEnd = ended;
        havePending = true;
    }
    auto attempt = [&](ULONG number) {
        ToBuffer(uint64_t(number) * plan.periodFrames, pending.data(), plan.periodFrames);
        return pin.WritePacket(number, pendingEnd, pendingSourceFrames * plan.frameBytes);
    };
    HRESULT status = attempt(packet);
    if (status == S_OK) {
        Accepted(packet);
        return S_OK;
    }
    // Late and early come back as one Win32 error; the device's packet count
    // tells them apart.
    ULONG count = 0;
    if (status == NotReady || pin.PacketCount(count) != S_OK) {
        Count([](StreamReport &r) { ++r.deviceErrors; });
        return status;
    }
    if (packet < count + 1) {
        Count([](StreamReport &r) { ++r.latePackets; });
        PlayedUnwritten(count);
        // What comes next is the packet after the one in flight; the data
        // moves there, and with it the end of the source.
        lastPacket = count;
        if (pendingEnd)
            endFrame += uint64_t(count + 1 - packet) * plan.periodFrames;
        status = attempt(count + 1);
        if (status == S_OK)
            Accepted(count + 1);
    } else if (packet > count + 1) {
        // The device has not finished the packet before: the data waits.
        Count([](StreamReport &r) { ++r.earlyPackets; });
    } else {
        Count([](StreamReport &r) { ++r.deviceErrors; });
    }
    return status;
}

void RenderPump::Accepted(ULONG packet)
{
    lastPacket = packet;
    havePending = false;
    if (pendingEnd) {
        endAnnounced = true;
        silencedThrough = packet;
    }
    Count([&](StreamReport &r) {
        r.frames += plan.periodFrames;
        ++r.packets;
    });
}

} // namespace engine
