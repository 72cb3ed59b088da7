// The device clock of a host: counter ticks become frames at the stream's
// rate, trimmed by parts per billion, and the fraction of a frame left by each
// tick is carried to the next, so the running total neither drifts nor steps
// when the trim changes.
#pragma once

#include <stdint.h>

namespace Ombrivo {

class DeviceClock {
public:
    static constexpr uint64_t PartsPerBillion = 1000000000;

    void Begin(uint64_t counterFrequency, uint32_t frameRate)
    {
        frequency = counterFrequency > 0 ? counterFrequency : 1;
        rate = frameRate;
        Restart();
    }

    // Counting starts afresh: the running total is rounded to the nearest
    // frame from here on.
    void Restart() { carry = Wide(frequency) * PartsPerBillion / 2; }

    // The frames due for `elapsed` counter ticks at the rate trimmed by
    // `trimPpb`. One unit of the carry is 1 / (frequency x 10^9) of a frame,
    // whatever the trim, so a new trim applies from the next tick on without
    // touching the fraction already counted. Counts beyond 32 bits (a stall
    // of hours) come out as the largest count; the caller drops them anyway.
    uint32_t FramesDue(uint64_t elapsed, int32_t trimPpb)
    {
        const Wide unit = Wide(frequency) * PartsPerBillion;
        const Wide scaled =
            Wide(elapsed) * rate * static_cast<uint64_t>(static_cast<int64_t>(PartsPerBillion) + trimPpb) + carry;
        carry = scaled % unit;
        const Wide frames = scaled / unit;
        return frames > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(frames);
    }

    // Counter ticks as whole microseconds.
    uint64_t ToMicroseconds(uint64_t ticks) const { return static_cast<uint64_t>(Wide(ticks) * 1000000 / frequency); }

    uint64_t Frequency() const { return frequency; }

private:
    // 128-bit arithmetic (GCC and Clang, the library's compilers): the
    // product of a counter interval, a rate and a trimmed billion does not
    // fit 64 bits, and rounding it instead would drift.
    __extension__ typedef unsigned __int128 Wide;

    uint64_t frequency = 1;
    uint32_t rate = 0;
    Wide carry = 0;
};

} // namespace Ombrivo
