// One direction's receiving end: every frame the far side gets is compared
// with a second copy of the source that was played (after leading silence
// it must follow whole, contiguous and exact, and silence after its end),
// written to a WAV file when asked for, and handed to the test signal's
// verifier when the test signal was played. Takes frames on one thread
// (the host's loop or the engine's stream); Result from any.
#pragma once

#include <Media.h>
#include <Verifier.h>
#include <WavWriter.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace ombemu_tool {

struct DeliveryResult {
    uint64_t received = 0;       // frames received in all
    uint64_t matched = 0;        // frames of the source received in place, its leading silence included
    uint64_t leadingSilence = 0; // silent frames before the source began
    bool began = false;          // the source's first sound arrived
    bool sourceEnded = false;    // the reference ran out: a finite source
    uint64_t sourceFrames = 0;   // its length, once ended
    bool broken = false;         // a frame differed from the source (or sound came after its end)
    uint64_t brokenAt = 0;       // where, in frames received
    int64_t firstSoundAt = -1;   // machine time (100 ns) the source's first sound arrived
    uint64_t firstSoundIndex = 0; // its index in the source
    bool signalVerified = false;
    engine::VerifyReport signal;

    // Began, nothing differed, and a finite source arrived whole.
    bool Exact() const { return began && !broken && (!sourceEnded || matched == sourceFrames); }
    // Why not, in a few words ("" when exact).
    std::string Problem() const;
};

class Delivery : public engine::Sink {
public:
    // reference: a fresh copy of the source played. verifySignal: the
    // source is the test signal. file: a WAV file to write (empty: none).
    Delivery(std::shared_ptr<engine::Source> reference, bool verifySignal, std::string file);
    ~Delivery() override;

    HRESULT Prepare(const wav::Format &format) override;
    void Write(const void *frames, size_t count) override;

    // Finishes the file under its own name; false with the reason (the file
    // is then removed). Also done, without the rename, by Abandon.
    bool Finish(std::string &error);
    // Removes what was written.
    void Abandon();
    // The file's preparation failed: why.
    const std::string &FileError() const { return fileError; }

    DeliveryResult Result() const;

private:
    void Compare(const uint8_t *frames, size_t count, int64_t now);
    bool Silent(const uint8_t *frame) const;
    // Fills `reference` with the next count frames of the source; how many.
    size_t NextReference(size_t count);

    std::shared_ptr<engine::Source> source;
    const bool verifySignal;
    const std::string path, partPath;
    wav::Writer writer;
    std::string fileError;
    std::unique_ptr<engine::Verifier> verifier;
    wav::Format format;
    size_t frameBytes = 0;
    uint8_t silenceByte = 0;

    mutable std::mutex lock; // the result against a reader
    DeliveryResult result;
    std::vector<uint8_t> reference;
    std::vector<uint8_t> held;   // the source's first sound and what follows it, read ahead
    uint64_t sourceLead = 0;     // silent frames the source begins with
};

} // namespace ombemu_tool
