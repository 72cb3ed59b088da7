// The bench's machine: the real driver loaded as Windows loads it, a host
// process running an ombapi host whose loop is a thread of that process, and
// an audio engine's stream (the driver tests' kernel-streaming client) on
// the endpoint the host serves, running with a buffer of the plan's size.
#pragma once

#include <io_boundary.h>
#include <functional>
#include <memory>
#include "DataFormatDesc.h"
#include "Engine.h"
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

struct StreamPlan {
    DataFormatDesc format = {48000, 16, 2, 2, 0x3};
    unsigned tickMs = 1;
    uint32_t bufferFrames = 480;
    uint32_t notifications = 2;
    // The host's side: false renders (the engine records what the host
    // gives), true captures (the host takes what the engine plays).
    bool hostCaptures = false;
};

class HostedStream {
public:
    // The loop thread's calls go to `loopObserver` (may be null).
    HostedStream(Machine &machine, const StreamPlan &plan, Ombrivo::CallbackInterface &application,
                 CallObserver *loopObserver);
    ~HostedStream();
    HostedStream(const HostedStream &) = delete;
    HostedStream &operator=(const HostedStream &) = delete;

    // The host starts, its loop runs, the engine's stream opens, takes its
    // buffer (with an event of the engine's process registered for its
    // notifications if asked) and runs. False, with what failed on stderr, if
    // anything did.
    // `beforeRun` is called just before the RUN request, so that whatever it
    // sets is seen by the loop's first tick.
    bool Start(bool notifyEngine = false, const std::function<void()> &beforeRun = {});
    // The engine's notification event (a handle of its process), once started.
    standin::io::boundary::Handle Notification() const { return notification; }
    // The performance counter when the stream reached RUN: read just before
    // and just after the request, which the host's loop answered between.
    int64_t RunCounterBefore() const { return runBefore; }
    int64_t RunCounterAfter() const { return runAfter; }
    // The host stops (its loop ends) and the engine's stream closes.
    void Stop();

    Ombrivo::OmbHost &Host() { return *host; }
    ks_client::Engine &Engine() { return *engine; }
    uint32_t FrameBytes() const { return plan.format.NC * plan.format.BPC; }

private:
    static void LoopBody(void *self);

    Machine &machine;
    const StreamPlan plan;
    Ombrivo::CallbackInterface &application;
    CallObserver *const loopObserver;
    Ombrivo::OmbHost *host = nullptr;
    standin::io::boundary::Thread loop = nullptr;
    std::unique_ptr<ks_client::Engine> engine;
    standin::io::boundary::Handle notification = nullptr;
    int64_t runBefore = 0, runAfter = 0;
};

} // namespace ombbench
