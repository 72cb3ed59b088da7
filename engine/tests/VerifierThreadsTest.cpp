// The verifier as the engine uses it across threads: a stream's thread
// pushes what it receives while another reads the report.
#include "Signal.h"
#include "Verifier.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace engine {
namespace {

// Reports read while frames are pushed (and the index built) are each
// consistent, never go back, and the last one is exact about a run of
// foreign frames in place of signal frames.
TEST(VerifierThreads, ReportsWhilePushing)
{
    wav::Format format;
    format.encoding = wav::Encoding::Pcm;
    format.sampleRate = 48000;
    format.channels = 2;
    format.containerBits = 16;
    format.validBits = 16;
    const TestSignal signal(format);
    const size_t frameBytes = format.FrameBytes();
    // Frames 0 .. 47999, with 2000 frames of the signal from 1000 s on (far
    // outside the range searched: foreign) in place of frames 24000 .. 25999.
    std::vector<uint8_t> stream(48000 * frameBytes);
    signal.Generate(0, stream.data(), 24000);
    signal.Generate(48000000, stream.data() + 24000 * frameBytes, 2000);
    signal.Generate(26000, stream.data() + 26000 * frameBytes, 22000);

    Verifier verifier(format);
    std::atomic<bool> done{false};
    std::thread pusher([&] {
        const size_t piece = 1921; // bytes: frames split across calls
        for (size_t at = 0; at < stream.size(); at += piece)
            verifier.Push(stream.data() + at, std::min(piece, stream.size() - at));
        done = true;
    });
    uint64_t received = 0, reads = 0;
    while (!done) {
        const VerifyReport r = verifier.Report();
        EXPECT_GE(r.framesReceived, received);
        EXPECT_LE(r.framesMatched + r.corruptedFrames + r.unplacedFrames, r.framesReceived);
        received = r.framesReceived;
        ++reads;
    }
    pusher.join();

    const VerifyReport r = verifier.Report();
    EXPECT_EQ(48000u, r.framesReceived);
    EXPECT_EQ(46000u, r.framesMatched) << r.Describe();
    EXPECT_EQ(2000u, r.corruptedFrames);
    EXPECT_EQ(2000u, r.lostFrames);
    EXPECT_EQ(48000u, r.nextIndex);
    EXPECT_EQ(Discrepancy::Lost, r.first.kind);
    EXPECT_EQ(24000u, r.first.receivedFrame);
    EXPECT_GT(reads, 0u);
}

} // namespace
} // namespace engine
