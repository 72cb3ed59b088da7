// Threads: system threads as real threads in the system process, the kernel
// thread object of every thread that calls in, priorities and termination.
#include "wait_core.h"

#include <csetjmp>
#include <cstdlib>
#include <new>
#include <sched.h>

namespace standin::kernel {

namespace {

std::atomic<ULONG> g_nextThreadId{8};
std::atomic<size_t> g_runningSystemThreads{0};

void DeleteThread(void *body) { static_cast<_KTHREAD *>(body)->~_KTHREAD(); }

_OBJECT_TYPE g_threadType{{"Thread", THREAD_ALL_ACCESS, nullptr, DeleteThread}};
POBJECT_TYPE g_threadTypePointer = &g_threadType;

_KTHREAD *NewThreadObject(bool system) {
    void *body;
    if (!NT_SUCCESS(CreateObject(&g_threadType, sizeof(_KTHREAD), &body)))
        return nullptr;
    auto t = new (body) _KTHREAD;
    detail::InitializeThreadHeader(t);
    t->id = g_nextThreadId.fetch_add(4);
    t->system = system;
    t->home = SystemProcess();
    return t;
}

thread_local _KTHREAD *t_current = nullptr;

// Threads the stand-in did not start get a thread object on first use; it
// ends with them.
struct ForeignThread {
    _KTHREAD *thread = nullptr;
    ~ForeignThread() {
        if (thread) {
            // A kernel mutex would stay owned by a thread that no longer exists.
            if (thread->ownedMutexes.load() != 0)
                BugCheck(kDriverVerifierDetectedViolation, "thread exit", kViolationThreadExitHoldingMutex,
                         (ULONG_PTR)thread);
            t_current = nullptr;
            detail::SignalThreadEnded(thread);
            DereferenceObject(thread);
        }
    }
};

thread_local ForeignThread t_foreign;
thread_local std::jmp_buf *t_exit = nullptr;

struct StartBlock {
    _KTHREAD *thread;
    PKSTART_ROUTINE routine;
    PVOID context;
};

void FinishSystemThread(_KTHREAD *self, const char *call) {
    if (self->irql != PASSIVE_LEVEL)
        BugCheck(kIrqlGtZeroAtSystemService, call, self->irql);
    if (self->ownedMutexes.load() != 0)
        BugCheck(kDriverVerifierDetectedViolation, call, kViolationThreadExitHoldingMutex, (ULONG_PTR)self);
}

void *SystemThreadMain(void *arg) {
    auto start = static_cast<StartBlock *>(arg);
    _KTHREAD *self = start->thread;
    PKSTART_ROUTINE routine = start->routine;
    PVOID context = start->context;
    delete start;
    t_current = self;
    std::jmp_buf exit;
    t_exit = &exit;
    if (setjmp(exit) == 0) {
        routine(context);
        FinishSystemThread(self, "system thread return");
    }
    t_exit = nullptr;
    t_current = nullptr;
    detail::SignalThreadEnded(self);
    g_runningSystemThreads.fetch_sub(1);
    DereferenceObject(self); // the running thread's own reference
    return nullptr;
}

} // namespace

KPRIORITY RecordedPriority(PKTHREAD thread) { return thread->priority.load(); }

bool HasThreadEnded(PKTHREAD thread) {
    std::lock_guard lk(detail::DispatcherLock());
    return thread->Header.SignalState > 0;
}

size_t RunningSystemThreads() { return g_runningSystemThreads.load(); }

namespace detail {

void InitializeThreadHeader(_KTHREAD *thread) {
    thread->Header.Type = ThreadObject;
    thread->Header.Size = 0xFF;
    thread->Header.SignalState = 0;
}

_KTHREAD *CurrentThread() {
    if (t_current)
        return t_current;
    _KTHREAD *t = NewThreadObject(false);
    if (!t)
        std::abort();
    t_foreign.thread = t;
    t_current = t;
    return t;
}

void SignalThreadEnded(_KTHREAD *thread) {
    std::lock_guard lk(DispatcherLock());
    thread->Header.SignalState = 1;
    WakeWaiters();
}

} // namespace detail
} // namespace standin::kernel

using namespace standin::kernel;

POBJECT_TYPE *PsThreadType = &g_threadTypePointer;

extern "C" NTSTATUS PsCreateSystemThread(PHANDLE handle, ULONG access, POBJECT_ATTRIBUTES attributes,
                                         HANDLE processHandle, PCLIENT_ID clientId, PKSTART_ROUTINE routine,
                                         PVOID context) {
    detail::RequireIrqlAtMost(PASSIVE_LEVEL, "PsCreateSystemThread");
    if (processHandle) // only threads of the system process are emulated
        return STATUS_INVALID_HANDLE;
    if (!handle || !routine)
        return STATUS_INVALID_PARAMETER;
    if (detail::ShouldFail(Fault::ThreadCreation))
        return STATUS_INSUFFICIENT_RESOURCES;
    _KTHREAD *t = NewThreadObject(true);
    if (!t)
        return STATUS_INSUFFICIENT_RESOURCES;
    bool kernelHandle = attributes && (attributes->Attributes & OBJ_KERNEL_HANDLE);
    HANDLE h;
    NTSTATUS status = detail::InsertHandleInternal(CurrentProcess(), t, access, kernelHandle, true, &h);
    if (!NT_SUCCESS(status)) {
        DereferenceObject(t);
        return status;
    }
    // The creation reference becomes the running thread's own.
    auto start = new StartBlock{t, routine, context};
    g_runningSystemThreads.fetch_add(1);
    pthread_t native;
    if (pthread_create(&native, nullptr, SystemThreadMain, start) != 0) {
        g_runningSystemThreads.fetch_sub(1);
        delete start;
        CloseHandle(CurrentProcess(), h);
        DereferenceObject(t);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    pthread_detach(native);
    *handle = h;
    if (clientId) {
        clientId->UniqueProcess = (HANDLE)(uintptr_t)SystemProcess()->id;
        clientId->UniqueThread = (HANDLE)(uintptr_t)t->id;
    }
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS PsTerminateSystemThread(NTSTATUS) {
    _KTHREAD *self = detail::CurrentThread();
    if (!self->system || !t_exit)
        BugCheck(kDriverVerifierDetectedViolation, "PsTerminateSystemThread", 0, (ULONG_PTR)self);
    FinishSystemThread(self, "PsTerminateSystemThread");
    std::longjmp(*t_exit, 1);
}

extern "C" KPRIORITY KeSetPriorityThread(PKTHREAD thread, KPRIORITY priority) {
    detail::RequireIrqlAtMost(DISPATCH_LEVEL, "KeSetPriorityThread");
    if (priority < LOW_PRIORITY || priority > HIGH_PRIORITY)
        BugCheck(kDriverVerifierDetectedViolation, "KeSetPriorityThread", 0, (ULONG_PTR)thread, priority);
    KPRIORITY old = thread->priority.exchange(priority);
    // A thread raising its own priority into the real-time range gets round-
    // robin scheduling where the process is allowed it (failure is ignored).
    // Other threads' priorities are only recorded: a detached thread's native
    // handle may already be gone.
    if (priority >= LOW_REALTIME_PRIORITY && thread == detail::CurrentThread()) {
        sched_param param{};
        param.sched_priority = 1 + (priority - LOW_REALTIME_PRIORITY);
        (void)pthread_setschedparam(pthread_self(), SCHED_RR, &param);
    }
    return old;
}

extern "C" KPRIORITY KeQueryPriorityThread(PKTHREAD thread) { return thread->priority.load(); }

extern "C" PKTHREAD KeGetCurrentThread(void) { return detail::CurrentThread(); }

extern "C" HANDLE PsGetCurrentThreadId(void) { return (HANDLE)(uintptr_t)detail::CurrentThread()->id; }

extern "C" BOOLEAN PsIsSystemThread(PETHREAD thread) { return thread->system; }
