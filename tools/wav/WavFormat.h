// The sample formats a WAV file of this library holds: integer PCM in 8-,
// 16-, 24- or 32-bit containers (valid bits left-justified, 8-bit unsigned as
// WAV has it) and 32-bit float, any rate, 1 to 64 channels, little-endian.
#pragma once

#include <stdint.h>
#include <string>

namespace wav {

enum class Encoding : uint8_t { Pcm, Float };

struct Format {
    Encoding encoding = Encoding::Pcm;
    uint32_t sampleRate = 0;
    uint16_t channels = 0;
    uint16_t containerBits = 0; // bits a sample occupies: 8, 16, 24 or 32
    uint16_t validBits = 0;     // PCM: 1 to containerBits, the top bits of the container; float: 32
    uint32_t channelMask = 0;   // speaker positions (SPEAKER_* bits); 0 says none are assigned

    uint32_t SampleBytes() const { return containerBits / 8u; }
    uint32_t FrameBytes() const { return SampleBytes() * channels; }
    bool operator==(const Format &other) const = default;
};

constexpr uint16_t MaxChannels = 64;

// Null when the format is one this library reads and writes, else why not.
const char *Problem(const Format &format);

// "48000 Hz, 2 channels, 24-bit PCM in 32-bit containers", "44100 Hz, 1
// channel, 32-bit float".
std::string Describe(const Format &format);

} // namespace wav
