// Mapping pipe formats to WAV sample formats and back.
#include "PipeFormat.h"

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
