// The emulated machine behind ombemu.h, for C++ callers (the ombemu command
// and tests): boot and shutdown, the machine's clock, and the audio engine
// in its own process with one stream per endpoint, taking any source or sink
// of the engine.
#pragma once

#include "ombemu.h"

#include <Media.h>
#include <StreamReport.h>

#include <windows.h>

#include <memory>

namespace ombemu {

int32_t Boot(const OmbEmuOptions &options);
// 0, 1 for a leak, or the status that kept the driver loaded.
int32_t Shutdown();
bool Booted();

struct StreamOptions {
    engine::Mode mode = engine::Mode::Event;
    uint32_t periodMs = 0;          // 0: the engine's default, 10 ms
    uint32_t waitForHostMs = 2000; // machine time to wait for a host to make the endpoint active
};

// Starts a stream on the endpoint (Render plays, Capture records) in the
// endpoint's format, once a host has made it active.
HRESULT Play(std::shared_ptr<engine::Source> source, const StreamOptions &options);
HRESULT Record(std::shared_ptr<engine::Sink> sink, const StreamOptions &options);
// Stops and closes the stream; its last report is kept.
HRESULT StopStream(engine::Direction endpoint);
// The running stream's report, or the last one's. NotFound when none.
HRESULT Report(engine::Direction endpoint, engine::StreamReport &report);
// The machine time (100 ns) the endpoint's stream last started at.
int64_t StartedAt(engine::Direction endpoint);

int64_t Now();
void Sleep(uint32_t milliseconds);
bool VirtualClock();

// The driver's owner in the kernel's accounts (what its code holds), 0 when
// not booted.
uint32_t DriverOwner();

} // namespace ombemu
