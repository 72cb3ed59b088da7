// The Win32 side's handles, events, waits, time and processes, built on the
// kernel stand-in's objects, dispatcher and clock.
#include "interface_registry.h"
#include "io_internal.h"

#include <io_boundary.h>
#include <ntifs.h>

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
    // A thread of a terminating process that calls the platform ends here.
    standin::kernel::EndThreadIfTerminating();
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

namespace {

// A handle of the current process to something a thread can wait on (an
// event, a thread or a process), with a reference; a handle needs SYNCHRONIZE.
NTSTATUS ReferenceWaitable(Handle object, void **body)
{
    ACCESS_MASK granted = 0;
    NTSTATUS status = ReferenceUserHandle(object, nullptr, body, &granted);
    if (!NT_SUCCESS(status))
        return status;
    const POBJECT_TYPE type = standin::kernel::ObjectTypeOf(*body);
    if (type != *ExEventObjectType && type != *PsThreadType && type != *PsProcessType)
        status = STATUS_INVALID_HANDLE;
    else if (!(granted & SYNCHRONIZE))
        status = STATUS_ACCESS_DENIED;
    if (!NT_SUCCESS(status))
        standin::kernel::DereferenceObject(*body);
    return status;
}

} // namespace

Status WaitForObject(Handle object, const int64_t *timeout100ns)
{
    return WaitForObjects(1, &object, false, timeout100ns);
}

Status WaitForObjects(uint32_t count, const Handle *objects, bool waitAll, const int64_t *timeout100ns)
{
    ClientContext context;
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS)
        return STATUS_INVALID_PARAMETER;
    void *bodies[MAXIMUM_WAIT_OBJECTS];
    NTSTATUS status = STATUS_SUCCESS;
    uint32_t referenced = 0;
    for (; referenced < count && NT_SUCCESS(status); ++referenced) {
        status = ReferenceWaitable(objects[referenced], &bodies[referenced]);
        if (!NT_SUCCESS(status))
            break;
    }
    if (NT_SUCCESS(status)) {
        LARGE_INTEGER timeout;
        if (timeout100ns != nullptr)
            timeout.QuadPart = *timeout100ns;
        LARGE_INTEGER *deadline = timeout100ns ? &timeout : nullptr;
        if (count == 1) {
            status = KeWaitForSingleObject(bodies[0], UserRequest, UserMode, FALSE, deadline);
        } else {
            // More objects than a thread's own wait blocks need an array.
            KWAIT_BLOCK blocks[MAXIMUM_WAIT_OBJECTS];
            status = KeWaitForMultipleObjects(count, bodies, waitAll ? WaitAll : WaitAny, UserRequest, UserMode,
                                              FALSE, deadline, count > THREAD_WAIT_OBJECTS ? blocks : nullptr);
        }
    }
    for (uint32_t i = 0; i < referenced; ++i)
        standin::kernel::DereferenceObject(bodies[i]);
    // Released because its process is terminating: the thread ends.
    if (status == STATUS_USER_APC)
        standin::kernel::EndThreadIfTerminating();
    return status;
}

Status Delay(const int64_t *relative100ns)
{
    ClientContext context;
    NTSTATUS status;
    if (relative100ns == nullptr) {
        // A sleep without end: a wait with no object and no deadline.
        status = standin::kernel::WaitForever(UserMode, "Sleep(INFINITE)");
    } else {
        LARGE_INTEGER interval;
        interval.QuadPart = *relative100ns;
        status = KeDelayExecutionThread(UserMode, FALSE, &interval);
    }
    if (status == STATUS_USER_APC)
        standin::kernel::EndThreadIfTerminating();
    return status;
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

Status DuplicateHandle(ProcessId source, Handle handle, ProcessId target, Handle *duplicate, uint32_t access,
                       bool sameAccess, bool closeSource)
{
    ClientContext context;
    return standin::kernel::DuplicateHandle(reinterpret_cast<PEPROCESS>(source), handle,
                                            reinterpret_cast<PEPROCESS>(target), duplicate, access, sameAccess,
                                            closeSource);
}

Status CloseHandleOf(ProcessId process, Handle handle)
{
    ClientContext context;
    return standin::kernel::CloseHandle(reinterpret_cast<PEPROCESS>(process), handle);
}

void TimerPeriod(bool begin, uint32_t milliseconds)
{
    ClientContext context;
    PEPROCESS process = standin::kernel::CurrentProcess();
    const LONGLONG period = static_cast<LONGLONG>(milliseconds) * 10000;
    if (begin)
        standin::kernel::RequestTimerResolution(process, period);
    else
        standin::kernel::ReleaseTimerResolution(process, period);
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
    enteredProcesses.push_back(std::make_unique<standin::kernel::ProcessScope>(reinterpret_cast<PEPROCESS>(process)));
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

uint32_t ProcessNumber(ProcessId process)
{
    return standin::kernel::ProcessId(reinterpret_cast<PEPROCESS>(process));
}

Status FindProcess(uint32_t number, ProcessId *process)
{
    ClientContext context;
    PEPROCESS found;
    const NTSTATUS status = PsLookupProcessByProcessId((HANDLE)(uintptr_t)number, &found);
    if (!NT_SUCCESS(status))
        return status;
    // The registry of processes keeps every process object; the lookup's
    // reference is not needed beyond it.
    ObDereferenceObject(found);
    *process = reinterpret_cast<ProcessId>(found);
    return STATUS_SUCCESS;
}

Status ProcessOfHandle(Handle handle, ProcessId *process, uint32_t *granted)
{
    ClientContext context;
    void *body;
    ACCESS_MASK access = 0;
    const NTSTATUS status = ReferenceUserHandle(handle, *PsProcessType, &body, &access);
    if (!NT_SUCCESS(status))
        return status; // not a process: STATUS_OBJECT_TYPE_MISMATCH, ERROR_INVALID_HANDLE in Win32
    standin::kernel::DereferenceObject(body); // the registry keeps it, as above
    *process = reinterpret_cast<ProcessId>(body);
    *granted = access;
    return STATUS_SUCCESS;
}

Status InsertProcessHandle(ProcessId table, ProcessId process, uint32_t access, Handle *handle)
{
    ClientContext context;
    return standin::kernel::InsertHandle(reinterpret_cast<PEPROCESS>(table), reinterpret_cast<PEPROCESS>(process),
                                         access, false, handle);
}

Thread StartThread(ProcessId process, const char *name, void (*body)(void *), void *context)
{
    return standin::kernel::StartThread(reinterpret_cast<PEPROCESS>(process), name, body, context);
}

void JoinThread(Thread thread)
{
    standin::kernel::JoinThread(static_cast<PKTHREAD>(thread));
}

namespace {

struct ThreadStart {
    void (*body)(void *);
    void *argument;
    KEVENT decided; // set once the creator knows whether a handle was made
    bool run;
};

// The new thread waits until its creator has a handle for it (a process that
// is terminating refuses one), then runs the body or ends without it.
void RunThreadStart(void *context)
{
    auto *start = static_cast<ThreadStart *>(context);
    KeWaitForSingleObject(&start->decided, Executive, KernelMode, FALSE, nullptr);
    const bool run = start->run;
    void (*body)(void *) = start->body;
    void *argument = start->argument;
    delete start;
    if (run)
        body(argument);
}

} // namespace

Status CreateThread(const char *name, void (*body)(void *), void *argument, Handle *handle)
{
    ClientContext context;
    *handle = nullptr;
    auto *start = new ThreadStart{body, argument, {}, false};
    KeInitializeEvent(&start->decided, NotificationEvent, FALSE);
    PKTHREAD thread = standin::kernel::StartThread(standin::kernel::CurrentProcess(), name, &RunThreadStart, start);
    if (thread == nullptr) {
        delete start;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    // The handle keeps the thread object; the start's reference goes.
    const NTSTATUS status =
        standin::kernel::InsertHandle(standin::kernel::CurrentProcess(), thread, THREAD_ALL_ACCESS, false, handle);
    start->run = NT_SUCCESS(status);
    KeSetEvent(&start->decided, IO_NO_INCREMENT, FALSE);
    standin::kernel::DereferenceObject(thread);
    return status;
}

int64_t TimerResolution(ProcessId process)
{
    return standin::kernel::TimerResolution(reinterpret_cast<PEPROCESS>(process));
}

void SetClockMode(int mode)
{
    standin::kernel::SetClockMode(static_cast<standin::kernel::ClockMode>(mode));
}

void SetPerformanceFrequency(int64_t hertz)
{
    standin::kernel::SetPerformanceFrequency(hertz);
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
