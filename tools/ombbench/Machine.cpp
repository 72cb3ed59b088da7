// The bench's machine and its looped hosts.
#include "Machine.h"

#include <stdio.h>
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

LoopedHost::LoopedHost(Machine &machine, bool capture, Ombrivo::CallbackInterface &application,
                       CallObserver *loopObserver)
    : machine(machine), capture(capture), application(application), loopObserver(loopObserver)
{}

LoopedHost::~LoopedHost()
{
    Stop();
}

void LoopedHost::LoopBody(void *context)
{
    auto *self = static_cast<LoopedHost *>(context);
    ObserveThread(self->loopObserver);
    const HRESULT result = self->host->EventLoop(self->tickMs);
    ObserveThread(nullptr);
    if (FAILED(result))
        fprintf(stderr, "ombbench: the host's loop ended with 0x%08X\n", static_cast<unsigned>(result));
}

bool LoopedHost::Start(const DataFormatDesc &f, unsigned tick)
{
    tickMs = tick;
    boundary::EnterProcess(machine.HostProcess());
    HRESULT status = Ombrivo::OmbHost::Create(host, machine.Driver(), capture, application);
    if (SUCCEEDED(status))
        status = host->Start(Ombrivo::WaveFormat(f.SR, f.BPS, f.NC, f.BPC, f.CC), 0);
    boundary::LeaveProcess();
    if (FAILED(status)) {
        fprintf(stderr, "ombbench: the host did not start (0x%08X)\n", static_cast<unsigned>(status));
        return false;
    }
    loop = boundary::StartThread(machine.HostProcess(), "host loop", LoopBody, this);
    return true;
}

void LoopedHost::Stop()
{
    if (host == nullptr)
        return;
    boundary::EnterProcess(machine.HostProcess());
    host->Stop();
    boundary::LeaveProcess();
    if (loop != nullptr) {
        boundary::JoinThread(loop);
        loop = nullptr;
    }
    boundary::EnterProcess(machine.HostProcess());
    host->Delete();
    boundary::LeaveProcess();
    host = nullptr;
}

} // namespace ombbench
