// The attribute-list parser: header checks, then each KSATTRIBUTE item in
// turn, never reading outside the list's Size (nor the bytes available).
#include "AttributeList.h"

#include "Bytes.h"
#include "GuidNameTables.h"
#include "TextFormat.h"

namespace Mosaik {
namespace {

constexpr ULONG HeaderSize = sizeof(KSMULTIPLE_ITEM);   // 8
constexpr ULONG ItemHeaderSize = sizeof(KSATTRIBUTE);   // 24
constexpr ULONG ModeItemSize = sizeof(KSATTRIBUTE) + sizeof(GUID); // 40
constexpr ULONG SuspiciousItemSize = 256;

// Reported both for an item header that starts too late and for an item
// that runs past the list.
constexpr const WCHAR BeyondListMessage[] = L"KSATTRIBUTE %u with size %#x is beyond attribute list size (%#x)";

static_assert(HeaderSize == 8 && ItemHeaderSize == 24 && ModeItemSize == 40, "published layouts");

} // namespace

NTSTATUS ParseAttributeList(const void *list, ULONG available, GUID *mode, WCHAR *message)
{
    return ParseAttributeListWithin(list, available, available != 0, mode, message);
}

NTSTATUS ParseAttributeListWithin(const void *list, ULONG available, bool availableKnown, GUID *mode,
                                  WCHAR *message)
{
    const auto *bytes = static_cast<const UCHAR *>(list);
    if (availableKnown && available < HeaderSize) {
        FormatMessage128(message, L"Attribute block size (%#x) < KSMULTIPLE_ITEM (%#x)", available, HeaderSize);
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG size = ReadUlong(bytes + FIELD_OFFSET(KSMULTIPLE_ITEM, Size));
    const ULONG count = ReadUlong(bytes + FIELD_OFFSET(KSMULTIPLE_ITEM, Count));
    if (size < HeaderSize || (size == HeaderSize && count != 0)) {
        FormatMessage128(message, L"Invalid attribute list header: Size=%#x, Count=%u", size, count);
        return STATUS_INVALID_PARAMETER;
    }
    if (availableKnown && available < size) {
        FormatMessage128(message, L"Attribute block size (%#x) < KSMULTIPLE_ITEM.Size (%#x)", available, size);
        return STATUS_INVALID_PARAMETER;
    }
    if (size < HeaderSize + ItemHeaderSize) {
        FormatMessage128(message, L"KSMULTIPLE_ITEM.Size (%#x) < KSMULTIPLE_ITEM size (%#x) + KSATTRIBUTE size (%#x)",
                         size, HeaderSize, ItemHeaderSize);
        return STATUS_INVALID_PARAMETER;
    }

    // From here every read lies inside [0, size). Offsets are 64-bit so that
    // no item size can wrap them; each item moves the start by at least 24
    // bytes, so the loop ends within size / 24 items whatever Count says.
    ULONGLONG start = HeaderSize; // where the next item begins (rounded sizes)
    ULONGLONG total = 0;          // the unrounded sizes of the items so far
    WCHAR name[GuidNameCapacity];
    for (ULONG n = 1; n <= count; ++n) {
        // Count may promise more items than the list holds, and rounding may
        // push an item header past the end: such an item is beyond the list.
        if (start + ItemHeaderSize > size) {
            FormatMessage128(message, BeyondListMessage, n,
                             ItemHeaderSize, size);
            return STATUS_INVALID_PARAMETER;
        }
        const UCHAR *item = bytes + start;
        const ULONG itemSize = ReadUlong(item + FIELD_OFFSET(KSATTRIBUTE, Size));
        const ULONG itemFlags = ReadUlong(item + FIELD_OFFSET(KSATTRIBUTE, Flags));
        const GUID attribute = ReadGuid(item + FIELD_OFFSET(KSATTRIBUTE, Attribute));

        if (itemSize < ItemHeaderSize) {
            FormatMessage128(message, L"Attribute %u size (%#x) < KSATTRIBUTE size (%#x)", n, itemSize,
                             ItemHeaderSize);
            return STATUS_INVALID_PARAMETER;
        }
        if (itemSize > SuspiciousItemSize) {
            FormatMessage128(message, L"KSATTRIBUTE %u (Size=%#x, Flags=%#x, Id=%s) is suspicious", n, itemSize,
                             itemFlags, GuidName(name, GuidNameCapacity, attribute, AttributeNames));
        }
        // The running total decides against the header; the item's real
        // extent (its start advanced by rounded sizes) must fit as well.
        if (itemSize + total + HeaderSize > size || start + itemSize > size) {
            FormatMessage128(message, BeyondListMessage, n,
                             itemSize, size);
            return STATUS_INVALID_PARAMETER;
        }
        if (!SameGuid(attribute, KSATTRIBUTEID_AUDIOSIGNALPROCESSING_MODE)) {
            FormatMessage128(message, L"Unknown KSATTRIBUTE %u: Size=%#x, Flags=%#x, Id=%s", n, itemSize, itemFlags,
                             GuidName(name, GuidNameCapacity, attribute, AttributeNames));
            return STATUS_NO_MATCH;
        }
        if (itemSize < ModeItemSize) {
            FormatMessage128(message, L"Signal processing mode attribute %u size (%#x) is less than %#x", n,
                             itemSize, ModeItemSize);
            return STATUS_INVALID_PARAMETER;
        }
        const GUID value = ReadGuid(item + ItemHeaderSize);
        if (mode) {
            *mode = value;
        } else if (!SameGuid(value, AUDIO_SIGNALPROCESSINGMODE_DEFAULT)) {
            FormatMessage128(message, L"Signal processing mode (%s) is not DEFAULT but no variable to return it",
                             GuidName(name, GuidNameCapacity, value, AttributeNames));
            return STATUS_MODE_NOT_RETURNED;
        }
        total += itemSize;
        start += (ULONGLONG(itemSize) + 7) & ~ULONGLONG(7);
    }
    if (total + HeaderSize != size) {
        FormatMessage128(message, L"Size of attributes (%#x) is different from specified in the header (%#x)",
                         ULONG(total), size);
        return STATUS_INVALID_PARAMETER;
    }
    return STATUS_SUCCESS;
}

} // namespace Mosaik
