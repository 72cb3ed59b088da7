// Placing each received frame in the test signal: in step, a frame is
// compared with the one due; out of step, a window of frames is looked for
// near where the signal was (through an index of the places there, so that
// a stream that is not the signal costs little), which tells what happened
// in between.
#include "Verifier.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace engine {

namespace {

// How far from the frame due a lost place in the signal is looked for.
constexpr uint64_t BackSeconds = 2;
constexpr uint64_t AheadSeconds = 20;
// The index of the places searched reaches this much further ahead, so that
// a break a little later in the signal is searched with the same index.
constexpr uint64_t SpareSeconds = 2;
// Seconds are counted at no more frames than the engine's fastest rate has,
// which bounds the index: (2 + 20 + 2) s at 384 kHz is 9.2 M places, 45 MB
// (37 MB more while it is built); at 48 kHz, 5.7 MB (4.6 MB more). It is
// built at the first search that needs it, never for a stream in step from
// its start, and given back at a restart.
constexpr uint64_t MinSearchRate = 1000;
constexpr uint64_t MaxSearchRate = 384000;

uint64_t SearchRate(const wav::Format &format)
{
    return std::clamp<uint64_t>(format.sampleRate, MinSearchRate, MaxSearchRate);
}

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

Verifier::Verifier(const wav::Format &format, uint64_t firstIndex) : signal(format), places(signal)
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
    places.Reset(signal, window * format.channels,
                 (BackSeconds + AheadSeconds + SpareSeconds) * SearchRate(format) + 1);
    partial.clear();
    backlog.clear();
    synced = false;
    everSynced = false;
    segmentFirst = firstIndex;
    expected = firstIndex;
    pendingSilence = 0;
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

bool Verifier::Search(const uint8_t *frames, uint64_t &index)
{
    const uint64_t rate = SearchRate(report.format);
    const uint64_t centre = everSynced ? expected : segmentFirst;
    const uint64_t back = everSynced ? std::min(centre, BackSeconds * rate) : 0;
    const uint64_t ahead = AheadSeconds * rate;
    auto matches = [&](uint64_t candidate) {
        for (uint32_t i = 0; i < window; ++i)
            if (!signal.Matches(frames + i * frameBytes, candidate + i))
                return false;
        return true;
    };
    if (!places.Covers(centre - back, centre + ahead)) {
        // A tenth of a second outwards from where the signal was, before an
        // index is built: a stream in step from its start, or a small slip,
        // is placed at once.
        for (uint64_t d = 0; d <= rate / 10; ++d) {
            if (matches(centre + d)) {
                index = centre + d;
                return true;
            }
            if (d != 0 && d <= back && matches(centre - d)) {
                index = centre - d;
                return true;
            }
        }
        places.Build(centre - back, centre + ahead + SpareSeconds * rate);
    }
    // Of the places whose first samples are these, the nearest where the
    // signal was, ahead of it on a tie: small slips win over far echoes.
    auto rank = [&](uint64_t candidate) {
        return candidate >= centre ? 2 * (candidate - centre) : 2 * (centre - candidate) + 1;
    };
    bool found = false;
    uint64_t best = 0;
    for (const uint32_t offset : places.Candidates(frames)) {
        const uint64_t candidate = places.First() + offset;
        if (candidate + back < centre || candidate > centre + ahead)
            continue;
        if ((!found || rank(candidate) < best) && matches(candidate)) {
            found = true;
            best = rank(candidate);
            index = candidate;
        }
    }
    return found;
}

void Verifier::TryResync()
{
    while (backlog.size() >= window * frameBytes) {
        uint64_t index = 0;
        if (Search(backlog.data(), index)) {
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
