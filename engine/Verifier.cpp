// Placing each received frame in the test signal: in step, a frame is
// compared with the one due; out of step, a window of frames is looked for
// near where the signal was, which tells what happened in between.
#include "Verifier.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace engine {

namespace {

// How far from the frame due a lost place in the signal is looked for.
constexpr uint64_t BackSeconds = 2;
constexpr uint64_t AheadSeconds = 20;
// After this many failed searches in a row the verifier searches only every
// tenth of a second of frames, so a stream of noise costs little.
constexpr uint32_t SearchesBeforeCooldown = 16;

std::string Hex(const std::vector<uint8_t> &bytes)
{
    std::string text;
    char part[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(part, sizeof part, i == 0 ? "%02X" : " %02X", bytes[i]);
        text += part;
    }
    return text;
}

} // namespace

const char *DiscrepancyName(Discrepancy kind)
{
    switch (kind) {
    case Discrepancy::None: return "none";
    case Discrepancy::LateStart: return "late start";
    case Discrepancy::Lost: return "lost frames";
    case Discrepancy::Repeated: return "repeated frames";
    case Discrepancy::Silence: return "silence";
    case Discrepancy::Corrupted: return "corrupted frames";
    }
    return "?";
}

bool VerifyReport::Exact() const
{
    return framesMatched > 0 && first.kind == Discrepancy::None;
}

std::string VerifyReport::Describe() const
{
    char line[512];
    std::snprintf(line, sizeof line,
                  "%llu frames: %llu matched from signal frame %llu, %llu leading and %llu trailing silent",
                  static_cast<unsigned long long>(framesReceived), static_cast<unsigned long long>(framesMatched),
                  static_cast<unsigned long long>(firstIndex), static_cast<unsigned long long>(leadingSilence),
                  static_cast<unsigned long long>(trailingSilence));
    std::string text = line;
    if (Exact())
        return text + "; sample-exact";
    if (framesMatched == 0)
        return text + "; no frame of the signal found";
    std::snprintf(line, sizeof line,
                  "; first discrepancy: %s at received frame %llu (signal frame %llu due): expected [%s], got [%s]; "
                  "%llu lost, %llu repeated, %llu corrupted, %llu silent, in %llu places",
                  DiscrepancyName(first.kind), static_cast<unsigned long long>(first.receivedFrame),
                  static_cast<unsigned long long>(first.expectedIndex), Hex(first.expected).c_str(),
                  Hex(first.actual).c_str(), static_cast<unsigned long long>(lostFrames),
                  static_cast<unsigned long long>(repeatedFrames), static_cast<unsigned long long>(corruptedFrames),
                  static_cast<unsigned long long>(silentGapFrames), static_cast<unsigned long long>(discontinuities));
    return text + line;
}

Verifier::Verifier(const wav::Format &format, uint64_t firstIndex) : signal(format)
{
    ResetSegment(format, firstIndex);
}

void Verifier::ResetSegment(const wav::Format &format, uint64_t firstIndex)
{
    signal = TestSignal(format);
    frameBytes = format.FrameBytes();
    // Enough frames for 48 bits of signal: a false match is then unlikely
    // among the million places a search looks at.
    const uint32_t bitsPerFrame = (format.encoding == wav::Encoding::Float ? 24 : format.validBits) * format.channels;
    window = std::clamp<uint32_t>((48 + bitsPerFrame - 1) / bitsPerFrame, 1, 8);
    partial.clear();
    backlog.clear();
    synced = false;
    everSynced = false;
    segmentFirst = firstIndex;
    expected = firstIndex;
    pendingSilence = 0;
    cooldown = 0;
    failedSearches = 0;
    report.format = format;
    report.firstIndex = firstIndex;
    ++report.segments;
}

void Verifier::Restart(const wav::Format &format, uint64_t firstIndex)
{
    std::lock_guard<std::mutex> hold(lock);
    ResetSegment(format, firstIndex);
}

void Verifier::Push(const void *data, size_t bytes)
{
    std::lock_guard<std::mutex> hold(lock);
    const auto *at = static_cast<const uint8_t *>(data);
    if (!partial.empty()) {
        const size_t take = std::min(bytes, frameBytes - partial.size());
        partial.insert(partial.end(), at, at + take);
        at += take;
        bytes -= take;
        if (partial.size() < frameBytes)
            return;
        Take(partial.data(), report.framesReceived++);
        partial.clear();
    }
    for (; bytes >= frameBytes; at += frameBytes, bytes -= frameBytes)
        Take(at, report.framesReceived++);
    partial.assign(at, at + bytes);
}

void Verifier::Take(const uint8_t *frame, uint64_t position)
{
    if (synced) {
        TakeSynced(frame, position);
        return;
    }
    if (backlog.empty() && signal.IsSilent(frame)) {
        if (!everSynced) {
            ++report.leadingSilence;
        } else {
            if (pendingSilence++ == 0)
                silenceStart = position;
        }
        return;
    }
    if (backlog.empty())
        backlogStart = position;
    backlog.insert(backlog.end(), frame, frame + frameBytes);
    TryResync();
}

void Verifier::TakeSynced(const uint8_t *frame, uint64_t position)
{
    if (signal.Matches(frame, expected)) {
        if (pendingSilence != 0) {
            // Silence, then the signal where it left off: silence put in.
            std::vector<uint8_t> silent(frameBytes);
            signal.Silence(silent.data());
            NoteFirst(Discrepancy::Silence, silenceStart, expected, silent.data());
            report.silentGapFrames += pendingSilence;
            ++report.discontinuities;
            pendingSilence = 0;
        }
        ++report.framesMatched;
        ++expected;
        return;
    }
    if (signal.IsSilent(frame)) {
        if (pendingSilence++ == 0)
            silenceStart = position;
        return;
    }
    Break(frame, position);
}

void Verifier::Break(const uint8_t *frame, uint64_t position)
{
    // Its kind is known once the signal is found again.
    if (NoteFirst(Discrepancy::Corrupted, pendingSilence != 0 ? silenceStart : position, expected, frame))
        firstOpen = true;
    synced = false;
    backlog.assign(frame, frame + frameBytes);
    backlogStart = position;
    TryResync();
}

bool Verifier::NoteFirst(Discrepancy kind, uint64_t at, uint64_t expectedIndex, const uint8_t *actual)
{
    if (report.first.kind != Discrepancy::None)
        return false;
    report.first.kind = kind;
    report.first.receivedFrame = at;
    report.first.expectedIndex = expectedIndex;
    report.first.expected.resize(frameBytes);
    signal.Frame(expectedIndex, report.first.expected.data());
    report.first.actual.assign(actual, actual + frameBytes);
    return true;
}

bool Verifier::Search(const uint8_t *frames, uint64_t &index) const
{
    const uint64_t rate = std::max<uint64_t>(report.format.sampleRate, 1000);
    const uint64_t centre = everSynced ? expected : segmentFirst;
    const uint64_t back = everSynced ? std::min(centre, BackSeconds * rate) : 0;
    const uint64_t ahead = AheadSeconds * rate;
    auto matches = [&](uint64_t candidate) {
        for (uint32_t i = 0; i < window; ++i)
            if (!signal.Matches(frames + i * frameBytes, candidate + i))
                return false;
        return true;
    };
    // Outwards from where the signal was: small slips are found at once.
    for (uint64_t d = 0; d <= ahead; ++d) {
        if (matches(centre + d)) {
            index = centre + d;
            return true;
        }
        if (d != 0 && d <= back && matches(centre - d)) {
            index = centre - d;
            return true;
        }
    }
    return false;
}

void Verifier::TryResync()
{
    while (backlog.size() >= window * frameBytes) {
        uint64_t index = 0;
        if (cooldown == 0 && Search(backlog.data(), index)) {
            Discrepancy kind = Discrepancy::None;
            if (!everSynced) {
                everSynced = true;
                report.firstIndex = index;
                if (index != segmentFirst) {
                    kind = Discrepancy::LateStart;
                    if (index > segmentFirst)
                        report.lostFrames += index - segmentFirst;
                    else
                        report.repeatedFrames += segmentFirst - index;
                    ++report.discontinuities;
                    NoteFirst(kind, backlogStart, segmentFirst, backlog.data());
                }
            } else {
                if (index > expected) {
                    kind = Discrepancy::Lost;
                    report.lostFrames += index - expected;
                } else if (index < expected) {
                    kind = Discrepancy::Repeated;
                    report.repeatedFrames += expected - index;
                } else {
                    kind = pendingSilence != 0 ? Discrepancy::Silence : Discrepancy::Corrupted;
                }
                report.silentGapFrames += pendingSilence;
                ++report.discontinuities;
                if (firstOpen) {
                    report.first.kind = kind;
                    firstOpen = false;
                }
            }
            pendingSilence = 0;
            failedSearches = 0;
            synced = true;
            expected = index;
            std::vector<uint8_t> frames;
            frames.swap(backlog);
            const uint64_t start = backlogStart;
            for (size_t i = 0; i * frameBytes < frames.size(); ++i)
                Take(frames.data() + i * frameBytes, start + i);
            return;
        }
        // The first frame held is no part of the signal near here.
        if (cooldown != 0) {
            --cooldown;
        } else if (++failedSearches >= SearchesBeforeCooldown) {
            failedSearches = 0;
            cooldown = std::max<uint64_t>(report.format.sampleRate / 10, window);
        }
        ++report.corruptedFrames;
        NoteFirst(Discrepancy::Corrupted, backlogStart, expected, backlog.data());
        backlog.erase(backlog.begin(), backlog.begin() + frameBytes);
        ++backlogStart;
        while (!backlog.empty() && signal.IsSilent(backlog.data())) {
            if (!everSynced) {
                ++report.leadingSilence;
            } else if (pendingSilence++ == 0) {
                silenceStart = backlogStart;
            }
            backlog.erase(backlog.begin(), backlog.begin() + frameBytes);
            ++backlogStart;
        }
    }
}

VerifyReport Verifier::Report() const
{
    std::lock_guard<std::mutex> hold(lock);
    VerifyReport copy = report;
    copy.nextIndex = expected;
    copy.trailingSilence = everSynced ? pendingSilence : 0;
    copy.unplacedFrames = backlog.size() / frameBytes;
    return copy;
}

} // namespace engine
