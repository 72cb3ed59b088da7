// The formatter behind FormatTextV: directive parsing, argument reading by
// size class, number conversion and the padded, cut-to-fit layout.
#include "TextFormat.h"

namespace Mosaik {
namespace {

enum class SizeClass { Bits16, Bits32, Bits64 };

// One parsed directive. Parsing consumes no argument, so that a directive
// that turns out invalid leaves the argument list where it was.
struct Directive {
    bool leftJustify = false;
    bool showSign = false;
    bool alternate = false;
    WCHAR pad = 0; // 0: none given
    bool widthFromArgument = false;
    ULONG width = 0;
    bool precisionFromArgument = false;
    ULONG precision = 0; // 0: none
    SizeClass size = SizeClass::Bits32;
    WCHAR letter = 0;
    const WCHAR *next = nullptr; // first character after the directive
};

// va_list is an array type on some targets; a struct lets it be passed by
// reference everywhere.
struct Arguments {
    va_list list;
};

struct Output {
    WCHAR *next;
    ULONG remaining;
    ULONG written;

    void Put(WCHAR c)
    {
        if (remaining == 0)
            return;
        *next++ = c;
        --remaining;
        ++written;
    }
    void PutRepeated(WCHAR c, ULONG count)
    {
        for (ULONG i = 0; i < count && remaining > 0; ++i)
            Put(c);
    }
};

bool IsDigit(WCHAR c) { return c >= L'0' && c <= L'9'; }

// Decimal digits, saturating instead of wrapping on absurdly long runs.
ULONG ParseDecimal(const WCHAR *&p)
{
    ULONG value = 0;
    for (; IsDigit(*p); ++p) {
        ULONG digit = ULONG(*p - L'0');
        value = value > (0x7FFFFFFFu - digit) / 10 ? 0x7FFFFFFFu : value * 10 + digit;
    }
    return value;
}

bool IsConversionLetter(WCHAR c)
{
    switch (c) {
    case L'c': case L'C': case L's': case L'S': case L'U':
    case L'd': case L'i': case L'u': case L'o': case L'x': case L'X':
    case L'p': case L'P': case L'b': case L'y':
        return true;
    default:
        return false;
    }
}

// Parses the text after '%'. False when it is no valid directive.
bool ParseDirective(const WCHAR *p, Directive &d)
{
    for (;; ++p) {
        if (*p == L' ' || *p == L'0')
            d.pad = *p;
        else if (*p == L'#')
            d.alternate = true;
        else if (*p == L'+')
            d.showSign = true;
        else if (*p == L'-')
            d.leftJustify = true;
        else
            break;
    }
    if (*p == L'*') {
        d.widthFromArgument = true;
        ++p;
    } else {
        d.width = ParseDecimal(p);
    }
    if (*p == L'.') {
        ++p;
        if (*p == L'*') {
            d.precisionFromArgument = true;
            ++p;
        } else if (IsDigit(*p)) {
            d.precision = ParseDecimal(p);
        } else {
            return false;
        }
    }
    if (*p == L'h') {
        d.size = SizeClass::Bits16;
        ++p;
    } else if (*p == L'l') {
        ++p;
        if (*p == L'l') {
            d.size = SizeClass::Bits64;
            ++p;
        }
    } else if (*p == L'I') {
        ++p;
        if (p[0] == L'3' && p[1] == L'2') {
            p += 2;
        } else {
            d.size = SizeClass::Bits64;
            if (p[0] == L'6' && p[1] == L'4')
                p += 2;
        }
    } else if (*p == L'z') {
        d.size = SizeClass::Bits64;
        ++p;
    }
    if (!IsConversionLetter(*p))
        return false;
    d.letter = *p;
    d.next = p + 1;
    if (d.letter == L'p' || d.letter == L'P')
        d.size = SizeClass::Bits64;
    return true;
}

// Reads an integer argument at the width of its size class, sign-extended.
LONGLONG ReadInteger(Arguments &args, SizeClass size)
{
    switch (size) {
    case SizeClass::Bits16:
        return SHORT(va_arg(args.list, int));
    case SizeClass::Bits32:
        return LONG(va_arg(args.list, int));
    default:
        return va_arg(args.list, long long);
    }
}

ULONG Base(WCHAR letter)
{
    switch (letter) {
    case L'd': case L'i': case L'u':
        return 10;
    case L'o':
        return 8;
    case L'b': case L'y':
        return 2;
    default:
        return 16;
    }
}

const char *BasePrefix(WCHAR letter)
{
    switch (letter) {
    case L'd': case L'i': case L'u':
        return "0n";
    case L'o':
        return "0";
    case L'b':
        return "0b";
    case L'y':
        return "0y";
    default:
        return "0x";
    }
}


// What a conversion lays out: an optional prefix and the content, which is
// wide or narrow text.
struct Piece {
    char prefix[4] = {};
    ULONG prefixLength = 0;
    const WCHAR *wide = nullptr;
    const char *narrow = nullptr;
    ULONG length = 0;
};

// The length of a NUL-terminated string, looking at no more than `limit`
// characters (what can still be written bounds what needs to be counted).
template <typename Char> ULONG BoundedLength(const Char *s, ULONG limit)
{
    ULONG n = 0;
    while (n < limit && s[n])
        ++n;
    return n;
}

void LayOut(const Directive &d, const Piece &piece, Output &out)
{
    ULONG field = d.width > piece.length ? d.width : piece.length;
    if (field > out.remaining)
        field = out.remaining;
    ULONG used = piece.prefixLength + piece.length;
    ULONG padding = field > used ? field - used : 0;

    auto putPrefix = [&] {
        for (ULONG i = 0; i < piece.prefixLength; ++i)
            out.Put(WCHAR(UCHAR(piece.prefix[i])));
    };
    auto putContent = [&] {
        for (ULONG i = 0; i < piece.length && out.remaining > 0; ++i)
            out.Put(piece.wide ? piece.wide[i] : WCHAR(UCHAR(piece.narrow[i])));
    };
    if (d.leftJustify) {
        putPrefix();
        putContent();
        out.PutRepeated(L' ', padding);
    } else if (d.pad) {
        putPrefix();
        out.PutRepeated(d.pad, padding);
        putContent();
    } else {
        out.PutRepeated(L' ', padding);
        putPrefix();
        putContent();
    }
}

void Convert(Directive d, Arguments &args, Output &out)
{
    if (d.widthFromArgument) {
        // A negative width asks for left justification; its size is taken in
        // unsigned arithmetic, where even INT_MIN has a magnitude.
        const int width = va_arg(args.list, int);
        d.width = ULONG(width);
        if (width < 0) {
            d.leftJustify = true;
            d.width = 0u - d.width;
        }
    }
    if (d.precisionFromArgument) {
        int precision = va_arg(args.list, int);
        d.precision = precision > 0 ? ULONG(precision) : 0;
    }

    Piece piece;
    WCHAR character = 0;
    char digits[65];
    // Strings longer than what still fits need not be counted further.
    ULONG limit = d.precision ? d.precision : out.remaining;
    if (limit > out.remaining)
        limit = out.remaining;

    switch (d.letter) {
    case L'c':
        character = WCHAR(va_arg(args.list, int));
        piece.wide = &character;
        piece.length = 1;
        break;
    case L'C':
        character = WCHAR(UCHAR(va_arg(args.list, int)));
        piece.wide = &character;
        piece.length = 1;
        break;
    case L's': {
        const WCHAR *s = va_arg(args.list, const WCHAR *);
        piece.wide = s ? s : L"(null)";
        piece.length = BoundedLength(piece.wide, limit);
        break;
    }
    case L'S': {
        const char *s = va_arg(args.list, const char *);
        piece.narrow = s ? s : "(null)";
        piece.length = BoundedLength(piece.narrow, limit);
        break;
    }
    case L'U': {
        const UNICODE_STRING *s = va_arg(args.list, const UNICODE_STRING *);
        if (!s) {
            piece.wide = L"(null)";
            piece.length = 6;
        } else if (!s->Buffer) {
            piece.wide = L"(*null)";
            piece.length = 7;
        } else {
            piece.wide = s->Buffer;
            piece.length = s->Length / sizeof(WCHAR);
        }
        if (d.precision && piece.length > d.precision)
            piece.length = d.precision;
        break;
    }
    default: {
        LONGLONG value = ReadInteger(args, d.size);
        bool negated = false;
        ULONGLONG magnitude = ULONGLONG(value);
        if ((d.letter == L'd' || d.letter == L'i') && value < 0) {
            negated = true;
            magnitude = 0 - magnitude;
        }
        if (d.size != SizeClass::Bits64)
            magnitude = ULONG(magnitude);

        if ((d.letter == L'p' || d.letter == L'P') && d.showSign && d.width >= 2 && !d.precision) {
            d.precision = d.width - 1;
            if (!d.pad)
                d.pad = L'0';
        }

        const char *alphabet = (d.letter == L'X' || d.letter == L'P') ? "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                                                    : "0123456789abcdefghijklmnopqrstuvwxyz";
        ULONG base = Base(d.letter);
        char reversed[65];
        ULONG count = 0;
        do {
            reversed[count++] = alphabet[magnitude % base];
            magnitude /= base;
        } while (magnitude != 0);
        // Precision keeps only the last digits; it never adds zeros.
        ULONG kept = d.precision && d.precision < count ? d.precision : count;
        for (ULONG i = 0; i < kept; ++i)
            digits[i] = reversed[kept - 1 - i];
        digits[kept] = 0;
        piece.narrow = digits;
        piece.length = kept;

        if (d.showSign || negated)
            piece.prefix[piece.prefixLength++] = negated ? '-' : '+';
        if (d.alternate) {
            const char *prefix = BasePrefix(d.letter);
            for (ULONG i = 0; prefix[i]; ++i)
                piece.prefix[piece.prefixLength++] = prefix[i];
        }
        break;
    }
    }
    // Empty content writes nothing at all, not even padding or prefix.
    if (piece.length == 0)
        return;
    LayOut(d, piece, out);
}

} // namespace

ULONG FormatTextV(WCHAR *buffer, ULONG capacity, const WCHAR *format, va_list arguments)
{
    if (capacity == 0)
        return 0;
    Output out{buffer, capacity - 1, 0};
    Arguments args;
    va_copy(args.list, arguments);

    const WCHAR *f = format;
    while (out.remaining > 0 && *f) {
        if (f[0] == L'%' && f[1] == L'%') {
            out.Put(L'%');
            f += 2;
        } else if (f[0] == L'%' && f[1] == L'n') {
            int *count = va_arg(args.list, int *);
            if (count)
                *count = int(out.written);
            f += 2;
        } else if (f[0] == L'%' && f[1] != 0) {
            Directive d;
            if (ParseDirective(f + 1, d)) {
                Convert(d, args, out);
                f = d.next;
            } else {
                // Not a directive: the '%' and what follows come out as text.
                out.Put(L'%');
                ++f;
            }
        } else {
            out.Put(*f);
            ++f;
        }
    }
    va_end(args.list);
    *out.next = 0;
    return out.written;
}

ULONG FormatText(WCHAR *buffer, ULONG capacity, const WCHAR *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    ULONG written = FormatTextV(buffer, capacity, format, arguments);
    va_end(arguments);
    return written;
}

void FormatMessage128(WCHAR *message, const WCHAR *format, ...)
{
    if (!message)
        return;
    va_list arguments;
    va_start(arguments, format);
    FormatTextV(message, MessageCapacity, format, arguments);
    va_end(arguments);
}

} // namespace Mosaik
