// Error text and reporting: the text of a status in a fixed buffer, and the
// error box. Neither disturbs the caller's last-error value.
#include "ombapi.h"

namespace Ombrivo {

template class TextInPlace<256>;

namespace {

constexpr DWORD MessageFlags =
    FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK;
constexpr DWORD UserDefaultLanguage = MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT);
constexpr ULONG CustomerBit = 0x20000000u;
constexpr unsigned ErrorBoxCharacters = 512;

} // namespace

ErrorText_i::ErrorText_i(LONG code) { ToStr(text, 256, static_cast<ULONG>(code)); }

ErrorText_i::ErrorText_i(ULONG code) { ToStr(text, 256, code); }

ErrorText_i::ErrorText_i(const ErrorText_i &other) = default;
ErrorText_i &ErrorText_i::operator=(const ErrorText_i &other) = default;
ErrorText_i &ErrorText_i::operator=(ErrorText_i &&other) = default;

const wchar_t *ErrorText_i::ToStr(wchar_t *buf, unsigned count, ULONG code)
{
    if (buf == nullptr || count == 0)
        return buf;
    const DWORD savedError = GetLastError();

    _snwprintf(buf, count, L"%ls%u/%u - ", (code & CustomerBit) ? L"u" : L"",
               static_cast<unsigned>((code >> 16) & 0x1FFF), static_cast<unsigned>(code & 0xFFFF));
    buf[count - 1] = L'\0';
    const size_t length = wcslen(buf);

    const DWORD supplied = FormatMessageW(MessageFlags, nullptr, code, UserDefaultLanguage, buf + length,
                                          static_cast<DWORD>(count - length), nullptr);
    if (supplied > 0) {
        if (buf[length + supplied - 1] == L' ')
            buf[length + supplied - 1] = L'\0';
    } else {
        buf[length] = L'\0'; // whatever a failed lookup left behind
        if (length > 3 && wcscmp(buf + length - 3, L" - ") == 0)
            buf[length - 3] = L'\0';
    }

    SetLastError(savedError);
    return buf;
}

void Error(const wchar_t *format, ...)
{
    const DWORD savedError = GetLastError();
    wchar_t text[ErrorBoxCharacters];
    va_list args;
    va_start(args, format);
    _vsnwprintf(text, ErrorBoxCharacters - 1, format, args);
    va_end(args);
    text[ErrorBoxCharacters - 1] = L'\0';
    MessageBoxW(nullptr, text, L"Error", MB_OK | MB_ICONERROR);
    SetLastError(savedError);
}

} // namespace Ombrivo
