// ErrorText_i and TextInPlace: the prefix shapes, cutting, the system text and
// the caller's last-error value.
#include <gtest/gtest.h>
#include <wchar.h>
#include "ombapi.h"

using Ombrivo::ErrorText_i;
using Ombrivo::TextInPlace;

namespace {

std::wstring Text(ULONG code, unsigned count = 256)
{
    wchar_t buf[256];
    wmemset(buf, L'#', 256);
    return ErrorText_i::ToStr(buf, count, code);
}

bool StartsWith(const std::wstring &s, const wchar_t *prefix) { return s.rfind(prefix, 0) == 0; }

// The system text after the prefix: present, one line, no trailing blank.
void ExpectSystemText(const std::wstring &s, const wchar_t *prefix)
{
    ASSERT_TRUE(StartsWith(s, prefix)) << "got \"" << std::string(s.begin(), s.end()) << "\"";
    const std::wstring text = s.substr(wcslen(prefix));
    EXPECT_FALSE(text.empty());
    EXPECT_EQ(text.find_first_of(L"\r\n"), std::wstring::npos);
    EXPECT_NE(text.back(), L' ');
}

} // namespace

TEST(ErrorText, PrefixShapes)
{
    ExpectSystemText(Text(0x80070005), L"7/5 - ");
    ExpectSystemText(Text(0x80070490), L"7/1168 - ");
    ExpectSystemText(Text(0x8007000B), L"7/11 - ");
    ExpectSystemText(Text(0), L"0/0 - ");
    // No system text: only facility and code remain, with the customer mark.
    EXPECT_EQ(Text(0x20000001), L"u0/1");
    EXPECT_EQ(Text(0xE0AB1234), L"u171/4660");
}

TEST(ErrorText, CutsToTheCount)
{
    EXPECT_EQ(Text(0x80070005, 4), L"7/5");
    EXPECT_EQ(Text(0x80070005, 1), L"");
    EXPECT_EQ(Text(0x20000001, 3), L"u0");
    // Room for the prefix but not the system text.
    EXPECT_EQ(Text(0x80070005, 10), L"7/5");
    wchar_t untouched[1] = {L'#'};
    EXPECT_EQ(ErrorText_i::ToStr(untouched, 0, 5), untouched);
    EXPECT_EQ(untouched[0], L'#');
}

TEST(ErrorText, KeepsTheLastError)
{
    SetLastError(1234);
    Text(0x80070005);
    EXPECT_EQ(GetLastError(), 1234u);
    SetLastError(4321);
    Text(0x20000001);
    EXPECT_EQ(GetLastError(), 4321u);
    SetLastError(77);
    ErrorText_i fromStatus(static_cast<HRESULT>(0x80070008));
    EXPECT_EQ(GetLastError(), 77u);
}

TEST(ErrorText, ConstructorsFillTheText)
{
    const ErrorText_i signedCode(static_cast<LONG>(0x80070005));
    const ErrorText_i unsignedCode(static_cast<ULONG>(0x80070005));
    EXPECT_STREQ(static_cast<const wchar_t *>(signedCode), static_cast<const wchar_t *>(unsignedCode));
    EXPECT_EQ(Text(0x80070005), std::wstring(static_cast<const wchar_t *>(signedCode)));
}

TEST(ErrorText, AssignmentCopiesTheWholeStorage)
{
    TextInPlace<256> a, b;
    wmemset(static_cast<wchar_t *>(a), L'a', 256);
    static_cast<wchar_t *>(a)[3] = L'\0';
    wmemset(static_cast<wchar_t *>(b), L'b', 256);
    b = a;
    EXPECT_EQ(static_cast<wchar_t *>(b)[255], L'a');
    EXPECT_STREQ(static_cast<wchar_t *>(b), L"aaa");
    static_assert(sizeof(TextInPlace<256>) == 256 * sizeof(wchar_t));
    static_assert(sizeof(ErrorText_i) == sizeof(TextInPlace<256>));

    ErrorText_i e(static_cast<LONG>(0));
    ErrorText_i f(static_cast<ULONG>(0x20000001));
    static_cast<wchar_t *>(e)[255] = L'z';
    f = e;
    EXPECT_EQ(static_cast<wchar_t *>(f)[255], L'z');
    EXPECT_STREQ(static_cast<wchar_t *>(f), static_cast<wchar_t *>(e));
}
