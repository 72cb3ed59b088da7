// The engine's endpoints, their events, and the streams it runs on them.
#include "Engine.h"
#include "EndpointPaths.h"
#include "EndpointProbe.h"
#include "Filters.h"
#include "KsRequests.h"
#include "Status.h"
#include "Stream.h"

namespace engine {

namespace {

constexpr HRESULT WrongEndpointType = AudioClientError(0x03); // AUDCLNT_E_WRONG_ENDPOINT_TYPE

std::wstring EndpointName(const GUID &category, bool render)
{
    if (IsEqualGUID(category, KSNODETYPE_SPEAKER))
        return L"Speakers";
    if (IsEqualGUID(category, KSNODETYPE_HEADPHONES))
        return L"Headphones";
    if (IsEqualGUID(category, KSNODETYPE_MICROPHONE))
        return L"Microphone";
    if (IsEqualGUID(category, KSNODETYPE_LINE_CONNECTOR))
        return L"Line";
    return render ? L"Output" : L"Input";
}

HANDLE OpenFilter(const std::wstring &path)
{
    // Read and write: pins of either data flow are created through it.
    return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

} // namespace

// An endpoint with the filter handles and events the engine keeps for it
// while it is present. The event data must not move while enabled.
struct Engine::Endpoint {
    EndpointInfo info;
    HANDLE wave = INVALID_HANDLE_VALUE;
    HANDLE jack = INVALID_HANDLE_VALUE;
    HANDLE formatEvent = nullptr;
    HANDLE jackEvent = nullptr;
    KSEVENTDATA formatData{};
    KSEVENTDATA jackData{};
    bool formatWatched = false;
    bool jackWatched = false;
};

Engine::Lock::Lock(const Engine &engine) : engine(engine)
{
    WaitForSingleObject(engine.lockEvent, INFINITE);
}

Engine::Lock::~Lock()
{
    SetEvent(engine.lockEvent);
}

HRESULT Engine::Create(std::unique_ptr<Engine> &engine)
{
    std::unique_ptr<Engine> created(new Engine);
    created->lockEvent = CreateEventW(nullptr, FALSE, TRUE, nullptr);
    created->shutdownEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    created->rebuildEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    created->changedEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!created->lockEvent || !created->shutdownEvent || !created->rebuildEvent || !created->changedEvent)
        return LastErrorStatus();
    HRESULT status = created->Refresh();
    if (status != S_OK)
        return status;
    created->monitorThread = CreateThread(nullptr, 0, &Engine::MonitorStart, created.get(), 0, nullptr);
    if (created->monitorThread == nullptr)
        return LastErrorStatus();
    engine = std::move(created);
    return S_OK;
}

Engine::~Engine()
{
    if (monitorThread != nullptr) {
        SetEvent(shutdownEvent);
        WaitForSingleObject(monitorThread, INFINITE);
        CloseHandle(monitorThread);
    }
    for (auto &[id, entry] : streams)
        entry.stream->Close();
    streams.clear();
    for (auto &endpoint : endpoints)
        CloseEndpointHandles(*endpoint);
    for (HANDLE h : {lockEvent, shutdownEvent, rebuildEvent, changedEvent})
        if (h != nullptr)
            CloseHandle(h);
}

void Engine::CloseEndpointHandles(Endpoint &e)
{
    if (e.formatWatched)
        ks::DisableEvent(e.wave, &e.formatData);
    if (e.jackWatched)
        ks::DisableEvent(e.jack, &e.jackData);
    e.formatWatched = e.jackWatched = false;
    for (HANDLE *h : {&e.wave, &e.jack}) {
        if (*h != INVALID_HANDLE_VALUE)
            CloseHandle(*h);
        *h = INVALID_HANDLE_VALUE;
    }
    for (HANDLE *h : {&e.formatEvent, &e.jackEvent}) {
        if (*h != nullptr)
            CloseHandle(*h);
        *h = nullptr;
    }
}

HRESULT Engine::Refresh()
{
    HRESULT status;
    {
        Lock hold(*this);
        status = RefreshLocked();
    }
    SetEvent(rebuildEvent);
    return status;
}

HRESULT Engine::RefreshLocked()
{
    std::vector<FilterDescription> filters;
    for (const std::wstring &path : InterfacePaths(KSCATEGORY_AUDIO)) {
        HANDLE filter = OpenFilter(path);
        if (filter == INVALID_HANDLE_VALUE)
            continue;
        FilterDescription description;
        if (DescribeFilter(filter, path, description) == S_OK)
            filters.push_back(std::move(description));
        CloseHandle(filter);
    }
    std::vector<Endpoint *> seen;
    for (const EndpointPath &path : FindEndpointPaths(filters)) {
        const FilterDescription &jackFilter = filters[path.jackFilter];
        const std::wstring id = jackFilter.key + L"#" + std::to_wstring(path.jackPin);
        Endpoint *e = Find(id);
        if (e == nullptr) {
            endpoints.push_back(std::make_unique<Endpoint>());
            e = endpoints.back().get();
            e->info.id = id;
            e->info.direction = path.render ? Direction::Render : Direction::Capture;
        }
        seen.push_back(e);
        EndpointInfo &info = e->info;
        info.name = EndpointName(jackFilter.pins[path.jackPin].category, info.direction == Direction::Render);
        info.jackPin = path.jackPin;
        if (info.jackFilter != jackFilter.path || e->jack == INVALID_HANDLE_VALUE) {
            if (e->jackWatched)
                ks::DisableEvent(e->jack, &e->jackData);
            e->jackWatched = false;
            if (e->jack != INVALID_HANDLE_VALUE)
                CloseHandle(e->jack);
            info.jackFilter = jackFilter.path;
            e->jack = OpenFilter(info.jackFilter);
        }
        if (!path.complete) {
            if (e->formatWatched)
                ks::DisableEvent(e->wave, &e->formatData);
            e->formatWatched = false;
            if (e->wave != INVALID_HANDLE_VALUE)
                CloseHandle(e->wave);
            e->wave = INVALID_HANDLE_VALUE;
            info.state = EndpointState::NotPresent;
            continue;
        }
        info.direction = path.render ? Direction::Render : Direction::Capture;
        const std::wstring &wavePath = filters[path.streamFilter].path;
        if (info.waveFilter != wavePath || info.streamingPin != path.streamPin || e->wave == INVALID_HANDLE_VALUE) {
            if (e->formatWatched)
                ks::DisableEvent(e->wave, &e->formatData);
            e->formatWatched = false;
            if (e->wave != INVALID_HANDLE_VALUE)
                CloseHandle(e->wave);
            info.waveFilter = wavePath;
            info.streamingPin = path.streamPin;
            e->wave = OpenFilter(wavePath);
        }
        if (e->formatEvent == nullptr)
            e->formatEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        if (e->jackEvent == nullptr)
            e->jackEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        // Drivers without the events are still served; only their changes go unseen.
        if (!e->formatWatched && e->wave != INVALID_HANDLE_VALUE && e->formatEvent != nullptr)
            e->formatWatched = ks::EnablePinEvent(e->wave, KSEVENTSETID_PinCapsChange, KSEVENT_PINCAPS_FORMATCHANGE,
                                                  info.streamingPin, e->formatEvent, &e->formatData) == S_OK;
        if (!e->jackWatched && e->jack != INVALID_HANDLE_VALUE && e->jackEvent != nullptr)
            e->jackWatched = ks::EnablePinEvent(e->jack, KSEVENTSETID_PinCapsChange, KSEVENT_PINCAPS_JACKINFOCHANGE,
                                                info.jackPin, e->jackEvent, &e->jackData) == S_OK;
        const JackState jack = ReadJack(e->jack, info.jackPin);
        info.jackDescribed = jack.described;
        info.presenceDetect = jack.presenceDetect;
        info.state = jack.connected ? EndpointState::Active : EndpointState::Unplugged;
        bool proposed = false;
        wav::Format format;
        info.formatKnown = ReadFormat(e->wave, info.streamingPin, format, proposed) == S_OK;
        if (info.formatKnown) {
            info.format = format;
            info.proposedFormat = proposed;
        }
    }
    for (auto &endpoint : endpoints) {
        bool present = false;
        for (Endpoint *e : seen)
            present = present || e == endpoint.get();
        if (!present) {
            CloseEndpointHandles(*endpoint);
            endpoint->info.state = EndpointState::NotPresent;
        }
        if (endpoint->info.state != EndpointState::Active)
            InvalidateStreams(*endpoint, DeviceInvalidated);
    }
    return S_OK;
}

Engine::Endpoint *Engine::Find(const std::wstring &id) const
{
    for (const auto &endpoint : endpoints)
        if (endpoint->info.id == id)
            return endpoint.get();
    return nullptr;
}

std::vector<EndpointInfo> Engine::Endpoints() const
{
    Lock hold(*this);
    std::vector<EndpointInfo> list;
    for (const auto &endpoint : endpoints)
        list.push_back(endpoint->info);
    return list;
}

HRESULT Engine::FindEndpoint(Direction direction, EndpointInfo &found) const
{
    Lock hold(*this);
    const Endpoint *best = nullptr;
    for (const auto &endpoint : endpoints)
        if (endpoint->info.direction == direction &&
            (best == nullptr || (best->info.state != EndpointState::Active &&
                                 endpoint->info.state == EndpointState::Active)))
            best = endpoint.get();
    if (best == nullptr)
        return NotFound;
    found = best->info;
    return S_OK;
}

HRESULT Engine::OpenRender(const std::wstring &endpointId, const StreamConfig &config, std::shared_ptr<Source> source,
                           StreamId &stream)
{
    return Open(endpointId, Direction::Render, config, std::move(source), nullptr, stream);
}

HRESULT Engine::OpenCapture(const std::wstring &endpointId, const StreamConfig &config, std::shared_ptr<Sink> sink,
                            StreamId &stream)
{
    return Open(endpointId, Direction::Capture, config, nullptr, std::move(sink), stream);
}

HRESULT Engine::Open(const std::wstring &endpointId, Direction direction, const StreamConfig &config,
                     std::shared_ptr<Source> source, std::shared_ptr<Sink> sink, StreamId &stream)
{
    Lock hold(*this);
    Endpoint *e = Find(endpointId);
    if (e == nullptr)
        return NotFound;
    if (e->info.direction != direction)
        return WrongEndpointType;
    if (e->info.state != EndpointState::Active)
        return DeviceInvalidated;
    // The device's format as it is now: a change whose event is still on its
    // way would otherwise open the pin in a format the device has left.
    FormatChanged(*e);
    if (!e->info.formatKnown)
        return UnsupportedFormat;
    auto created = std::make_unique<Stream>(direction, config, std::move(source), std::move(sink));
    const HRESULT status = created->Open(e->wave, e->info.streamingPin, e->info.format);
    if (status != S_OK)
        return status;
    stream = nextStream++;
    streams[stream] = {std::move(created), endpointId};
    ++e->info.openStreams;
    return S_OK;
}

HRESULT Engine::Start(StreamId stream)
{
    Lock hold(*this);
    auto it = streams.find(stream);
    return it == streams.end() ? NotFound : it->second.stream->Start();
}

HRESULT Engine::Stop(StreamId stream)
{
    Lock hold(*this);
    auto it = streams.find(stream);
    return it == streams.end() ? NotFound : it->second.stream->Stop();
}

HRESULT Engine::Close(StreamId stream)
{
    Lock hold(*this);
    auto it = streams.find(stream);
    if (it == streams.end())
        return NotFound;
    it->second.stream->Close();
    if (Endpoint *e = Find(it->second.endpointId))
        --e->info.openStreams;
    streams.erase(it);
    return S_OK;
}

HRESULT Engine::GetReport(StreamId stream, StreamReport &report) const
{
    Lock hold(*this);
    auto it = streams.find(stream);
    if (it == streams.end())
        return NotFound;
    report = it->second.stream->Report();
    return S_OK;
}

void Engine::InvalidateStreams(const Endpoint &endpoint, HRESULT reason)
{
    for (auto &[id, entry] : streams) {
        const StreamState state = entry.stream->State();
        if (entry.endpointId == endpoint.info.id && state != StreamState::Invalidated && state != StreamState::Closed)
            entry.stream->Invalidate(reason);
    }
}

void Engine::FormatChanged(Endpoint &e)
{
    wav::Format format;
    bool proposed = false;
    if (e.wave == INVALID_HANDLE_VALUE || ReadFormat(e.wave, e.info.streamingPin, format, proposed) != S_OK)
        return;
    if (e.info.formatKnown && format == e.info.format)
        return;
    e.info.format = format;
    e.info.formatKnown = true;
    e.info.proposedFormat = proposed;
    ++e.info.formatChanges;
    // Each stream closes and opens again with the new format.
    for (auto &[id, entry] : streams) {
        const StreamState state = entry.stream->State();
        if (entry.endpointId == e.info.id && state != StreamState::Invalidated && state != StreamState::Closed &&
            state != StreamState::Failed)
            entry.stream->Reopen(e.wave, e.info.streamingPin, format);
    }
}

void Engine::JackChanged(Endpoint &e)
{
    ++e.info.jackChanges;
    if (e.info.state == EndpointState::NotPresent)
        return;
    const JackState jack = ReadJack(e.jack, e.info.jackPin);
    e.info.jackDescribed = jack.described;
    e.info.presenceDetect = jack.presenceDetect;
    const EndpointState before = e.info.state;
    e.info.state = jack.connected ? EndpointState::Active : EndpointState::Unplugged;
    if (e.info.state == EndpointState::Unplugged)
        InvalidateStreams(e, DeviceInvalidated);
    if (before != EndpointState::Active && e.info.state == EndpointState::Active) {
        // Whatever is plugged in now may bring its own format.
        bool proposed = false;
        wav::Format format;
        if (ReadFormat(e.wave, e.info.streamingPin, format, proposed) == S_OK) {
            e.info.formatKnown = true;
            e.info.format = format;
            e.info.proposedFormat = proposed;
        }
    }
}

void Engine::NoteChange()
{
    ++changes;
    SetEvent(changedEvent);
}

uint64_t Engine::Changes() const
{
    return changes.load();
}

HRESULT Engine::WaitForChanges(uint64_t seen, DWORD timeoutMs) const
{
    LARGE_INTEGER start, now, frequency;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    for (;;) {
        if (changes.load() > seen)
            return S_OK;
        QueryPerformanceCounter(&now);
        const int64_t elapsedMs = (now.QuadPart - start.QuadPart) * 1000 / frequency.QuadPart;
        if (timeoutMs != INFINITE && elapsedMs >= timeoutMs)
            return HRESULT_FROM_WIN32(WAIT_TIMEOUT);
        const DWORD left = timeoutMs == INFINITE ? INFINITE : static_cast<DWORD>(timeoutMs - elapsedMs);
        WaitForSingleObject(changedEvent, left);
    }
}

DWORD WINAPI Engine::MonitorStart(LPVOID self)
{
    static_cast<Engine *>(self)->Monitor();
    return 0;
}

// What the monitor waits for: the engine's own two events, then each watched
// endpoint event with the endpoint it belongs to.
struct Engine::Watch {
    HANDLE event;
    std::wstring endpoint;
    bool format;
};

void Engine::Monitor()
{
    for (;;) {
        std::vector<HANDLE> handles{shutdownEvent, rebuildEvent};
        std::vector<Watch> watches;
        {
            Lock hold(*this);
            for (const auto &e : endpoints) {
                if (e->formatWatched && handles.size() < MAXIMUM_WAIT_OBJECTS) {
                    handles.push_back(e->formatEvent);
                    watches.push_back({e->formatEvent, e->info.id, true});
                }
                if (e->jackWatched && handles.size() < MAXIMUM_WAIT_OBJECTS) {
                    handles.push_back(e->jackEvent);
                    watches.push_back({e->jackEvent, e->info.id, false});
                }
            }
        }
        const DWORD result = WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE, INFINITE);
        if (result == WAIT_OBJECT_0)
            return;
        // A handle closed while the list was made: make it again.
        if (result == WAIT_FAILED || result == WAIT_OBJECT_0 + 1 || result - WAIT_OBJECT_0 >= handles.size())
            continue;
        const Watch &watch = watches[result - WAIT_OBJECT_0 - 2];
        {
            Lock hold(*this);
            Endpoint *e = Find(watch.endpoint);
            // The endpoint may have changed its events since the list was made.
            if (e == nullptr || (watch.format ? e->formatEvent : e->jackEvent) != watch.event)
                continue;
            if (watch.format)
                FormatChanged(*e);
            else
                JackChanged(*e);
        }
        NoteChange();
    }
}

} // namespace engine
