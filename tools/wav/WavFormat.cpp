// Checking and describing the sample formats of WAV files.
#include "WavFormat.h"

#include <bit>
#include <stdio.h>

namespace wav {

static_assert(std::endian::native == std::endian::little, "WAV samples are copied as the machine holds them");

const char *Problem(const Format &format)
{
    if (format.sampleRate == 0)
        return "the sample rate is 0";
    if (format.channels == 0 || format.channels > MaxChannels)
        return "the channel count is not 1 to 64";
    if (format.encoding == Encoding::Float) {
        if (format.containerBits != 32 || format.validBits != 32)
            return "only 32-bit float samples are supported";
        return nullptr;
    }
    switch (format.containerBits) {
    case 8:
    case 16:
    case 24:
    case 32:
        break;
    default:
        return "PCM samples must be 8, 16, 24 or 32 bits";
    }
    if (format.validBits == 0 || format.validBits > format.containerBits)
        return "the valid bits do not fit the sample container";
    return nullptr;
}

std::string Describe(const Format &format)
{
    char text[128];
    const char *plural = format.channels == 1 ? "" : "s";
    if (format.encoding == Encoding::Float)
        snprintf(text, sizeof text, "%u Hz, %u channel%s, 32-bit float", format.sampleRate, format.channels,
                 plural);
    else if (format.validBits == format.containerBits)
        snprintf(text, sizeof text, "%u Hz, %u channel%s, %u-bit PCM", format.sampleRate, format.channels, plural,
                 format.validBits);
    else
        snprintf(text, sizeof text, "%u Hz, %u channel%s, %u-bit PCM in %u-bit containers", format.sampleRate,
                 format.channels, plural, format.validBits, format.containerBits);
    return text;
}

} // namespace wav
