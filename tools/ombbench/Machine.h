// The bench's machine: the real driver loaded as Windows loads it and a host
// process, with ombapi hosts whose loops are threads of that process. The
// header names no audio engine, so either engine's code can include it.
#pragma once

#include <io_boundary.h>
#include "DataFormatDesc.h"
#include "Probe.h"
#include "ombapi.h"

namespace ombbench {

// The driver, loaded for the object's life, and the host's process.
class Machine {
public:
    Machine();
    ~Machine();
    Machine(const Machine &) = delete;
    Machine &operator=(const Machine &) = delete;
    bool Loaded() const { return driver != nullptr; }
    standin::io::boundary::ProcessId HostProcess() const { return hostProcess; }
    Ombrivo::OmbDriver &Driver() { return *driver; }

private:
    standin::io::boundary::ProcessId hostProcess = 0;
    Ombrivo::OmbDriver *driver = nullptr;
};

// An ombapi host in the machine's host process, started with a format, its
// loop running on a thread of that process with the given tick.
class LoopedHost {
public:
    // The loop thread's calls go to `loopObserver` (may be null).
    LoopedHost(Machine &machine, bool capture, Ombrivo::CallbackInterface &application,
               CallObserver *loopObserver = nullptr);
    ~LoopedHost();
    LoopedHost(const LoopedHost &) = delete;
    LoopedHost &operator=(const LoopedHost &) = delete;

    // False, with the reason on stderr, when the host did not start.
    bool Start(const DataFormatDesc &format, unsigned tickMs);
    // The loop ends; the host stops and goes.
    void Stop();
    Ombrivo::OmbHost &Host() { return *host; }

private:
    static void LoopBody(void *self);

    Machine &machine;
    const bool capture;
    Ombrivo::CallbackInterface &application;
    CallObserver *const loopObserver;
    unsigned tickMs = 1;
    Ombrivo::OmbHost *host = nullptr;
    standin::io::boundary::Thread loop = nullptr;
};

} // namespace ombbench
