// The bounded formatter: conversions, flags, size classes, cutting to the
// capacity and the text that invalid directives leave.
#include <gtest/gtest.h>

#include <climits>
#include "TextFormat.h"
#include "WideText.h"

using namespace Mosaik;

namespace {

// Formats into a poisoned buffer of 64 characters with the given capacity.
template <typename... Args> std::string Format(ULONG capacity, const WCHAR *format, Args... args)
{
    WCHAR buffer[64];
    for (WCHAR &c : buffer)
        c = 0xAAAA;
    ULONG written = FormatText(buffer, capacity, format, args...);
    std::string text = Utf8(buffer, capacity);
    ULONG length = 0;
    while (length < capacity && buffer[length])
        ++length;
    EXPECT_EQ(written, length) << "return value against the text";
    EXPECT_LT(written, capacity);
    EXPECT_EQ(buffer[written], 0) << "terminated";
    for (ULONG i = capacity; i < 64; ++i)
        EXPECT_EQ(buffer[i], 0xAAAA) << "written beyond the capacity at " << i;
    return text;
}

template <typename... Args> std::string Format(const WCHAR *format, Args... args)
{
    return Format(64, format, args...);
}

TEST(FormatText, CapacityZeroLeavesBufferAndOneWritesOnlyTerminator)
{
    WCHAR buffer[2] = {0x1234, 0x1234};
    EXPECT_EQ(FormatText(buffer, 0, L"abc"), 0u);
    EXPECT_EQ(buffer[0], 0x1234);
    EXPECT_EQ(FormatText(buffer, 1, L"abc%d", 5), 0u);
    EXPECT_EQ(buffer[0], 0);
    EXPECT_EQ(buffer[1], 0x1234);
}

TEST(FormatText, IntegerBasesFlagsAndWidth)
{
    EXPECT_EQ(Format(L"%#x", 0x1f), "0x1f");
    EXPECT_EQ(Format(L"%x", 0x1f), "1f");
    EXPECT_EQ(Format(L"%#X", 0x1f), "0x1F");
    EXPECT_EQ(Format(L"%08x", 0x1f), "0000001f");
    EXPECT_EQ(Format(L"%-5u|", 7), "7    |");
    EXPECT_EQ(Format(L"%5u", 7), "    7");
    EXPECT_EQ(Format(L"%#u", 10), "0n10");
    EXPECT_EQ(Format(L"%#o", 8), "010");
    EXPECT_EQ(Format(L"%#b", 5), "0b101");
    EXPECT_EQ(Format(L"%#y", 5), "0y101");
    EXPECT_EQ(Format(L"%#010x", 0x1f), "0x0000001f");
    EXPECT_EQ(Format(L"%#10x", 0x1f), "      0x1f");
    EXPECT_EQ(Format(L"%*d|%-*d|", 4, 1, 3, 2), "   1|2  |");
    EXPECT_EQ(Format(L"%*d|", -3, 1), "1  |") << "a negative width justifies left";
    // The widest negative width: left-justified and padded to the capacity.
    EXPECT_EQ(Format(8, L"%*d|", INT_MIN, 7), "7      ");
    EXPECT_EQ(Format(8, L"%*d|", INT_MAX, 7), "      7");
}

TEST(FormatText, SignsAndNegation)
{
    EXPECT_EQ(Format(L"%d", -5), "-5");
    EXPECT_EQ(Format(L"%+d", 5), "+5");
    EXPECT_EQ(Format(L"%+05d", 5), "+0005");
    EXPECT_EQ(Format(L"%+5d", 5), "   +5");
    EXPECT_EQ(Format(L"%i", int(0x80000000)), "-2147483648");
    EXPECT_EQ(Format(L"%lld", -1234567890123ll), "-1234567890123");
    EXPECT_EQ(Format(L"%u", -1), "4294967295");
}

TEST(FormatText, SizeClasses)
{
    EXPECT_EQ(Format(L"%hx", 0xFFFF), "ffffffff");
    EXPECT_EQ(Format(L"%hd", 0x18000), "-32768");
    EXPECT_EQ(Format(L"%llx", 0x123456789abcdefull), "123456789abcdef");
    EXPECT_EQ(Format(L"%I64x|%Ix|%zx", 0x100000000ull, 0x200000000ull, size_t(0x300000000ull)),
              "100000000|200000000|300000000");
    EXPECT_EQ(Format(L"%I32x", 0xabcdef), "abcdef");
    EXPECT_EQ(Format(L"%lx", 0x7fffffff), "7fffffff");
}

TEST(FormatText, PrecisionCutsDigitsFromTheLeft)
{
    EXPECT_EQ(Format(L"%.2x", 0x1234), "34");
    EXPECT_EQ(Format(L"%.8x", 0x1234), "1234");
    EXPECT_EQ(Format(L"%.*u", 3, 98765), "765");
    EXPECT_EQ(Format(L"%.3s", L"abcdef"), "abc");
}

TEST(FormatText, Pointers)
{
    void *p = reinterpret_cast<void *>(uintptr_t(0x12AB));
    EXPECT_EQ(Format(L"%p", p), "12ab");
    EXPECT_EQ(Format(L"%P", p), "12AB");
    // With '+' and a width, the width less the sign becomes the precision and
    // zeros pad: a fixed-width address.
    EXPECT_EQ(Format(L"%+9p", p), "+000012ab");
    EXPECT_EQ(Format(L"%+ 9p", p), "+    12ab");
    EXPECT_EQ(Format(L"%#p", reinterpret_cast<void *>(uintptr_t(0xffffffff00000000ull))), "0xffffffff00000000");
}

TEST(FormatText, CharactersAndStrings)
{
    EXPECT_EQ(Format(L"%c%C", L'A', 'b'), "Ab");
    EXPECT_EQ(Format(L"%C", 0x1E9), "\xC3\xA9") << "narrow characters are widened by zero extension";
    EXPECT_EQ(Format(L"[%s|%S]", L"wide", "narrow"), "[wide|narrow]");
    EXPECT_EQ(Format(L"%hs|%ls", L"one", L"two"), "one|two") << "length modifiers keep strings wide";
    EXPECT_EQ(Format(L"%s|%S|%U", static_cast<WCHAR *>(nullptr), static_cast<char *>(nullptr),
                     static_cast<UNICODE_STRING *>(nullptr)),
              "(null)|(null)|(null)");
    UNICODE_STRING noBuffer = {4, 4, nullptr};
    EXPECT_EQ(Format(L"%U", &noBuffer), "(*null)");
    EXPECT_EQ(Format(L"%-6s|%6s", L"ab", L"cd"), "ab    |    cd");
    EXPECT_EQ(Format(L"[%5s]", L""), "[]") << "empty content writes no padding";
}

TEST(FormatText, CountedStringPrintsLengthCharactersOnly)
{
    WCHAR text[] = L"abcdef";
    UNICODE_STRING counted = {6, sizeof text, text};
    EXPECT_EQ(Format(L"%U\\Parameters", &counted), "abc\\Parameters");
}

TEST(FormatText, CountStoresCharactersSoFar)
{
    int count = -1;
    int later = -1;
    EXPECT_EQ(Format(L"abc%nde%n", &count, &later), "abcde");
    EXPECT_EQ(count, 3);
    EXPECT_EQ(later, 5);
}

TEST(FormatText, InvalidDirectivesComeOutAsText)
{
    EXPECT_EQ(Format(L"%q"), "%q");
    EXPECT_EQ(Format(L"100%"), "100%");
    EXPECT_EQ(Format(L"%%"), "%");
    EXPECT_EQ(Format(L"%.q"), "%.q");
    // A failed directive uses no argument: the next one still gets the first.
    EXPECT_EQ(Format(L"%5.x %d", 42), "%5.x 42");
    EXPECT_EQ(Format(L"%hhd", 1), "%hhd");
}

TEST(FormatText, CutsAtCapacityMidConversion)
{
    EXPECT_EQ(Format(5, L"%s", L"abcdefgh"), "abcd");
    EXPECT_EQ(Format(4, L"x=%#x", 0x1234), "x=0");
    // The field shrinks to what remains, so padding gives way before digits.
    EXPECT_EQ(Format(4, L"%08x", 1), "001");
    EXPECT_EQ(Format(3, L"%-8d|", 12), "12");
    EXPECT_EQ(Format(6, L"%+8d", 12), "  +12");
}

TEST(FormatText, MessageBufferIsOptionalAndBounded)
{
    FormatMessage128(nullptr, L"%d", 1); // nothing to write into, nothing happens
    WCHAR message[200];
    for (WCHAR &c : message)
        c = 0xAAAA;
    WCHAR longText[300];
    for (WCHAR &c : longText)
        c = L'z';
    longText[299] = 0;
    FormatMessage128(message, L"%s", longText);
    EXPECT_EQ(Utf8(message).size(), MessageCapacity - 1);
    EXPECT_EQ(message[MessageCapacity], 0xAAAA);
}

} // namespace
