// ParseKsDataFormat: the checks of a kernel-streaming data-format block, in
// order, with the wave format copied into the caller's record and the
// attribute list handed on to the attribute parser.
#include "AttributeList.h"
#include "Bytes.h"
#include "DataFormat.h"
#include "GuidNameTables.h"
#include "TextFormat.h"

namespace Mosaik {
namespace {

constexpr ULONG HeaderSize = sizeof(KSDATAFORMAT); // 64
constexpr ULONG ExtensibleExtension = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX); // 22

// Where each accepted specifier puts the wave format, and the smallest
// FormatSize that holds its header.
struct SpecifierLayout {
    const GUID *Specifier;
    ULONG WaveFormatOffset;
    ULONG MinimumSize;
};

const SpecifierLayout SpecifierLayouts[] = {
    {&KSDATAFORMAT_SPECIFIER_WAVEFORMATEX, FIELD_OFFSET(KSDATAFORMAT_WAVEFORMATEX, WaveFormatEx),
     sizeof(KSDATAFORMAT_WAVEFORMATEX)},
    {&KSDATAFORMAT_SPECIFIER_DSOUND, FIELD_OFFSET(KSDATAFORMAT_DSOUND, BufferDesc.WaveFormatEx),
     sizeof(KSDATAFORMAT_DSOUND)},
};
static_assert(sizeof(KSDATAFORMAT_WAVEFORMATEX) == 82 && sizeof(KSDATAFORMAT_DSOUND) == 90, "published layouts");

} // namespace

NTSTATUS ParseKsDataFormat(WAVEFORMATEXTENSIBLE *record, const KSDATAFORMAT *block, ULONG blockSize, GUID *mode,
                           ULONG options, WCHAR *message)
{
    const auto *bytes = reinterpret_cast<const UCHAR *>(block);
    WCHAR name[GuidNameCapacity];
    WCHAR otherName[GuidNameCapacity];

    if (mode)
        *mode = GUID_NULL;
    if (blockSize != 0 && blockSize < HeaderSize) {
        FormatMessage128(message, L"Block size (%#x) is less than KSDATAFORMAT (%#x)", blockSize, HeaderSize);
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG formatSize = ReadUlong(bytes + FIELD_OFFSET(KSDATAFORMAT, FormatSize));
    const ULONG flags = ReadUlong(bytes + FIELD_OFFSET(KSDATAFORMAT, Flags));
    if (formatSize < HeaderSize) {
        FormatMessage128(message, L"FormatSize (%#x) is less than KSDATAFORMAT (%#x)", formatSize, HeaderSize);
        return STATUS_INVALID_PARAMETER;
    }
    if (blockSize != 0 && blockSize < formatSize) {
        FormatMessage128(message, L"Block size (%#x) is less than Kdf.FormatSize (%#x)", blockSize, formatSize);
        return STATUS_INVALID_PARAMETER;
    }
    const GUID majorFormat = ReadGuid(bytes + FIELD_OFFSET(KSDATAFORMAT, MajorFormat));
    if (!SameGuid(majorFormat, KSDATAFORMAT_TYPE_AUDIO)) {
        FormatMessage128(message, L"Unsupported format type %s",
                         GuidName(name, GuidNameCapacity, majorFormat, MajorFormatNames));
        return STATUS_NO_MATCH;
    }
    const GUID specifier = ReadGuid(bytes + FIELD_OFFSET(KSDATAFORMAT, Specifier));
    const SpecifierLayout *layout = nullptr;
    for (const SpecifierLayout &candidate : SpecifierLayouts)
        if (SameGuid(specifier, *candidate.Specifier))
            layout = &candidate;
    if (!layout) {
        FormatMessage128(message, L"Unsupported format specifier %s",
                         GuidName(name, GuidNameCapacity, specifier, SpecifierNames));
        return STATUS_NO_MATCH;
    }
    if (formatSize < layout->MinimumSize) {
        FormatMessage128(message, L"FormatSize (%#x) < %s size (%#x)", formatSize,
                         GuidName(name, GuidNameCapacity, specifier, SpecifierNames), layout->MinimumSize);
        return STATUS_INVALID_PARAMETER;
    }

    // FormatSize bytes are readable from here on (checked against the block
    // size, or vouched for by the caller), so the header is.
    const UCHAR *wave = bytes + layout->WaveFormatOffset;
    const USHORT cbSize = ReadUshort(wave + FIELD_OFFSET(WAVEFORMATEX, cbSize));
    if (cbSize == 0) {
        CopyBytes(record, wave, sizeof(WAVEFORMATEX));
        if (!IsValidFormat(*record))
            return STATUS_INVALID_PARAMETER;
    } else {
        const ULONG needed = layout->MinimumSize + cbSize;
        if (formatSize < needed) {
            FormatMessage128(message, L"FormatSize (%#x) < %s size (%#x) + cbSize (%#x) = %#x", formatSize,
                             GuidName(name, GuidNameCapacity, specifier, SpecifierNames), layout->MinimumSize,
                             ULONG(cbSize), needed);
            return STATUS_INVALID_PARAMETER;
        }
        if (cbSize < ExtensibleExtension) {
            FormatMessage128(message, L"Unknown cbSize %#x", ULONG(cbSize));
            return STATUS_NO_MATCH;
        }
        const GUID waveSubFormat = ReadGuid(wave + FIELD_OFFSET(WAVEFORMATEXTENSIBLE, SubFormat));
        const GUID blockSubFormat = ReadGuid(bytes + FIELD_OFFSET(KSDATAFORMAT, SubFormat));
        if (!SameGuid(waveSubFormat, blockSubFormat)) {
            FormatMessage128(message, L"WfxExt.SubFormat %s doesn't match KDF.SubFormat %s",
                             GuidName(name, GuidNameCapacity, waveSubFormat, SubFormatNames),
                             GuidName(otherName, GuidNameCapacity, blockSubFormat, SubFormatNames));
            return STATUS_INVALID_PARAMETER;
        }
        CopyBytes(record, wave, sizeof(WAVEFORMATEXTENSIBLE));
        if (record->Format.wFormatTag != WAVE_FORMAT_EXTENSIBLE) {
            FormatMessage128(message, L"Extensible format has tag %x - correcting", ULONG(record->Format.wFormatTag));
            record->Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
        }
        if (!IsValidFormat(*record))
            return STATUS_INVALID_PARAMETER;
    }

    if (flags == 0)
        return STATUS_SUCCESS;
    if (flags & ~ULONG(KSDATAFORMAT_ATTRIBUTES))
        FormatMessage128(message, L"Unsupported KSDATAFORMAT flags %#x", flags & ~ULONG(KSDATAFORMAT_ATTRIBUTES));
    if ((options & IgnoreAttributeList) || !(flags & KSDATAFORMAT_ATTRIBUTES))
        return STATUS_SUCCESS;

    // The list starts at the first multiple of 8 at or after FormatSize. A
    // known block that ends before it leaves no bytes for the list, which the
    // attribute parser must be told apart from "unknown".
    const ULONGLONG listOffset = (ULONGLONG(formatSize) + 7) & ~ULONGLONG(7);
    const bool sizeKnown = blockSize != 0;
    const ULONG available = sizeKnown && blockSize > listOffset ? ULONG(blockSize - listOffset) : 0;
    return ParseAttributeListWithin(bytes + listOffset, available, sizeKnown, mode, message);
}

} // namespace Mosaik
