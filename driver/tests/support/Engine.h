// The audio engine on the endpoint a pipe serves, in an emulated process of
// its own: it watches the endpoint's format-change and jack events and opens
// and drives the endpoint's one stream. Every call runs in its process.
#pragma once

#include "KsClient.h"
#include "DataFormatDesc.h"

namespace ks_client {

class Engine {
public:
    // PipeRender feeds the capture endpoint, PipeCapture reads the render one.
    explicit Engine(int pipe, bool is32Bit = false);
    ~Engine();
    Engine(const Engine &) = delete;
    Engine &operator=(const Engine &) = delete;

    // Signalled since the last call.
    bool FormatChanged();
    bool JackChanged();

    // The stream appears with the format, and goes.
    Status Open(const DataFormatDesc &format);
    // As the audio engine does: with the format the pin proposes.
    Status OpenProposed();
    Status Close();
    bool IsOpen() const { return pin.Get() != nullptr; }
    // Stream requests that post a request to the pipe's client: a state
    // step (code 3) and a buffer (code 1; its replacement posts 2 first).
    Status Step(KSSTATE state);
    Status AllocateBuffer(ULONG bytes, ULONG notifications = 2);
    EnginePin &Pin() { return pin; }
    standin::io::boundary::ProcessId Process() const { return process; }

private:
    class In;
    standin::io::boundary::ProcessId process;
    Handle wave = nullptr;
    Handle topology = nullptr;
    Handle formatEvent = nullptr;
    Handle jackEvent = nullptr;
    KSEVENTDATA formatData = {};
    KSEVENTDATA jackData = {};
    EnginePin pin;
};

} // namespace ks_client
