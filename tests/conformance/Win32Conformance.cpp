// The Win32 behaviour the client library depends on, checked against the
// stand-in (Linux) and against Wine (Windows build). Where they disagree,
// the stand-in is wrong.
#include <gtest/gtest.h>
#include <windows.h>
#include <stdarg.h>
#include <wchar.h>
#include <atomic>
#include <thread>

namespace {

constexpr DWORD MessageFlags = 0x12FF; // from system, ignore inserts, width mask

int Format(wchar_t *buf, size_t count, const wchar_t *format, ...)
{
    va_list args;
    va_start(args, format);
    const int n = _vsnwprintf(buf, count, format, args);
    va_end(args);
    return n;
}

} // namespace

TEST(FormatMessageW, WidthMaskGivesOneLineWithTrailingBlank)
{
    for (DWORD id : {0x0u, 0x5u, 0x80070005u, 0x80070008u, 0x8007000Bu, 0x8007006Fu, 0x80070490u}) {
        wchar_t buf[256];
        wmemset(buf, L'#', 256);
        SetLastError(0xDEAD);
        const DWORD n = FormatMessageW(MessageFlags, nullptr, id, 0x400, buf, 256, nullptr);
        ASSERT_GT(n, 1u) << std::hex << id;
        EXPECT_EQ(wcslen(buf), n) << std::hex << id;
        EXPECT_EQ(buf[n - 1], L' ') << std::hex << id;
        EXPECT_EQ(wcspbrk(buf, L"\r\n"), nullptr) << std::hex << id;
    }
}

TEST(FormatMessageW, UnknownIdFindsNothing)
{
    wchar_t buf[64];
    wmemset(buf, L'#', 64);
    SetLastError(0);
    EXPECT_EQ(FormatMessageW(MessageFlags, nullptr, 0x20000001, 0x400, buf, 64, nullptr), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND));
}

TEST(FormatMessageW, BufferTooSmallFails)
{
    wchar_t buf[4];
    SetLastError(0);
    EXPECT_EQ(FormatMessageW(MessageFlags, nullptr, 0x80070005, 0x400, buf, 4, nullptr), 0u);
    EXPECT_NE(GetLastError(), 0u);
}

TEST(LastError, IsPerThread)
{
    // Each thread sets its own value, waits (without any Win32 call) until
    // the other has set its value too, then reads its own back.
    std::atomic<int> set{0};
    DWORD seen[2] = {0, 0};
    auto body = [&](int i) {
        SetLastError(1000 + i);
        set.fetch_add(1);
        while (set.load() < 2) {
        }
        seen[i] = GetLastError();
    };
    std::thread a(body, 0), b(body, 1);
    a.join();
    b.join();
    EXPECT_EQ(seen[0], 1000u);
    EXPECT_EQ(seen[1], 1001u);
}

TEST(HresultFromWin32, WrapsOnlyPositiveErrors)
{
    EXPECT_EQ(HRESULT_FROM_WIN32(0), 0);
    EXPECT_EQ(static_cast<DWORD>(HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED)), 0x80070005u);
    EXPECT_EQ(static_cast<DWORD>(HRESULT_FROM_WIN32(ERROR_NOT_FOUND)), 0x80070490u);
    EXPECT_EQ(static_cast<DWORD>(HRESULT_FROM_WIN32(0x80070005)), 0x80070005u);
    EXPECT_EQ(static_cast<DWORD>(HRESULT_FROM_WIN32(0x12345678)), 0x80075678u);
}

TEST(BoundedWideFormat, WindowsSemantics)
{
    wchar_t buf[8];
    wmemset(buf, L'#', 8);
    EXPECT_EQ(Format(buf, 8, L"%ls-%u", L"ab", 12u), 5);
    EXPECT_STREQ(buf, L"ab-12");
    // Exactly full: no terminator.
    wmemset(buf, L'#', 8);
    EXPECT_EQ(Format(buf, 4, L"%u", 1234u), 4);
    EXPECT_EQ(buf[3], L'4');
    EXPECT_EQ(buf[4], L'#');
    // Cut: count characters, no terminator, negative result.
    wmemset(buf, L'#', 8);
    EXPECT_LT(Format(buf, 4, L"%u", 123456u), 0);
    EXPECT_EQ(wmemcmp(buf, L"1234", 4), 0);
    EXPECT_EQ(buf[4], L'#');
    // A plain %s takes a wide string.
    wmemset(buf, L'#', 8);
    EXPECT_EQ(Format(buf, 8, L"%s|%c", L"wide", L'z'), 6);
    EXPECT_STREQ(buf, L"wide|z");
    EXPECT_EQ(Format(buf, 8, L"%x", 0x60Fu), 3);
    EXPECT_STREQ(buf, L"60f");
}
