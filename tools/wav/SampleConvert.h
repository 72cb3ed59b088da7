// Converting frames between sample formats of the same rate and channel
// count: integer widths and float, exact wherever the target can hold the
// value (widening, 24-bit to float and back).
#pragma once

#include <stddef.h>
#include "WavFormat.h"

namespace wav {

// Whether Convert can turn frames of `from` into frames of `to`: both valid,
// the same channel count. The rates are not looked at.
bool CanConvert(const Format &from, const Format &to);

// Converts `frames` frames. Integer to integer keeps the top valid bits of
// the target (truncating, no dither) and clears the bits below them; float to
// integer rounds to the nearest value and clips to full scale (NaN becomes
// 0); integer to float divides by full scale. Identical layouts are copied.
// `in` and `out` must not overlap.
void Convert(const Format &from, const void *in, const Format &to, void *out, size_t frames);

} // namespace wav
