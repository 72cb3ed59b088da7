// Text conversion between the Win32 side's wchar_t (UTF-32 on Linux) and the
// UTF-16 the kernel side holds, and from the UTF-8 of Linux paths.
#include "core.h"

namespace standin::win32 {

namespace {

constexpr char32_t Replacement = 0xFFFD;

bool Valid(char32_t c)
{
    return c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF);
}

} // namespace

std::u16string ToUtf16(const wchar_t *text)
{
    std::u16string out;
    for (const wchar_t *p = text; *p; ++p) {
        char32_t c = static_cast<char32_t>(*p);
        if (!Valid(c))
            c = Replacement;
        if (c >= 0x10000) {
            c -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (c >> 10));
            out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
    }
    return out;
}

std::wstring FromUtf16(const std::u16string &text)
{
    std::wstring out;
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = Replacement;
        }
        out += static_cast<wchar_t>(c);
    }
    return out;
}

std::wstring FromUtf8(const char *text)
{
    std::wstring out;
    const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
    while (*p) {
        char32_t c = *p;
        int extra = c < 0x80 ? 0 : (c >> 5) == 0x6 ? 1 : (c >> 4) == 0xE ? 2 : (c >> 3) == 0x1E ? 3 : -1;
        if (extra < 0) {
            out += static_cast<wchar_t>(Replacement);
            ++p;
            continue;
        }
        c &= extra == 0 ? 0x7F : (0x3F >> extra);
        ++p;
        bool ok = true;
        for (int i = 0; i < extra; ++i, ++p) {
            if ((*p & 0xC0) != 0x80) {
                ok = false;
                break;
            }
            c = (c << 6) | (*p & 0x3F);
        }
        out += static_cast<wchar_t>(ok && Valid(c) ? c : Replacement);
    }
    return out;
}

} // namespace standin::win32
