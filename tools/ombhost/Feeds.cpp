// The callbacks of ombhost's event loop.
#include "Feeds.h"

#include <math.h>
#include <numbers>
#include "PipeFormat.h"
#include "SampleConvert.h"

namespace ombhost {

unsigned CaptureFeed::TransferData(void *data, unsigned bytes)
{
    const size_t frames = bytes / frameBytes;
    const size_t kept = ring.Write(data, frames);
    if (kept < frames)
        lost.fetch_add(frames - kept, std::memory_order_relaxed);
    return bytes;
}

unsigned FileFeed::TransferData(void *data, unsigned bytes)
{
    // Whether the file had ended is read before the ring: once it has, every
    // frame of it is in the ring already, so a short read is the end.
    const bool endedBefore = ended.load(std::memory_order_acquire);
    const size_t frames = bytes / format.FrameBytes();
    const size_t got = ring.Read(data, frames);
    played.fetch_add(got, std::memory_order_relaxed);
    if (got < frames) {
        FillSilence(format, static_cast<uint8_t *>(data) + got * format.FrameBytes(), frames - got);
        (endedBefore ? tail : underrun).fetch_add(frames - got, std::memory_order_relaxed);
    }
    return bytes;
}

ToneFeed::ToneFeed(double hz, const wav::Format &format)
    : format(format), floats{wav::Encoding::Float, format.sampleRate, format.channels, 32, 32, 0},
      step(2 * std::numbers::pi * hz / format.sampleRate), scratch(ChunkFrames * format.channels)
{
}

unsigned ToneFeed::TransferData(void *data, unsigned bytes)
{
    const size_t frames = bytes / format.FrameBytes();
    auto *out = static_cast<uint8_t *>(data);
    for (size_t done = 0; done < frames;) {
        const size_t n = frames - done < ChunkFrames ? frames - done : ChunkFrames;
        for (size_t f = 0; f < n; ++f) {
            const float v = static_cast<float>(Amplitude * sin(phase));
            for (size_t c = 0; c < format.channels; ++c)
                scratch[f * format.channels + c] = v;
            phase += step;
            if (phase >= 2 * std::numbers::pi)
                phase -= 2 * std::numbers::pi;
        }
        wav::Convert(floats, scratch.data(), format, out + done * format.FrameBytes(), n);
        done += n;
    }
    played.fetch_add(frames, std::memory_order_relaxed);
    return bytes;
}

} // namespace ombhost
