// The verifier through its public calls, as the engine's sinks and the
// machine's applications use it: received streams built from the test
// signal, noise and silence, and what the report must say of them.
#include "Signal.h"
#include "Verifier.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <vector>

namespace engine {
namespace {

wav::Format Pcm(uint32_t rate, uint16_t channels, uint16_t containerBits, uint16_t validBits)
{
    wav::Format format;
    format.encoding = wav::Encoding::Pcm;
    format.sampleRate = rate;
    format.channels = channels;
    format.containerBits = containerBits;
    format.validBits = validBits;
    return format;
}

wav::Format Float(uint32_t rate, uint16_t channels)
{
    wav::Format format = Pcm(rate, channels, 32, 32);
    format.encoding = wav::Encoding::Float;
    return format;
}

// A received stream, put together piece by piece.
class Received {
public:
    explicit Received(const wav::Format &format) : signal(format), frameBytes(format.FrameBytes()) {}

    Received &Signal(uint64_t first, size_t count)
    {
        const size_t at = bytes.size();
        bytes.resize(at + count * frameBytes);
        signal.Generate(first, bytes.data() + at, count);
        return *this;
    }
    // Random bytes, never a silent frame.
    Received &Noise(size_t count)
    {
        for (size_t i = 0; i < count; ++i) {
            std::vector<uint8_t> frame(frameBytes);
            do {
                for (uint8_t &b : frame)
                    b = static_cast<uint8_t>(random());
            } while (signal.IsSilent(frame.data()));
            bytes.insert(bytes.end(), frame.begin(), frame.end());
        }
        return *this;
    }
    size_t Frames() const { return bytes.size() / frameBytes; }
    std::vector<uint8_t> FrameAt(size_t position) const
    {
        return {bytes.begin() + position * frameBytes, bytes.begin() + (position + 1) * frameBytes};
    }
    // Pushed in pieces of an odd size, so that frames are split across calls.
    void PushTo(Verifier &verifier, size_t piece = 997) const
    {
        for (size_t at = 0; at < bytes.size(); at += piece)
            verifier.Push(bytes.data() + at, std::min(piece, bytes.size() - at));
    }

private:
    TestSignal signal;
    size_t frameBytes;
    std::vector<uint8_t> bytes;
    std::mt19937 random{7};
};

// A second of signal with a run of 300 noise frames after frame 10000, in
// place of signal frames (the signal goes on where it would have been: the
// run is corrupted and its frames lost) or put in between them (corrupted,
// nothing lost). Either way the verifier is in step again from the first
// good frame on.
TEST(Verifier, CorruptedRunInsideTheSignal)
{
    const wav::Format format = Pcm(48000, 2, 16, 16);
    for (const bool inPlace : {true, false}) {
        SCOPED_TRACE(inPlace ? "in place of signal frames" : "between signal frames");
        const uint64_t lost = inPlace ? 300 : 0;
        Received stream(format);
        stream.Signal(0, 10000).Noise(300).Signal(10000 + lost, 38000 - lost);
        Verifier verifier(format);
        stream.PushTo(verifier);

        const VerifyReport r = verifier.Report();
        EXPECT_EQ(48300 - lost, r.framesReceived);
        EXPECT_EQ(48000 - lost, r.framesMatched);
        EXPECT_EQ(300u, r.corruptedFrames);
        EXPECT_EQ(lost, r.lostFrames);
        EXPECT_EQ(0u, r.repeatedFrames);
        EXPECT_EQ(0u, r.silentGapFrames);
        EXPECT_EQ(1u, r.discontinuities);
        EXPECT_EQ(48000u, r.nextIndex);
        EXPECT_EQ(0u, r.unplacedFrames);
        EXPECT_EQ(inPlace ? Discrepancy::Lost : Discrepancy::Corrupted, r.first.kind) << r.Describe();
        EXPECT_EQ(10000u, r.first.receivedFrame);
        EXPECT_EQ(10000u, r.first.expectedIndex);
        EXPECT_EQ(stream.FrameAt(10000), r.first.actual);
        EXPECT_FALSE(r.Exact());
    }
}

// Seconds of noise (a host's own audio, say), then the signal from two
// seconds in: every noise frame corrupted, the signal placed at its first
// frame, nothing of it skipped.
TEST(Verifier, LongNoiseThenTheSignal)
{
    const wav::Format format = Pcm(48000, 2, 16, 16);
    Received stream(format);
    stream.Noise(5 * 48000).Signal(96000, 48000);
    Verifier verifier(format);
    stream.PushTo(verifier, 4096);

    const VerifyReport r = verifier.Report();
    EXPECT_EQ(5u * 48000, r.corruptedFrames);
    EXPECT_EQ(96000u, r.firstIndex);
    EXPECT_EQ(96000u, r.lostFrames); // a late start
    EXPECT_EQ(48000u, r.framesMatched);
    EXPECT_EQ(144000u, r.nextIndex);
    EXPECT_EQ(1u, r.discontinuities);
    EXPECT_EQ(Discrepancy::Corrupted, r.first.kind) << r.Describe();
    EXPECT_EQ(0u, r.first.receivedFrame);
    EXPECT_EQ(0u, r.unplacedFrames);
}

// Every sample format, the engine's and the library's, up to the fastest
// rate: a stretch in step is exact; a slip a second and a half ahead and
// one a second back are placed at the frame, with nothing counted corrupted.
class VerifierFormats : public ::testing::TestWithParam<wav::Format> {};

TEST_P(VerifierFormats, ExactAndSlipsPlacedAtTheFrame)
{
    const wav::Format format = GetParam();
    const uint64_t rate = format.sampleRate;
    const uint64_t half = rate / 2, quarter = rate / 4;
    Verifier verifier(format);
    Received(format).Signal(0, half).PushTo(verifier);
    VerifyReport r = verifier.Report();
    EXPECT_TRUE(r.Exact()) << r.Describe();
    EXPECT_EQ(half, r.framesMatched);

    // 1.5 s lost after frame `half`; then from there 1 s back (repeated).
    const uint64_t ahead = half + rate * 3 / 2;
    const uint64_t back = ahead + quarter - rate;
    Received(format).Signal(ahead, quarter).Signal(back, quarter).PushTo(verifier);
    r = verifier.Report();
    EXPECT_EQ(half + 2 * quarter, r.framesMatched) << r.Describe();
    EXPECT_EQ(rate * 3 / 2, r.lostFrames);
    EXPECT_EQ(rate, r.repeatedFrames);
    EXPECT_EQ(0u, r.corruptedFrames);
    EXPECT_EQ(2u, r.discontinuities);
    EXPECT_EQ(back + quarter, r.nextIndex);
    EXPECT_EQ(Discrepancy::Lost, r.first.kind);
    EXPECT_EQ(half, r.first.receivedFrame);
    EXPECT_EQ(half, r.first.expectedIndex);
}

INSTANTIATE_TEST_SUITE_P(Formats, VerifierFormats,
                         ::testing::Values(Pcm(22050, 1, 8, 8), Pcm(8000, 2, 8, 8), Pcm(44100, 1, 16, 16),
                                           Pcm(44100, 2, 16, 16), Pcm(96000, 2, 24, 24), Pcm(48000, 6, 32, 24),
                                           Pcm(48000, 2, 24, 20), Pcm(48000, 2, 32, 32), Float(48000, 2),
                                           Float(48000, 8), Pcm(384000, 1, 16, 16)));

// After a restart in another format, a slip is placed in the new format's
// signal (nothing of the old format's search is kept).
TEST(Verifier, RestartInAnotherFormat)
{
    const wav::Format first = Pcm(48000, 2, 16, 16);
    const wav::Format second = Float(44100, 2);
    Verifier verifier(first);
    // A slip in the first format, so that its search has been set up.
    Received(first).Signal(0, 1000).Signal(50000, 1000).PushTo(verifier);
    verifier.Restart(second, 5000);
    Received(second).Signal(5000, 1000).Signal(5000 + 1000 + 30000, 1000).PushTo(verifier);

    const VerifyReport r = verifier.Report();
    EXPECT_EQ(2u, r.segments);
    EXPECT_EQ(second, r.format);
    EXPECT_EQ(4000u, r.framesMatched) << r.Describe();
    EXPECT_EQ(49000u + 30000, r.lostFrames);
    EXPECT_EQ(0u, r.corruptedFrames);
    EXPECT_EQ(2u, r.discontinuities);
    EXPECT_EQ(5000u + 1000 + 30000 + 1000, r.nextIndex);
}

// A format of two valid bits, whose windows of frames recur within the
// range searched: of the places a window fits, the one nearest the frame
// due is taken, the one ahead when two are as near.
TEST(Verifier, AmbiguousWindowTakesTheNearestPlace)
{
    const wav::Format format = Pcm(8000, 1, 8, 2);
    const TestSignal signal(format);
    const uint64_t window = 8; // frames that name a place in this format
    const uint64_t back = 2 * 8000, ahead = 20 * 8000, near = 8000 / 10;
    // The signal's frames and, for each place, the window there.
    const uint64_t last = 40000 + ahead + window;
    std::vector<uint8_t> frames(last);
    signal.Generate(0, frames.data(), last);
    std::vector<uint64_t> patterns(last - window);
    for (uint64_t at = 0; at < patterns.size(); ++at)
        for (uint64_t i = 0; i < window; ++i)
            patterns[at] = patterns[at] << 8 | frames[at + i];
    auto pattern = [&](uint64_t at) { return patterns[at]; };

    // A frame due (centre) with two places as near, behind and ahead, that
    // share a window found nowhere nearer, and which does not begin with the
    // frame due (so that it breaks the step).
    auto nearest = [&](uint64_t centre, uint64_t d) {
        for (uint64_t e = 0; e < d; ++e)
            if (pattern(centre + e) == pattern(centre + d) || pattern(centre - e) == pattern(centre + d))
                return false;
        return true;
    };
    struct Case {
        uint64_t centre = 0, d = 0;
    } tie;
    for (uint64_t centre = back; centre < 40000 && tie.d == 0; centre += 97)
        for (uint64_t d = near + 1; d <= back && tie.d == 0; ++d)
            if (pattern(centre + d) == pattern(centre - d) && frames[centre + d] != frames[centre] &&
                nearest(centre, d))
                tie = {centre, d};
    ASSERT_NE(0u, tie.d);

    // In step up to the centre, then the window from behind the centre (a
    // repeat, were it read as such): the verifier takes the place ahead.
    Verifier verifier(format);
    Received stream(format);
    stream.Signal(0, tie.centre).Signal(tie.centre - tie.d, window);
    stream.PushTo(verifier);
    VerifyReport r = verifier.Report();
    EXPECT_EQ(tie.d, r.lostFrames) << r.Describe();
    EXPECT_EQ(0u, r.repeatedFrames);
    EXPECT_EQ(tie.centre + tie.d + window, r.nextIndex);

    // The same window from the farthest place it has ahead in the range:
    // taken at the nearest (the tie's place ahead).
    uint64_t farthest = 0;
    for (uint64_t d = tie.d; d <= ahead; ++d)
        if (pattern(tie.centre + d) == pattern(tie.centre + tie.d))
            farthest = d;
    ASSERT_GT(farthest, tie.d);
    Verifier again(format);
    Received(format).Signal(0, tie.centre).Signal(tie.centre + farthest, window).PushTo(again);
    r = again.Report();
    EXPECT_EQ(tie.d, r.lostFrames) << "farthest at +" << farthest << ": " << r.Describe();
    EXPECT_EQ(tie.centre + tie.d + window, r.nextIndex);
}

} // namespace
} // namespace engine
