// An ombemu run: the inputs checked, the machine booted, the two hosts
// started, the engine playing and recording for the time asked, everything
// stopped in order, the files finished, the summary.
#include "EmuTool.h"
#include "Host.h"
#include "Options.h"
#include "Summary.h"

#include <Machine.h>
#include <PipeFormat.h>
#include <SampleConvert.h>
#include <Status.h>
#include <WavReader.h>

#include <algorithm>
#include <memory>

namespace ombemu_tool {

namespace {

constexpr double DemoSeconds = 3;
constexpr double AfterFilesSeconds = 0.5; // the device's latency and a margin after the longest file
constexpr uint32_t ProgressMs = 100;
constexpr uint32_t WaitForHostMs = 2000;

// A one-line failure on err; returns status.
int Fail(const Environment &env, int status, const std::string &message)
{
    fprintf(env.err, "ombemu: %s\n", message.c_str());
    return status;
}

std::string StatusText(HRESULT status) { return engine::StatusName(status); }

// The format the files decide when --format does not: a file's own, and the
// two files must agree on rate and channels. Each file must be readable and
// fit the format; its length goes into `longest`.
int CheckInputs(const Environment &env, Options &options, double &longest)
{
    longest = 0;
    for (const PlayedSource *source : {&options.play, &options.hostPlay}) {
        if (source->kind != PlayedSource::Kind::File)
            continue;
        wav::Reader reader;
        std::string error;
        if (!reader.Open(source->path.c_str(), error))
            return Fail(env, ExitUsage, source->path + ": " + error);
        const wav::Format &own = reader.GetFormat();
        if (!options.format) {
            Ombrivo::WaveFormat derived;
            const std::string problem = ombhost::FromWav(own, derived);
            if (!problem.empty())
                return Fail(env, ExitUsage, source->path + ": " + problem);
            options.format = derived;
        }
        const wav::Format pipe = ombhost::ToWav(*options.format);
        if (own.sampleRate != pipe.sampleRate || own.channels != pipe.channels || !wav::CanConvert(own, pipe))
            return Fail(env, ExitUsage,
                        source->path + ": " + wav::Describe(own) + " does not fit the pipes' format " +
                            wav::Describe(pipe) + " (the device neither resamples nor remixes)");
        if (reader.Frames())
            longest = std::max(longest, double(*reader.Frames()) / own.sampleRate);
    }
    if (!options.format)
        options.format = Ombrivo::WaveFormat(48000, 16, 2, 2, 0xFFFFFFFFu);
    for (const PlayedSource *source : {&options.play, &options.hostPlay})
        if ((source->kind == PlayedSource::Kind::Tone || source->kind == PlayedSource::Kind::Demo) &&
            source->hertz >= options.format->GetSR() / 2.0)
            return Fail(env, ExitUsage,
                        "a tone of " + std::to_string(source->hertz) + " Hz does not fit a rate of " +
                            std::to_string(options.format->GetSR()) + " Hz");
    return ExitOk;
}

// An output file can be created (tried under its working name, removed again).
int CheckOutput(const Environment &env, const std::string &path)
{
    if (path.empty())
        return ExitOk;
    const std::string part = path + ".part";
    FILE *probe = fopen(part.c_str(), "wb");
    if (probe == nullptr)
        return Fail(env, ExitUsage, path + ": cannot be written");
    fclose(probe);
    remove(part.c_str());
    return ExitOk;
}

double Seconds(int64_t hundredNs) { return double(hundredNs) / 1e7; }

// The latency from the moment the sender gave the source frame that was
// the first to sound to the moment it arrived.
void Latency(DirectionSummary &d, int64_t sentFrameZeroAt, uint32_t rate)
{
    if (!d.delivery.began || d.delivery.firstSoundAt < 0 || sentFrameZeroAt <= 0 || rate == 0)
        return;
    const double sentAt = Seconds(sentFrameZeroAt) + double(d.delivery.firstSoundIndex) / rate;
    d.latencyKnown = true;
    d.latencyMs = (Seconds(d.delivery.firstSoundAt) - sentAt) * 1000;
}

// The machine, booted for the run and shut down at its end whatever happens.
class Session {
public:
    Session(const Environment &env, const Options &options) : env(env), options(options) {}
    ~Session()
    {
        hosts[0].reset();
        hosts[1].reset();
        if (booted)
            ombemu::Shutdown();
    }
    int Go(double seconds);

private:
    int Boot();
    void Progress(double elapsed, double seconds, bool last);

    const Environment &env;
    const Options &options;
    bool booted = false;
    std::shared_ptr<Delivery> atCaptureHost, atEngine; // what each receiving side checks
    std::unique_ptr<Host> hosts[2];                    // capture host, render host
};

int Session::Boot()
{
    OmbEmuOptions boot{sizeof boot, options.realClock ? OMBEMU_CLOCK_REAL : OMBEMU_CLOCK_VIRTUAL, 0, 0};
    const int32_t status = ombemu::Boot(boot);
    if (status != 0)
        return Fail(env, ExitFailed, "the machine did not boot: " + StatusText(status));
    booted = true;
    return ExitOk;
}

void Session::Progress(double elapsed, double seconds, bool last)
{
    if (!env.terminal)
        return;
    const DeliveryResult r = atCaptureHost->Result(), c = atEngine->Result();
    fprintf(env.err, "\r%7.2f / %.2f s   render: %llu frames received   capture: %llu frames received%s",
            elapsed, seconds, static_cast<unsigned long long>(r.received),
            static_cast<unsigned long long>(c.received), last ? "\n" : "");
    fflush(env.err);
}

int Session::Go(double seconds)
{
    std::string error;
    auto playerSource = MakeSource(options.play, error);
    auto playedReference = MakeSource(options.play, error);
    auto hostSource = MakeSource(options.hostPlay, error);
    auto hostReference = MakeSource(options.hostPlay, error);
    if (!playerSource || !playedReference || !hostSource || !hostReference)
        return Fail(env, ExitUsage, error);
    atCaptureHost = std::make_shared<Delivery>(playedReference, options.play.kind == PlayedSource::Kind::Signal,
                                               options.captureTo);
    atEngine = std::make_shared<Delivery>(hostReference, options.hostPlay.kind == PlayedSource::Kind::Signal,
                                          options.recordTo);

    int status = Boot();
    if (status != ExitOk)
        return status;
    hosts[0] = std::make_unique<Host>(std::static_pointer_cast<engine::Sink>(atCaptureHost));
    hosts[1] = std::make_unique<Host>(hostSource);
    for (int i = 0; i < 2; ++i) {
        const HRESULT started = hosts[i]->Start(*options.format, options.tickMs);
        if (started != S_OK) {
            const std::string &fileError = (i == 0 ? atCaptureHost : atEngine)->FileError();
            return Fail(env, ExitFailed,
                        std::string(i == 0 ? "the capture host" : "the render host") +
                            " did not start: " + (fileError.empty() ? StatusText(started) : fileError));
        }
    }
    ombemu::StreamOptions stream;
    stream.mode = options.mode;
    stream.periodMs = options.periodMs;
    stream.waitForHostMs = WaitForHostMs;
    HRESULT opened = ombemu::Play(playerSource, stream);
    if (opened != S_OK)
        return Fail(env, ExitFailed, "the engine could not play into the render endpoint: " + StatusText(opened));
    opened = ombemu::Record(atEngine, stream);
    if (opened != S_OK) {
        const std::string &fileError = atEngine->FileError();
        return Fail(env, ExitFailed, "the engine could not record the capture endpoint: " +
                                         (fileError.empty() ? StatusText(opened) : fileError));
    }

    const int64_t start = ombemu::Now();
    const int64_t length = int64_t(seconds * 1e7);
    bool interrupted = false;
    for (;;) {
        const int64_t elapsed = ombemu::Now() - start;
        if (elapsed >= length)
            break;
        if (env.interrupted != nullptr && env.interrupted->load()) {
            interrupted = true;
            break;
        }
        Progress(Seconds(elapsed), seconds, false);
        const int64_t left = (length - elapsed + 9999) / 10000;
        ombemu::Sleep(uint32_t(std::min<int64_t>(left, ProgressMs)));
    }
    const double ran = Seconds(ombemu::Now() - start);
    Progress(ran, seconds, true);

    RunSummary summary;
    summary.clock = options.realClock ? "real" : "virtual";
    summary.seconds = ran;
    summary.interrupted = interrupted;
    summary.format = ombhost::Text(*options.format);
    // The engine first, so nothing more is played or taken; then the hosts.
    const HRESULT stopped = ombemu::StopStream(engine::Direction::Render);
    const HRESULT stoppedCapture = ombemu::StopStream(engine::Direction::Capture);
    ombemu::Report(engine::Direction::Render, summary.render.engine);
    ombemu::Report(engine::Direction::Capture, summary.capture.engine);
    const int64_t engineRenderStart = ombemu::StartedAt(engine::Direction::Render);
    summary.render.host = hosts[0]->Stats();
    summary.capture.host = hosts[1]->Stats();
    hosts[0]->Stop();
    hosts[1]->Stop();
    // The render host's first stretch is what the device took over the tick
    // before it: its first frame left that much earlier.
    const int64_t renderHostFirstTick =
        hosts[1]->FirstTickAt() - int64_t(hosts[1]->FirstTickFrames()) * 10000000 / options.format->GetSR();
    const uint64_t renderHostFrames = hosts[1]->SourceFrames();
    const HRESULT loops[2] = {hosts[0]->LoopResult(), hosts[1]->LoopResult()};
    hosts[0].reset();
    hosts[1].reset();
    const int32_t shutdown = ombemu::Shutdown();
    booted = false;
    summary.leak = shutdown == 1;

    DirectionSummary &r = summary.render, &c = summary.capture;
    r.name = "render";
    r.from = "Windows applications";
    r.to = "capture host";
    r.source = Describe(options.play);
    r.file = options.captureTo;
    r.played = r.engine.sourceFrames;
    r.delivery = atCaptureHost->Result();
    c.name = "capture";
    c.from = "render host";
    c.to = "Windows applications";
    c.source = Describe(options.hostPlay);
    c.file = options.recordTo;
    c.played = renderHostFrames;
    c.delivery = atEngine->Result();
    const uint32_t rate = options.format->GetSR();
    Latency(r, engineRenderStart, rate);
    Latency(c, renderHostFirstTick, rate);
    for (DirectionSummary *d : {&r, &c}) {
        // Stopped early, a finite source cannot have arrived whole; what did
        // arrive is still judged.
        d->exact = interrupted ? d->delivery.began && !d->delivery.broken : d->delivery.Exact();
        d->problem = d->exact ? "" : d->delivery.Problem();
        if (d->delivery.signalVerified && !d->delivery.signal.Exact() && d->exact) {
            d->exact = false;
            d->problem = "the test signal: " + d->delivery.signal.Describe();
        }
    }

    // The files, under their own names only when complete.
    for (const auto &delivery : {atCaptureHost, atEngine}) {
        std::string fileError;
        if (!delivery->Finish(fileError))
            return Fail(env, ExitFailed, fileError);
    }
    if (options.json)
        PrintJson(env.out, summary);
    else
        PrintTable(env.out, summary);
    fflush(env.out);

    for (int i = 0; i < 2; ++i)
        if (loops[i] != S_OK)
            return Fail(env, ExitFailed,
                        std::string(i == 0 ? "the capture host" : "the render host") +
                            "'s loop failed: " + StatusText(loops[i]));
    if (stopped != S_OK || stoppedCapture != S_OK)
        return Fail(env, ExitFailed, "the engine's streams did not stop: " +
                                         StatusText(stopped != S_OK ? stopped : stoppedCapture));
    if (shutdown < 0)
        return Fail(env, ExitFailed, "the driver did not unload: " + StatusText(shutdown));
    if (summary.leak)
        return ExitLeak;
    return r.exact && c.exact ? ExitOk : ExitInexact;
}

} // namespace

int Run(int argc, const char *const *argv, const Environment &env)
{
    Options options;
    if (const std::optional<int> done = Parse(argc, argv, options, env.out, env.err))
        return *done;
    double longest = 0;
    int status = CheckInputs(env, options, longest);
    if (status == ExitOk)
        status = CheckOutput(env, options.captureTo);
    if (status == ExitOk)
        status = CheckOutput(env, options.recordTo);
    if (status != ExitOk)
        return status;
    const bool files = options.play.kind == PlayedSource::Kind::File || options.hostPlay.kind == PlayedSource::Kind::File;
    const double seconds = options.seconds ? *options.seconds : files ? longest + AfterFilesSeconds : DemoSeconds;
    Session run(env, options);
    return run.Go(seconds);
}

} // namespace ombemu_tool
