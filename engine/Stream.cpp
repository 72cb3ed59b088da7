// A stream's life: open, start, run, stop, close; opened again after a
// format change; invalidated with its endpoint.
#include "Stream.h"
#include "AudioFormat.h"
#include "CapturePump.h"
#include "RenderPump.h"
#include "Status.h"

#include <algorithm>

namespace engine {

namespace {

// A wait for a notification that has not come after this long is counted
// (the device may have stopped); nothing else happens.
constexpr DWORD LeastWatchdogMs = 200;

DWORD CeilMilliseconds(uint64_t frames, uint32_t rate)
{
    return static_cast<DWORD>((frames * 1000 + rate - 1) / rate);
}

constexpr uint64_t HnsPerSecond = 10000000;
// Longer periods are refused (and the frame arithmetic cannot overflow).
constexpr int64_t LongestPeriodHns = 10 * HnsPerSecond;

// The period's frames at the format's rate: as asked, or a time rounded up
// to whole frames (10 ms when nothing was asked).
uint32_t PeriodFrames(const StreamConfig &config, uint32_t rate)
{
    if (config.periodFrames != 0)
        return config.periodFrames;
    const uint64_t hns = config.periodHns > 0 ? uint64_t(config.periodHns) : HnsPerSecond / 100;
    return static_cast<uint32_t>((hns * rate + HnsPerSecond - 1) / HnsPerSecond);
}

} // namespace

Stream::Stream(Direction direction, const StreamConfig &config, std::shared_ptr<Source> source,
               std::shared_ptr<Sink> sink)
    : direction(direction), config(config), source(std::move(source)), sink(std::move(sink))
{
    stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    statistics.counts.direction = direction;
    statistics.counts.mode = config.mode;
}

Stream::~Stream()
{
    Close();
    if (stopEvent != nullptr)
        CloseHandle(stopEvent);
}

HRESULT Stream::Open(HANDLE waveFilter, ULONG pinId, const wav::Format &format)
{
    if (pin.IsOpen())
        return InvalidState;
    if (stopEvent == nullptr)
        return OutOfMemory;
    if (wav::Problem(format) != nullptr)
        return UnsupportedFormat;
    if ((direction == Direction::Render && !source) || (direction == Direction::Capture && !sink))
        return InvalidArgument;
    if (config.periodHns < 0 || config.periodHns > LongestPeriodHns)
        return InvalidDevicePeriod;

    PumpPlan p;
    p.direction = direction;
    p.mode = config.mode;
    p.format = format;
    p.frameBytes = format.FrameBytes();
    p.silence = SilenceByte(format);
    p.periodFrames = PeriodFrames(config, format.sampleRate);
    if (config.mode == Mode::Packet && config.periodFrames == 0 && config.periodHns == 0 && config.bufferFrames != 0)
        p.periodFrames = config.bufferFrames / 2;
    p.bufferFrames = config.bufferFrames != 0 ? config.bufferFrames
                                              : p.periodFrames * (config.mode == Mode::Poll ? 3 : 2);
    switch (config.mode) {
    case Mode::Event:
        if (config.notifications != 1 && config.notifications != 2)
            return InvalidArgument;
        p.notifications = config.notifications;
        break;
    case Mode::Packet:
        // A packet is half the buffer: one plays while the next is written.
        if (p.bufferFrames != 2 * p.periodFrames)
            return InvalidDevicePeriod;
        p.notifications = 2;
        break;
    case Mode::Poll:
        p.notifications = 0;
        break;
    }
    if (p.periodFrames == 0 || p.bufferFrames < 2 * p.periodFrames)
        return InvalidDevicePeriod;

    HRESULT status = pin.Create(waveFilter, pinId, direction == Direction::Render, format);
    if (status != S_OK)
        return status;
    status = pin.AllocateBuffer(p.bufferFrames * p.frameBytes, p.notifications);
    if (status == S_OK) {
        // The device may give another size than asked for: the periods follow.
        const uint32_t actual = pin.BufferBytes() / p.frameBytes;
        if (pin.BufferBytes() % p.frameBytes != 0 || actual < 2 ||
            (config.mode == Mode::Packet && actual % 2 != 0))
            status = BufferSizeError;
        // A larger buffer than an application asked for is the device's
        // smallest: the period asked for is below what the device can do.
        else if (actual > p.bufferFrames &&
                 (config.periodFrames != 0 || config.periodHns != 0 || config.bufferFrames != 0))
            status = InvalidDevicePeriod;
        if (config.mode == Mode::Packet || p.periodFrames > actual / 2)
            p.periodFrames = actual / 2;
        p.bufferFrames = actual;
    }
    KSRTAUDIO_HWLATENCY latency{};
    if (status == S_OK) {
        // Without a register the position property serves (as on Windows).
        pin.MapPositionRegister();
        pin.HardwareLatency(latency);
        if (p.notifications != 0) {
            notification = CreateEventW(nullptr, FALSE, FALSE, nullptr);
            status = notification != nullptr ? pin.RegisterNotificationEvent(notification) : LastErrorStatus();
        }
    }
    if (status == S_OK && config.mode == Mode::Packet) {
        // Packet mode needs the device's packet interface.
        ULONG count = 0;
        KSRTAUDIO_GETREADPACKET_INFO info{};
        const HRESULT probe = direction == Direction::Render ? pin.PacketCount(count) : pin.ReadPacket(info);
        if (probe == NotSupported || probe == HRESULT_FROM_WIN32(ERROR_NOT_FOUND) ||
            probe == HRESULT_FROM_WIN32(ERROR_SET_NOT_FOUND))
            status = NotSupported;
    }
    if (status == S_OK)
        status = direction == Direction::Render ? source->Prepare(format) : sink->Prepare(format);
    if (status != S_OK) {
        ClosePin();
        return status;
    }
    plan = p;
    {
        std::lock_guard<std::mutex> hold(statistics.lock);
        StreamReport &r = statistics.counts;
        r.format = format;
        r.periodFrames = p.periodFrames;
        r.bufferFrames = p.bufferFrames;
        r.notifications = p.notifications;
        r.positionRegister = pin.UsesRegister();
        r.fifoBytes = latency.FifoSize;
        r.chipsetDelay = latency.ChipsetDelay;
        r.codecDelay = latency.CodecDelay;
        r.lastError = S_OK;
    }
    state = StreamState::Stopped;
    return S_OK;
}

HRESULT Stream::Start()
{
    switch (state.load()) {
    case StreamState::Stopped:
        break;
    case StreamState::Running:
    case StreamState::Finished:
        return NotStopped;
    case StreamState::Invalidated:
        return DeviceInvalidated;
    case StreamState::Failed:
    case StreamState::Closed:
        return NotInitialized;
    }
    if (direction == Direction::Render)
        pump = std::make_unique<RenderPump>(pin, plan, statistics, *source);
    else
        pump = std::make_unique<CapturePump>(pin, plan, statistics, *sink);
    HRESULT status = pin.WalkTo(KSSTATE_PAUSE);
    if (status == S_OK)
        status = pump->Prime();
    if (status == S_OK) {
        // A signal left from an earlier run would be taken for a packet.
        if (notification != nullptr)
            ResetEvent(notification);
        status = pin.SetState(KSSTATE_RUN);
    }
    if (status == S_OK) {
        pump->Started();
        ResetEvent(stopEvent);
        thread = CreateThread(nullptr, 0, &Stream::ThreadStart, this, 0, nullptr);
        if (thread == nullptr)
            status = LastErrorStatus();
    }
    if (status != S_OK) {
        pin.WalkTo(KSSTATE_STOP);
        pump.reset();
        return status;
    }
    {
        std::lock_guard<std::mutex> hold(statistics.lock);
        ++statistics.counts.starts;
    }
    state = StreamState::Running;
    return S_OK;
}

HRESULT Stream::Stop()
{
    if (thread != nullptr) {
        SetEvent(stopEvent);
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
        thread = nullptr;
    }
    if (pin.IsOpen() && pin.State() != KSSTATE_STOP && pin.WalkTo(KSSTATE_STOP) != S_OK) {
        std::lock_guard<std::mutex> hold(statistics.lock);
        ++statistics.counts.deviceErrors;
    }
    pump.reset();
    StreamState running = StreamState::Running, finished = StreamState::Finished;
    if (!state.compare_exchange_strong(running, StreamState::Stopped))
        state.compare_exchange_strong(finished, StreamState::Stopped);
    return S_OK;
}

void Stream::ClosePin()
{
    if (pin.IsOpen()) {
        pin.UnregisterNotificationEvent();
        pin.Close();
    }
    if (notification != nullptr) {
        CloseHandle(notification);
        notification = nullptr;
    }
}

void Stream::Close()
{
    Stop();
    ClosePin();
    if (state.load() != StreamState::Invalidated && state.load() != StreamState::Failed)
        state = StreamState::Closed;
}

HRESULT Stream::Reopen(HANDLE waveFilter, ULONG pinId, const wav::Format &format)
{
    const StreamState before = state.load();
    if (before == StreamState::Closed || before == StreamState::Invalidated)
        return InvalidState;
    Stop();
    ClosePin();
    state = StreamState::Closed;
    HRESULT status = Open(waveFilter, pinId, format);
    if (status == S_OK) {
        {
            std::lock_guard<std::mutex> hold(statistics.lock);
            ++statistics.counts.reopens;
        }
        if (before == StreamState::Running || before == StreamState::Finished)
            status = Start();
    }
    if (status != S_OK) {
        ClosePin();
        Fail(status);
    }
    return status;
}

void Stream::Invalidate(HRESULT reason)
{
    Stop();
    ClosePin();
    state = StreamState::Invalidated;
    std::lock_guard<std::mutex> hold(statistics.lock);
    statistics.counts.lastError = reason;
}

void Stream::Fail(HRESULT status)
{
    state = StreamState::Failed;
    std::lock_guard<std::mutex> hold(statistics.lock);
    statistics.counts.lastError = status;
}

StreamReport Stream::Report() const
{
    std::lock_guard<std::mutex> hold(statistics.lock);
    StreamReport report = statistics.counts;
    report.state = state.load();
    report.notificationTiming = statistics.notificationClock.Analyse();
    report.positionTiming = statistics.positionClock.Analyse();
    return report;
}

DWORD WINAPI Stream::ThreadStart(LPVOID self)
{
    static_cast<Stream *>(self)->Run();
    return 0;
}

DWORD Stream::WaitMilliseconds(int64_t nextTick) const
{
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    if (nextTick <= now.QuadPart)
        return 0;
    return static_cast<DWORD>(((nextTick - now.QuadPart) * 1000 + frequency.QuadPart - 1) / frequency.QuadPart);
}

void Stream::Run()
{
    const HANDLE handles[2] = {stopEvent, notification};
    const DWORD count = notification != nullptr ? 2 : 1;
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    const int64_t periodTicks = int64_t(plan.periodFrames) * frequency.QuadPart / plan.format.sampleRate;
    int64_t nextTick = now.QuadPart + periodTicks;
    // One notification per buffer: the wait also ends each period, so the
    // half the device is not in is served at its middle.
    const DWORD notifiedTimeout =
        plan.notifications == 1
            ? CeilMilliseconds(plan.periodFrames, plan.format.sampleRate)
            : std::max<DWORD>(LeastWatchdogMs, 4 * CeilMilliseconds(plan.NotificationFrames(),
                                                                    plan.format.sampleRate));
    for (;;) {
        const DWORD timeout = plan.mode == Mode::Poll ? WaitMilliseconds(nextTick) : notifiedTimeout;
        QueryPerformanceCounter(&now);
        const int64_t waitBegan = now.QuadPart;
        const DWORD result = WaitForMultipleObjects(count, handles, FALSE, timeout);
        if (result == WAIT_OBJECT_0)
            break;
        if (result == WAIT_FAILED) {
            Fail(LastErrorStatus());
            break;
        }
        const bool notified = result == WAIT_OBJECT_0 + 1;
        if (result == WAIT_TIMEOUT) {
            if (plan.mode == Mode::Poll) {
                QueryPerformanceCounter(&now);
                nextTick += periodTicks;
                if (nextTick < now.QuadPart) // ticks missed are not made up
                    nextTick = now.QuadPart + periodTicks;
            } else if (plan.notifications != 1) {
                std::lock_guard<std::mutex> hold(statistics.lock);
                ++statistics.counts.timeouts;
            }
        }
        pump->Wake(notified, waitBegan);
        StreamState running = StreamState::Running;
        if (pump->Finished())
            state.compare_exchange_strong(running, StreamState::Finished);
    }
}

} // namespace engine
