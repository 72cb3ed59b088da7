// GUID text and GUID naming through the name tables.
#include "GuidText.h"

#include "Bytes.h"
#include "TextFormat.h"

namespace Mosaik {
namespace {

constexpr ULONG ScratchCapacity = 40;

void CopyCut(WCHAR *buffer, ULONG capacity, const WCHAR *text)
{
    if (capacity == 0)
        return;
    ULONG i = 0;
    for (; i + 1 < capacity && text[i]; ++i)
        buffer[i] = text[i];
    buffer[i] = 0;
}

} // namespace

WCHAR *GuidToText(WCHAR *buffer, ULONG capacity, const GUID *guid, bool uppercase)
{
    WCHAR scratch[ScratchCapacity];
    if (guid) {
        const WCHAR *format = uppercase ? L"%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X"
                                        : L"%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x";
        FormatText(scratch, ScratchCapacity, format, guid->Data1, guid->Data2, guid->Data3,
                   guid->Data4[0], guid->Data4[1], guid->Data4[2], guid->Data4[3], guid->Data4[4],
                   guid->Data4[5], guid->Data4[6], guid->Data4[7]);
    } else {
        CopyCut(scratch, ScratchCapacity, L"GUID_NULL");
    }
    CopyCut(buffer, capacity, scratch);
    return buffer;
}

WCHAR *GuidName(WCHAR *buffer, ULONG capacity, const GUID &guid, const GuidNameRow *table)
{
    for (const GuidNameRow *row = table; row && row->Guid; ++row) {
        if (SameGuid(*row->Guid, guid)) {
            CopyCut(buffer, capacity, row->Name);
            return buffer;
        }
    }
    WCHAR text[ScratchCapacity];
    FormatText(buffer, capacity, L"{%s}", GuidToText(text, ScratchCapacity, &guid, false));
    return buffer;
}

} // namespace Mosaik
