// Unwrapping the device's place in the buffer into a position since RUN.
#include "PositionTracker.h"

namespace engine {

void PositionTracker::Reset(uint32_t bufferFrames, uint32_t sampleRate)
{
    buffer = bufferFrames;
    rate = sampleRate;
    position = 0;
    inferred = 0;
}

uint64_t PositionTracker::Update(const PositionClues &clues)
{
    if (buffer == 0)
        return position;
    if (clues.hasExact) {
        if (clues.exactFrames > position)
            position = clues.exactFrames;
        return position;
    }
    // The least advance the register allows, then whole buffers as the other
    // clues require.
    const uint64_t least = position + (clues.offsetFrames % buffer + buffer - position % buffer) % buffer;
    uint64_t candidate = least;
    if (clues.hasFloor && clues.floorFrames > candidate)
        candidate += (clues.floorFrames - candidate + buffer - 1) / buffer * buffer;
    // The candidate nearest to what the time allows, if that is further on.
    const double expected = double(position) + clues.awaySeconds * rate;
    if (expected > double(candidate)) {
        const uint64_t buffers = uint64_t((expected - double(candidate)) / buffer + 0.5);
        candidate += buffers * buffer;
    }
    inferred += (candidate - least) / buffer;
    position = candidate;
    return position;
}

} // namespace engine
