// Mapping pipe formats to WAV sample formats and back.
#include "PipeFormat.h"

#include <stdlib.h>
#include <string.h>

namespace ombhost {

wav::Format ToWav(const Ombrivo::WaveFormat &pipe)
{
    wav::Format f;
    f.encoding = wav::Encoding::Pcm;
    f.sampleRate = pipe.GetSR();
    f.channels = static_cast<uint16_t>(pipe.GetNC());
    f.containerBits = static_cast<uint16_t>(pipe.GetBPC() * 8);
    f.validBits = static_cast<uint16_t>(pipe.GetBPS());
    f.channelMask = pipe.GetCC();
    return f;
}

std::string FromWav(const wav::Format &file, Ombrivo::WaveFormat &pipe)
{
    const bool isFloat = file.encoding == wav::Encoding::Float;
    const unsigned bits = isFloat ? 32 : file.validBits;
    const unsigned mask = file.channelMask != 0 ? file.channelMask : 0xFFFFFFFFu; // ask for the standard mask
    if (FAILED(pipe.Init(file.sampleRate, bits, file.channels, file.containerBits / 8, mask)))
        return wav::Describe(file) +
               " cannot go through the device (8000 to 384000 Hz, 8 to 32 bits, 1 to 8 channels)";
    return {};
}

// "SR,BPS,NC[,BPC[,CC]]": BPC 0 or left out derives the container from the
// bits, CC left out asks for the standard speaker mask of the channel count.
std::string ParseFormat(const std::string &text, Ombrivo::WaveFormat &format)
{
    unsigned long long values[5] = {0, 0, 0, 0, 0xFFFFFFFFull};
    size_t count = 0;
    const char *p = text.c_str();
    while (count < 5 && *p >= '0' && *p <= '9') {
        char *end = nullptr;
        values[count] = strtoull(p, &end, count == 4 ? 0 : 10); // the mask may be hexadecimal
        ++count;
        p = end;
        if (*p != ',')
            break;
        ++p;
    }
    bool fits = true;
    for (const unsigned long long v : values)
        fits = fits && v <= 0xFFFFFFFFull;
    if (*p != '\0' || count < 3 || !fits)
        return "--format takes SR,BPS,NC[,BPC[,CC]], such as 48000,16,2 or 48000,24,2,4";
    const HRESULT status =
        format.Init(static_cast<unsigned>(values[0]), static_cast<unsigned>(values[1]),
                    static_cast<unsigned>(values[2]), static_cast<unsigned>(values[3]),
                    static_cast<unsigned>(values[4]));
    if (FAILED(status))
        return "--format " + text +
               ": the device takes 8000 to 384000 Hz, 8 to 32 bits in containers of up to 4 bytes, 1 to 8 channels";
    return {};
}

std::string Text(const Ombrivo::WaveFormat &format)
{
    wchar_t wide[64];
    format.ToStr(wide, 64);
    char narrow[64];
    size_t i = 0;
    for (; wide[i] != L'\0' && i + 1 < sizeof narrow; ++i)
        narrow[i] = static_cast<char>(wide[i]); // digits, slashes and brackets only
    narrow[i] = '\0';
    return narrow;
}

void FillSilence(const wav::Format &format, void *frames, size_t count)
{
    const bool unsigned8 = format.encoding == wav::Encoding::Pcm && format.containerBits == 8;
    memset(frames, unsigned8 ? 0x80 : 0, count * format.FrameBytes());
}

} // namespace ombhost
