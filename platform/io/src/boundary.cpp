// The Win32 side's handles, events, waits, time and processes, built on the
// kernel stand-in's objects, dispatcher and clock.
#include "interface_registry.h"
#include "io_internal.h"

#include <io_boundary.h>

#include <memory>
#include <vector>

namespace standin::io {

namespace {

PEPROCESS DefaultProcess()
{
    static PEPROCESS process = standin::kernel::CreateProcess(false, "default");
    return process;
}

thread_local std::vector<std::unique_ptr<standin::kernel::ProcessScope>> enteredProcesses;

// A Win32 handle refers to an object of the process's own table; user mode
// cannot name the kernel's handles.
NTSTATUS ReferenceUserHandle(HANDLE handle, POBJECT_TYPE type, void **body, ACCESS_MASK *granted)
{
    if (standin::kernel::IsKernelHandle(handle))
        return STATUS_INVALID_HANDLE;
    return standin::kernel::ReferenceHandle(standin::kernel::CurrentProcess(), handle, type, body, granted);
}

NTSTATUS ReferenceEvent(HANDLE handle, ACCESS_MASK desired, PKEVENT *event)
{
    void *body;
    ACCESS_MASK granted = 0;
    NTSTATUS status = ReferenceUserHandle(handle, *ExEventObjectType, &body, &granted);
    if (!NT_SUCCESS(status))
        return status;
    if ((granted & desired) != desired) {
        standin::kernel::DereferenceObject(body);
        return STATUS_ACCESS_DENIED;
    }
    *event = static_cast<PKEVENT>(body);
    return STATUS_SUCCESS;
}

} // namespace

ClientContext::ClientContext() : scope_(nullptr)
{
    if (standin::kernel::CurrentProcess() == standin::kernel::SystemProcess())
        scope_ = new standin::kernel::ProcessScope(DefaultProcess());
}

ClientContext::~ClientContext()
{
    delete scope_;
}

} // namespace standin::io

namespace standin::io::boundary {

using standin::io::ClientContext;

std::vector<InterfaceRecord> PresentInterfaces(const GUID *classGuid)
{
    return InterfaceRegistry::Instance().Present(classGuid);
}

GUID DeviceSetupClass()
{
    // The media class, {4d36e96c-e325-11ce-bfc1-08002be10318}.
    return GUID{0x4d36e96c, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
}

Status CloseHandle(Handle handle)
{
    ClientContext context;
    if (standin::kernel::IsKernelHandle(handle))
        return STATUS_INVALID_HANDLE;
    return standin::kernel::CloseHandle(standin::kernel::CurrentProcess(), handle);
}

Status CreateEvent(bool manualReset, bool initialState, Handle *handle)
{
    ClientContext context;
    *handle = nullptr;
    void *body;
    NTSTATUS status = standin::kernel::CreateObject(*ExEventObjectType, sizeof(KEVENT), &body);
    if (!NT_SUCCESS(status))
        return status;
    KeInitializeEvent(static_cast<PKEVENT>(body), manualReset ? NotificationEvent : SynchronizationEvent,
                      initialState ? TRUE : FALSE);
    status = standin::kernel::InsertHandle(standin::kernel::CurrentProcess(), body, EVENT_ALL_ACCESS, false, handle);
    standin::kernel::DereferenceObject(body);
    return status;
}

Status SetEvent(Handle event)
{
    ClientContext context;
    PKEVENT object;
    NTSTATUS status = ReferenceEvent(event, EVENT_MODIFY_STATE, &object);
    if (!NT_SUCCESS(status))
        return status;
    KeSetEvent(object, EVENT_INCREMENT, FALSE);
    standin::kernel::DereferenceObject(object);
    return STATUS_SUCCESS;
}

Status ResetEvent(Handle event)
{
    ClientContext context;
    PKEVENT object;
    NTSTATUS status = ReferenceEvent(event, EVENT_MODIFY_STATE, &object);
    if (!NT_SUCCESS(status))
        return status;
    KeClearEvent(object);
    standin::kernel::DereferenceObject(object);
    return STATUS_SUCCESS;
}

Status WaitForObject(Handle object, const int64_t *timeout100ns)
{
    ClientContext context;
    void *body;
    ACCESS_MASK granted = 0;
    NTSTATUS status = ReferenceUserHandle(object, nullptr, &body, &granted);
    if (!NT_SUCCESS(status))
        return status;
    // Only dispatcher objects can be waited on; a handle needs SYNCHRONIZE.
    const POBJECT_TYPE type = standin::kernel::ObjectTypeOf(body);
    if (type != *ExEventObjectType && type != *PsThreadType && type != *PsProcessType)
        status = STATUS_INVALID_HANDLE;
    else if (!(granted & SYNCHRONIZE))
        status = STATUS_ACCESS_DENIED;
    if (NT_SUCCESS(status)) {
        LARGE_INTEGER timeout;
        if (timeout100ns != nullptr)
            timeout.QuadPart = *timeout100ns;
        status = KeWaitForSingleObject(body, UserRequest, UserMode, FALSE, timeout100ns ? &timeout : nullptr);
    }
    standin::kernel::DereferenceObject(body);
    return status;
}

Status Delay(int64_t relative100ns)
{
    LARGE_INTEGER interval;
    interval.QuadPart = relative100ns;
    return KeDelayExecutionThread(UserMode, FALSE, &interval);
}

int64_t PerformanceCounter()
{
    return KeQueryPerformanceCounter(nullptr).QuadPart;
}

int64_t PerformanceFrequency()
{
    LARGE_INTEGER frequency;
    KeQueryPerformanceCounter(&frequency);
    return frequency.QuadPart;
}

ProcessId CreateClientProcess(bool is32Bit)
{
    return reinterpret_cast<ProcessId>(standin::kernel::CreateProcess(is32Bit, "client"));
}

void EndClientProcess(ProcessId process)
{
    standin::kernel::EndProcess(reinterpret_cast<PEPROCESS>(process));
}

bool IsProcessEnded(ProcessId process)
{
    return standin::kernel::IsProcessEnded(reinterpret_cast<PEPROCESS>(process));
}

bool IsProcess32Bit(ProcessId process)
{
    return standin::kernel::Is32BitProcess(reinterpret_cast<PEPROCESS>(process));
}

size_t ProcessHandleCount(ProcessId process)
{
    return standin::kernel::HandleCount(reinterpret_cast<PEPROCESS>(process));
}

void EnterProcess(ProcessId process)
{
    enteredProcesses.push_back(
        std::make_unique<standin::kernel::ProcessScope>(reinterpret_cast<PEPROCESS>(process)));
}

void LeaveProcess()
{
    if (!enteredProcesses.empty())
        enteredProcesses.pop_back();
}

ProcessId CurrentProcess()
{
    PEPROCESS process = standin::kernel::CurrentProcess();
    if (process == standin::kernel::SystemProcess())
        process = DefaultProcess();
    return reinterpret_cast<ProcessId>(process);
}

void UseVirtualClock(bool on)
{
    standin::kernel::UseVirtualClock(on);
}

void AdvanceClock(int64_t hundredNs)
{
    standin::kernel::AdvanceClock(hundredNs);
}

void WaitForBlockedWaiters(size_t count)
{
    standin::kernel::WaitForBlockedWaiters(count, true);
}

} // namespace standin::io::boundary
