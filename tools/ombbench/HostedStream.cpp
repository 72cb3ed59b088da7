// The hosted stream.
#include "HostedStream.h"

#include <stdio.h>
#include "ControlProtocol.h"

namespace ombbench {

namespace boundary = standin::io::boundary;

HostedStream::HostedStream(Machine &machine, const StreamPlan &plan, Ombrivo::CallbackInterface &application,
                           CallObserver *loopObserver)
    : plan(plan), host(machine, plan.hostCaptures, application, loopObserver)
{}

HostedStream::~HostedStream()
{
    Stop();
}

bool HostedStream::Start(bool notifyEngine, const std::function<void()> &beforeRun)
{
    const DataFormatDesc &f = plan.format;
    if (!host.Start(f, plan.tickMs))
        return false;

    // The engine's side: a capture host reads the render endpoint.
    engine = std::make_unique<ks_client::Engine>(plan.hostCaptures ? PipeCapture : PipeRender);
    int32_t result = engine->Open(f);
    const char *step = "open";
    if (result == 0) {
        step = "buffer";
        result = engine->AllocateBuffer(plan.bufferFrames * FrameBytes(), plan.notifications);
    }
    if (result == 0 && notifyEngine) {
        step = "event";
        boundary::EnterProcess(engine->Process());
        result = boundary::CreateEvent(false, false, &notification);
        if (result == 0)
            result = engine->Pin().RegisterEvent(notification);
        boundary::LeaveProcess();
    }
    for (KSSTATE state : {KSSTATE_ACQUIRE, KSSTATE_PAUSE}) {
        if (result == 0) {
            step = "state";
            result = engine->Step(state);
        }
    }
    if (result == 0) {
        if (beforeRun)
            beforeRun();
        runBefore = boundary::PerformanceCounter();
        result = engine->Step(KSSTATE_RUN);
        runAfter = boundary::PerformanceCounter();
    }
    if (result != 0) {
        fprintf(stderr, "ombbench: the engine's stream failed at %s (0x%08X)\n", step, static_cast<unsigned>(result));
        return false;
    }
    return true;
}

void HostedStream::Stop()
{
    // The host first: its loop must not wait on an engine that has gone.
    host.Stop();
    engine.reset(); // its process ends, and its handles with it
    notification = nullptr;
}

} // namespace ombbench
