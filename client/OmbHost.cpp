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

// The host whose TransferData runs on this thread, if any: Stop called from
// there must not wait for the loop it is part of.
thread_local const OmbHost *hostInCallback = nullptr;

} // namespace

// The loop's private view of the stream and its clock. Frames are handed out
// from the performance counter; the fraction of a frame left over by each
// tick is carried to the next, so the device runs at exactly its rate.
class OmbHost::Loop {
public:
    Loop(OmbHost &host) : host(host), block(host.pipe->GetCommonData()) {}

    void Begin()
    {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        frequency = f.QuadPart > 0 ? static_cast<uint64_t>(f.QuadPart) : 1;
    }

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

    // A period passed: hand out the frames that are due.
    void OnTick()
    {
        if (state != STREAM_STATE_RUN)
            return;
        uint32_t pending = FramesDue();
        if (pending > half)
            pending = half; // at most half the buffer a tick; the rest of the time is dropped
        const WaveFormat &format = host.format;
        const uint32_t frameSize = format.GetFrameSize();
        uint8_t *buffer = reinterpret_cast<uint8_t *>(static_cast<UINT_PTR>(ReadShared(block.BufferAddress)));
        while (pending != 0) {
            uint32_t position = ReadShared(block.DevicePositionFrames);
            if (position >= bufferFrames) {
                // The position lies outside the buffer this loop knows: bring it
                // back inside the driver's buffer, or hand out nothing.
                host.pipe->AdvanceDevicePosition(0);
                position = ReadShared(block.DevicePositionFrames);
                if (position >= bufferFrames)
                    return;
            }
            const uint32_t room = bufferFrames - position;
            const uint32_t n = pending < room ? pending : room;
            const uint32_t offered = format.FramesToBytes(n);
            hostInCallback = &host;
            uint32_t handled = host.callback.TransferData(buffer + position * frameSize, offered);
            hostInCallback = nullptr;
            if (handled > offered)
                handled = offered; // the position never moves past what was offered
            host.pipe->AdvanceDevicePosition(format.BytesToFrames(handled));
            pending -= n;
        }
    }

private:
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
        format = wanted;
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

HRESULT OmbHost::Stop()
{
    Check();
    if (inLoop) {
        stopRequest = true;
        if (hostInCallback == this)
            return S_OK; // the loop ends after this tick; the caller stops it again afterwards
        while (inLoop)
            Sleep(StopPollMs);
    }
    started = false;
    if (pipe != nullptr) {
        pipe->Delete();
        pipe = nullptr;
    }
    if (event != nullptr) {
        CloseHandle(event);
        event = nullptr;
    }
    return S_OK;
}

HRESULT OmbHost::EventLoop(unsigned timeoutMs)
{
    Check();
    if (!started || pipe == nullptr || !pipe->IsOpen())
        return StatusInvalidState;
    bool idle = false;
    if (!inLoop.compare_exchange_strong(idle, true))
        return StatusInvalidState; // one loop per host
    Loop loop(*this);
    timeBeginPeriod(TimerResolutionMs);
    loop.Begin();
    HRESULT result = S_OK;
    for (;;) {
        if (stopRequest.exchange(false))
            break;
        const DWORD wait = WaitForSingleObject(event, timeoutMs);
        if (wait == WAIT_OBJECT_0) {
            result = loop.OnSignal();
            if (FAILED(result))
                break;
            continue;
        }
        if (wait == WAIT_FAILED)
            Sleep(timeoutMs); // keep the period instead of spinning on a broken wait
        loop.OnTick();
    }
    timeEndPeriod(TimerResolutionMs);
    inLoop = false;
    return result;
}

bool OmbHost::IsStarted() const { return started; }

bool OmbHost::IsCapt() const { return capture; }

const wchar_t *OmbHost::GetType() const { return capture ? L"capture" : L"render"; }

const CommonDataDesc &OmbHost::GetCommonData() const { return pipe->GetCommonData(); }

void OmbHost::Check() const {}

} // namespace Ombrivo
