// The emulated Windows audio engine: created inside the process it runs in,
// it finds the audio endpoints (device interfaces, filters, jacks and the
// streaming pins behind them), watches their format-change and
// jack-information-change events, and runs streams for emulated
// applications: render streams that play a source, capture streams that
// record into a sink, in event, packet or poll mode. Every call is made from
// a thread of the engine's process; each is safe from any of them.
#pragma once

#include "Endpoint.h"
#include "Media.h"
#include "StreamReport.h"

#include <windows.h>

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace engine {

class Stream;
using StreamId = uint32_t;

class Engine {
public:
    // Finds the endpoints and starts watching them.
    static HRESULT Create(std::unique_ptr<Engine> &engine);
    // Closes every stream (each steps down to STOP and closes its pin), stops
    // watching, closes the filters.
    ~Engine();
    Engine(const Engine &) = delete;
    Engine &operator=(const Engine &) = delete;

    // Looks for endpoints again (as on a device arrival or removal): new ones
    // are added, ones whose streaming filter went become not present and
    // their streams invalidated.
    HRESULT Refresh();
    std::vector<EndpointInfo> Endpoints() const;
    // The first endpoint of a direction, an active one if there is one.
    HRESULT FindEndpoint(Direction direction, EndpointInfo &endpoint) const;

    // A stream on an active endpoint in the format the device gives it now
    // (read again at the open), stopped.
    HRESULT OpenRender(const std::wstring &endpointId, const StreamConfig &config, std::shared_ptr<Source> source,
                       StreamId &stream);
    HRESULT OpenCapture(const std::wstring &endpointId, const StreamConfig &config, std::shared_ptr<Sink> sink,
                        StreamId &stream);
    HRESULT Start(StreamId stream);
    HRESULT Stop(StreamId stream);
    // The stream closes and its report goes with it.
    HRESULT Close(StreamId stream);
    HRESULT GetReport(StreamId stream, StreamReport &report) const;

    // Endpoint and stream changes the engine has made after an event (a
    // format change, a jack that changed): a count, and a wait until it
    // passes `seen` (for one waiter).
    uint64_t Changes() const;
    HRESULT WaitForChanges(uint64_t seen, DWORD timeoutMs) const;

private:
    struct Endpoint;
    struct Watch;
    Engine() = default;
    HRESULT Open(const std::wstring &endpointId, Direction direction, const StreamConfig &config,
                 std::shared_ptr<Source> source, std::shared_ptr<Sink> sink, StreamId &stream);
    HRESULT RefreshLocked();
    Endpoint *Find(const std::wstring &id) const;
    void InvalidateStreams(const Endpoint &endpoint, HRESULT reason);
    void FormatChanged(Endpoint &endpoint);
    void JackChanged(Endpoint &endpoint);
    void CloseEndpointHandles(Endpoint &endpoint);
    void NoteChange();
    static DWORD WINAPI MonitorStart(LPVOID self);
    void Monitor();

    // Serialises every call and the monitor's handling of events: an event
    // used as a lock, so that a thread waiting for it waits as Windows sees
    // waits (and the engine's calls can block on the device for long).
    class Lock {
    public:
        explicit Lock(const Engine &engine);
        ~Lock();

    private:
        const Engine &engine;
    };

    HANDLE lockEvent = nullptr;
    HANDLE shutdownEvent = nullptr;
    HANDLE rebuildEvent = nullptr;
    HANDLE changedEvent = nullptr;
    HANDLE monitorThread = nullptr;
    std::atomic<uint64_t> changes{0};
    std::vector<std::unique_ptr<Endpoint>> endpoints;
    struct StreamEntry {
        std::unique_ptr<Stream> stream;
        std::wstring endpointId;
    };
    std::map<StreamId, StreamEntry> streams;
    StreamId nextStream = 1;
};

} // namespace engine
