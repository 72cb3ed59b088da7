// One stream on an endpoint, as the engine runs it for an application: the
// streaming pin opened with the endpoint's format, its buffer, position
// register, latency and notification event, the state walked one step at a
// time, and a thread that moves the audio while it runs. Open, start, stop,
// close; opened again with a new format after a format change; closed and
// marked invalidated when the endpoint goes away. One caller at a time (the
// engine serialises them); Report may be called from anywhere.
#pragma once

#include "DevicePin.h"
#include "Media.h"
#include "Pump.h"
#include "StreamReport.h"

#include <atomic>
#include <memory>

namespace engine {

class Stream {
public:
    // Render streams have a source, capture streams a sink.
    Stream(Direction direction, const StreamConfig &config, std::shared_ptr<Source> source,
           std::shared_ptr<Sink> sink);
    ~Stream();
    Stream(const Stream &) = delete;
    Stream &operator=(const Stream &) = delete;

    // Creates the pin on the filter and prepares it (state STOP): buffer,
    // position register, hardware latency, notification event, and the
    // application's source or sink with the format.
    HRESULT Open(HANDLE waveFilter, ULONG pinId, const wav::Format &format);
    // ACQUIRE, PAUSE, the buffer primed, RUN, and the thread.
    HRESULT Start();
    // The thread ends, then PAUSE, ACQUIRE, STOP (taken even if the device
    // refuses, as nothing it does can stop a step down).
    HRESULT Stop();
    // Stop, the notification event unregistered, the pin closed.
    void Close();
    // The endpoint's format changed: closed and opened again with it, and
    // running again if it ran.
    HRESULT Reopen(HANDLE waveFilter, ULONG pinId, const wav::Format &format);
    // The endpoint went: closed, and the application's next call is told why.
    void Invalidate(HRESULT reason);

    StreamState State() const { return state.load(); }
    Direction GetDirection() const { return direction; }
    StreamReport Report() const;

private:
    static DWORD WINAPI ThreadStart(LPVOID self);
    void Run();
    DWORD WaitMilliseconds(int64_t nextTick) const;
    void ClosePin();
    void Fail(HRESULT status);

    const Direction direction;
    const StreamConfig config;
    std::shared_ptr<Source> source;
    std::shared_ptr<Sink> sink;
    DevicePin pin;
    PumpPlan plan;
    std::unique_ptr<Pump> pump;
    HANDLE notification = nullptr; // auto-reset, registered with the pin
    HANDLE stopEvent = nullptr;    // manual-reset, ends the thread
    HANDLE thread = nullptr;
    std::atomic<StreamState> state{StreamState::Closed};
    mutable PumpStatistics statistics;
};

} // namespace engine
