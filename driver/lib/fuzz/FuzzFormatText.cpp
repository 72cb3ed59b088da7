// Fuzz target: FormatTextV with arbitrary formats and capacities. The first
// input byte is the capacity; the rest is the format, as 16-bit characters.
// Every argument slot holds an object that is valid read as any of the
// conversions (a number, a wide or narrow string, a counted string, a place
// for %n), so only the formatter itself can go wrong.
#include <cstdint>
#include <cstring>

#include "GuardedBuffer.h"
#include "TextFormat.h"

using namespace Mosaik;

namespace {

constexpr int ArgumentCount = 24;
constexpr int MaximumDirectives = ArgumentCount / 3; // width, precision, value

struct AnyArgument {
    UNICODE_STRING counted; // %n overwrites Length and MaximumLength only
    WCHAR terminator[4];    // ends the bytes above read as a wide or narrow string
};

WCHAR countedText[512];

ULONG Format(WCHAR *out, ULONG capacity, const WCHAR *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    ULONG written = FormatTextV(out, capacity, format, arguments);
    va_end(arguments);
    return written;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > 4096)
        return 0;
    const ULONG capacity = data[0];
    const size_t characters = (size - 1) / 2;
    WCHAR *format = new WCHAR[characters + 1];
    memcpy(format, data + 1, characters * sizeof(WCHAR));
    format[characters] = 0;
    int percents = 0;
    for (size_t i = 0; i < characters; ++i)
        percents += format[i] == L'%';
    if (percents <= MaximumDirectives) {
        for (WCHAR &c : countedText)
            c = L'a';
        countedText[511] = 0;
        AnyArgument a[ArgumentCount];
        for (AnyArgument &x : a) {
            // Length stays below the text: %n stores at most capacity - 1 < 256.
            x.counted = {8, 8, countedText};
            memset(x.terminator, 0, sizeof x.terminator);
        }
        GuardedBuffer guardedFormat(format, (characters + 1) * sizeof(WCHAR));
        GuardedBuffer output(nullptr, capacity * sizeof(WCHAR), true);
        WCHAR *out = output.As<WCHAR>();
        ULONG written = Format(out, capacity, guardedFormat.As<WCHAR>(), &a[0], &a[1], &a[2], &a[3], &a[4], &a[5],
                               &a[6], &a[7], &a[8], &a[9], &a[10], &a[11], &a[12], &a[13], &a[14], &a[15], &a[16],
                               &a[17], &a[18], &a[19], &a[20], &a[21], &a[22], &a[23]);
        if (capacity == 0) {
            FUZZ_REQUIRE(written == 0);
        } else {
            FUZZ_REQUIRE(written < capacity);
            FUZZ_REQUIRE(out[written] == 0);
        }
    }
    delete[] format;
    return 0;
}
