// Sample conversion through one intermediate per kind: integers as 32-bit
// values with the sample in the top bits, floats as they are.
#include "SampleConvert.h"

#include <math.h>
#include <string.h>

namespace wav {

namespace {

// The sample of a container as a 32-bit value with the sample's bits on top
// (8-bit WAV samples are unsigned with 128 as silence).
int32_t LoadInteger(const uint8_t *p, uint32_t bytes)
{
    uint32_t v = 0;
    for (uint32_t i = 0; i < bytes; ++i)
        v |= static_cast<uint32_t>(p[i]) << (8 * (4 - bytes + i));
    if (bytes == 1)
        v ^= 0x80000000u;
    return static_cast<int32_t>(v);
}

void StoreInteger(uint8_t *p, uint32_t bytes, int32_t value)
{
    uint32_t v = static_cast<uint32_t>(value);
    if (bytes == 1)
        v ^= 0x80000000u;
    for (uint32_t i = 0; i < bytes; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * (4 - bytes + i)));
}

// Keeps the top validBits of a 32-bit value.
int32_t KeepValidBits(int32_t value, uint16_t validBits)
{
    const uint32_t mask = validBits >= 32 ? 0xFFFFFFFFu : ~(0xFFFFFFFFu >> validBits);
    return static_cast<int32_t>(static_cast<uint32_t>(value) & mask);
}

float LoadFloat(const uint8_t *p)
{
    float f;
    memcpy(&f, p, sizeof f);
    return f;
}

void StoreFloat(uint8_t *p, float f) { memcpy(p, &f, sizeof f); }

// Full scale of a 32-bit value is 2^31; a float of 1.0 is full scale.
constexpr double FullScale = 2147483648.0;

int32_t FloatToInteger(float f, uint16_t validBits)
{
    if (isnan(f))
        return 0;
    // Rounds at the target's own precision, so 24 valid bits get the
    // nearest 24-bit value, not a truncated 32-bit one.
    const double scale = ldexp(1.0, validBits - 1);
    double v = nearbyint(static_cast<double>(f) * scale);
    if (v >= scale)
        v = scale - 1;
    if (v < -scale)
        v = -scale;
    return static_cast<int32_t>(static_cast<int64_t>(v) * static_cast<int64_t>(FullScale / scale));
}

} // namespace

bool CanConvert(const Format &from, const Format &to)
{
    return Problem(from) == nullptr && Problem(to) == nullptr && from.channels == to.channels;
}

void Convert(const Format &from, const void *in, const Format &to, void *out, size_t frames)
{
    const auto *src = static_cast<const uint8_t *>(in);
    auto *dst = static_cast<uint8_t *>(out);
    if (from.encoding == to.encoding && from.containerBits == to.containerBits && from.validBits <= to.validBits) {
        memcpy(dst, src, frames * from.FrameBytes());
        return;
    }
    const size_t samples = frames * from.channels;
    const uint32_t inBytes = from.SampleBytes(), outBytes = to.SampleBytes();
    for (size_t i = 0; i < samples; ++i, src += inBytes, dst += outBytes) {
        if (from.encoding == Encoding::Float && to.encoding == Encoding::Float) {
            StoreFloat(dst, LoadFloat(src));
        } else if (from.encoding == Encoding::Float) {
            StoreInteger(dst, outBytes, FloatToInteger(LoadFloat(src), to.validBits));
        } else if (to.encoding == Encoding::Float) {
            StoreFloat(dst, static_cast<float>(LoadInteger(src, inBytes) / FullScale));
        } else {
            StoreInteger(dst, outBytes, KeepValidBits(LoadInteger(src, inBytes), to.validBits));
        }
    }
}

} // namespace wav
