// A bench for ombhost's command lines: the driver core loaded, the tool run
// in an emulated client process (its loop thread too), virtual time moved in
// steps only while every thread of the tool rests, and the test playing the
// audio engine on the pipe the tool holds.
#pragma once

#include <gtest/gtest.h>
#include <io_boundary.h>
#include <stdint.h>
#include <atomic>
#include <functional>
#include <string>
#include <vector>
#include "HostTool.h"

namespace bench {

// The audio engine's side of one pipe, played by the test between steps.
class Engine {
public:
    virtual ~Engine() = default;
    // A stream appears with its buffer and runs; once the tool's loop waits.
    virtual void Start() = 0;
    // The tool rests: the engine does its part.
    virtual void Step() = 0;
};

// Starts `body` as a thread of the emulated process; returns how to join it.
std::function<void()> StartInProcess(standin::io::boundary::ProcessId process, std::function<void()> body);

// The byte `byte` of frame `frame` of the bench's signal: every frame differs.
uint8_t PatternByte(uint64_t frame, uint32_t byte);

// Windows applications play: ahead of the device position the engine keeps
// half a buffer of the signal, frame n being the n-th frame the host takes.
class PlayingEngine : public Engine {
public:
    PlayingEngine(int pipe, uint32_t frameBytes, uint32_t bufferFrames)
        : pipe(pipe), frameBytes(frameBytes), bufferFrames(bufferFrames)
    {
    }
    void Start() override;
    void Step() override;
    uint64_t Taken() const { return taken; }
    // The signal's first `frames` frames.
    std::vector<uint8_t> Signal(uint64_t frames) const;

private:
    const int pipe;
    const uint32_t frameBytes, bufferFrames;
    uint32_t lastPosition = 0;
    uint64_t taken = 0;
};

// Windows applications record: behind the device position the engine
// collects every frame the host has written.
class RecordingEngine : public Engine {
public:
    RecordingEngine(int pipe, uint32_t frameBytes, uint32_t bufferFrames)
        : pipe(pipe), frameBytes(frameBytes), bufferFrames(bufferFrames)
    {
    }
    void Start() override;
    void Step() override;
    const std::vector<uint8_t> &Recorded() const { return recorded; }
    uint64_t Frames() const { return recorded.size() / frameBytes; }

private:
    const int pipe;
    const uint32_t frameBytes, bufferFrames;
    uint32_t lastPosition = 0;
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

    // Runs the tool with `args` (after the program name) to its end. The
    // clock moves in 5 ms steps whenever the tool rests; the engine, if any,
    // starts once the tool's loop runs and steps at every rest; `atRest` is
    // called there too, with the virtual milliseconds since the engine began.
    ToolResult RunTool(const std::vector<std::string> &args, Engine *engine,
                       const std::function<void(int64_t ms)> &atRest = {}, bool terminal = false);

    standin::io::boundary::ProcessId process = 0;
    std::atomic<bool> interrupted{false};
};

} // namespace bench
