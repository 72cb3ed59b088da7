// The ombhost bench: the driver core, the tool in an emulated process, the
// virtual clock and the test's audio engine.
#include "ToolBench.h"

#include <stdio.h>
#include <thread>
#include "ControlProtocol.h"
#include "CoreDevice.h"
#include "Waiters.h"

namespace bench {

namespace boundary = standin::io::boundary;

namespace {

constexpr int64_t StepMs = 5;
constexpr int64_t Millisecond = 10'000; // 100-ns units

std::string Contents(FILE *file)
{
    std::string text;
    rewind(file);
    char buf[4096];
    while (size_t n = fread(buf, 1, sizeof buf, file))
        text.append(buf, n);
    fclose(file);
    return text;
}

// Announces a running stream with a buffer of `frames` on the pipe.
void RunStream(int pipe, uint32_t frames)
{
    CommonDataDesc &block = core_device::Block(pipe);
    block.DevicePositionFrames = 0;
    block.DevicePositionBytes = 0;
    core_device::AttachStream(pipe);
    block.BufferSizeFrames = frames;
    ASSERT_EQ(core_device::RequestClient(pipe, ClientReqBufferAllocated), 0);
    block.StreamState = 3;
    ASSERT_EQ(core_device::RequestClient(pipe, ClientReqStateChanged), 0);
}

// Frames the device position moved since `last` (never a whole buffer at once).
uint32_t Moved(int pipe, uint32_t bufferFrames, uint32_t &last)
{
    const uint32_t position = core_device::Block(pipe).DevicePositionFrames;
    const uint32_t moved = (position + bufferFrames - last) % bufferFrames;
    last = position;
    return moved;
}

} // namespace

std::function<void()> StartInProcess(standin::io::boundary::ProcessId process, std::function<void()> body)
{
    auto *owned = new std::function<void()>(std::move(body));
    boundary::Thread thread = boundary::StartThread(
        process, "ombhost loop", [](void *context) { (*static_cast<std::function<void()> *>(context))(); }, owned);
    return [thread, owned] {
        boundary::JoinThread(thread);
        delete owned;
    };
}

uint8_t PatternByte(uint64_t frame, uint32_t byte)
{
    uint64_t x = frame * 0x9E3779B97F4A7C15ull + byte * 0xC2B2AE3D27D4EB4Full + 1;
    x ^= x >> 29;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 32;
    return static_cast<uint8_t>(x);
}

void PlayingEngine::Start()
{
    RunStream(pipe, bufferFrames);
    Step();
}

void PlayingEngine::Step()
{
    taken += Moved(pipe, bufferFrames, lastPosition);
    uint8_t *buffer = core_device::Buffer(pipe);
    for (uint32_t k = 0; k < bufferFrames / 2; ++k) {
        uint8_t *frame = buffer + (lastPosition + k) % bufferFrames * frameBytes;
        for (uint32_t j = 0; j < frameBytes; ++j)
            frame[j] = PatternByte(taken + k, j);
    }
}

std::vector<uint8_t> PlayingEngine::Signal(uint64_t frames) const
{
    std::vector<uint8_t> signal(frames * frameBytes);
    for (uint64_t n = 0; n < frames; ++n)
        for (uint32_t j = 0; j < frameBytes; ++j)
            signal[n * frameBytes + j] = PatternByte(n, j);
    return signal;
}

void RecordingEngine::Start() { RunStream(pipe, bufferFrames); }

void RecordingEngine::Step()
{
    const uint32_t from = lastPosition;
    const uint32_t moved = Moved(pipe, bufferFrames, lastPosition);
    const uint8_t *buffer = core_device::Buffer(pipe);
    for (uint32_t k = 0; k < moved; ++k) {
        const uint8_t *frame = buffer + (from + k) % bufferFrames * frameBytes;
        recorded.insert(recorded.end(), frame, frame + frameBytes);
    }
}

void ToolBench::SetUp()
{
    ASSERT_TRUE(core_device::Load());
    process = boundary::CreateClientProcess(false);
    boundary::UseVirtualClock(true);
}

void ToolBench::TearDown()
{
    boundary::UseVirtualClock(false);
    boundary::EndClientProcess(process);
    for (const int pipe : {PipeRender, PipeCapture})
        if (core_device::Block(pipe).StreamAttached != 0)
            core_device::DetachStream(pipe);
    core_device::Unload();
}

ToolResult ToolBench::RunTool(const std::vector<std::string> &args, Engine *engine,
                              const std::function<void(int64_t ms)> &atRest, bool terminal)
{
    FILE *out = tmpfile(), *err = tmpfile();
    const size_t handles = boundary::ProcessHandleCount(process);
    // The tool's threads that have not ended: its main thread and its loops.
    std::atomic<size_t> alive{1}, loops{0};
    std::atomic<bool> done{false};
    ombhost::Environment env;
    env.out = out;
    env.err = err;
    env.terminal = terminal;
    env.interrupted = &interrupted;
    env.startThread = [&](std::function<void()> body) {
        ++alive;
        ++loops;
        return StartInProcess(process, [&alive, body = std::move(body)] {
            body();
            --alive;
        });
    };
    std::vector<const char *> argv{"ombhost"};
    for (const std::string &arg : args)
        argv.push_back(arg.c_str());
    int status = -1;
    std::thread tool([&] {
        boundary::EnterProcess(process);
        status = ombhost::Run(static_cast<int>(argv.size()), argv.data(), env);
        boundary::LeaveProcess();
        --alive;
        done = true;
    });
    // The tool rests when every thread of it waits on the clock.
    const auto resting = [&] { return done || bench::TimedWaiters() >= alive; };
    bool started = false;
    int64_t ms = 0;
    while (!done) {
        if (!resting()) {
            std::this_thread::yield();
            continue;
        }
        if (done)
            break;
        if (engine != nullptr && !started && loops > 0) {
            engine->Start(); // the loop answers; it rests again before the clock moves
            started = true;
            continue;
        }
        if (started)
            engine->Step();
        if (atRest)
            atRest(ms);
        boundary::AdvanceClock(StepMs * Millisecond);
        if (started || engine == nullptr)
            ms += StepMs;
    }
    tool.join();
    EXPECT_EQ(boundary::ProcessHandleCount(process), handles) << "the tool left handles open";
    return {status, Contents(out), Contents(err)};
}

} // namespace bench
