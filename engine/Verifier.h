// The verifier: takes a received stream of the test signal (a sink of the
// engine, or a host's application) and proves it sample-exact, or tells
// exactly where it first was not and how (frames lost, repeated, corrupted,
// replaced by silence).
#pragma once

#include "Signal.h"

#include <mutex>
#include <string>
#include <vector>

namespace engine {

enum class Discrepancy {
    None,
    LateStart, // the signal began after the frame it should have begun with
    Lost,      // signal frames were skipped
    Repeated,  // signal frames came again
    Silence,   // silence inside the signal
    Corrupted, // a frame that is neither silence nor the signal near where expected
};
const char *DiscrepancyName(Discrepancy kind);

struct VerifyReport {
    wav::Format format;
    uint64_t framesReceived = 0;  // everything pushed
    uint64_t framesMatched = 0;   // frames that were the signal frame due there
    uint64_t leadingSilence = 0;  // silence before the signal began
    uint64_t trailingSilence = 0; // silence after the last signal frame so far
    uint64_t firstIndex = 0;      // the signal frame the stream began with
    uint64_t nextIndex = 0;       // the signal frame due next
    uint64_t lostFrames = 0;      // signal frames never received
    uint64_t repeatedFrames = 0;  // signal frames received again
    uint64_t corruptedFrames = 0;
    uint64_t silentGapFrames = 0; // silent frames inside the signal
    uint64_t discontinuities = 0; // places where the sequence broke
    uint64_t unplacedFrames = 0;  // frames held at the end, too few to place yet
    uint32_t segments = 0;        // streams verified (a new one after each restart)

    struct First {
        Discrepancy kind = Discrepancy::None;
        uint64_t receivedFrame = 0; // position in the received stream, from 0
        uint64_t expectedIndex = 0; // the signal frame that was due
        std::vector<uint8_t> expected, actual;
    } first;

    // Something was received, it began with the frame it should have, and
    // nothing was lost, repeated, corrupted or silenced on the way.
    bool Exact() const;
    // One line, with the first discrepancy in detail.
    std::string Describe() const;
};

class Verifier {
public:
    // firstIndex: the signal frame the stream should begin with.
    explicit Verifier(const wav::Format &format, uint64_t firstIndex = 0);

    // Takes any number of bytes; a frame split across calls is joined.
    void Push(const void *data, size_t bytes);
    // A new stream (after a format change): the signal begins again at
    // firstIndex; the counts go on.
    void Restart(const wav::Format &format, uint64_t firstIndex = 0);
    VerifyReport Report() const;

private:
    // position: the frame's place in the received stream.
    void Take(const uint8_t *frame, uint64_t position);
    void TakeSynced(const uint8_t *frame, uint64_t position);
    void Break(const uint8_t *frame, uint64_t position);
    void TryResync();
    bool Search(const uint8_t *frames, uint64_t &index);
    // Records the first discrepancy unless one is recorded; true if it did.
    bool NoteFirst(Discrepancy kind, uint64_t at, uint64_t expectedIndex, const uint8_t *actual);
    void ResetSegment(const wav::Format &format, uint64_t firstIndex);

    mutable std::mutex lock;
    TestSignal signal;
    size_t frameBytes;
    uint32_t window;    // frames that identify a place in the signal
    SignalIndex places; // the places a search looks at, by their first samples
    std::vector<uint8_t> partial;
    std::vector<uint8_t> backlog; // received frames not yet placed
    uint64_t backlogStart = 0;    // received position of its first frame
    bool synced = false;
    bool everSynced = false;
    uint64_t segmentFirst = 0;
    uint64_t expected = 0;
    uint64_t pendingSilence = 0; // silent frames since the last signal frame
    uint64_t silenceStart = 0;
    bool firstOpen = false; // the first discrepancy waits for its kind
    VerifyReport report;
};

} // namespace engine
