/* Bounded printf-style formatting into wide (16-bit) buffers of a fixed
   capacity: never written past, always terminated. */
#pragma once

#include <stdarg.h>

#include "KsHeaders.h"

namespace Mosaik {

// Capacity, in characters, of the message buffers the parsers write into.
constexpr ULONG MessageCapacity = 128;

// Formats into `buffer` (capacity counted in characters, terminator
// included) and returns the characters written, terminator excluded.
// Capacity 0 leaves the buffer untouched.
ULONG FormatTextV(WCHAR *buffer, ULONG capacity, const WCHAR *format, va_list arguments);
ULONG FormatText(WCHAR *buffer, ULONG capacity, const WCHAR *format, ...);

// Formats a diagnostic into a message buffer of MessageCapacity characters;
// does nothing when the caller supplied no buffer.
void FormatMessage128(WCHAR *message, const WCHAR *format, ...);

} // namespace Mosaik
