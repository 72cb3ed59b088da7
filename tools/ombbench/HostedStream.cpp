// The bench's machine and its hosted stream.
#include "HostedStream.h"

#include <stdio.h>
#include "ControlProtocol.h"
#include "DriverUnderTest.h"

namespace ombbench {

namespace boundary = standin::io::boundary;

Machine::Machine()
{
    if (!driver_under_test::Load()) {
        fprintf(stderr, "ombbench: the driver did not load\n");
        return;
    }
    hostProcess = boundary::CreateClientProcess(false);
    boundary::EnterProcess(hostProcess);
    Ombrivo::OmbDriver *created = nullptr;
    HRESULT status = Ombrivo::OmbDriver::Create(created, Ombrivo::ControlInterfaceClass);
    if (SUCCEEDED(status))
        status = created->Open();
    boundary::LeaveProcess();
    if (FAILED(status)) {
        fprintf(stderr, "ombbench: the control interface did not open (0x%08X)\n", static_cast<unsigned>(status));
        if (created != nullptr)
            created->Delete();
        return;
    }
    driver = created;
}

Machine::~Machine()
{
    if (driver != nullptr) {
        boundary::EnterProcess(hostProcess);
        driver->Delete();
        boundary::LeaveProcess();
    }
    if (hostProcess != 0)
        boundary::EndClientProcess(hostProcess);
    if (driver_under_test::IsLoaded())
        driver_under_test::Unload();
}

HostedStream::HostedStream(Machine &machine, const StreamPlan &plan, Ombrivo::CallbackInterface &application,
                           CallObserver *loopObserver)
    : machine(machine), plan(plan), application(application), loopObserver(loopObserver)
{}

HostedStream::~HostedStream()
{
    Stop();
}

void HostedStream::LoopBody(void *context)
{
    auto *self = static_cast<HostedStream *>(context);
    ObserveThread(self->loopObserver);
    const HRESULT result = self->host->EventLoop(self->plan.tickMs);
    ObserveThread(nullptr);
    if (FAILED(result))
        fprintf(stderr, "ombbench: the host's loop ended with 0x%08X\n", static_cast<unsigned>(result));
}

bool HostedStream::Start(bool notifyEngine, const std::function<void()> &beforeRun)
{
    const DataFormatDesc &f = plan.format;
    boundary::EnterProcess(machine.HostProcess());
    HRESULT status = Ombrivo::OmbHost::Create(host, machine.Driver(), plan.hostCaptures, application);
    if (SUCCEEDED(status))
        status = host->Start(Ombrivo::WaveFormat(f.SR, f.BPS, f.NC, f.BPC, f.CC), 0);
    boundary::LeaveProcess();
    if (FAILED(status)) {
        fprintf(stderr, "ombbench: the host did not start (0x%08X)\n", static_cast<unsigned>(status));
        return false;
    }
    loop = boundary::StartThread(machine.HostProcess(), "host loop", LoopBody, this);

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
    if (host != nullptr) {
        boundary::EnterProcess(machine.HostProcess());
        host->Stop();
        boundary::LeaveProcess();
    }
    if (loop != nullptr) {
        boundary::JoinThread(loop);
        loop = nullptr;
    }
    engine.reset(); // its process ends, and its handles with it
    notification = nullptr;
    if (host != nullptr) {
        boundary::EnterProcess(machine.HostProcess());
        host->Delete();
        boundary::LeaveProcess();
        host = nullptr;
    }
}

} // namespace ombbench
