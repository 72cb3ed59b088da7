// 4. The smallest glitch-free engine buffer: at 48 kHz 16-bit stereo with a
// 1 ms host tick, in real time, the emulated audio engine plays the test
// signal to one host and records what another host plays, both at once, in
// event mode with two notifications per buffer. A size is glitch-free when
// neither stream counts an underrun or overrun and both far ends receive the
// signal sample-exact. Sizes are tried from 128 frames down while they pass
// and up while they fail. Latency: the time from the engine taking a frame
// from its application to the host receiving it (render), and from the host
// giving a frame to the engine's application receiving it (capture).
#include "Measurements.h"

#include <io_boundary.h>
#include <stdio.h>
#include <deque>
#include <memory>
#include <mutex>
#include "EngineProcess.h"
#include "Machine.h"
#include "Media.h"
#include "Signal.h"
#include "Verifier.h"

namespace ombbench {

namespace {

const wav::Format Format = {wav::Encoding::Pcm, 48000, 2, 16, 16, 0x3};
const uint32_t Sizes[] = {64, 96, 128, 192, 256, 480, 960}; // ascending
constexpr size_t Goal = 2;                                  // Sizes[Goal]: 128 frames
constexpr unsigned TickMs = 1;

// When frames of the signal left one side: the first frame of each stretch
// and the time. The other side takes the latency of each stretch start it
// receives.
class Departures {
public:
    void Left(uint64_t first, uint64_t count)
    {
        if (count == 0)
            return;
        std::lock_guard<std::mutex> hold(lock);
        stretches.push_back({first, RealNs()});
    }
    void Arrived(uint64_t first, uint64_t count)
    {
        const int64_t now = RealNs();
        std::lock_guard<std::mutex> hold(lock);
        while (!stretches.empty() && stretches.front().first < first + count) {
            if (stretches.front().first >= first)
                latencyMs.push_back(static_cast<double>(now - stretches.front().at) / 1e6);
            stretches.pop_front();
        }
    }
    std::vector<double> Latencies()
    {
        std::lock_guard<std::mutex> hold(lock);
        return latencyMs;
    }

private:
    struct Stretch {
        uint64_t first;
        int64_t at;
    };
    std::mutex lock;
    std::deque<Stretch> stretches;
    std::vector<double> latencyMs;
};

// The engine's render application: the test signal, its departures noted.
class TimedSource : public engine::Source {
public:
    explicit TimedSource(Departures &departures) : departures(departures) {}
    HRESULT Prepare(const wav::Format &format) override { return signal.Prepare(format); }
    size_t Read(void *frames, size_t count) override
    {
        const uint64_t first = signal.FramesGiven();
        const size_t n = signal.Read(frames, count);
        departures.Left(first, n);
        return n;
    }

private:
    Departures &departures;
    engine::SignalSource signal;
};

// The engine's capture application: verifies, and notes arrivals.
class TimedSink : public engine::Sink {
public:
    explicit TimedSink(Departures &departures) : departures(departures) {}
    HRESULT Prepare(const wav::Format &format) override { return verifier.Prepare(format); }
    void Write(const void *frames, size_t count) override
    {
        departures.Arrived(received, count);
        received += count;
        verifier.Write(frames, count);
    }
    engine::VerifyReport Report() const { return verifier.Report(); }

private:
    Departures &departures;
    engine::VerifierSink verifier;
    uint64_t received = 0;
};

// A host's application: the capturing one verifies what the engine played
// and notes arrivals; the rendering one gives the signal and notes departures.
class HostApplication : public Ombrivo::CallbackInterface {
public:
    HostApplication(bool receives, Departures &departures)
        : receives(receives), departures(departures), signal(Format), verifier(Format)
    {}
    unsigned TransferData(void *data, unsigned bytes) override
    {
        const unsigned frames = bytes / Format.FrameBytes();
        if (receives) {
            departures.Arrived(frames_, frames);
            verifier.Push(data, static_cast<size_t>(frames) * Format.FrameBytes());
        } else {
            signal.Generate(frames_, data, frames);
            departures.Left(frames_, frames);
        }
        frames_ += frames;
        return frames * Format.FrameBytes();
    }
    engine::VerifyReport Report() const { return verifier.Report(); }

private:
    const bool receives;
    Departures &departures;
    engine::TestSignal signal;
    engine::Verifier verifier;
    uint64_t frames_ = 0;
};

// Waits until the engine sees the endpoint of a direction active in the
// hosts' format; its id then.
bool AwaitActive(engine::EngineProcess &engine, engine::Direction direction, std::wstring &id)
{
    for (int i = 0; i < 200; ++i) { // 20 s at most: long only on a machine loaded far beyond its cores
        const uint64_t seen = engine.Changes();
        engine::EndpointInfo info;
        if (engine.FindEndpoint(direction, info) == S_OK && info.state == engine::EndpointState::Active &&
            info.formatKnown && info.format == Format) {
            id = info.id;
            return true;
        }
        engine.WaitForChanges(seen, 100);
    }
    fprintf(stderr, "ombbench: the engine never saw the %s endpoint active\n",
            direction == engine::Direction::Render ? "render" : "capture");
    return false;
}

struct Outcome {
    GlitchTry glitches;
    uint32_t periodFrames = 0;
    std::vector<double> renderMs, captureMs;
};

// Both directions at once with an engine buffer of `frames`, for `seconds`.
bool TrySize(uint32_t frames, double seconds, Outcome &outcome)
{
    Machine machine;
    if (!machine.Loaded())
        return false;
    engine::EngineProcess engine;
    if (engine.Start() != S_OK) {
        fprintf(stderr, "ombbench: the audio engine did not start\n");
        return false;
    }
    Departures toHost, toEngine;
    HostApplication receiving(true, toHost), giving(false, toEngine);
    LoopedHost capturing(machine, true, receiving), rendering(machine, false, giving);
    const DataFormatDesc format = {Format.sampleRate, Format.validBits, Format.channels, Format.SampleBytes(),
                                   Format.channelMask};
    std::wstring renderId, captureId;
    if (!capturing.Start(format, TickMs) || !rendering.Start(format, TickMs) ||
        !AwaitActive(engine, engine::Direction::Render, renderId) ||
        !AwaitActive(engine, engine::Direction::Capture, captureId))
        return false;

    engine::StreamConfig config;
    config.mode = engine::Mode::Event;
    config.bufferFrames = frames;
    config.periodFrames = frames / 2;
    config.notifications = 2;
    auto source = std::make_shared<TimedSource>(toHost);
    auto sink = std::make_shared<TimedSink>(toEngine);
    engine::StreamId play = 0, record = 0;
    if (engine.OpenRender(renderId, config, source, play) != S_OK ||
        engine.OpenCapture(captureId, config, sink, record) != S_OK || engine.StartStream(record) != S_OK ||
        engine.StartStream(play) != S_OK) {
        fprintf(stderr, "ombbench: the engine's streams did not run with %u frames\n", frames);
        return false;
    }
    engine.Sleep(static_cast<DWORD>(seconds * 1000));
    engine.StopStream(play);
    engine.StopStream(record);
    const engine::StreamReport played = engine.Report(play), recorded = engine.Report(record);
    engine.CloseStream(play);
    engine.CloseStream(record);
    engine.Stop();
    capturing.Stop();
    rendering.Stop();

    outcome.glitches.bufferFrames = frames;
    outcome.glitches.underruns = played.underruns;
    outcome.glitches.overruns = recorded.overruns;
    const engine::VerifyReport atHost = receiving.Report(), atEngine = sink->Report();
    outcome.glitches.exact = atHost.Exact() && atEngine.Exact();
    if (!outcome.glitches.exact)
        fprintf(stderr, "ombbench: %u frames: to the host %s; to the engine %s\n", frames, atHost.Describe().c_str(),
                atEngine.Describe().c_str());
    outcome.periodFrames = played.periodFrames;
    outcome.renderMs = toHost.Latencies();
    outcome.captureMs = toEngine.Latencies();
    return true;
}

bool Clean(const GlitchTry &t)
{
    return t.underruns == 0 && t.overruns == 0 && t.exact;
}

} // namespace

bool MeasureGlitchFree(const RunLength &length, GlitchFigures &figures)
{
    standin::io::boundary::SetClockMode(0); // real time
    figures.secondsPerSize = length.loopbackSeconds();
    std::vector<Outcome> outcomes(sizeof Sizes / sizeof Sizes[0]);
    std::vector<bool> tried(outcomes.size(), false);
    // From the goal down while clean, up while not.
    auto run = [&](size_t i) {
        tried[i] = true;
        return TrySize(Sizes[i], figures.secondsPerSize, outcomes[i]);
    };
    if (!run(Goal))
        return false;
    if (Clean(outcomes[Goal].glitches)) {
        for (size_t i = Goal; i-- > 0;)
            if (!run(i) || !Clean(outcomes[i].glitches))
                break;
    } else {
        for (size_t i = Goal + 1; i < outcomes.size(); ++i)
            if (!run(i) || Clean(outcomes[i].glitches))
                break;
    }
    for (size_t i = 0; i < outcomes.size(); ++i) {
        if (!tried[i] || outcomes[i].glitches.bufferFrames == 0)
            continue;
        figures.tried.push_back(outcomes[i].glitches);
        if (figures.smallestBufferFrames == 0 && Clean(outcomes[i].glitches)) {
            figures.smallestBufferFrames = Sizes[i];
            figures.periodFrames = outcomes[i].periodFrames;
            figures.latencyRenderMs = Summarise(outcomes[i].renderMs).median;
            figures.latencyCaptureMs = Summarise(outcomes[i].captureMs).median;
        }
    }
    figures.measured = !figures.tried.empty();
    return figures.measured;
}

} // namespace ombbench
