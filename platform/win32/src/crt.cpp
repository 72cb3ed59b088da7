// Stand-in: the Windows CRT's bounded wide formatter on top of the C library.
// A plain %s or %c takes a wide argument as on Windows, so the format is
// rewritten to the C library's %ls and %lc first; %hs and %hc stay narrow.
#include <stdlib.h>
#include <wchar.h>
#include <string>

namespace {

std::wstring ToLibcFormat(const wchar_t *format)
{
    std::wstring out;
    for (const wchar_t *p = format; *p; ++p) {
        out += *p;
        if (*p != L'%')
            continue;
        if (p[1] == L'%') {
            out += *++p;
            continue;
        }
        // Copy flags, width, precision and size up to the conversion.
        bool sized = false, narrow = false;
        while (p[1] && wcschr(L"-+ #0123456789.*lhLjztwI", p[1])) {
            ++p;
            if (*p == L'h') {
                narrow = true;
                continue; // %hs and %hc are the C library's %s and %c
            }
            if (*p == L'l' || *p == L'w')
                sized = true;
            out += (*p == L'w') ? L'l' : *p;
        }
        if ((p[1] == L's' || p[1] == L'c' || p[1] == L'S' || p[1] == L'C')) {
            const bool upper = (p[1] == L'S' || p[1] == L'C');
            const bool wide = upper ? false : !narrow || sized;
            if (wide && !sized)
                out += L'l';
            out += upper ? static_cast<wchar_t>(p[1] - L'A' + L'a') : p[1];
            ++p;
        }
    }
    return out;
}

} // namespace

extern "C" int _vsnwprintf(wchar_t *buffer, size_t count, const wchar_t *format, va_list args)
{
    const std::wstring libcFormat = ToLibcFormat(format);
    va_list copy;
    va_copy(copy, args);
    // Measure with an unbounded stream, then copy what fits.
    std::wstring text;
    size_t room = 256;
    for (;;) {
        text.assign(room, L'\0');
        va_list again;
        va_copy(again, copy);
        const int n = vswprintf(text.data(), room, libcFormat.c_str(), again);
        va_end(again);
        if (n >= 0) {
            text.resize(static_cast<size_t>(n));
            break;
        }
        if (room > (1u << 24)) { // an encoding error, not a lack of room
            va_end(copy);
            return -1;
        }
        room *= 4;
    }
    va_end(copy);
    const size_t length = text.size();
    const size_t written = length < count ? length : count;
    wmemcpy(buffer, text.data(), written);
    if (length < count)
        buffer[length] = L'\0';
    return length <= count ? static_cast<int>(length) : -1;
}

extern "C" int _snwprintf(wchar_t *buffer, size_t count, const wchar_t *format, ...)
{
    va_list args;
    va_start(args, format);
    const int n = _vsnwprintf(buffer, count, format, args);
    va_end(args);
    return n;
}
