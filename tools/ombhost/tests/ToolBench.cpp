// The ombhost bench: the real driver, the tool in an emulated process, the
// audio engine's stream in another, on the self-advancing virtual clock.
#include "ToolBench.h"

#include <stdio.h>
#include "ControlProtocol.h"
#include "DriverUnderTest.h"

namespace bench {

namespace boundary = standin::io::boundary;

namespace {

constexpr int64_t LookMs = 5;
constexpr int64_t Millisecond = 10'000; // 100-ns units
constexpr int ClockSimulated = 2, ClockReal = 0;

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

// Sleeps the calling thread for `hundredNs` of virtual time.
void Sleep100ns(int64_t hundredNs)
{
    const int64_t relative = -hundredNs;
    boundary::Delay(&relative);
}

} // namespace

std::function<void()> StartInProcess(boundary::ProcessId process, std::function<void()> body)
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

// ---- The engine's stream ------------------------------------------------------

StreamingEngine::StreamingEngine(int pipe, uint32_t frameBytes, uint32_t bufferFrames)
    : frameBytes(frameBytes), engine(pipe), bufferFrames(bufferFrames)
{
}

StreamingEngine::~StreamingEngine() { Join(); }

void StreamingEngine::Start(const std::atomic<bool> &ended, std::atomic<bool> &failedFlag,
                            std::function<void(int64_t)> rest)
{
    toolEnded = &ended;
    failed = &failedFlag;
    atRest = std::move(rest);
    thread = boundary::StartThread(
        engine.Process(), "audio engine", [](void *self) { static_cast<StreamingEngine *>(self)->Run(); }, this);
}

void StreamingEngine::Join()
{
    if (thread != nullptr)
        boundary::JoinThread(thread);
    thread = nullptr;
}

uint32_t StreamingEngine::Position() const
{
    const auto *bytes = static_cast<const volatile uint32_t *>(positionRegister.Register);
    return *bytes / frameBytes;
}

void StreamingEngine::Run()
{
    // The thread runs in the engine's process; the engine's own calls enter
    // it again, which nests.
    const auto start = [&]() -> bool {
        EXPECT_EQ(engine.OpenProposed(), 0) << "the pin with the host's format";
        if (!engine.IsOpen())
            return false;
        // The engine looks on its own timer rather than on notifications,
        // so the buffer need not split into two equal packets (30 ms at
        // 44.1 kHz is an odd count of frames).
        const ks_client::Status allocated = engine.AllocateBuffer(bufferFrames * frameBytes, 0);
        EXPECT_EQ(allocated, 0) << "the cyclic buffer";
        EXPECT_EQ(engine.Pin().Buffer().ActualBufferSize, bufferFrames * frameBytes) << "the buffer asked for";
        EXPECT_EQ(engine.Pin().PositionRegister(&positionRegister), 0) << "the position register";
        if (allocated != 0 || positionRegister.Register == nullptr)
            return false;
        bufferFrames = engine.Pin().Buffer().ActualBufferSize / frameBytes;
        buffer = static_cast<uint8_t *>(engine.Pin().Buffer().BufferAddress);
        Prime();
        for (KSSTATE state : {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN}) {
            const ks_client::Status status = engine.Step(state);
            EXPECT_EQ(status, 0) << "to state " << state;
            if (status != 0)
                return false;
        }
        return true;
    };
    started = start();
    if (!started) {
        *failed = true; // the tool stops instead of waiting for a stream forever
        engine.Close();
        return;
    }
    Sleep100ns(Millisecond / 2);
    for (int64_t ms = 0;; ms += LookMs) {
        const bool last = *toolEnded; // the tool is gone: the last look
        const uint32_t from = lastPosition;
        lastPosition = Position();
        Look(from, (lastPosition + bufferFrames - from) % bufferFrames);
        if (last)
            break;
        if (atRest)
            atRest(ms);
        Sleep100ns(LookMs * Millisecond);
    }
    for (KSSTATE state : {KSSTATE_PAUSE, KSSTATE_ACQUIRE, KSSTATE_STOP})
        EXPECT_EQ(engine.Step(state), 0) << "down to state " << state << " without a host";
    EXPECT_EQ(engine.Close(), 0);
}

void PlayingEngine::Prime() { WriteAhead(); }

void PlayingEngine::Look(uint32_t, uint32_t moved)
{
    taken += moved;
    WriteAhead();
}

void PlayingEngine::WriteAhead()
{
    for (; written < taken + BufferFrames() / 2; ++written) {
        uint8_t *frame = Frame(written);
        for (uint32_t j = 0; j < frameBytes; ++j)
            frame[j] = PatternByte(written, j);
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

void RecordingEngine::Look(uint32_t from, uint32_t moved)
{
    for (uint32_t k = 0; k < moved; ++k) {
        const uint8_t *frame = Frame(from + k);
        recorded.insert(recorded.end(), frame, frame + frameBytes);
    }
}

// ---- The bench -------------------------------------------------------------------

void ToolBench::SetUp()
{
    ASSERT_TRUE(driver_under_test::Load());
    process = boundary::CreateClientProcess(false);
    boundary::SetClockMode(ClockSimulated);
}

void ToolBench::TearDown()
{
    boundary::SetClockMode(ClockReal);
    boundary::EndClientProcess(process);
    driver_under_test::Unload();
}

ToolResult ToolBench::RunTool(const std::vector<std::string> &args, StreamingEngine *engine,
                              const std::function<void(int64_t ms)> &atRest, bool terminal)
{
    struct Run {
        ombhost::Environment env;
        std::vector<const char *> argv{"ombhost"};
        int status = -1;
    } run;
    FILE *out = tmpfile(), *err = tmpfile();
    const size_t handles = boundary::ProcessHandleCount(process);
    std::atomic<bool> toolEnded{false};
    run.env.out = out;
    run.env.err = err;
    run.env.terminal = terminal;
    run.env.interrupted = &interrupted;
    run.env.startThread = [&](std::function<void()> body) {
        // The host is attached: the engine sees the endpoint and opens its
        // stream, whose requests the loop answers once it runs.
        if (engine != nullptr && !engine->Launched())
            engine->Start(toolEnded, interrupted, atRest);
        return StartInProcess(process, std::move(body));
    };
    for (const std::string &arg : args)
        run.argv.push_back(arg.c_str());
    boundary::Thread tool = boundary::StartThread(
        process, "ombhost",
        [](void *context) {
            auto &r = *static_cast<Run *>(context);
            r.status = ombhost::Run(static_cast<int>(r.argv.size()), r.argv.data(), r.env);
        },
        &run);
    boundary::JoinThread(tool);
    toolEnded = true;
    if (engine != nullptr)
        engine->Join();
    EXPECT_EQ(boundary::ProcessHandleCount(process), handles) << "the tool left handles open";
    return {run.status, Contents(out), Contents(err)};
}

} // namespace bench
