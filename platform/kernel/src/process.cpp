// Emulated processes: the system process, client processes with their
// bitness, the current process of each thread, and process end.
#include "internal.h"

#include <mutex>

namespace standin::kernel {

namespace {

struct ProcessRegistry {
    std::mutex lock;
    PEPROCESS system = nullptr;
    std::vector<PEPROCESS> processes; // never freed: ended processes stay queryable
    ULONG nextId = 8;
    struct Callback {
        int id;
        ProcessEndCallback callback;
        void *context;
    };
    std::vector<Callback> endCallbacks;
    int nextCallbackId = 1;
};

ProcessRegistry &Registry() {
    static ProcessRegistry *r = [] {
        auto r = new ProcessRegistry;
        auto system = new _EPROCESS;
        system->id = 4; // as on Windows
        system->system = true;
        system->name = "System";
        r->system = system;
        r->processes.push_back(system);
        return r;
    }();
    return *r;
}

} // namespace

PEPROCESS SystemProcess() { return Registry().system; }

PEPROCESS CreateProcess(bool is32Bit, const char *name) {
    auto &r = Registry();
    auto p = new _EPROCESS;
    p->is32Bit = is32Bit;
    p->name = name ? name : "client";
    std::lock_guard lk(r.lock);
    p->id = r.nextId;
    r.nextId += 4;
    r.processes.push_back(p);
    return p;
}

PEPROCESS CurrentProcess() {
    _KTHREAD *t = detail::CurrentThread();
    return t->attached ? t->attached : t->home;
}

bool Is32BitProcess(PEPROCESS process) { return process->is32Bit; }
ULONG ProcessId(PEPROCESS process) { return process->id; }
bool IsProcessEnded(PEPROCESS process) { return process->ended.load(); }

ProcessScope::ProcessScope(PEPROCESS process) {
    _KTHREAD *t = detail::CurrentThread();
    previous_ = t->attached;
    t->attached = process;
}

ProcessScope::~ProcessScope() { detail::CurrentThread()->attached = previous_; }

int RegisterProcessEndCallback(ProcessEndCallback callback, void *context) {
    auto &r = Registry();
    std::lock_guard lk(r.lock);
    int id = r.nextCallbackId++;
    r.endCallbacks.push_back({id, callback, context});
    return id;
}

void UnregisterProcessEndCallback(int id) {
    auto &r = Registry();
    std::lock_guard lk(r.lock);
    std::erase_if(r.endCallbacks, [id](const auto &c) { return c.id == id; });
}

void EndProcess(PEPROCESS process) {
    if (process->system || process->ended.exchange(true))
        return;
    std::vector<ProcessRegistry::Callback> callbacks;
    {
        auto &r = Registry();
        std::lock_guard lk(r.lock);
        callbacks = r.endCallbacks;
    }
    {
        ProcessScope scope(process);
        for (auto &c : callbacks)
            c.callback(process, c.context);
    }
    // Handle rundown comes before the address space goes, so that the close
    // requests it causes can still unmap their views in this process.
    detail::CloseAllHandles(process);
    detail::RemoveProcessMappings(process);
}

namespace detail {

std::vector<PEPROCESS> AllProcesses() {
    auto &r = Registry();
    std::lock_guard lk(r.lock);
    return r.processes;
}

} // namespace detail
} // namespace standin::kernel

extern "C" PEPROCESS PsGetCurrentProcess(void) { return standin::kernel::CurrentProcess(); }

extern "C" HANDLE PsGetCurrentProcessId(void) { return (HANDLE)(uintptr_t)standin::kernel::CurrentProcess()->id; }
