// What ombhost's event loop hands the device's audio to or takes it from:
// a ring to the capture file, a ring from the file to render, a tone. Each
// runs inside TransferData on the loop's thread: no lock, no allocation, no
// file access, and always all of the stretch taken, so the device position
// keeps to the clock.
#pragma once

#include <stdint.h>
#include <atomic>
#include <vector>
#include "FrameRing.h"
#include "WavFormat.h"
#include "ombapi.h"

namespace ombhost {

// Capture: every frame goes into the ring; frames the ring has no room for
// (the file fell more than the ring behind) are counted as lost.
class CaptureFeed : public Ombrivo::CallbackInterface {
public:
    CaptureFeed(FrameRing &ring, uint32_t frameBytes) : ring(ring), frameBytes(frameBytes) {}
    unsigned TransferData(void *data, unsigned bytes) override;
    uint64_t LostFrames() const { return lost.load(std::memory_order_relaxed); }

private:
    FrameRing &ring;
    const uint32_t frameBytes;
    std::atomic<uint64_t> lost{0};
};

// Render from a file: frames come from the ring; when it runs dry before the
// file has ended, silence stands in (counted as underrun), and after the
// end, silence follows (counted as the tail).
class FileFeed : public Ombrivo::CallbackInterface {
public:
    FileFeed(FrameRing &ring, const wav::Format &format) : ring(ring), format(format) {}
    unsigned TransferData(void *data, unsigned bytes) override;
    // The file's last frame is in the ring.
    void MarkEnded() { ended.store(true, std::memory_order_release); }
    uint64_t PlayedFrames() const { return played.load(std::memory_order_relaxed); }
    uint64_t UnderrunFrames() const { return underrun.load(std::memory_order_relaxed); }
    uint64_t TailFrames() const { return tail.load(std::memory_order_relaxed); }

private:
    FrameRing &ring;
    const wav::Format format;
    std::atomic<bool> ended{false};
    std::atomic<uint64_t> played{0}, underrun{0}, tail{0};
};

// Render a sine tone at half of full scale, continuous across stretches.
class ToneFeed : public Ombrivo::CallbackInterface {
public:
    ToneFeed(double hz, const wav::Format &format);
    unsigned TransferData(void *data, unsigned bytes) override;
    uint64_t PlayedFrames() const { return played.load(std::memory_order_relaxed); }

    static constexpr double Amplitude = 0.5;

private:
    static constexpr size_t ChunkFrames = 256;
    const wav::Format format;
    const wav::Format floats;
    const double step; // radians a frame
    double phase = 0;
    std::vector<float> scratch; // one chunk of float samples, made once
    std::atomic<uint64_t> played{0};
};

} // namespace ombhost
