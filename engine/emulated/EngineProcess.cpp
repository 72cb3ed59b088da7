// Calls into the engine, each inside the engine's process.
#include "EngineProcess.h"
#include "Status.h"

namespace engine {

EngineProcess::EngineProcess() = default;

EngineProcess::~EngineProcess()
{
    Stop();
}

HRESULT EngineProcess::Start()
{
    if (engine)
        return S_OK;
    standin::win32::ProcessScope scope(process);
    return Engine::Create(engine);
}

void EngineProcess::Stop()
{
    if (engine) {
        standin::win32::ProcessScope scope(process);
        engine.reset();
    }
    if (!process.Ended())
        process.End();
}

HRESULT EngineProcess::Refresh()
{
    return engine ? In([](Engine &e) { return e.Refresh(); }) : NotInitialized;
}

std::vector<EndpointInfo> EngineProcess::Endpoints()
{
    return engine ? In([](Engine &e) { return e.Endpoints(); }) : std::vector<EndpointInfo>{};
}

HRESULT EngineProcess::FindEndpoint(Direction direction, EndpointInfo &endpoint)
{
    return engine ? In([&](Engine &e) { return e.FindEndpoint(direction, endpoint); }) : NotInitialized;
}

HRESULT EngineProcess::OpenRender(const std::wstring &endpointId, const StreamConfig &config,
                                  std::shared_ptr<Source> source, StreamId &stream)
{
    return engine ? In([&](Engine &e) { return e.OpenRender(endpointId, config, source, stream); }) : NotInitialized;
}

HRESULT EngineProcess::OpenCapture(const std::wstring &endpointId, const StreamConfig &config,
                                   std::shared_ptr<Sink> sink, StreamId &stream)
{
    return engine ? In([&](Engine &e) { return e.OpenCapture(endpointId, config, sink, stream); }) : NotInitialized;
}

HRESULT EngineProcess::StartStream(StreamId stream)
{
    return engine ? In([&](Engine &e) { return e.Start(stream); }) : NotInitialized;
}

HRESULT EngineProcess::StopStream(StreamId stream)
{
    return engine ? In([&](Engine &e) { return e.Stop(stream); }) : NotInitialized;
}

HRESULT EngineProcess::CloseStream(StreamId stream)
{
    return engine ? In([&](Engine &e) { return e.Close(stream); }) : NotInitialized;
}

StreamReport EngineProcess::Report(StreamId stream)
{
    StreamReport report;
    if (engine)
        In([&](Engine &e) { return e.GetReport(stream, report); });
    return report;
}

uint64_t EngineProcess::Changes()
{
    return engine ? engine->Changes() : 0;
}

HRESULT EngineProcess::WaitForChanges(uint64_t seen, DWORD timeoutMs)
{
    return engine ? In([&](Engine &e) { return e.WaitForChanges(seen, timeoutMs); }) : NotInitialized;
}

void EngineProcess::Sleep(DWORD milliseconds)
{
    standin::win32::ProcessScope scope(process);
    ::Sleep(milliseconds);
}

} // namespace engine
