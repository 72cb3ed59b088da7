// OmbHost: attaches one side of the device and runs the event loop that
// answers the driver's requests and clocks the cyclic buffer.
#include <new>
#include "ombapi.h"
#include <mmsystem.h>
#include <thread>
#include "DeviceClock.h"
#include "SharedBlock.h"
#include "Status.h"

namespace Ombrivo {

namespace {

constexpr DWORD StopPollMs = 15;
constexpr UINT TimerResolutionMs = 1;
// A failed wait is taken as a tick after a pause of one period, but never a
// longer one: with an INFINITE period the loop would never look for a stop.
constexpr DWORD FailedWaitPauseMs = 20;

// The TransferData call running on this thread, if any. Stop called from
// inside it must not wait for the loop it is part of: it only marks the call.
struct CallbackCall {
    const OmbHost *host;
    bool stopAsked;
};
thread_local CallbackCall *currentCall = nullptr;

// Marks the thread as inside a host's TransferData for the object's life,
// whether the application's code returns or throws.
class InsideCallback {
public:
    explicit InsideCallback(CallbackCall &call) : outer(currentCall) { currentCall = &call; }
    ~InsideCallback() { currentCall = outer; }
    InsideCallback(const InsideCallback &) = delete;
    InsideCallback &operator=(const InsideCallback &) = delete;

private:
    CallbackCall *outer;
};

} // namespace

// What the loop counts, kept on its own stack and published once a tick.
struct OmbHost::Tally {
    uint64_t ticks = 0, framesHandedOut = 0, framesNotTaken = 0, lateTicks = 0, maxLatenessUs = 0;
};

// The loop's private view of the stream and its clock. Frames are handed out
// from the performance counter through the device clock, which carries the
// fraction of a frame left by each tick to the next.
class OmbHost::Loop {
public:
    Loop(OmbHost &host, unsigned timeoutMs)
        : host(host), block(host.pipe->GetCommonData()), call{&host, false}, timeoutMs(timeoutMs)
    {
        // A loop run again after one ended (without a new Start) counts on.
        OmbHostStats published = {sizeof published, 0, 0, 0, 0, 0, 0};
        host.GetStats(&published);
        tally.ticks = published.Ticks;
        tally.framesHandedOut = published.FramesHandedOut;
        tally.framesNotTaken = published.FramesNotTaken;
        tally.lateTicks = published.LateTicks;
        tally.maxLatenessUs = published.MaxLatenessUs;
    }

    void Begin()
    {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        clock.Begin(f.QuadPart > 0 ? static_cast<uint64_t>(f.QuadPart) : 1, host.format.GetSR());
        period = static_cast<uint64_t>(timeoutMs) * clock.Frequency() / 1000;
    }

    // Stop was called from inside TransferData.
    bool StopAsked() const { return call.stopAsked; }

    // The driver posted a request (or not): refresh the view and reply.
    HRESULT OnSignal()
    {
        if ((ReadShared(block.RequestFlags) & REQUEST_FLAGS_CLIENT_BIT) == 0)
            return S_OK;
        const bool attached = ReadShared(block.StreamAttached) != 0;
        if (!attachedSeen && attached)
            attachedSeen = true;
        if (attachedSeen && !attached) {
            state = STREAM_STATE_STOP;
            attachedSeen = false;
        }
        const uint32_t frames = ReadShared(block.BufferSizeFrames);
        if (frames != bufferFrames) {
            bufferFrames = frames;
            half = bufferFrames / 2;
        }
        const uint32_t newState = ReadShared(block.StreamState);
        if (newState != state) {
            if (newState == STREAM_STATE_RUN)
                RestartClock();
            state = newState;
        }
        return host.pipe->Notify(0);
    }

    // A period passed: hand out the frames that are due and publish the
    // counters. Fails only when the application's TransferData threw.
    HRESULT OnTick()
    {
        if (state != STREAM_STATE_RUN)
            return S_OK;
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        const uint64_t elapsed = static_cast<uint64_t>(now.QuadPart) - lastCounter;
        lastCounter = static_cast<uint64_t>(now.QuadPart);
        CountTick(elapsed);
        uint32_t pending = clock.FramesDue(elapsed, host.clockTrim.load(std::memory_order_relaxed));
        if (pending > half)
            pending = half; // at most half the buffer a tick; the rest of the time is dropped
        const HRESULT result = HandOut(pending);
        host.Publish(tally);
        return result;
    }

private:
    HRESULT HandOut(uint32_t pending)
    {
        const WaveFormat &format = host.format;
        const uint32_t frameSize = format.GetFrameSize();
        if (frameSize == 0)
            return S_OK;
        // The stretch never leaves the buffer the block describes, even when
        // its frame count belongs to another frame size (a format change the
        // driver defers while an earlier stream is attached).
        const uint32_t viewFrames = ReadShared(block.BufferSizeBytes) / frameSize;
        const uint32_t frames = bufferFrames < viewFrames ? bufferFrames : viewFrames;
        uint8_t *buffer = reinterpret_cast<uint8_t *>(static_cast<UINT_PTR>(ReadShared(block.BufferAddress)));
        while (pending != 0 && !call.stopAsked) {
            uint32_t position = ReadShared(block.DevicePositionFrames);
            if (position >= frames) {
                // The position lies outside the buffer this loop knows: bring it
                // back inside the driver's buffer, or hand out nothing.
                host.pipe->AdvanceDevicePosition(0);
                position = ReadShared(block.DevicePositionFrames);
                if (position >= frames)
                    return S_OK;
            }
            const uint32_t room = frames - position;
            const uint32_t n = pending < room ? pending : room;
            const uint32_t offered = format.FramesToBytes(n);
            uint32_t handled = 0;
            if (!Transfer(buffer + position * frameSize, offered, handled))
                return StatusUnexpected;
            if (handled > offered)
                handled = offered; // the position never moves past what was offered
            const uint32_t taken = format.BytesToFrames(handled);
            tally.framesHandedOut += n;
            tally.framesNotTaken += n - taken;
            host.pipe->AdvanceDevicePosition(taken);
            pending -= n;
        }
        return S_OK;
    }

    // A tick that comes more than two periods after the one before is late:
    // one period is the wait itself, and a driver request answered within it
    // postpones the tick by up to one more.
    void CountTick(uint64_t elapsed)
    {
        ++tally.ticks;
        if (elapsed > 2 * period)
            ++tally.lateTicks;
        const uint64_t lateness = elapsed > period ? clock.ToMicroseconds(elapsed - period) : 0;
        if (lateness > tally.maxLatenessUs)
            tally.maxLatenessUs = lateness;
    }

    // The application's code: whatever it throws ends here, so the loop can
    // release what it holds and report a status instead.
    bool Transfer(uint8_t *data, uint32_t bytes, uint32_t &handled)
    {
        InsideCallback inside(call);
        try {
            handled = host.callback.TransferData(data, bytes);
            return true;
        } catch (...) {
            return false;
        }
    }

    void RestartClock()
    {
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        lastCounter = static_cast<uint64_t>(now.QuadPart);
        clock.Restart();
    }

    OmbHost &host;
    CommonDataDesc &block;
    CallbackCall call;
    const unsigned timeoutMs;
    uint32_t bufferFrames = 0, half = 0, state = STREAM_STATE_STOP;
    bool attachedSeen = false;
    uint64_t lastCounter = 0, period = 0;
    DeviceClock clock;
    Tally tally;
};

OmbHost::OmbHost(OmbDriver &driver, bool capture, CallbackInterface &callback)
    : driver(driver), capture(capture), callback(callback), event(nullptr), pipe(nullptr), format(), started(false),
      inLoop(false), stopRequest(false), clockTrim(0), counters()
{
    Publish(Tally());
}

OmbHost::~OmbHost() { Stop(); }

HRESULT OmbHost::Create(OmbHost *&host, OmbDriver &driver, bool capture, CallbackInterface &callback)
{
    host = nullptr;
    OmbHost *created = new (std::nothrow) OmbHost(driver, capture, callback);
    if (created == nullptr)
        return StatusOutOfMemory;
    host = created;
    return S_OK;
}

void OmbHost::Delete()
{
    OmbHost *volatile self = this; // the compiler may not assume this is set
    if (self == nullptr)
        return;
    delete self;
}

HRESULT OmbHost::Start(const WaveFormat &wanted, unsigned minimalBufferMs)
{
    Check();
    if (started || pipe != nullptr)
        return StatusAlreadyStarted;
    HRESULT status = driver.CreatePipe(pipe, capture);
    if (SUCCEEDED(status)) {
        event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        if (event == nullptr)
            status = StatusFromLastError();
    }
    if (SUCCEEDED(status))
        status = pipe->SetNotificationEvent(event);
    if (SUCCEEDED(status))
        status = pipe->SetFormat(wanted.GetSR(), wanted.GetBPS(), wanted.GetNC(), wanted.GetBPC(), wanted.GetCC());
    if (SUCCEEDED(status)) {
        // The loop clocks with what the driver got, the container size and
        // channel mask derived, not with a caller's record that asked for them.
        format = pipe->GetFormat();
        if (minimalBufferMs != 0)
            status = pipe->SetMinimalBufferSize((minimalBufferMs * format.GetSR()) / 1000);
    }
    if (FAILED(status)) {
        Stop();
        return status;
    }
    Publish(Tally()); // each Start counts afresh
    started = true;
    Check();
    return S_OK;
}

// Stop and the loop meet through two flags, each written by one side before it
// reads the other's (all sequentially consistent): either the loop sees the
// stop request before it touches the pipe, or Stop sees the loop and waits for
// it to end. The request stays raised until the teardown is done, so a loop
// starting meanwhile ends at once, and is lowered after it, so a later Start
// begins afresh.
HRESULT OmbHost::Stop()
{
    Check();
    if (currentCall != nullptr && currentCall->host == this) {
        currentCall->stopAsked = true; // the loop ends after this call; the caller stops it again afterwards
        return S_OK;
    }
    stopRequest = true;
    while (inLoop)
        Sleep(StopPollMs);
    started = false;
    if (pipe != nullptr) {
        pipe->Delete();
        pipe = nullptr;
    }
    if (event != nullptr) {
        CloseHandle(event);
        event = nullptr;
    }
    stopRequest = false;
    return S_OK;
}

HRESULT OmbHost::EventLoop(unsigned timeoutMs)
{
    Check();
    bool idle = false;
    if (!inLoop.compare_exchange_strong(idle, true))
        return StatusInvalidState; // one loop per host
    HRESULT result = S_OK;
    if (stopRequest)
        result = S_OK; // a Stop is under way: end before touching the pipe
    else if (!started || pipe == nullptr || !pipe->IsOpen())
        result = StatusInvalidState;
    else
        result = Run(timeoutMs);
    inLoop = false;
    return result;
}

HRESULT OmbHost::Run(unsigned timeoutMs)
{
    Loop loop(*this, timeoutMs);
    timeBeginPeriod(TimerResolutionMs);
    loop.Begin();
    HRESULT result = S_OK;
    while (!stopRequest && !loop.StopAsked()) {
        const DWORD wait = WaitForSingleObject(event, timeoutMs);
        if (wait == WAIT_OBJECT_0) {
            result = loop.OnSignal();
        } else {
            if (wait == WAIT_FAILED) // keep a pace instead of spinning on a broken wait
                Sleep(timeoutMs < FailedWaitPauseMs ? timeoutMs : FailedWaitPauseMs);
            result = loop.OnTick();
        }
        if (FAILED(result))
            break;
    }
    timeEndPeriod(TimerResolutionMs);
    return result;
}

HRESULT OmbHost::SetClockTrim(int32_t partsPerBillion)
{
    Check();
    if (partsPerBillion < -OMB_CLOCK_TRIM_LIMIT_PPB || partsPerBillion > OMB_CLOCK_TRIM_LIMIT_PPB)
        return StatusInvalidArgument;
    clockTrim.store(partsPerBillion, std::memory_order_relaxed);
    return S_OK;
}

// The loop is the only writer while it runs (Start writes only while no loop
// does): the sequence turns odd, the counters change, the sequence turns even.
void OmbHost::Publish(const Tally &tally)
{
    const uint32_t sequence = counters.sequence.load(std::memory_order_relaxed);
    counters.sequence.store(sequence + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    counters.ticks.store(tally.ticks, std::memory_order_relaxed);
    counters.framesHandedOut.store(tally.framesHandedOut, std::memory_order_relaxed);
    counters.framesNotTaken.store(tally.framesNotTaken, std::memory_order_relaxed);
    counters.lateTicks.store(tally.lateTicks, std::memory_order_relaxed);
    counters.maxLatenessUs.store(tally.maxLatenessUs, std::memory_order_relaxed);
    counters.sequence.store(sequence + 2, std::memory_order_release);
}

HRESULT OmbHost::GetStats(OmbHostStats *stats) const
{
    Check();
    if (stats == nullptr || stats->Size < sizeof(OmbHostStats))
        return StatusInvalidArgument;
    OmbHostStats read = {};
    for (;;) {
        const uint32_t before = counters.sequence.load(std::memory_order_acquire);
        if ((before & 1) != 0) { // the loop is writing: it is done within a few stores
            std::this_thread::yield();
            continue;
        }
        read.Ticks = counters.ticks.load(std::memory_order_relaxed);
        read.FramesHandedOut = counters.framesHandedOut.load(std::memory_order_relaxed);
        read.FramesNotTaken = counters.framesNotTaken.load(std::memory_order_relaxed);
        read.LateTicks = counters.lateTicks.load(std::memory_order_relaxed);
        read.MaxLatenessUs = counters.maxLatenessUs.load(std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_acquire);
        if (counters.sequence.load(std::memory_order_relaxed) == before)
            break;
    }
    read.Size = sizeof(OmbHostStats);
    *stats = read;
    return S_OK;
}

bool OmbHost::IsStarted() const { return started; }

bool OmbHost::IsCapt() const { return capture; }

const wchar_t *OmbHost::GetType() const { return capture ? L"capture" : L"render"; }

const CommonDataDesc &OmbHost::GetCommonData() const { return pipe != nullptr ? pipe->GetCommonData() : NoBlock; }

void OmbHost::Check() const {}

} // namespace Ombrivo
