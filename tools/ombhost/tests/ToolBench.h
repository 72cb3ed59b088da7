// A bench for ombhost's command lines: the driver loaded through its entry
// and the PnP manager, the tool run in an emulated client process (its loop
// thread too), the audio engine's stream on the endpoint in a process of its
// own, everything on the machine's self-advancing virtual clock.
#pragma once

#include <gtest/gtest.h>
#include <io_boundary.h>
#include <stdint.h>
#include <atomic>
#include <functional>
#include <string>
#include <vector>
#include "Engine.h"
#include "HostTool.h"

namespace bench {

// Starts `body` as a thread of the emulated process; returns how to join it.
std::function<void()> StartInProcess(standin::io::boundary::ProcessId process, std::function<void()> body);

// The byte `byte` of frame `frame` of the bench's signal: every frame differs.
uint8_t PatternByte(uint64_t frame, uint32_t byte);

// The audio engine's stream on the endpoint a pipe serves, as Windows runs
// it: on a thread of its own process it opens the endpoint's WaveRT pin with
// the format the pin proposes (the host's), allocates the cyclic buffer
// (without notifications: it looks on its own timer, as the audio engine
// does in its timer-driven mode),
// primes it and walks the pin to RUN through kernel-streaming requests; then,
// half a millisecond after every 5 ms mark (so never at the instant of a
// tick of the host, whose ticks fall on whole milliseconds), it reads the
// position register and does its part; once the tool has ended it looks a
// last time and walks the pin down to STOP.
class StreamingEngine {
public:
    StreamingEngine(int pipe, uint32_t frameBytes, uint32_t bufferFrames);
    virtual ~StreamingEngine();
    StreamingEngine(const StreamingEngine &) = delete;
    StreamingEngine &operator=(const StreamingEngine &) = delete;

    // Starts the engine's thread; `atRest` is called after each look with
    // the milliseconds from the stream's start to the mark the look follows.
    // A stream that cannot start raises `failed` so that the tool ends.
    void Start(const std::atomic<bool> &toolEnded, std::atomic<bool> &failed,
               std::function<void(int64_t ms)> atRest);
    void Join();
    bool Launched() const { return thread != nullptr; }
    // The stream reached RUN (read after the tool's run).
    bool Started() const { return started; }
    // The buffer the driver gave, in frames.
    uint32_t BufferFrames() const { return bufferFrames; }

protected:
    // Before RUN, with the buffer allocated and the position at 0.
    virtual void Prime() {}
    // The device position moved `moved` frames forward from `from`.
    virtual void Look(uint32_t from, uint32_t moved) = 0;
    // Frame `index` of the signal in the cyclic buffer, through the pin's
    // mapping in the engine's process.
    uint8_t *Frame(uint64_t index) const { return buffer + index % bufferFrames * frameBytes; }

    const uint32_t frameBytes;

private:
    void Run();
    uint32_t Position() const;

    ks_client::Engine engine;
    uint32_t bufferFrames;
    uint8_t *buffer = nullptr;
    uint32_t lastPosition = 0;
    KSRTAUDIO_HWREGISTER positionRegister = {};
    const std::atomic<bool> *toolEnded = nullptr;
    std::atomic<bool> *failed = nullptr;
    std::function<void(int64_t)> atRest;
    standin::io::boundary::Thread thread = nullptr;
    bool started = false;
};

// Windows applications play: ahead of the device position the engine keeps
// half a buffer of the signal, frame n being the n-th frame the host takes.
// It writes each frame once, so it never touches frames the host may be
// reading at the same virtual instant.
class PlayingEngine : public StreamingEngine {
public:
    using StreamingEngine::StreamingEngine;
    uint64_t Taken() const { return taken; }
    // The signal's first `frames` frames.
    std::vector<uint8_t> Signal(uint64_t frames) const;

private:
    void Prime() override;
    void Look(uint32_t from, uint32_t moved) override;
    void WriteAhead();
    uint64_t taken = 0, written = 0;
};

// Windows applications record: behind the device position the engine
// collects every frame the host has written.
class RecordingEngine : public StreamingEngine {
public:
    using StreamingEngine::StreamingEngine;
    const std::vector<uint8_t> &Recorded() const { return recorded; }
    uint64_t Frames() const { return recorded.size() / frameBytes; }

private:
    void Look(uint32_t from, uint32_t moved) override;
    std::vector<uint8_t> recorded;
};

struct ToolResult {
    int status;
    std::string out, err;
};

class ToolBench : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Runs the tool with `args` (after the program name) to its end, as a
    // thread of its process. The engine, if any, starts when the tool starts
    // its loop (the host is attached then) and calls `atRest` after each
    // look.
    ToolResult RunTool(const std::vector<std::string> &args, StreamingEngine *engine,
                       const std::function<void(int64_t ms)> &atRest = {}, bool terminal = false);

    standin::io::boundary::ProcessId process = 0;
    std::atomic<bool> interrupted{false};
};

} // namespace bench
