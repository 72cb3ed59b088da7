// Stream formats to and from the kernel-streaming data formats and ranges.
#include "AudioFormat.h"

#include <cstring>

namespace engine {

namespace {

bool IsAudioWaveFormat(const KSDATAFORMAT &head)
{
    return IsEqualGUID(head.MajorFormat, KSDATAFORMAT_TYPE_AUDIO) &&
           IsEqualGUID(head.Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX);
}

uint16_t ContainerBitsFor(uint32_t validBits)
{
    if (validBits <= 8)
        return 8;
    if (validBits <= 16)
        return 16;
    return 32; // 20- and 24-bit samples travel in 32-bit containers on WaveRT
}

} // namespace

KSDATAFORMAT_WAVEFORMATEXTENSIBLE ToKsFormat(const wav::Format &format)
{
    KSDATAFORMAT_WAVEFORMATEXTENSIBLE ks{};
    const bool isFloat = format.encoding == wav::Encoding::Float;
    ks.DataFormat.FormatSize = sizeof ks;
    ks.DataFormat.SampleSize = format.FrameBytes();
    ks.DataFormat.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    ks.DataFormat.SubFormat = isFloat ? KSDATAFORMAT_SUBTYPE_IEEE_FLOAT : KSDATAFORMAT_SUBTYPE_PCM;
    ks.DataFormat.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    WAVEFORMATEXTENSIBLE &wave = ks.WaveFormatExt;
    wave.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    wave.Format.nChannels = format.channels;
    wave.Format.nSamplesPerSec = format.sampleRate;
    wave.Format.wBitsPerSample = format.containerBits;
    wave.Format.nBlockAlign = static_cast<WORD>(format.FrameBytes());
    wave.Format.nAvgBytesPerSec = format.sampleRate * format.FrameBytes();
    wave.Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
    wave.Samples.wValidBitsPerSample = format.validBits;
    wave.dwChannelMask = format.channelMask;
    wave.SubFormat = ks.DataFormat.SubFormat;
    return ks;
}

bool FromKsFormat(const void *data, size_t size, wav::Format &format)
{
    if (size < sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX))
        return false;
    KSDATAFORMAT head;
    std::memcpy(&head, data, sizeof head);
    if (!IsAudioWaveFormat(head) || head.FormatSize > size || head.FormatSize < sizeof head + sizeof(WAVEFORMATEX))
        return false;
    const auto *bytes = static_cast<const uint8_t *>(data);
    WAVEFORMATEX wave;
    std::memcpy(&wave, bytes + sizeof head, sizeof wave);
    wav::Format parsed;
    parsed.sampleRate = wave.nSamplesPerSec;
    parsed.channels = wave.nChannels;
    parsed.containerBits = wave.wBitsPerSample;
    parsed.validBits = wave.wBitsPerSample;
    parsed.channelMask = DefaultChannelMask(wave.nChannels);
    if (wave.wFormatTag == WAVE_FORMAT_PCM) {
        parsed.encoding = wav::Encoding::Pcm;
    } else if (wave.wFormatTag == WAVE_FORMAT_IEEE_FLOAT) {
        parsed.encoding = wav::Encoding::Float;
    } else if (wave.wFormatTag == WAVE_FORMAT_EXTENSIBLE) {
        if (head.FormatSize < sizeof(KSDATAFORMAT_WAVEFORMATEXTENSIBLE) || wave.cbSize < 22)
            return false;
        WAVEFORMATEXTENSIBLE extensible;
        std::memcpy(&extensible, bytes + sizeof head, sizeof extensible);
        if (IsEqualGUID(extensible.SubFormat, KSDATAFORMAT_SUBTYPE_PCM))
            parsed.encoding = wav::Encoding::Pcm;
        else if (IsEqualGUID(extensible.SubFormat, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT))
            parsed.encoding = wav::Encoding::Float;
        else
            return false;
        parsed.validBits = extensible.Samples.wValidBitsPerSample != 0 ? extensible.Samples.wValidBitsPerSample
                                                                        : wave.wBitsPerSample;
        parsed.channelMask = extensible.dwChannelMask;
    } else {
        return false;
    }
    if (parsed.channels == 0 || parsed.containerBits % 8 != 0 || wave.nBlockAlign != parsed.FrameBytes() ||
        parsed.validBits > parsed.containerBits)
        return false;
    if (wav::Problem(parsed) != nullptr)
        return false;
    format = parsed;
    return true;
}

uint32_t DefaultChannelMask(uint16_t channels)
{
    switch (channels) {
    case 1: return KSAUDIO_SPEAKER_MONO;
    case 2: return KSAUDIO_SPEAKER_STEREO;
    case 4: return KSAUDIO_SPEAKER_QUAD;
    case 6: return KSAUDIO_SPEAKER_5POINT1_SURROUND;
    case 8: return KSAUDIO_SPEAKER_7POINT1_SURROUND;
    default: return 0;
    }
}

bool FormatFromRanges(const std::vector<const KSDATARANGE *> &ranges, wav::Format &format)
{
    const KSDATARANGE_AUDIO *chosen = nullptr;
    bool chosenFloat = false;
    for (const KSDATARANGE *range : ranges) {
        if (range->FormatSize < sizeof(KSDATARANGE_AUDIO) || !IsAudioWaveFormat(*range))
            continue;
        const bool pcm = IsEqualGUID(range->SubFormat, KSDATAFORMAT_SUBTYPE_PCM);
        const bool isFloat = IsEqualGUID(range->SubFormat, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT);
        if (pcm && (chosen == nullptr || chosenFloat)) {
            chosen = reinterpret_cast<const KSDATARANGE_AUDIO *>(range);
            chosenFloat = false;
        } else if (isFloat && chosen == nullptr) {
            chosen = reinterpret_cast<const KSDATARANGE_AUDIO *>(range);
            chosenFloat = true;
        }
    }
    if (chosen == nullptr || chosen->MaximumChannels == 0 || chosen->MaximumSampleFrequency == 0)
        return false;
    wav::Format picked;
    picked.encoding = chosenFloat ? wav::Encoding::Float : wav::Encoding::Pcm;
    picked.sampleRate = chosen->MaximumSampleFrequency;
    picked.channels = chosen->MaximumChannels >= 2 ? 2 : 1;
    picked.validBits = chosenFloat ? 32 : static_cast<uint16_t>(chosen->MaximumBitsPerSample);
    picked.containerBits = chosenFloat ? 32 : ContainerBitsFor(picked.validBits);
    picked.channelMask = DefaultChannelMask(picked.channels);
    if (wav::Problem(picked) != nullptr)
        return false;
    format = picked;
    return true;
}

uint8_t SilenceByte(const wav::Format &format)
{
    return format.encoding == wav::Encoding::Pcm && format.containerBits == 8 ? 0x80 : 0x00;
}

} // namespace engine
