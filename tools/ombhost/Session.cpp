// A capture or render session: the formats and the input file are checked
// before the device is touched; the output file is made only once the host
// has started; the loop runs on its own thread while this one moves frames
// between the ring and the file, shows the progress and watches for the end.
#include "Session.h"

#include <math.h>
#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <vector>
#include "Device.h"
#include "Feeds.h"
#include "PipeFormat.h"
#include "SampleConvert.h"
#include "WavReader.h"
#include "WavWriter.h"

namespace ombhost {

namespace {

using Ombrivo::OmbDriver;
using Ombrivo::OmbHost;
using Ombrivo::WaveFormat;

constexpr DWORD PollMs = 50;       // how often the file side serves the ring
constexpr DWORD ProgressMs = 250;  // how often the progress line changes
constexpr double RingSeconds = 2;  // how far the file side may fall behind
constexpr size_t ChunkFrames = 4096;

const WaveFormat DefaultFormat(48000, 16, 2, 0, 0xFFFFFFFF);

enum class End { Running, Interrupted, TimeUp, Played, LoopFailed, FileFailed };

const char *StateName(const CommonDataDesc &block)
{
    if (block.StreamAttached == 0)
        return "waiting for a stream";
    switch (block.StreamState) {
    case 0:
        return "stream stopped";
    case 1:
        return "stream acquired";
    case 2:
        return "stream paused";
    case 3:
        return "running";
    default:
        return "stream in an unknown state";
    }
}

// The program's own frame counter, from the performance counter.
class Stopwatch {
public:
    Stopwatch()
    {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        frequency = f.QuadPart > 0 ? static_cast<double>(f.QuadPart) : 1;
        QueryPerformanceCounter(&start);
    }
    double Seconds() const
    {
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        return static_cast<double>(now.QuadPart - start.QuadPart) / frequency;
    }

private:
    double frequency;
    LARGE_INTEGER start;
};

class Session {
public:
    Session(const Options &options, const Environment &env) : options(options), env(env) {}
    ~Session();
    int Run();

private:
    int Prepare();
    int Attach();
    End Stream();
    void StartLoop();
    void StopLoop();
    bool Pump();
    bool Drain();
    bool TopUp();
    bool Played() const;
    void ShowProgress(const Stopwatch &clock);
    void Summarise(End end);
    bool IsCapture() const { return options.command == Command::Capture; }

    const Options &options;
    const Environment &env;
    WaveFormat pipe;
    wav::Format pipeSamples, fileSamples;
    wav::Reader reader;
    wav::Writer writer;
    std::unique_ptr<FrameRing> ring;
    std::optional<CaptureFeed> captureFeed;
    std::optional<FileFeed> fileFeed;
    std::optional<ToneFeed> toneFeed;
    Ombrivo::CallbackInterface *feed = nullptr; // the one of the three in use
    std::vector<uint8_t> fileChunk, pipeChunk;
    bool fileEnded = false;
    OmbDriver *driver = nullptr;
    OmbHost *host = nullptr;
    HANDLE loopEnded = nullptr;
    std::function<void()> joinLoop; // while the loop's thread may run
    HRESULT loopStatus = S_OK;
    std::string fileError;
    size_t progressWidth = 0;
    double lastProgress = -1;
};

Session::~Session()
{
    StopLoop();
    if (host != nullptr)
        host->Delete();
    if (driver != nullptr)
        driver->Delete();
    if (loopEnded != nullptr)
        CloseHandle(loopEnded);
}

int Session::Run()
{
    if (const int status = Prepare())
        return status;
    if (const int status = Attach())
        return status;
    const End end = Stream();
    Summarise(end);
    return end == End::LoopFailed || end == End::FileFailed ? ExitFailed : ExitOk;
}

// Everything that can be checked without the device: the formats and the
// file to play.
int Session::Prepare()
{
    if (options.command == Command::Render && options.file.empty()) {
        pipe = options.format.value_or(DefaultFormat);
        pipeSamples = fileSamples = ToWav(pipe);
        feed = &toneFeed.emplace(*options.toneHz, pipeSamples);
        return ExitOk;
    }
    if (IsCapture()) {
        pipe = options.format.value_or(DefaultFormat);
        pipeSamples = fileSamples = ToWav(pipe);
        if (options.floatFile) {
            fileSamples.encoding = wav::Encoding::Float;
            fileSamples.containerBits = fileSamples.validBits = 32;
        }
    } else {
        std::string error;
        if (!reader.Open(options.file.c_str(), error)) {
            fprintf(env.err, "ombhost: %s: %s\n", options.file.c_str(), error.c_str());
            return ExitUsage;
        }
        fileSamples = reader.GetFormat();
        if (options.format) {
            pipe = *options.format;
            if (pipe.GetSR() != fileSamples.sampleRate || pipe.GetNC() != fileSamples.channels) {
                fprintf(env.err, "ombhost: %s is %s; the format asks for %u Hz and %u channels (no resampling)\n",
                        options.file.c_str(), wav::Describe(fileSamples).c_str(), pipe.GetSR(), pipe.GetNC());
                return ExitUsage;
            }
        } else {
            const std::string problem = FromWav(fileSamples, pipe);
            if (!problem.empty()) {
                fprintf(env.err, "ombhost: %s: %s\n", options.file.c_str(), problem.c_str());
                return ExitUsage;
            }
        }
        pipeSamples = ToWav(pipe);
    }
    const size_t ringFrames = static_cast<size_t>(RingSeconds * pipe.GetSR());
    ring = std::make_unique<FrameRing>(ringFrames, pipeSamples.FrameBytes());
    fileChunk.resize(ChunkFrames * fileSamples.FrameBytes());
    pipeChunk.resize(ChunkFrames * pipeSamples.FrameBytes());
    if (IsCapture())
        feed = &captureFeed.emplace(*ring, pipeSamples.FrameBytes());
    else
        feed = &fileFeed.emplace(*ring, pipeSamples);
    return ExitOk;
}

// The device, the host and the output file, in that order, so that nothing
// is written when the device is not there or refuses the format.
int Session::Attach()
{
    if (const int status = OpenDevice(driver, env.err))
        return status;
    const bool capture = IsCapture();
    HRESULT status = OmbHost::Create(host, *driver, capture, *feed);
    if (SUCCEEDED(status))
        status = host->SetClockTrim(options.trimPpb);
    if (FAILED(status)) {
        Report(env.err, "cannot create the host", status);
        return ExitFailed;
    }
    status = host->Start(pipe, options.bufferMs);
    if (status == StatusBusy) {
        fprintf(env.err, "ombhost: the %s is in use by another host\n", PipeName(capture));
        return ExitFailed;
    }
    if (FAILED(status)) {
        const std::string what = "the device did not take the " + std::string(PipeName(capture)) + " with " +
                                 Text(pipe) +
                                 (options.bufferMs ? " and " + std::to_string(options.bufferMs) + " ms" : "");
        Report(env.err, what.c_str(), status);
        return ExitFailed;
    }
    std::string error;
    if (capture && !writer.Create(options.file.c_str(), fileSamples, wav::Layout::Auto, error)) {
        fprintf(env.err, "ombhost: %s\n", error.c_str());
        return ExitFailed;
    }
    loopEnded = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (loopEnded == nullptr) {
        Report(env.err, "cannot create an event", HRESULT_FROM_WIN32(GetLastError()));
        return ExitFailed;
    }
    return ExitOk;
}

void Session::StartLoop()
{
    std::function<void()> body = [this] {
        loopStatus = host->EventLoop(options.tickMs);
        SetEvent(loopEnded);
    };
    if (env.startThread) {
        joinLoop = env.startThread(std::move(body));
    } else {
        auto thread = std::make_shared<std::thread>(std::move(body));
        joinLoop = [thread] { thread->join(); };
    }
}

// Stop waits for the loop to leave; the thread is then done.
void Session::StopLoop()
{
    if (host != nullptr)
        host->Stop();
    if (joinLoop)
        joinLoop();
    joinLoop = nullptr;
}

End Session::Stream()
{
    if (fileFeed && !TopUp()) // a ring full before the first tick
        return End::FileFailed;
    StartLoop();
    const Stopwatch clock;
    End end = End::Running;
    while (end == End::Running) {
        DWORD waitMs = PollMs; // less when the time runs out sooner
        if (options.seconds) {
            const double leftMs = (*options.seconds - clock.Seconds()) * 1000;
            if (leftMs < PollMs)
                waitMs = leftMs <= 0 ? 0 : static_cast<DWORD>(ceil(leftMs));
        }
        const bool loopOver = WaitForSingleObject(loopEnded, waitMs) == WAIT_OBJECT_0;
        if (!Pump())
            end = End::FileFailed;
        else if (loopOver)
            end = End::LoopFailed;
        else if (env.interrupted != nullptr && env.interrupted->load())
            end = End::Interrupted;
        else if (options.seconds && clock.Seconds() >= *options.seconds)
            end = End::TimeUp;
        else if (Played())
            end = End::Played;
        else
            ShowProgress(clock);
    }
    StopLoop();
    if (IsCapture() && !Drain() && end != End::FileFailed)
        end = End::FileFailed;
    std::string error;
    if (IsCapture() && !writer.Close(error) && end != End::FileFailed) {
        fileError = error;
        end = End::FileFailed;
    }
    if (progressWidth != 0)
        fputc('\n', env.err);
    return end;
}

bool Session::Pump() { return captureFeed ? Drain() : !fileFeed || TopUp(); }

// Capture: everything the ring holds into the file.
bool Session::Drain()
{
    std::string error;
    for (size_t n; (n = ring->Read(pipeChunk.data(), ChunkFrames)) != 0;) {
        const void *samples = pipeChunk.data();
        if (!(fileSamples == pipeSamples)) {
            wav::Convert(pipeSamples, pipeChunk.data(), fileSamples, fileChunk.data(), n);
            samples = fileChunk.data();
        }
        if (!writer.Write(samples, n, error)) {
            fileError = error;
            return false;
        }
    }
    return true;
}

// Render: the ring filled from the file, converted to the pipe's samples.
bool Session::TopUp()
{
    while (!fileEnded) {
        const size_t room = ring->Capacity() - ring->Available();
        if (room == 0)
            return true;
        const size_t n = reader.Read(fileChunk.data(), room < ChunkFrames ? room : ChunkFrames);
        if (n == 0) {
            fileEnded = true;
            fileFeed->MarkEnded();
            if (reader.HasReadError()) {
                fileError = "cannot read " + options.file;
                return false;
            }
            if (reader.IsTruncated())
                fprintf(env.err, "ombhost: %s ends %llu frames before its header says; playing what it holds\n",
                        options.file.c_str(),
                        static_cast<unsigned long long>(*reader.Frames() - reader.FramesRead()));
            return true;
        }
        const void *samples = fileChunk.data();
        if (!(fileSamples == pipeSamples)) {
            wav::Convert(fileSamples, fileChunk.data(), pipeSamples, pipeChunk.data(), n);
            samples = pipeChunk.data();
        }
        ring->Write(samples, n);
    }
    return true;
}

// A file is played once its last frame and a whole buffer of silence after it
// have gone to the device: the audio engine, which reads behind the device
// position, has then read the last frame too.
bool Session::Played() const
{
    if (!fileFeed || !fileEnded || ring->Available() != 0)
        return false;
    const uint32_t bufferFrames = host->GetCommonData().BufferSizeFrames;
    return fileFeed->TailFrames() >= (bufferFrames != 0 ? bufferFrames : 1);
}

void Session::ShowProgress(const Stopwatch &clock)
{
    if (!env.terminal || options.quiet)
        return;
    const double now = clock.Seconds();
    if (lastProgress >= 0 && now - lastProgress < ProgressMs / 1000.0)
        return;
    lastProgress = now;
    OmbHostStats stats = {};
    stats.Size = sizeof stats;
    host->GetStats(&stats);
    char line[160];
    const int width = snprintf(line, sizeof line, "ombhost: %s %8.1f s %12llu frames %6llu late ticks  %s",
                               IsCapture() ? "capture" : "render", now,
                               static_cast<unsigned long long>(stats.FramesHandedOut),
                               static_cast<unsigned long long>(stats.LateTicks), StateName(host->GetCommonData()));
    const size_t length = width > 0 ? static_cast<size_t>(width) : 0;
    fprintf(env.err, "\r%s%*s", line, static_cast<int>(progressWidth > length ? progressWidth - length : 0), "");
    fflush(env.err);
    progressWidth = length;
}

void Session::Summarise(End end)
{
    if (end == End::LoopFailed)
        Report(env.err, "the event loop ended", loopStatus);
    if (end == End::FileFailed)
        fprintf(env.err, "ombhost: %s\n", fileError.c_str());
    if (options.quiet)
        return;
    OmbHostStats stats = {};
    stats.Size = sizeof stats;
    host->GetStats(&stats);
    const double rate = pipe.GetSR();
    if (IsCapture()) {
        const uint64_t frames = writer.FramesWritten();
        fprintf(env.out, "ombhost: captured %llu frames (%.3f s) into %s, %s\n",
                static_cast<unsigned long long>(frames), frames / rate, options.file.c_str(),
                wav::Describe(fileSamples).c_str());
        const uint64_t lost = captureFeed->LostFrames();
        if (lost != 0)
            fprintf(env.out, "ombhost: %llu frames were lost: the file fell behind\n",
                    static_cast<unsigned long long>(lost));
    } else if (options.file.empty()) {
        const uint64_t frames = toneFeed->PlayedFrames();
        fprintf(env.out, "ombhost: rendered %llu frames (%.3f s) of a %g Hz tone, %s\n",
                static_cast<unsigned long long>(frames), frames / rate, *options.toneHz, Text(pipe).c_str());
    } else {
        fprintf(env.out, "ombhost: rendered %llu frames (%.3f s) of %s as %s, then %llu frames of silence\n",
                static_cast<unsigned long long>(fileFeed->PlayedFrames()), fileFeed->PlayedFrames() / rate,
                options.file.c_str(), Text(pipe).c_str(), static_cast<unsigned long long>(fileFeed->TailFrames()));
        if (fileFeed->UnderrunFrames() != 0)
            fprintf(env.out, "ombhost: %llu frames of silence stood in while the file fell behind\n",
                    static_cast<unsigned long long>(fileFeed->UnderrunFrames()));
    }
    fprintf(env.out, "ombhost: %llu ticks, %llu late (the latest %.1f ms after its period), %llu frames not taken%s\n",
            static_cast<unsigned long long>(stats.Ticks), static_cast<unsigned long long>(stats.LateTicks),
            stats.MaxLatenessUs / 1000.0, static_cast<unsigned long long>(stats.FramesNotTaken),
            end == End::Interrupted ? "; stopped by Ctrl-C" : "");
}

} // namespace

int RunStream(const Options &options, const Environment &env)
{
    Session session(options, env);
    return session.Run();
}

} // namespace ombhost
