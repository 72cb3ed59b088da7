// A stream's configuration and what the engine reports about it: the
// transfer counts, every kind of glitch it saw, and how its notifications
// and positions kept time against the ideal clock.
#pragma once

#include "ClockStats.h"
#include "Endpoint.h"

#include <windows.h>

#include <stdint.h>
#include <string>

namespace engine {

// Event: woken by the device's notification event, work by position. Packet:
// woken by the event, the packet requests of Windows 10 decide what to move.
// Poll: woken by a timer of the engine's own, work by the position register.
enum class Mode { Event, Packet, Poll };

enum class StreamState {
    Stopped,     // open, not running
    Running,
    Finished,    // render: the source ended and the device has played all of it
    Invalidated, // the endpoint went (unplugged, not present): the stream is closed
    Failed,      // the device refused something the stream cannot go on without
    Closed,
};

const char *ModeName(Mode mode);
const char *StreamStateName(StreamState state);

struct StreamConfig {
    Mode mode = Mode::Event;
    // The engine's period, frames (0: periodHns, else 10 ms, Windows'
    // default). In packet mode a packet is one period.
    uint32_t periodFrames = 0;
    // The period as a time, 100-ns units, when periodFrames is 0: its frames
    // (rounded up) follow the format the stream opens in, also after a
    // format change.
    int64_t periodHns = 0;
    // The cyclic buffer, frames (0: two periods; three in poll mode).
    uint32_t bufferFrames = 0;
    // Notifications per pass of the buffer in event mode: 1 (at its end) or 2
    // (midway and at the end). Packet mode always uses 2.
    uint32_t notifications = 2;
};

struct StreamReport {
    Direction direction = Direction::Render;
    Mode mode = Mode::Event;
    StreamState state = StreamState::Closed;
    HRESULT lastError = S_OK; // the error that stopped or invalidated the stream
    wav::Format format;
    uint32_t periodFrames = 0;  // as the device's buffer made them
    uint32_t bufferFrames = 0;
    uint32_t notifications = 0; // 0 for a polled buffer
    bool positionRegister = false; // positions from the register (else the position property)
    uint32_t fifoBytes = 0, chipsetDelay = 0, codecDelay = 0; // the hardware latency (delays in 100 ns)

    uint32_t starts = 0;
    uint32_t reopens = 0;        // opened again for a format change
    uint64_t frames = 0;         // frames moved through the cyclic buffer
    uint64_t sourceFrames = 0;   // render: frames of the application's source among them
    bool sourceEnded = false;
    uint64_t wakes = 0;
    uint64_t notificationWakes = 0;
    uint64_t timeouts = 0;       // waits for a notification that timed out

    uint64_t underruns = 0;      // render: the device position overtook what was written
    uint64_t underrunFrames = 0; // frames it played that the engine had not written
    uint64_t overruns = 0;       // capture: the device overwrote what the engine had not read
    uint64_t overrunFrames = 0;
    uint64_t packets = 0;        // packets written or read
    uint64_t latePackets = 0;    // render: refused as late; capture: read after the device wrote over them
    uint64_t earlyPackets = 0;   // render: refused as early
    uint64_t skippedPackets = 0; // capture: packet numbers that never came
    uint64_t deviceErrors = 0;   // other refusals (a device that is not ready)

    ClockFigures notificationTiming; // notification wakes against the packet clock
    ClockFigures positionTiming;     // the device position against the sample clock

    // Several lines, for people.
    std::string Describe() const;
};

} // namespace engine
