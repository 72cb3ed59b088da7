// The work of a running stream, done on its thread each time it wakes: read
// the device position, note how it keeps time, and move audio between the
// application and the cyclic buffer (RenderPump, CapturePump). Counts go to
// the statistics the stream reports.
#pragma once

#include "ClockStats.h"
#include "DevicePin.h"
#include "PositionTracker.h"
#include "StreamReport.h"

#include <stdint.h>
#include <mutex>
#include <vector>

namespace engine {

struct PumpPlan {
    Direction direction = Direction::Render;
    Mode mode = Mode::Event;
    wav::Format format;
    uint32_t frameBytes = 0;
    uint32_t periodFrames = 0;
    uint32_t bufferFrames = 0;
    uint32_t notifications = 0; // per pass of the buffer; 0 for a polled buffer
    uint8_t silence = 0;

    // Frames between two notifications (a packet).
    uint32_t NotificationFrames() const { return notifications != 0 ? bufferFrames / notifications : 0; }
};

// What the stream's thread counts and what the report reads, under the lock.
struct PumpStatistics {
    std::mutex lock;
    StreamReport counts; // the counters only
    ClockSeries notificationClock, positionClock;
};

class Pump {
public:
    Pump(DevicePin &pin, const PumpPlan &plan, PumpStatistics &statistics);
    virtual ~Pump() = default;
    Pump(const Pump &) = delete;
    Pump &operator=(const Pump &) = delete;

    // In PAUSE, before RUN: what must be in the buffer when the device starts.
    virtual HRESULT Prime() = 0;
    // RUN was reached: the timing origin, at the device position 0.
    void Started();
    // One wake of the stream's thread: by the device's notification, or by the
    // engine's timer or a time-out. waitBegan: the performance counter when
    // the thread began the wait that ended.
    void Wake(bool notified, int64_t waitBegan);
    // Render: the source has ended and the device has played all of it.
    virtual bool Finished() const { return false; }

protected:
    virtual void Service(uint64_t position, bool notified) = 0;
    // The device position in frames since RUN, monotonic (PositionTracker):
    // the register's place in the buffer, and what settles whole buffers in
    // this mode; awaySeconds is how long the device may have run unheard.
    HRESULT DevicePosition(uint64_t &frames, double awaySeconds = 0);
    // The same in the middle of serving a wake: the device ran on unheard
    // since the last read (the application may have kept the thread).
    HRESULT PositionNow(uint64_t &frames);
    uint64_t LastPosition() const { return tracker.Position(); }
    // Copies frames to or from the cyclic buffer at a stream position.
    void ToBuffer(uint64_t frame, const uint8_t *data, uint32_t frames);
    void FromBuffer(uint64_t frame, uint8_t *data, uint32_t frames) const;
    template <typename Change>
    void Count(Change change)
    {
        std::lock_guard<std::mutex> hold(statistics.lock);
        change(statistics.counts);
    }

    DevicePin &pin;
    const PumpPlan plan;
    PumpStatistics &statistics;
    std::vector<uint8_t> scratch; // one period
    // Capture packets: the device has certainly passed the packets it handed
    // out (frames up to the end of the last one).
    uint64_t packetFloor = 0;

private:
    int64_t origin = 0;
    int64_t frequency = 1;
    int64_t lastRead = 0; // the performance counter at the last position read
    PositionTracker tracker;
    uint64_t notificationsSeen = 0; // notification boundaries the position had passed
};

} // namespace engine
