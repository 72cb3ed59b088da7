// The test signal: every sample is a value keyed by its frame index and
// channel, in any format the engine streams, so that a received frame tells
// which frame it is. No sample of it is ever silence, so silence in a
// received stream is told apart from the signal.
#pragma once

#include "WavFormat.h"

#include <stddef.h>
#include <stdint.h>

namespace engine {

class TestSignal {
public:
    explicit TestSignal(const wav::Format &format);

    const wav::Format &Format() const { return format; }
    // Writes frames first .. first + count - 1 of the signal.
    void Generate(uint64_t first, void *out, size_t count) const;
    void Frame(uint64_t index, uint8_t *out) const;
    // A frame of silence.
    void Silence(uint8_t *out) const;
    // Whether every sample of the frame is silence.
    bool IsSilent(const uint8_t *frame) const;
    // Whether the frame is frame `index` of the signal.
    bool Matches(const uint8_t *frame, uint64_t index) const;

private:
    void Sample(uint64_t index, uint32_t channel, uint8_t *out) const;

    wav::Format format;
    uint32_t sampleBytes;
    uint8_t silence;
};

} // namespace engine
