// The keyed test signal in integer and float formats, and the index of its
// places by their first samples.
#include "Signal.h"
#include "AudioFormat.h"

#include <algorithm>
#include <cstring>

namespace engine {

namespace {

// A well-mixed 64-bit value for a frame and channel (SplitMix64's finaliser).
uint64_t Key(uint64_t index, uint32_t channel)
{
    uint64_t z = index * 0x9E3779B97F4A7C15ull + (channel + 1ull) * 0xD1B54A32D192ED03ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// The top `bits` bits of the key as a signed value, never 0.
int64_t SignedValue(uint64_t key, uint32_t bits)
{
    const int64_t value = static_cast<int64_t>(key) >> (64 - bits);
    return value != 0 ? value : 1;
}

} // namespace

TestSignal::TestSignal(const wav::Format &format)
    : format(format), sampleBytes(format.SampleBytes()), silence(SilenceByte(format))
{
}

void TestSignal::Sample(uint64_t index, uint32_t channel, uint8_t *out) const
{
    const uint64_t key = Key(index, channel);
    if (format.encoding == wav::Encoding::Float) {
        // 24 significant bits: exact in a float, the same after any copy.
        const float value = static_cast<float>(SignedValue(key, 24)) / 8388608.0f;
        std::memcpy(out, &value, sizeof value);
        return;
    }
    const uint32_t containerBits = format.containerBits;
    const int64_t value = SignedValue(key, format.validBits);
    // Valid bits on top of the container; 8-bit samples are unsigned.
    uint64_t raw = static_cast<uint64_t>(value) << (containerBits - format.validBits);
    if (containerBits == 8)
        raw += 0x80;
    for (uint32_t b = 0; b < sampleBytes; ++b)
        out[b] = static_cast<uint8_t>(raw >> (8 * b));
}

void TestSignal::Frame(uint64_t index, uint8_t *out) const
{
    for (uint32_t c = 0; c < format.channels; ++c)
        Sample(index, c, out + c * sampleBytes);
}

void TestSignal::Generate(uint64_t first, void *out, size_t count) const
{
    auto *bytes = static_cast<uint8_t *>(out);
    const size_t frameBytes = format.FrameBytes();
    for (size_t i = 0; i < count; ++i)
        Frame(first + i, bytes + i * frameBytes);
}

void TestSignal::Silence(uint8_t *out) const
{
    std::memset(out, silence, format.FrameBytes());
}

bool TestSignal::IsSilent(const uint8_t *frame) const
{
    const size_t frameBytes = format.FrameBytes();
    for (size_t i = 0; i < frameBytes; ++i)
        if (frame[i] != silence)
            return false;
    return true;
}

bool TestSignal::Matches(const uint8_t *frame, uint64_t index) const
{
    uint8_t sample[4];
    for (uint32_t c = 0; c < format.channels; ++c) {
        Sample(index, c, sample);
        if (std::memcmp(sample, frame + c * sampleBytes, sampleBytes) != 0)
            return false;
    }
    return true;
}

void SignalIndex::Reset(const TestSignal &with, uint32_t maxSamples, uint64_t maxPlaces)
{
    signal = with;
    count = 0;
    capacity = maxPlaces;
    // One key per four to eight places: few candidates a lookup, and the
    // group starts cost at most a byte a place.
    keyBits = 1;
    while (keyBits < 28 && (uint64_t{8} << keyBits) <= maxPlaces)
        ++keyBits;
    // Enough samples for those bits and two more, so that the keys spread.
    const wav::Format &format = signal.Format();
    const uint32_t sampleBits = format.encoding == wav::Encoding::Float ? 24 : format.validBits;
    keySamples = (keyBits + 2 + sampleBits - 1) / std::max<uint32_t>(sampleBits, 1);
    keySamples = std::max<uint32_t>(std::min({keySamples, maxSamples, MaxKeySamples}), 1);
    // What a faster format needed is given back.
    std::vector<uint32_t>().swap(starts);
    std::vector<uint32_t>().swap(places);
}

uint32_t SignalIndex::Key(const uint8_t *samples) const
{
    // FNV-1a over the samples' bytes, then SplitMix64's finaliser: every
    // bit of the samples reaches the top bits taken.
    const size_t bytes = size_t{keySamples} * signal.Format().SampleBytes();
    uint64_t h = 0xCBF29CE484222325ull;
    for (size_t i = 0; i < bytes; ++i)
        h = (h ^ samples[i]) * 0x100000001B3ull;
    h = (h ^ (h >> 30)) * 0xBF58476D1CE4E5B9ull;
    h = (h ^ (h >> 27)) * 0x94D049BB133111EBull;
    h ^= h >> 31;
    return static_cast<uint32_t>(h >> (64 - keyBits));
}

uint32_t SignalIndex::KeyAt(uint64_t index) const
{
    uint8_t samples[MaxKeySamples * 4];
    const uint32_t channels = signal.Format().channels;
    const uint32_t sampleBytes = signal.Format().SampleBytes();
    for (uint32_t s = 0; s < keySamples; ++s)
        signal.Sample(index + s / channels, s % channels, samples + s * sampleBytes);
    return Key(samples);
}

void SignalIndex::Build(uint64_t from, uint64_t last)
{
    first = from;
    count = std::min(last - from + 1, capacity);
    // Count each key's places, turn the counts into group starts, then
    // place each index at its group's cursor: increasing within a group.
    starts.assign((size_t{1} << keyBits) + 1, 0);
    std::vector<uint32_t> keys(count);
    places.resize(count);
    for (uint64_t i = 0; i < count; ++i)
        ++starts[(keys[i] = KeyAt(first + i)) + 1];
    for (size_t k = 1; k < starts.size(); ++k)
        starts[k] += starts[k - 1];
    for (uint64_t i = 0; i < count; ++i)
        places[starts[keys[i]]++] = static_cast<uint32_t>(i);
    // Each cursor now stands at its group's end, the next group's start.
    for (size_t k = starts.size() - 1; k > 0; --k)
        starts[k] = starts[k - 1];
    starts[0] = 0;
}

bool SignalIndex::Covers(uint64_t from, uint64_t last) const
{
    return count != 0 && from >= first && last - first < count;
}

std::span<const uint32_t> SignalIndex::Candidates(const uint8_t *frames) const
{
    if (count == 0)
        return {};
    const uint32_t key = Key(frames);
    return {places.data() + starts[key], places.data() + starts[key + 1]};
}

} // namespace engine
