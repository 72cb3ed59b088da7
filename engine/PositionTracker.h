// The device position as a count of frames since RUN that never goes back.
// The register (or the position property) gives only the place in the
// cyclic buffer, which cannot tell an advance of d frames from one of d plus
// whole buffers; the other clues a stream has settle how many whole buffers
// passed: a 64-bit position from the device, the packets it has completed,
// and how long the device could have run without the engine hearing of it.
#pragma once

#include <stdint.h>

namespace engine {

struct PositionClues {
    uint64_t offsetFrames = 0; // the device's place in the buffer
    // How long the device may have run on its own since the last update, at
    // its nominal rate: what the time allows beyond the register (0 when a
    // notification would have woken the engine before a boundary passed).
    double awaySeconds = 0;
    // Frames the device has certainly passed (packets it completed).
    bool hasFloor = false;
    uint64_t floorFrames = 0;
    // A monotonic position of the device's own (the presentation position).
    bool hasExact = false;
    uint64_t exactFrames = 0;
};

class PositionTracker {
public:
    void Reset(uint32_t bufferFrames, uint32_t sampleRate);
    // The position the clues give, never less than the last one.
    uint64_t Update(const PositionClues &clues);
    uint64_t Position() const { return position; }
    // Whole buffers the clues added beyond what the register alone showed.
    uint64_t BuffersInferred() const { return inferred; }

private:
    uint32_t buffer = 0;
    uint32_t rate = 0;
    uint64_t position = 0;
    uint64_t inferred = 0;
};

} // namespace engine
