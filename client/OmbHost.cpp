// OmbHost: attaches one side of the device and runs the event loop that
// answers the driver's requests and clocks the cyclic buffer.
#include <new>
#include "ombapi.h"
#include <mmsystem.h>
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

// The loop's private view of the stream and its clock. Frames are handed out
// from the performance counter; the fraction of a frame left over by each
// tick is carried to the next, so the device runs at exactly its rate.
class OmbHost::Loop {
public:
    explicit Loop(OmbHost &host) : host(host), block(host.pipe->GetCommonData()), call{&host, false} {}

    void Begin()
    {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        frequency = f.QuadPart > 0 ? static_cast<uint64_t>(f.QuadPart) : 1;
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

    // A period passed: hand out the frames that are due. Fails only when the
    // application's TransferData threw.
    HRESULT OnTick()
    {
        if (state != STREAM_STATE_RUN)
            return S_OK;
        uint32_t pending = FramesDue();
        if (pending > half)
            pending = half; // at most half the buffer a tick; the rest of the time is dropped
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
            host.pipe->AdvanceDevicePosition(format.BytesToFrames(handled));
            pending -= n;
        }
        return S_OK;
    }

private:
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
        carry = frequency / 2; // round each running total to the nearest frame
    }

    uint32_t FramesDue()
    {
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        uint64_t elapsed = static_cast<uint64_t>(now.QuadPart) - lastCounter;
        lastCounter = static_cast<uint64_t>(now.QuadPart);
        // More than a minute is far beyond half of any buffer; bounding it
        // keeps the product below 2^64.
        const uint64_t limit = frequency * 64;
        if (elapsed > limit)
            elapsed = limit;
        const uint64_t scaled = elapsed * host.format.GetSR() + carry;
        carry = scaled % frequency;
        return static_cast<uint32_t>(scaled / frequency);
    }

    OmbHost &host;
    CommonDataDesc &block;
    CallbackCall call;
    uint32_t bufferFrames = 0, half = 0, state = STREAM_STATE_STOP;
    bool attachedSeen = false;
    uint64_t lastCounter = 0, frequency = 1, carry = 0;
};

OmbHost::OmbHost(OmbDriver &driver, bool capture, CallbackInterface &callback)
    : driver(driver), capture(capture), callback(callback), event(nullptr), pipe(nullptr), format(), started(false),
      inLoop(false), stopRequest(false)
{
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
    Loop loop(*this);
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

bool OmbHost::IsStarted() const { return started; }

bool OmbHost::IsCapt() const { return capture; }

const wchar_t *OmbHost::GetType() const { return capture ? L"capture" : L"render"; }

const CommonDataDesc &OmbHost::GetCommonData() const { return pipe != nullptr ? pipe->GetCommonData() : NoBlock; }

void OmbHost::Check() const {}

} // namespace Ombrivo
