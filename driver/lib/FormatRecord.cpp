// Format records: classification, the consistency and limit checks, and the
// builders of records and KSDATAFORMAT_WAVEFORMATEX blocks.
#include "DataFormat.h"

#include "Bytes.h"

namespace Mosaik {
namespace {

constexpr USHORT ExtensionSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX); // 22
constexpr ULONG MinimumRate = 1000;
constexpr ULONG MaximumRate = 384000;
constexpr ULONG MaximumChannels = 32;

// Standard speaker masks by channel count; counts without one map to 0.
constexpr ULONG StandardMasks[] = {
    0,                                /* 0 */
    KSAUDIO_SPEAKER_MONO,             /* 1: 0x4 */
    KSAUDIO_SPEAKER_STEREO,           /* 2: 0x3 */
    0,                                /* 3 */
    KSAUDIO_SPEAKER_QUAD,             /* 4: 0x33 */
    0,                                /* 5 */
    KSAUDIO_SPEAKER_5POINT1_SURROUND, /* 6: 0x60F */
    0,                                /* 7 */
    KSAUDIO_SPEAKER_7POINT1_SURROUND, /* 8: 0x63F */
};
static_assert(StandardMasks[6] == 0x60F && StandardMasks[8] == 0x63F, "speaker masks");

// {0000xxxx-0000-0010-8000-00AA00389B71}: everything but the low 16 bits of
// the first field as in KSDATAFORMAT_SUBTYPE_WAVEFORMATEX.
bool HasWaveFormatExForm(GUID subtype)
{
    GUID reference = KSDATAFORMAT_SUBTYPE_WAVEFORMATEX;
    return (subtype.Data1 >> 16) == (reference.Data1 >> 16) &&
           SameBytes(reinterpret_cast<const UCHAR *>(&subtype) + 4, reinterpret_cast<const UCHAR *>(&reference) + 4,
                     sizeof(GUID) - 4);
}

ULONG BytesFor(ULONG bits) { return bits / 8 + (bits % 8 != 0); }

} // namespace

bool IsBasicFormat(const WAVEFORMATEXTENSIBLE &record)
{
    return record.Format.wFormatTag == WAVE_FORMAT_PCM || record.Format.cbSize == 0;
}

bool IsExtensibleFormat(const WAVEFORMATEXTENSIBLE &record)
{
    return record.Format.wFormatTag != WAVE_FORMAT_PCM && record.Format.cbSize >= ExtensionSize;
}

GUID GetFormatSubtype(const WAVEFORMATEXTENSIBLE &record)
{
    if (IsExtensibleFormat(record))
        return record.SubFormat;
    GUID subtype = KSDATAFORMAT_SUBTYPE_WAVEFORMATEX;
    subtype.Data1 = record.Format.wFormatTag;
    return subtype;
}

bool IsFormatIdentified(const WAVEFORMATEXTENSIBLE &record)
{
    if (record.Format.wFormatTag != 0)
        return true;
    if (record.Format.cbSize == 0)
        return false;
    return !SameGuid(GetFormatSubtype(record), GUID_NULL);
}

bool IsPcmOrFloat(const WAVEFORMATEXTENSIBLE &record)
{
    GUID subtype = GetFormatSubtype(record);
    return SameGuid(subtype, KSDATAFORMAT_SUBTYPE_PCM) || SameGuid(subtype, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT);
}

bool IsValidFormat(const WAVEFORMATEXTENSIBLE &record)
{
    const WAVEFORMATEX &f = record.Format;
    if (!IsFormatIdentified(record) || f.nSamplesPerSec == 0 || f.wBitsPerSample == 0 || f.wBitsPerSample % 8 != 0 ||
        f.nChannels == 0)
        return false;
    // A record whose average rate does not match is left to IsSupportedFormat.
    if (f.nAvgBytesPerSec == ULONG(f.nSamplesPerSec * f.nBlockAlign) &&
        f.nBlockAlign != ULONG(f.wBitsPerSample / 8) * f.nChannels)
        return false;
    if (IsExtensibleFormat(record)) {
        USHORT valid = record.Samples.wValidBitsPerSample;
        if (f.wFormatTag != WAVE_FORMAT_EXTENSIBLE || !HasWaveFormatExForm(record.SubFormat) || valid < 1 ||
            valid > f.wBitsPerSample)
            return false;
    }
    return true;
}

bool IsSupportedFormat(const WAVEFORMATEXTENSIBLE &record)
{
    const WAVEFORMATEX &f = record.Format;
    if (!IsPcmOrFloat(record) || f.nAvgBytesPerSec != ULONG(f.nSamplesPerSec * f.nBlockAlign))
        return false;
    if (IsExtensibleFormat(record) && record.Samples.wValidBitsPerSample < 8)
        return false;
    ULONG containerBytes = f.wBitsPerSample / 8;
    return InRange(f.nSamplesPerSec, MinimumRate, MaximumRate) && InRange(f.wBitsPerSample, 8, 32) &&
           InRange(f.nChannels, 1, MaximumChannels) && InRange(containerBytes, 1, 4);
}

ULONG DefaultChannelMask(ULONG channels)
{
    return channels < ARRAYSIZE(StandardMasks) ? StandardMasks[channels] : 0;
}

bool BuildFormat(WAVEFORMATEXTENSIBLE *record, ULONG rate, ULONG validBits, ULONG channels, ULONG containerBytes,
                 ULONG channelMask, bool forceExtensible, bool floatingPoint)
{
    if (containerBytes == 0)
        containerBytes = BytesFor(validBits);
    if (rate == 0 || validBits == 0 || channels == 0 || containerBytes < BytesFor(validBits))
        return false;

    bool basicBits = floatingPoint ? validBits == 32 : (validBits == 8 || validBits == 16);
    if (!forceExtensible && basicBits && (channels == 1 || channels == 2) &&
        ULONGLONG(containerBytes) * 8 == validBits &&
        (channelMask == StandardChannelMask || channelMask == DefaultChannelMask(channels)))
        return BuildBasicFormat(record, rate, validBits, channels, floatingPoint);

    WAVEFORMATEXTENSIBLE built;
    ZeroBytes(&built, sizeof built);
    built.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    built.Format.nSamplesPerSec = rate;
    built.Format.nChannels = USHORT(channels);
    built.Format.wBitsPerSample = USHORT(8 * containerBytes);
    built.Format.cbSize = ExtensionSize;
    built.Samples.wValidBitsPerSample = USHORT(validBits);
    built.dwChannelMask = channelMask == StandardChannelMask ? DefaultChannelMask(channels) : channelMask;
    built.SubFormat = floatingPoint ? KSDATAFORMAT_SUBTYPE_IEEE_FLOAT : KSDATAFORMAT_SUBTYPE_PCM;
    built.Format.nBlockAlign = USHORT((built.Format.wBitsPerSample / 8) * channels);
    built.Format.nAvgBytesPerSec = built.Format.nBlockAlign * rate;
    if (!IsValidFormat(built))
        return false;
    CopyBytes(record, &built, sizeof built);
    return true;
}

bool BuildBasicFormat(WAVEFORMATEXTENSIBLE *record, ULONG rate, ULONG bits, ULONG channels, bool floatingPoint)
{
    if (rate == 0 || bits == 0 || channels == 0)
        return false;
    bool basicBits = bits == 8 || bits == 16 || (bits == 32 && floatingPoint);
    if (!basicBits || (channels != 1 && channels != 2))
        return BuildFormat(record, rate, bits, channels, 0, StandardChannelMask, false, floatingPoint);

    WAVEFORMATEXTENSIBLE built;
    ZeroBytes(&built, sizeof built);
    built.Format.wFormatTag = floatingPoint ? WAVE_FORMAT_IEEE_FLOAT : WAVE_FORMAT_PCM;
    built.Format.nChannels = USHORT(channels);
    built.Format.nSamplesPerSec = rate;
    built.Format.wBitsPerSample = USHORT(bits);
    built.Format.cbSize = 0;
    built.Format.nBlockAlign = USHORT(bits / 8 * channels);
    built.Format.nAvgBytesPerSec = built.Format.nBlockAlign * rate;
    if (!IsValidFormat(built))
        return false;
    // Only the header: the extension bytes of a basic record are the caller's.
    CopyBytes(record, &built, sizeof(WAVEFORMATEX));
    return true;
}

ULONG BuildKsDataFormat(const WAVEFORMATEXTENSIBLE &record, KSDATAFORMAT_WAVEFORMATEXTENSIBLE *block)
{
    KSDATAFORMAT header;
    ZeroBytes(&header, sizeof header);
    header.FormatSize = sizeof(KSDATAFORMAT_WAVEFORMATEX) + record.Format.cbSize;
    header.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    header.SubFormat = GetFormatSubtype(record);
    header.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    CopyBytes(&block->DataFormat, &header, sizeof header);
    CopyBytes(&block->WaveFormatExt, &record, sizeof record);
    return header.FormatSize;
}

UCHAR SilenceByte(const WAVEFORMATEXTENSIBLE &record) { return record.Format.wBitsPerSample == 8 ? 0x80 : 0; }

bool InRange(ULONG value, ULONG low, ULONG high) { return low <= value && value <= high; }

} // namespace Mosaik
