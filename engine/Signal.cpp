// The keyed test signal in integer and float formats.
#include "Signal.h"
#include "AudioFormat.h"

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

} // namespace engine
