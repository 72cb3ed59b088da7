// The C interface of ombemu.h over the machine.
#include "Machine.h"
#include "Processes.h"

#include <Status.h>

#include <mutex>
#include <new>

namespace {

using namespace engine;

constexpr uint32_t DefaultWaitForHostMs = 2000;
constexpr double ToneAmplitude = 0.5;
constexpr HRESULT FileNotFound = static_cast<HRESULT>(0x80070002); // ERROR_FILE_NOT_FOUND

OmbEmuFormat ToC(const wav::Format &format)
{
    OmbEmuFormat c;
    c.SampleRate = format.sampleRate;
    c.Channels = format.channels;
    c.ContainerBits = format.containerBits;
    c.ValidBits = format.validBits;
    c.IsFloat = format.encoding == wav::Encoding::Float;
    c.ChannelMask = format.channelMask;
    return c;
}

class CallbackSource : public Source {
public:
    CallbackSource(OmbEmuReadFrames read, void *context) : read(read), context(context) {}
    HRESULT Prepare(const wav::Format &f) override
    {
        format = ToC(f);
        return S_OK;
    }
    size_t Read(void *frames, size_t count) override
    {
        const uint32_t asked = count > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(count);
        const uint32_t given = read(context, frames, asked, &format);
        return given < asked ? given : asked;
    }

private:
    OmbEmuReadFrames read;
    void *context;
    OmbEmuFormat format{};
};

// What the capture endpoint records goes to the verifier of the test signal,
// and to the file and the program's callback when asked for.
class RecordingSink : public Sink {
public:
    RecordingSink(const OmbEmuSink &sink)
        : file(sink.Path != nullptr ? std::make_unique<WavFileSink>(sink.Path) : nullptr), write(sink.Write),
          context(sink.Context)
    {
    }
    HRESULT Prepare(const wav::Format &f) override
    {
        format = ToC(f);
        if (file) {
            const HRESULT status = file->Prepare(f);
            if (status != S_OK)
                return status;
        }
        return verifier->Prepare(f);
    }
    void Write(const void *frames, size_t count) override
    {
        verifier->Write(frames, count);
        if (file)
            file->Write(frames, count);
        if (write != nullptr)
            write(context, frames, static_cast<uint32_t>(count), &format);
    }
    const std::shared_ptr<VerifierSink> verifier = std::make_shared<VerifierSink>();

private:
    std::unique_ptr<WavFileSink> file;
    OmbEmuWriteFrames write;
    void *context;
    OmbEmuFormat format{};
};

// The verifier of the capture endpoint's last recording.
std::mutex verifierLock;
std::shared_ptr<VerifierSink> lastVerifier;

bool ReadOptions(const OmbEmuStreamOptions *options, ombemu::StreamOptions &config)
{
    config.waitForHostMs = DefaultWaitForHostMs;
    if (options == nullptr)
        return true;
    if (options->Size < sizeof(OmbEmuStreamOptions) || options->Mode > OMBEMU_MODE_POLL || options->PeriodMs > 1000)
        return false;
    config.mode = options->Mode == OMBEMU_MODE_EVENT ? Mode::Event
                  : options->Mode == OMBEMU_MODE_PACKET ? Mode::Packet
                                                        : Mode::Poll;
    config.periodMs = options->PeriodMs;
    if (options->WaitForHostMs != 0)
        config.waitForHostMs = options->WaitForHostMs;
    return true;
}

Direction EndpointOf(uint32_t endpoint) { return endpoint == OMBEMU_RENDER ? Direction::Render : Direction::Capture; }

uint32_t StateOf(StreamState state)
{
    switch (state) {
    case StreamState::Running:
        return OMBEMU_STREAM_RUNNING;
    case StreamState::Finished:
        return OMBEMU_STREAM_FINISHED;
    case StreamState::Invalidated:
        return OMBEMU_STREAM_INVALIDATED;
    case StreamState::Failed:
        return OMBEMU_STREAM_FAILED;
    case StreamState::Stopped:
    case StreamState::Closed:
        return OMBEMU_STREAM_STOPPED;
    }
    return OMBEMU_STREAM_NONE;
}

} // namespace

extern "C" {

int32_t OmbEmu_Boot(const OmbEmuOptions *options)
{
    OmbEmuOptions chosen{sizeof(OmbEmuOptions), OMBEMU_CLOCK_REAL, 0, 0};
    if (options != nullptr) {
        if (options->Size < sizeof(OmbEmuOptions) || options->Clock > OMBEMU_CLOCK_VIRTUAL)
            return InvalidArgument;
        chosen = *options;
    }
    return ombemu::Boot(chosen);
}

int32_t OmbEmu_Shutdown(void) { return ombemu::Shutdown(); }

int32_t OmbEmu_IsBooted(void) { return ombemu::Booted() ? 1 : 0; }

int64_t OmbEmu_Now(void) { return ombemu::Now(); }

void OmbEmu_Sleep(uint32_t ms) { ombemu::Sleep(ms); }

int32_t OmbEmu_IsVirtualClock(void) { return ombemu::VirtualClock() ? 1 : 0; }

int32_t OmbEmu_CreateProcess(OmbEmuProcess **process)
{
    if (process == nullptr)
        return InvalidArgument;
    *process = new (std::nothrow) OmbEmuProcess;
    if (*process == nullptr)
        return OutOfMemory;
    ombemu::AddProcess(*process);
    return 0;
}

int32_t OmbEmu_StartThread(OmbEmuProcess *process, OmbEmuThreadBody body, void *context)
{
    if (process == nullptr || body == nullptr)
        return InvalidArgument;
    if (process->process.Ended())
        return InvalidState;
    process->process.RunThread("ombemu thread", body, context);
    return 0;
}

int32_t OmbEmu_CallInProcess(OmbEmuProcess *process, OmbEmuThreadBody body, void *context)
{
    if (process == nullptr || body == nullptr)
        return InvalidArgument;
    if (process->process.Ended())
        return InvalidState;
    standin::win32::ProcessScope scope(process->process);
    body(context);
    return 0;
}

int32_t OmbEmu_KillProcess(OmbEmuProcess *process)
{
    if (process == nullptr)
        return InvalidArgument;
    process->process.End();
    return 0;
}

int32_t OmbEmu_IsProcessEnded(const OmbEmuProcess *process) { return process == nullptr || process->process.Ended(); }

int32_t OmbEmu_JoinProcess(OmbEmuProcess *process)
{
    if (process == nullptr)
        return InvalidArgument;
    process->process.JoinThreads();
    return 0;
}

void OmbEmu_DeleteProcess(OmbEmuProcess *process)
{
    if (process == nullptr)
        return;
    ombemu::RemoveProcess(process);
    delete process; // ends it and joins its threads
}

int32_t OmbEmu_Play(const OmbEmuSource *source, const OmbEmuStreamOptions *options)
{
    ombemu::StreamOptions config;
    if (source == nullptr || !ReadOptions(options, config))
        return InvalidArgument;
    std::shared_ptr<Source> made;
    switch (source->Kind) {
    case OMBEMU_SOURCE_SIGNAL:
        made = std::make_shared<SignalSource>();
        break;
    case OMBEMU_SOURCE_TONE:
        if (!(source->Hertz > 0))
            return InvalidArgument;
        made = std::make_shared<ToneSource>(source->Hertz, ToneAmplitude);
        break;
    case OMBEMU_SOURCE_FILE: {
        if (source->Path == nullptr)
            return InvalidArgument;
        auto file = std::make_shared<WavFileSource>();
        std::string error;
        if (!file->Open(source->Path, error))
            return FileNotFound;
        made = file;
        break;
    }
    case OMBEMU_SOURCE_CALLBACK:
        if (source->Read == nullptr)
            return InvalidArgument;
        made = std::make_shared<CallbackSource>(source->Read, source->Context);
        break;
    default:
        return InvalidArgument;
    }
    return ombemu::Play(made, config);
}

int32_t OmbEmu_Record(const OmbEmuSink *sink, const OmbEmuStreamOptions *options)
{
    ombemu::StreamOptions config;
    if (!ReadOptions(options, config))
        return InvalidArgument;
    const OmbEmuSink none{nullptr, nullptr, nullptr};
    auto made = std::make_shared<RecordingSink>(sink != nullptr ? *sink : none);
    const HRESULT status = ombemu::Record(made, config);
    if (status == S_OK) {
        std::lock_guard<std::mutex> hold(verifierLock);
        lastVerifier = made->verifier;
    }
    return status;
}

int32_t OmbEmu_StopStream(uint32_t endpoint)
{
    if (endpoint > OMBEMU_CAPTURE)
        return InvalidArgument;
    return ombemu::StopStream(EndpointOf(endpoint));
}

int32_t OmbEmu_GetReport(uint32_t endpoint, OmbEmuReport *out)
{
    if (endpoint > OMBEMU_CAPTURE || out == nullptr || out->Size < sizeof(OmbEmuReport))
        return InvalidArgument;
    StreamReport r;
    const HRESULT status = ombemu::Report(EndpointOf(endpoint), r);
    if (status != S_OK)
        return status;
    OmbEmuReport c{};
    c.Size = sizeof c;
    c.State = StateOf(r.state);
    c.LastError = r.lastError;
    c.Mode = r.mode == Mode::Event ? OMBEMU_MODE_EVENT : r.mode == Mode::Packet ? OMBEMU_MODE_PACKET : OMBEMU_MODE_POLL;
    c.Format = ToC(r.format);
    c.PeriodFrames = r.periodFrames;
    c.BufferFrames = r.bufferFrames;
    c.Frames = r.frames;
    c.SourceFrames = r.sourceFrames;
    c.SourceEnded = r.sourceEnded;
    c.Underruns = r.underruns;
    c.UnderrunFrames = r.underrunFrames;
    c.Overruns = r.overruns;
    c.OverrunFrames = r.overrunFrames;
    c.Packets = r.packets;
    c.LatePackets = r.latePackets;
    c.EarlyPackets = r.earlyPackets;
    c.SkippedPackets = r.skippedPackets;
    c.DeviceErrors = r.deviceErrors;
    c.NotificationJitterMs = r.notificationTiming.noiseStdMs;
    c.NotificationJitterMaxMs = r.notificationTiming.noiseMaxMs;
    c.NotificationGlitches = r.notificationTiming.glitches;
    c.PositionGlitches = r.positionTiming.glitches;
    c.PositionDriftPpm = r.positionTiming.driftPpm;
    if (endpoint == OMBEMU_CAPTURE) {
        std::shared_ptr<VerifierSink> verifier;
        {
            std::lock_guard<std::mutex> hold(verifierLock);
            verifier = lastVerifier;
        }
        if (verifier) {
            const VerifyReport v = verifier->Report();
            c.SignalExact = v.Exact();
            c.SignalFrames = v.framesMatched;
            c.SignalLeadingSilence = v.leadingSilence;
            c.SignalDiscontinuities = v.discontinuities;
        }
    }
    *out = c;
    return 0;
}

} // extern "C"
