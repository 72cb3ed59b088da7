// What every stream's thread does on a wake: the device position, made
// monotonic from its place in the buffer and the mode's other clues, and the
// timing of notifications and positions against the ideal clock.
#include "Pump.h"
#include "Status.h"

#include <atomic>
#include <cstring>

namespace engine {

Pump::Pump(DevicePin &pin, const PumpPlan &plan, PumpStatistics &statistics)
    : pin(pin), plan(plan), statistics(statistics), scratch(size_t(plan.periodFrames) * plan.frameBytes)
{
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    frequency = f.QuadPart > 0 ? f.QuadPart : 1;
}

void Pump::Started()
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    origin = now.QuadPart;
    lastRead = now.QuadPart;
    tracker.Reset(plan.bufferFrames, plan.format.sampleRate);
    packetFloor = 0;
    notificationsSeen = 0;
    const double rate = plan.format.sampleRate;
    const double periodMs = 1000.0 * plan.periodFrames / rate;
    std::lock_guard<std::mutex> hold(statistics.lock);
    // A glitch: off the line by more than half of the interval it measures.
    if (plan.notifications != 0) {
        const double interval = plan.NotificationFrames();
        statistics.notificationClock.Reset(rate / interval, 500.0 * interval / rate, 1);
    } else {
        statistics.notificationClock.Reset(0, 0, 0);
    }
    statistics.positionClock.Reset(rate, periodMs / 2, 0);
}

HRESULT Pump::DevicePosition(uint64_t &frames, double awaySeconds)
{
    uint64_t offset = 0;
    const HRESULT status = pin.ReadPosition(offset);
    if (status != S_OK)
        return status;
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    lastRead = now.QuadPart;
    PositionClues clues;
    clues.offsetFrames = offset / plan.frameBytes;
    clues.awaySeconds = awaySeconds;
    if (plan.mode == Mode::Packet) {
        if (plan.direction == Direction::Render) {
            // The presentation position counts every frame; the packet count
            // every completed packet.
            KSAUDIO_PRESENTATION_POSITION presented{};
            ULONG count = 0;
            if (pin.PresentationPosition(presented) == S_OK) {
                clues.hasExact = true;
                clues.exactFrames = presented.u64PositionInBlocks;
            } else if (pin.PacketCount(count) == S_OK) {
                clues.hasFloor = true;
                clues.floorFrames = uint64_t(count) * plan.NotificationFrames();
            }
        } else {
            clues.hasFloor = true;
            clues.floorFrames = packetFloor;
        }
    }
    frames = tracker.Update(clues);
    return S_OK;
}

HRESULT Pump::PositionNow(uint64_t &frames)
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return DevicePosition(frames, double(now.QuadPart - lastRead) / double(frequency));
}

void Pump::Wake(bool notified, int64_t waitBegan)
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    const double seconds = double(now.QuadPart - origin) / double(frequency);
    // How long the device may have run on without the engine hearing of it.
    // Polled: since the last read, all of it. Notified: while the engine was
    // busy (a boundary passed while it waits wakes it at once); a wait that
    // timed out saw no boundary at all.
    int64_t away = 0;
    if (plan.mode == Mode::Poll)
        away = now.QuadPart - lastRead;
    else if (notified)
        away = waitBegan - lastRead;
    uint64_t position = 0;
    if (DevicePosition(position, away > 0 ? double(away) / double(frequency) : 0) != S_OK) {
        Count([](StreamReport &r) { ++r.deviceErrors; });
        return;
    }
    {
        std::lock_guard<std::mutex> hold(statistics.lock);
        StreamReport &r = statistics.counts;
        ++r.wakes;
        statistics.positionClock.Add(seconds, double(position));
        if (notified) {
            ++r.notificationWakes;
            // A notification marks a boundary the position has just passed;
            // one that passed none is not counted, one that passed two shows
            // as a jump.
            const uint64_t boundaries = plan.notifications != 0 ? position / plan.NotificationFrames() : 0;
            if (boundaries > notificationsSeen) {
                notificationsSeen = boundaries;
                statistics.notificationClock.Add(seconds, double(boundaries));
            }
        }
    }
    Service(position, notified);
}

void Pump::ToBuffer(uint64_t frame, const uint8_t *data, uint32_t frames)
{
    uint8_t *buffer = pin.Buffer();
    const uint32_t at = uint32_t(frame % plan.bufferFrames);
    const uint32_t first = frames < plan.bufferFrames - at ? frames : plan.bufferFrames - at;
    std::memcpy(buffer + size_t(at) * plan.frameBytes, data, size_t(first) * plan.frameBytes);
    std::memcpy(buffer, data + size_t(first) * plan.frameBytes, size_t(frames - first) * plan.frameBytes);
    // The device reads the buffer on its own: the writes are complete first.
    std::atomic_thread_fence(std::memory_order_release);
}

void Pump::FromBuffer(uint64_t frame, uint8_t *data, uint32_t frames) const
{
    std::atomic_thread_fence(std::memory_order_acquire);
    const uint8_t *buffer = pin.Buffer();
    const uint32_t at = uint32_t(frame % plan.bufferFrames);
    const uint32_t first = frames < plan.bufferFrames - at ? frames : plan.bufferFrames - at;
    std::memcpy(data, buffer + size_t(at) * plan.frameBytes, size_t(first) * plan.frameBytes);
    std::memcpy(data + size_t(first) * plan.frameBytes, buffer, size_t(frames - first) * plan.frameBytes);
}

} // namespace engine
