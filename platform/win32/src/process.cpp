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

void UseVirtualClock(bool on)
{
    boundary::UseVirtualClock(on);
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
