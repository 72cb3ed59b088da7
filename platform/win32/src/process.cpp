// The test control of client processes and of the clock, over the core.
#include "core.h"

#include <win32_standin.h>

namespace standin::win32 {

ClientProcess::ClientProcess(bool is32Bit) : id_(boundary::CreateClientProcess(is32Bit)) {}

ClientProcess::~ClientProcess()
{
    End();
}

void ClientProcess::End()
{
    if (!boundary::IsProcessEnded(id_))
        boundary::EndClientProcess(id_);
    JoinThreads();
}

void ClientProcess::RunThread(const char *name, void (*body)(void *context), void *context)
{
    if (boundary::Thread t = boundary::StartThread(id_, name, body, context))
        threads_.push_back(t);
}

void ClientProcess::JoinThreads()
{
    for (boundary::Thread t : threads_)
        boundary::JoinThread(t);
    threads_.clear();
}

HANDLE ClientProcess::DuplicateInto(HANDLE handle, const ClientProcess &target) const
{
    boundary::Handle duplicate = nullptr;
    const boundary::Status status = boundary::DuplicateHandle(id_, handle, target.id_, &duplicate, 0, true, false);
    if (status < 0) {
        Fail(status);
        return nullptr;
    }
    return duplicate;
}

int64_t ClientProcess::TimerResolution() const
{
    return boundary::TimerResolution(id_);
}

bool ClientProcess::Ended() const
{
    return boundary::IsProcessEnded(id_);
}

size_t ClientProcess::HandleCount() const
{
    return boundary::ProcessHandleCount(id_);
}

ProcessScope::ProcessScope(const ClientProcess &process)
{
    boundary::EnterProcess(process.Id());
}

ProcessScope::~ProcessScope()
{
    boundary::LeaveProcess();
}

void SetClockMode(ClockMode mode)
{
    boundary::SetClockMode(static_cast<int>(mode));
}

void UseVirtualClock(bool on)
{
    boundary::UseVirtualClock(on);
}

void SetPerformanceFrequency(int64_t hertz)
{
    boundary::SetPerformanceFrequency(hertz);
}

void AdvanceClock(int64_t hundredNs)
{
    boundary::AdvanceClock(hundredNs);
}

void WaitForBlockedWaiters(size_t count)
{
    boundary::WaitForBlockedWaiters(count);
}

} // namespace standin::win32
