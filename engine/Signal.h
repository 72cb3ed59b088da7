// The test signal: every sample is a value keyed by its frame index and
// channel, in any format the engine streams, so that a received frame tells
// which frame it is. No sample of it is ever silence, so silence in a
// received stream is told apart from the signal. And an index of its frames
// by their first samples, which finds a received frame's place at once.
#pragma once

#include "WavFormat.h"

#include <stddef.h>
#include <stdint.h>

#include <span>
#include <vector>

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
    // One sample: channel `channel` of frame `index`.
    void Sample(uint64_t index, uint32_t channel, uint8_t *out) const;

private:
    wav::Format format;
    uint32_t sampleBytes;
    uint8_t silence;
};

// The places of a range of signal frames by their first samples: a lookup
// gives the few indices in the range whose first samples are those of the
// received frames, instead of every index in it. Samples are taken in
// stream order from the first frame on (into the following frames for
// narrow formats) until they carry about as many bits as the range has
// places, so that buckets stay small in every format.
//
// Counting-sort layout: one offset from the range's first index per place
// (4 bytes), grouped by key, and where each key's group starts (one key per
// four to eight places, 4 bytes each): at most 5 bytes a place, and 4 more
// while it is built (each place's key, computed once).
class SignalIndex {
public:
    explicit SignalIndex(const TestSignal &signal) : signal(signal) {}

    // Forgets the range; keys from the first `maxSamples` samples at most
    // (those of the frames a place is known by). maxPlaces: the largest
    // range that will be built, which sets how many keys there are.
    void Reset(const TestSignal &signal, uint32_t maxSamples, uint64_t maxPlaces);
    // Indexes frames first .. last (at most maxPlaces of them).
    void Build(uint64_t first, uint64_t last);
    bool Covers(uint64_t first, uint64_t last) const;
    uint64_t First() const { return first; }
    // Offsets from First() of the places whose first samples are those at
    // `frames` (which holds at least the key's samples), in increasing order.
    std::span<const uint32_t> Candidates(const uint8_t *frames) const;

private:
    // The most samples a key is made of (8-bit formats need three).
    static constexpr uint32_t MaxKeySamples = 8;

    uint32_t Key(const uint8_t *samples) const;
    uint32_t KeyAt(uint64_t index) const;

    TestSignal signal;
    uint32_t keySamples = 1;
    uint32_t keyBits = 1;
    uint64_t first = 0;
    uint64_t count = 0; // places indexed; 0 when nothing is
    uint64_t capacity = 0;
    std::vector<uint32_t> starts; // 2^keyBits + 1 group starts into `places`
    std::vector<uint32_t> places;
};

} // namespace engine
