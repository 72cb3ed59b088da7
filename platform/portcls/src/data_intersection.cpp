// Data ranges and formats: the intersection of a client's ranges with a pin's
// (the miniport's DataRangeIntersection first, the port's default handler
// when it declines), and whether a format lies in one of a pin's static
// ranges (pin create, the port's proposed-format answer).
#include "internal.h"

#include <algorithm>
#include <cstring>

namespace standin::portcls {

namespace {

ULONG AlignUp8(ULONG value)
{
    return (value + 7u) & ~7u;
}

bool Compatible(const GUID &a, const GUID &b)
{
    return IsEqualGUID(a, b) || IsEqualGUID(a, GUID_NULL) || IsEqualGUID(b, GUID_NULL);
}

bool GuidsCompatible(const KSDATARANGE &a, const KSDATARANGE &b)
{
    return Compatible(a.MajorFormat, b.MajorFormat) && Compatible(a.SubFormat, b.SubFormat) &&
           Compatible(a.Specifier, b.Specifier);
}

bool IsAudioRange(const KSDATARANGE &range)
{
    return range.FormatSize >= sizeof(KSDATARANGE_AUDIO) && IsEqualGUID(range.MajorFormat, KSDATAFORMAT_TYPE_AUDIO);
}

// The port's default handler: PCM, mono or stereo, WAVEFORMATEX or DSOUND
// specifier, the highest rate and depth both ranges allow.
NTSTATUS DefaultIntersection(const KSDATARANGE *client, const KSDATARANGE *mine, ULONG outputLength, PVOID output,
                             ULONG *resultLength)
{
    if (!IsAudioRange(*mine) || !IsEqualGUID(mine->SubFormat, KSDATAFORMAT_SUBTYPE_PCM))
        return STATUS_NO_MATCH;
    const bool dsound = IsEqualGUID(client->Specifier, KSDATAFORMAT_SPECIFIER_DSOUND);
    if (!dsound && !Compatible(client->Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX))
        return STATUS_NO_MATCH;
    if (!Compatible(client->SubFormat, KSDATAFORMAT_SUBTYPE_PCM))
        return STATUS_NO_MATCH;
    KSDATARANGE_AUDIO own;
    std::memcpy(&own, mine, sizeof own);
    KSDATARANGE_AUDIO theirs = own; // a bare range constrains nothing
    if (client->FormatSize >= sizeof(KSDATARANGE_AUDIO))
        std::memcpy(&theirs, client, sizeof theirs);
    const ULONG channels = std::min(own.MaximumChannels, theirs.MaximumChannels) >= 2 ? 2 : 1;
    const ULONG maxBits = std::min(own.MaximumBitsPerSample, theirs.MaximumBitsPerSample);
    const ULONG minBits = std::max(own.MinimumBitsPerSample, theirs.MinimumBitsPerSample);
    const ULONG maxRate = std::min(own.MaximumSampleFrequency, theirs.MaximumSampleFrequency);
    const ULONG minRate = std::max(own.MinimumSampleFrequency, theirs.MinimumSampleFrequency);
    if (std::min(own.MaximumChannels, theirs.MaximumChannels) == 0 || maxBits < minBits || maxRate < minRate ||
        maxBits == 0 || maxBits > 0xFFFF || maxRate == 0)
        return STATUS_NO_MATCH;
    const ULONG size = dsound ? sizeof(KSDATAFORMAT_DSOUND) : sizeof(KSDATAFORMAT_WAVEFORMATEX);
    if (outputLength == 0) {
        *resultLength = size;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (outputLength < size)
        return STATUS_BUFFER_TOO_SMALL;
    WAVEFORMATEX wave{};
    wave.wFormatTag = WAVE_FORMAT_PCM;
    wave.nChannels = static_cast<WORD>(channels);
    wave.nSamplesPerSec = maxRate;
    wave.wBitsPerSample = static_cast<WORD>(maxBits);
    wave.nBlockAlign = static_cast<WORD>(channels * ((maxBits + 7) / 8));
    wave.nAvgBytesPerSec = maxRate * wave.nBlockAlign;
    KSDATAFORMAT head{};
    head.FormatSize = size;
    head.SampleSize = wave.nBlockAlign;
    head.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    head.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    head.Specifier = dsound ? KSDATAFORMAT_SPECIFIER_DSOUND : KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    auto *out = static_cast<uint8_t *>(output);
    std::memset(out, 0, size);
    std::memcpy(out, &head, sizeof head);
    if (dsound)
        std::memcpy(out + offsetof(KSDATAFORMAT_DSOUND, BufferDesc.WaveFormatEx), &wave, sizeof wave);
    else
        std::memcpy(out + offsetof(KSDATAFORMAT_WAVEFORMATEX, WaveFormatEx), &wave, sizeof wave);
    *resultLength = size;
    return STATUS_SUCCESS;
}

} // namespace

bool FormatInRange(const KSDATARANGE *range, const KSDATAFORMAT *format, ULONG formatLength)
{
    if (!GuidsCompatible(*range, *format))
        return false;
    if (!IsAudioRange(*range) || !IsEqualGUID(format->Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX))
        return true;
    // A wave format must hold its own extension.
    if (formatLength < sizeof(KSDATAFORMAT_WAVEFORMATEX))
        return false;
    WAVEFORMATEX wave;
    std::memcpy(&wave, reinterpret_cast<const uint8_t *>(format) + sizeof(KSDATAFORMAT), sizeof wave);
    if (wave.wFormatTag != WAVE_FORMAT_PCM && formatLength < sizeof(KSDATAFORMAT_WAVEFORMATEX) + wave.cbSize)
        return false;
    if (wave.wFormatTag == WAVE_FORMAT_EXTENSIBLE && wave.cbSize < sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX))
        return false;
    KSDATARANGE_AUDIO audio;
    std::memcpy(&audio, range, sizeof audio);
    return wave.nChannels >= 1 && wave.nChannels <= audio.MaximumChannels &&
           wave.wBitsPerSample >= audio.MinimumBitsPerSample && wave.wBitsPerSample <= audio.MaximumBitsPerSample &&
           wave.nSamplesPerSec >= audio.MinimumSampleFrequency && wave.nSamplesPerSec <= audio.MaximumSampleFrequency;
}

NTSTATUS MatchDataRanges(const KSPIN_DESCRIPTOR &pin, const KSDATAFORMAT *format, ULONG formatLength)
{
    for (ULONG i = 0; i < pin.DataRangesCount; ++i)
        if (FormatInRange(pin.DataRanges[i], format, formatLength))
            return STATUS_SUCCESS;
    return STATUS_NO_MATCH;
}

NTSTATUS DataIntersection(FilterObject &filter, ks::PropertyCall &call, ULONG pinId)
{
    // The client's ranges follow the KSP_PIN as a KSMULTIPLE_ITEM, each one
    // 8-byte aligned (an attribute list after a range that has one).
    const uint8_t *list = call.input + sizeof(KSP_PIN);
    const ULONG available = call.inputLength - static_cast<ULONG>(sizeof(KSP_PIN));
    KSMULTIPLE_ITEM header;
    std::memcpy(&header, list, sizeof header);
    if (header.Size < sizeof header || header.Size > available)
        return STATUS_INVALID_PARAMETER;
    std::vector<std::vector<uint64_t>> ranges;
    ULONG offset = sizeof header;
    for (ULONG i = 0; i < header.Count; ++i) {
        KSDATARANGE range;
        if (header.Size - offset < sizeof range)
            return STATUS_INVALID_PARAMETER;
        std::memcpy(&range, list + offset, sizeof range);
        if (range.FormatSize < sizeof range || range.FormatSize > header.Size - offset)
            return STATUS_INVALID_PARAMETER;
        ranges.emplace_back((range.FormatSize + 7) / 8, 0);
        std::memcpy(ranges.back().data(), list + offset, range.FormatSize);
        offset += AlignUp8(range.FormatSize);
        if (range.Flags & KSDATARANGE_ATTRIBUTES) {
            KSMULTIPLE_ITEM attributes;
            if (offset > header.Size || header.Size - offset < sizeof attributes)
                return STATUS_INVALID_PARAMETER;
            std::memcpy(&attributes, list + offset, sizeof attributes);
            if (attributes.Size < sizeof attributes || attributes.Size > header.Size - offset)
                return STATUS_INVALID_PARAMETER;
            offset += AlignUp8(attributes.Size);
            ++i; // the attribute list counts as an item of its own
        }
        if (offset > header.Size && i + 1 < header.Count)
            return STATUS_INVALID_PARAMETER;
    }

    Port *port = filter.GetPort();
    const KSPIN_DESCRIPTOR &pin = PinDescriptor(port->Descriptor(), pinId)->KsPinDescriptor;
    for (auto &storage : ranges) {
        auto *client = reinterpret_cast<KSDATARANGE *>(storage.data());
        for (ULONG i = 0; i < pin.DataRangesCount; ++i) {
            PKSDATARANGE mine = pin.DataRanges[i];
            if (!GuidsCompatible(*client, *mine))
                continue;
            ULONG resultLength = 0;
            NTSTATUS status;
            {
                DeviceLockHold hold(port->Device());
                IMiniport *miniport = port->Miniport();
                status = miniport != nullptr ? miniport->DataRangeIntersection(pinId, client, mine, call.valueLength,
                                                                               call.value, &resultLength)
                                             : STATUS_DEVICE_NOT_READY;
            }
            if (status == STATUS_NOT_IMPLEMENTED)
                status = DefaultIntersection(client, mine, call.valueLength, call.value, &resultLength);
            if (status == STATUS_NO_MATCH)
                continue;
            if (NT_SUCCESS(status) || status == STATUS_BUFFER_OVERFLOW)
                call.information = resultLength;
            return status;
        }
    }
    return STATUS_NO_MATCH;
}

} // namespace standin::portcls
