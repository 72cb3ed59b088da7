// A hosted stream: an ombapi host on the bench's machine and an audio
// engine's stream (the driver tests' kernel-streaming client) on the
// endpoint the host serves, running with a buffer of the plan's size.
#pragma once

#include <functional>
#include <memory>
#include "Engine.h"
#include "Machine.h"

namespace ombbench {

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

    Ombrivo::OmbHost &Host() { return host.Host(); }
    ks_client::Engine &Engine() { return *engine; }
    uint32_t FrameBytes() const { return plan.format.NC * plan.format.BPC; }

private:
    const StreamPlan plan;
    LoopedHost host;
    std::unique_ptr<ks_client::Engine> engine;
    standin::io::boundary::Handle notification = nullptr;
    int64_t runBefore = 0, runAfter = 0;
};

} // namespace ombbench
