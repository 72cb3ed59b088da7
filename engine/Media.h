// What an emulated Windows application plays into a render stream (a
// source) and what a capture stream records into (a sink). The engine calls
// Prepare with the stream's format before any frame, and again with the new
// format when the endpoint's format changed and the stream was opened again.
// Read and Write run on the stream's thread.
#pragma once

#include "Verifier.h"
#include "WavFormat.h"

#include <windows.h>

#include <atomic>
#include <memory>
#include <string>

namespace engine {

class Source {
public:
    virtual ~Source() = default;
    // UnsupportedFormat when the source cannot give this format.
    virtual HRESULT Prepare(const wav::Format &format) = 0;
    // Up to count frames in the prepared format; fewer once it has ended.
    virtual size_t Read(void *frames, size_t count) = 0;
};

class Sink {
public:
    virtual ~Sink() = default;
    virtual HRESULT Prepare(const wav::Format &format) = 0;
    virtual void Write(const void *frames, size_t count) = 0;
};

// The test signal from frame 0; after a new Prepare it begins again at 0.
class SignalSource : public Source {
public:
    HRESULT Prepare(const wav::Format &format) override;
    size_t Read(void *frames, size_t count) override;
    // Frames given since the last Prepare.
    uint64_t FramesGiven() const { return next.load(); }

private:
    std::unique_ptr<TestSignal> signal;
    std::atomic<uint64_t> next{0};
};

// A sine tone at `amplitude` of full scale on every channel, without end.
class ToneSource : public Source {
public:
    ToneSource(double hertz, double amplitude) : hertz(hertz), amplitude(amplitude) {}
    HRESULT Prepare(const wav::Format &format) override;
    size_t Read(void *frames, size_t count) override;

private:
    double hertz, amplitude;
    wav::Format format;
    double phase = 0;
};

// A WAV file, converted to the stream's sample format; its rate and channel
// count must be the stream's (the engine does not resample or remix).
class WavFileSource : public Source {
public:
    WavFileSource();
    // Opens the file; false with the reason.
    bool Open(const std::string &path, std::string &error);
    HRESULT Prepare(const wav::Format &format) override;
    size_t Read(void *frames, size_t count) override;
    ~WavFileSource() override;

private:
    struct File;
    std::unique_ptr<File> file;
    wav::Format target;
};

// Hands every frame to a verifier of the test signal; a new Prepare starts a
// new verified segment.
class VerifierSink : public Sink {
public:
    HRESULT Prepare(const wav::Format &format) override;
    void Write(const void *frames, size_t count) override;
    VerifyReport Report() const;

private:
    std::unique_ptr<Verifier> verifier;
    size_t frameBytes = 0;
    mutable std::mutex lock; // guards the verifier's creation against Report
};

// Writes a WAV file in the stream's format. A format change ends the file:
// later frames are counted as dropped.
class WavFileSink : public Sink {
public:
    explicit WavFileSink(std::string path);
    ~WavFileSink() override;
    HRESULT Prepare(const wav::Format &format) override;
    void Write(const void *frames, size_t count) override;
    // Closes the file (also done by the destructor); false with the reason.
    bool Finish(std::string &error);
    uint64_t FramesWritten() const;
    uint64_t FramesDropped() const { return dropped.load(); }
    const std::string &Error() const { return error; }

private:
    struct File;
    std::string path;
    std::unique_ptr<File> file;
    std::atomic<uint64_t> dropped{0};
    std::string error;
};

} // namespace engine
