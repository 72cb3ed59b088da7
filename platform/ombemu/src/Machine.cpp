// The machine: the driver loaded through the PnP manager, the clock, and the
// audio engine in an emulated process of its own with a stream per endpoint.
#include "Machine.h"
#include "Processes.h"

#include <DriverLoader.h>
#include <EngineProcess.h>
#include <Status.h>
#include <win32_standin.h>

#include <mutex>

namespace ombemu {

namespace {

namespace win32 = standin::win32;

constexpr HRESULT AlreadyBooted = engine::InvalidState;
constexpr DWORD HostPollMs = 5;

struct EndpointStream {
    engine::StreamId id = 0; // 0: none running
    bool reported = false;   // a report is kept
    engine::StreamReport last;
    int64_t startedAt = 0;
};

struct State {
    bool booted = false;
    bool virtualClock = false;
    std::unique_ptr<engine::EngineProcess> engine; // the engine in its own process
    EndpointStream streams[2];
};

State state;
std::mutex stateLock;

// Holds the machine's state. It is taken with a visible wait of the
// machine, so the self-advancing clock goes on while a thread queues for it
// (a thread blocked in a plain lock would look busy and stop the clock).
class Hold {
public:
    Hold()
    {
        while (!stateLock.try_lock())
            ::Sleep(1);
    }
    ~Hold() { stateLock.unlock(); }
    Hold(const Hold &) = delete;
    Hold &operator=(const Hold &) = delete;
};

EndpointStream &StreamOf(engine::Direction endpoint) { return state.streams[endpoint == engine::Direction::Render ? 0 : 1]; }

// The endpoint's id once a host has made it active, within the wait.
HRESULT AwaitActive(engine::Direction direction, uint32_t waitMs, engine::EndpointInfo &info)
{
    const int64_t deadline = Now() + int64_t(waitMs) * 10000;
    for (;;) {
        const HRESULT found = state.engine->FindEndpoint(direction, info);
        if (found == S_OK && info.state == engine::EndpointState::Active && info.formatKnown) {
            return S_OK;
        }
        if (Now() >= deadline)
            return engine::EndpointCreateFailed;
        state.engine->Sleep(HostPollMs);
    }
}

HRESULT Open(engine::Direction direction, std::shared_ptr<engine::Source> source, std::shared_ptr<engine::Sink> sink,
             const StreamOptions &options)
{
    Hold hold;
    if (!state.booted)
        return engine::NotInitialized;
    EndpointStream &stream = StreamOf(direction);
    if (stream.id != 0)
        return engine::InvalidState;
    engine::EndpointInfo endpoint;
    HRESULT status = AwaitActive(direction, options.waitForHostMs, endpoint);
    if (status != S_OK)
        return status;
    engine::StreamConfig config;
    config.mode = options.mode;
    config.periodHns = int64_t(options.periodMs) * 10000; // frames at the rate the stream opens with
    engine::StreamId id = 0;
    status = direction == engine::Direction::Render ? state.engine->OpenRender(endpoint.id, config, source, id)
                                                    : state.engine->OpenCapture(endpoint.id, config, sink, id);
    if (status != S_OK)
        return status;
    stream.startedAt = Now();
    status = state.engine->StartStream(id);
    if (status != S_OK) {
        state.engine->CloseStream(id);
        return status;
    }
    stream.id = id;
    stream.reported = false;
    return S_OK;
}

// Stops and closes the stream, keeping its report. Under the hold.
HRESULT StopLocked(EndpointStream &stream)
{
    if (stream.id == 0)
        return S_OK;
    const HRESULT status = state.engine->StopStream(stream.id);
    stream.last = state.engine->Report(stream.id);
    stream.reported = true;
    state.engine->CloseStream(stream.id);
    stream.id = 0;
    // A stream the host's departure invalidated has nothing left to stop.
    return status == engine::DeviceInvalidated ? S_OK : status;
}

} // namespace

int32_t Boot(const OmbEmuOptions &options)
{
    Hold hold;
    if (state.booted)
        return AlreadyBooted;
    const uint32_t major = options.WindowsMajor != 0 ? options.WindowsMajor : 10;
    const uint32_t minor = options.WindowsMajor != 0 ? options.WindowsMinor : 0;
    const int32_t loaded = loader::Load(major, minor);
    if (loaded < 0)
        return loaded;
    state.virtualClock = options.Clock == OMBEMU_CLOCK_VIRTUAL;
    if (state.virtualClock)
        win32::SetClockMode(win32::ClockMode::Simulated);
    state.engine = std::make_unique<engine::EngineProcess>();
    const HRESULT status = state.engine->Start();
    if (status != S_OK) {
        state.engine.reset();
        win32::SetClockMode(win32::ClockMode::Real);
        loader::Unload();
        return status;
    }
    for (EndpointStream &stream : state.streams)
        stream = EndpointStream{};
    state.booted = true;
    return 0;
}

int32_t Shutdown()
{
    Hold hold;
    if (!state.booted)
        return 0;
    for (EndpointStream &stream : state.streams)
        StopLocked(stream);
    state.engine.reset(); // the engine closes, its process ends
    EndAllProcesses();
    win32::SetClockMode(win32::ClockMode::Real);
    bool leaked = false;
    const int32_t status = loader::Unload(&leaked);
    if (status < 0) {
        // A handle of the program keeps the device: the engine is gone, the
        // driver stays until the next call.
        if (state.virtualClock)
            win32::SetClockMode(win32::ClockMode::Simulated);
        state.engine = std::make_unique<engine::EngineProcess>();
        state.engine->Start();
        return status;
    }
    state.booted = false;
    return leaked ? 1 : 0;
}

bool Booted()
{
    Hold hold;
    return state.booted;
}

HRESULT Play(std::shared_ptr<engine::Source> source, const StreamOptions &options)
{
    if (!source)
        return engine::InvalidArgument;
    return Open(engine::Direction::Render, std::move(source), nullptr, options);
}

HRESULT Record(std::shared_ptr<engine::Sink> sink, const StreamOptions &options)
{
    if (!sink)
        return engine::InvalidArgument;
    return Open(engine::Direction::Capture, nullptr, std::move(sink), options);
}

HRESULT StopStream(engine::Direction endpoint)
{
    Hold hold;
    if (!state.booted)
        return engine::NotInitialized;
    return StopLocked(StreamOf(endpoint));
}

HRESULT Report(engine::Direction endpoint, engine::StreamReport &report)
{
    Hold hold;
    if (!state.booted)
        return engine::NotInitialized;
    const EndpointStream &stream = StreamOf(endpoint);
    if (stream.id != 0) {
        report = state.engine->Report(stream.id);
        return S_OK;
    }
    if (!stream.reported)
        return engine::NotFound;
    report = stream.last;
    return S_OK;
}

int64_t StartedAt(engine::Direction endpoint)
{
    Hold hold;
    return StreamOf(endpoint).startedAt;
}

int64_t Now()
{
    LARGE_INTEGER count, frequency;
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    // 100-ns units without overflow for centuries of uptime.
    const int64_t seconds = count.QuadPart / frequency.QuadPart;
    const int64_t rest = count.QuadPart % frequency.QuadPart;
    return seconds * 10000000 + rest * 10000000 / frequency.QuadPart;
}

void Sleep(uint32_t milliseconds) { ::Sleep(milliseconds); }

bool VirtualClock()
{
    Hold hold;
    return state.booted && state.virtualClock;
}

uint32_t DriverOwner() { return loader::Owner(); }

} // namespace ombemu
