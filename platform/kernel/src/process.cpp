// Emulated processes: the system process, client processes with their
// bitness, the current process of each thread, attaching to a process,
// termination and process end in the order Windows runs them.
#include "dispatcher.h"

#include <ntifs.h>

#include <algorithm>
#include <new>

namespace standin::kernel {

namespace {

void DeleteProcess(void *body)
{
    static_cast<_EPROCESS *>(body)->~_EPROCESS();
}

_OBJECT_TYPE g_processType{{"Process", STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0xFFFF, nullptr, DeleteProcess}};
POBJECT_TYPE g_processTypePointer = &g_processType;

struct ProcessRegistry {
    std::mutex lock;
    PEPROCESS system = nullptr;
    std::vector<PEPROCESS> processes; // each holds a reference: ended processes stay queryable
    ULONG nextId = 8;
    struct Callback {
        int id;
        ProcessEndCallback callback;
        void *context;
    };
    std::vector<Callback> endCallbacks;
    int nextCallbackId = 1;
    std::vector<PCREATE_PROCESS_NOTIFY_ROUTINE> notifyRoutines;
};

PEPROCESS NewProcess()
{
    void *body;
    if (!NT_SUCCESS(CreateObject(&g_processType, sizeof(_EPROCESS), &body)))
        std::abort();
    auto p = new (body) _EPROCESS;
    p->Header.Type = ProcessObject;
    p->Header.Size = 0xFE;
    p->Header.WaitListHead.Flink = p->Header.WaitListHead.Blink = &p->Header.WaitListHead;
    return p;
}

ProcessRegistry &Registry()
{
    static ProcessRegistry *r = [] {
        auto r = new ProcessRegistry;
        PEPROCESS system = NewProcess();
        system->id = 4; // as on Windows
        system->system = true;
        system->name = "System";
        r->system = system;
        r->processes.push_back(system);
        return r;
    }();
    return *r;
}

[[noreturn]] void BadAttach(ULONG code, const char *call, PRKPROCESS process, PRKAPC_STATE state)
{
    BugCheck(code, call, (ULONG_PTR)process, (ULONG_PTR)state);
}

} // namespace

PEPROCESS SystemProcess()
{
    return Registry().system;
}

PEPROCESS CreateProcess(bool is32Bit, const char *name)
{
    auto &r = Registry();
    PEPROCESS p = NewProcess();
    p->is32Bit = is32Bit;
    p->name = name ? name : "client";
    std::vector<PCREATE_PROCESS_NOTIFY_ROUTINE> routines;
    {
        std::lock_guard lk(r.lock);
        p->id = r.nextId;
        r.nextId += 4;
        r.processes.push_back(p);
        routines = r.notifyRoutines;
    }
    for (PCREATE_PROCESS_NOTIFY_ROUTINE routine : routines)
        routine((HANDLE)(uintptr_t)CurrentProcess()->id, (HANDLE)(uintptr_t)p->id, TRUE);
    return p;
}

PEPROCESS CurrentProcess()
{
    _KTHREAD *t = detail::CurrentThread();
    PEPROCESS attached = t->attached.load();
    return attached ? attached : t->home;
}

bool Is32BitProcess(PEPROCESS process)
{
    return process->is32Bit;
}
ULONG ProcessId(PEPROCESS process)
{
    return process->id;
}
bool IsProcessEnded(PEPROCESS process)
{
    return process->ended.load();
}

ProcessScope::ProcessScope(PEPROCESS process)
{
    _KTHREAD *t = detail::CurrentThread();
    previous_ = t->attached;
    t->attached = process;
}

ProcessScope::~ProcessScope()
{
    detail::CurrentThread()->attached = previous_;
}

int RegisterProcessEndCallback(ProcessEndCallback callback, void *context)
{
    auto &r = Registry();
    std::lock_guard lk(r.lock);
    int id = r.nextCallbackId++;
    r.endCallbacks.push_back({id, callback, context});
    return id;
}

void UnregisterProcessEndCallback(int id)
{
    auto &r = Registry();
    std::lock_guard lk(r.lock);
    std::erase_if(r.endCallbacks, [id](const auto &c) { return c.id == id; });
}

void TerminateProcess(PEPROCESS process)
{
    if (process->system || process->terminating.exchange(true))
        return;
    // Its threads first: released from user-mode waits (a request's wait
    // cancels the request and waits for it), ended at their next call into
    // the platform; the ones the stand-in started are waited for.
    for (_KTHREAD *t : detail::StopProcessThreads(process))
        JoinThread(t);

    std::vector<ProcessRegistry::Callback> callbacks;
    std::vector<PCREATE_PROCESS_NOTIFY_ROUTINE> routines;
    {
        auto &r = Registry();
        std::lock_guard lk(r.lock);
        callbacks = r.endCallbacks;
        routines = r.notifyRoutines;
    }
    {
        ProcessScope scope(process);
        for (auto &c : callbacks)
            c.callback(process, c.context);
        for (PCREATE_PROCESS_NOTIFY_ROUTINE routine : routines)
            routine((HANDLE)(uintptr_t)SystemProcess()->id, (HANDLE)(uintptr_t)process->id, FALSE);
    }
    // Handle rundown comes before the address space goes, so that the close
    // requests it causes can still unmap their views in this process.
    process->ended.store(true);
    detail::CloseAllHandles(process);
    detail::RemoveProcessMappings(process);
    {
        std::lock_guard lk(detail::ObjectLock(process));
        process->Header.SignalState = 1;
        detail::SignalObject(&process->Header);
    }
    detail::FlushWakes();
    // A thread of the process that terminated it ends here too.
    detail::EndThreadIfTerminating("TerminateProcess");
}

void EndProcess(PEPROCESS process)
{
    TerminateProcess(process);
}

namespace detail {

std::vector<PEPROCESS> AllProcesses()
{
    auto &r = Registry();
    std::lock_guard lk(r.lock);
    return r.processes;
}

} // namespace detail
} // namespace standin::kernel

using namespace standin::kernel;

POBJECT_TYPE *PsProcessType = &g_processTypePointer;

extern "C" PEPROCESS PsGetCurrentProcess(void)
{
    return CurrentProcess();
}

extern "C" HANDLE PsGetCurrentProcessId(void)
{
    return (HANDLE)(uintptr_t)CurrentProcess()->id;
}

extern "C" HANDLE PsGetProcessId(PEPROCESS process)
{
    return (HANDLE)(uintptr_t)process->id;
}

extern "C" NTSTATUS PsLookupProcessByProcessId(HANDLE processId, PEPROCESS *process)
{
    detail::RequireIrqlAtMost(APC_LEVEL, "PsLookupProcessByProcessId");
    *process = nullptr;
    auto &r = Registry();
    std::lock_guard lk(r.lock); // the registry's reference keeps each process alive meanwhile
    for (PEPROCESS p : r.processes) {
        if ((uintptr_t)p->id == (uintptr_t)processId) {
            ObReferenceObject(p);
            *process = p;
            return STATUS_SUCCESS;
        }
    }
    return STATUS_INVALID_CID;
}

// The state records which process the thread was in; detaches must come in
// the reverse order of the attaches, each with its own state.
extern "C" VOID KeStackAttachProcess(PRKPROCESS process, PRKAPC_STATE state)
{
    detail::RequireIrqlAtMost(DISPATCH_LEVEL, "KeStackAttachProcess");
    _KTHREAD *t = detail::CurrentThread();
    if (process == nullptr || state == nullptr)
        BadAttach(kInvalidProcessAttachAttempt, "KeStackAttachProcess", process, state);
    state->Process = t->attached.load();
    t->attachStack.push_back(state);
    t->attached = process == t->home ? nullptr : process;
}

extern "C" VOID KeUnstackDetachProcess(PRKAPC_STATE state)
{
    detail::RequireIrqlAtMost(DISPATCH_LEVEL, "KeUnstackDetachProcess");
    _KTHREAD *t = detail::CurrentThread();
    if (t->attachStack.empty() || t->attachStack.back() != state)
        BadAttach(kInvalidProcessDetachAttempt, "KeUnstackDetachProcess", nullptr, state);
    t->attachStack.pop_back();
    t->attached = static_cast<PEPROCESS>(state->Process);
}

// Up to 64 routines, each once, as Windows allows; removing one that is not
// registered fails.
extern "C" NTSTATUS PsSetCreateProcessNotifyRoutine(PCREATE_PROCESS_NOTIFY_ROUTINE routine, BOOLEAN remove)
{
    detail::RequireIrqlAtMost(PASSIVE_LEVEL, "PsSetCreateProcessNotifyRoutine");
    auto &r = Registry();
    std::lock_guard lk(r.lock);
    auto it = std::find(r.notifyRoutines.begin(), r.notifyRoutines.end(), routine);
    if (remove) {
        if (it == r.notifyRoutines.end())
            return STATUS_PROCEDURE_NOT_FOUND;
        r.notifyRoutines.erase(it);
        return STATUS_SUCCESS;
    }
    if (routine == nullptr || it != r.notifyRoutines.end() || r.notifyRoutines.size() >= 64)
        return STATUS_INVALID_PARAMETER;
    r.notifyRoutines.push_back(routine);
    return STATUS_SUCCESS;
}
