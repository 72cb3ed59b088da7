// Stand-in: FormatMessageW over a small system message table holding the
// English texts of the errors this system can produce, as Windows words them
// (each ends in a line break, which the width mask turns into a blank).
#include <windows.h>

namespace {

struct SystemMessage {
    DWORD id;
    const wchar_t *text;
};

constexpr SystemMessage systemMessages[] = {
    {0, L"The operation completed successfully.\r\n"},
    {1, L"Incorrect function.\r\n"},
    {2, L"The system cannot find the file specified.\r\n"},
    {3, L"The system cannot find the path specified.\r\n"},
    {5, L"Access is denied.\r\n"},
    {6, L"The handle is invalid.\r\n"},
    {8, L"Not enough memory resources are available to process this command.\r\n"},
    {11, L"An attempt was made to load a program with an incorrect format.\r\n"},
    {21, L"The device is not ready.\r\n"},
    {22, L"The device does not recognize the command.\r\n"},
    {31, L"A device attached to the system is not functioning.\r\n"},
    {50, L"The request is not supported.\r\n"},
    {87, L"The parameter is incorrect.\r\n"},
    {111, L"The file name is too long.\r\n"},
    {122, L"The data area passed to a system call is too small.\r\n"},
    {170, L"The requested resource is in use.\r\n"},
    {234, L"More data is available.\r\n"},
    {259, L"No more data is available.\r\n"},
    {317, L"The system cannot find message text for message number 0x%1 in the message file for %2.\r\n"},
    {995, L"The I/O operation has been aborted because of either a thread exit or an application request.\r\n"},
    {1117, L"The request could not be performed because of an I/O device error.\r\n"},
    {1168, L"Element not found.\r\n"},
    {1169, L"There was no match for the specified key in the index.\r\n"},
    {1359, L"An internal error occurred.\r\n"},
    {1450, L"Insufficient system resources exist to complete the requested service.\r\n"},
};

// Win32 errors wrapped as HRESULTs (facility 7) find the text of the error.
const wchar_t *FindSystemText(DWORD id)
{
    if ((id & 0xFFFF0000u) == 0x80070000u)
        id &= 0xFFFFu;
    for (const SystemMessage &m : systemMessages)
        if (m.id == id)
            return m.text;
    return nullptr;
}

// Applies the width rule to the message text and returns the output length.
// Width 0xFF: line breaks become one blank each, nothing is wrapped.
size_t Render(const wchar_t *text, DWORD width, wchar_t *out, size_t room)
{
    size_t n = 0;
    for (const wchar_t *p = text; *p; ++p) {
        wchar_t c = *p;
        if (width != 0 && (c == L'\r' || c == L'\n')) {
            if (c == L'\r' && p[1] == L'\n')
                ++p;
            c = L' ';
        }
        if (out && n < room)
            out[n] = c;
        ++n;
    }
    return n;
}

} // namespace

DWORD WINAPI FormatMessageW(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPWSTR buffer, DWORD size,
                            va_list *arguments)
{
    constexpr DWORD supported =
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK;
    if ((flags & ~supported) != 0 || !(flags & FORMAT_MESSAGE_FROM_SYSTEM) ||
        !(flags & FORMAT_MESSAGE_IGNORE_INSERTS) || buffer == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const wchar_t *text = FindSystemText(messageId);
    if (text == nullptr) {
        SetLastError(ERROR_MR_MID_NOT_FOUND);
        return 0;
    }
    const DWORD width = flags & FORMAT_MESSAGE_MAX_WIDTH_MASK;
    const size_t length = Render(text, width, nullptr, 0);
    if (length + 1 > size) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    Render(text, width, buffer, size);
    buffer[length] = L'\0';
    return static_cast<DWORD>(length);
}
