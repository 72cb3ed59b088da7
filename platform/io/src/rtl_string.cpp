// Counted-string routines drivers use: comparison, copy, free and upcase.
// Case folding covers ASCII and Latin-1 letters, which is what names of
// devices, interfaces and reference strings use.
#include <wdm.h>

#include <cstring>

WCHAR RtlUpcaseUnicodeChar(WCHAR SourceCharacter)
{
    const unsigned c = SourceCharacter;
    if ((c >= 'a' && c <= 'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7))
        return static_cast<WCHAR>(c - 0x20);
    if (c == 0xFF)
        return static_cast<WCHAR>(0x178);
    return SourceCharacter;
}

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    size_t length = 0;
    if (SourceString != nullptr)
        while (SourceString[length] != 0)
            ++length;
    // Counted strings hold at most 32766 characters; longer text is cut.
    if (length > 0x7FFE)
        length = 0x7FFE;
    DestinationString->Buffer = const_cast<PWCH>(SourceString);
    DestinationString->Length = static_cast<USHORT>(length * sizeof(WCHAR));
    DestinationString->MaximumLength = SourceString != nullptr ? static_cast<USHORT>((length + 1) * sizeof(WCHAR)) : 0;
}

LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive)
{
    const size_t n1 = String1->Length / sizeof(WCHAR), n2 = String2->Length / sizeof(WCHAR);
    const size_t n = n1 < n2 ? n1 : n2;
    for (size_t i = 0; i < n; ++i) {
        WCHAR a = String1->Buffer[i], b = String2->Buffer[i];
        if (CaseInSensitive) {
            a = RtlUpcaseUnicodeChar(a);
            b = RtlUpcaseUnicodeChar(b);
        }
        if (a != b)
            return static_cast<LONG>(a) - static_cast<LONG>(b);
    }
    return static_cast<LONG>(n1) - static_cast<LONG>(n2);
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive)
{
    return String1->Length == String2->Length && RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0;
}

VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString)
{
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        return;
    }
    // Cut to the destination's capacity; terminated when there is room.
    USHORT bytes = SourceString->Length;
    if (bytes > DestinationString->MaximumLength)
        bytes = DestinationString->MaximumLength & ~USHORT(1);
    std::memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
    DestinationString->Length = bytes;
    if (bytes + sizeof(WCHAR) <= DestinationString->MaximumLength)
        DestinationString->Buffer[bytes / sizeof(WCHAR)] = 0;
}

VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString)
{
    if (UnicodeString->Buffer != nullptr)
        ExFreePool(UnicodeString->Buffer);
    UnicodeString->Buffer = nullptr;
    UnicodeString->Length = 0;
    UnicodeString->MaximumLength = 0;
}
