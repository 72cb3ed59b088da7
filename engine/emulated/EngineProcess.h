// The engine in an emulated Windows process of its own, as a test bench or
// the emulator boots it: the process is created, the engine created inside
// it, and every call made here runs in that process (its handles, threads
// and waits are the process's). Linux build only.
#pragma once

#include "Engine.h"

#include <win32_standin.h>

#include <memory>

namespace engine {

class EngineProcess {
public:
    EngineProcess();
    // Stop: the engine closes in its process, then the process ends.
    ~EngineProcess();
    EngineProcess(const EngineProcess &) = delete;
    EngineProcess &operator=(const EngineProcess &) = delete;

    // Creates the engine in the process (it finds the endpoints).
    HRESULT Start();
    bool Running() const { return engine != nullptr; }
    // Closes the engine and ends the process.
    void Stop();

    HRESULT Refresh();
    std::vector<EndpointInfo> Endpoints();
    HRESULT FindEndpoint(Direction direction, EndpointInfo &endpoint);
    HRESULT OpenRender(const std::wstring &endpointId, const StreamConfig &config, std::shared_ptr<Source> source,
                       StreamId &stream);
    HRESULT OpenCapture(const std::wstring &endpointId, const StreamConfig &config, std::shared_ptr<Sink> sink,
                        StreamId &stream);
    HRESULT StartStream(StreamId stream);
    HRESULT StopStream(StreamId stream);
    HRESULT CloseStream(StreamId stream);
    StreamReport Report(StreamId stream);
    uint64_t Changes();
    HRESULT WaitForChanges(uint64_t seen, DWORD timeoutMs);

    // Lets time pass for the caller, in the engine's process (virtual time
    // under the simulated clock).
    void Sleep(DWORD milliseconds);
    // Runs body(engine) in the process, for what the calls above leave out.
    template <typename Body>
    auto In(Body body)
    {
        standin::win32::ProcessScope scope(process);
        return body(*engine);
    }
    const standin::win32::ClientProcess &Process() const { return process; }

private:
    standin::win32::ClientProcess process;
    std::unique_ptr<Engine> engine;
};

} // namespace engine
