// Threads: the kernel thread object of every thread that calls in, system
// threads in the system process, user threads the stand-in starts in a
// client process, their registry for the machine's accounting, priorities,
// owners and termination.
#include "dispatcher.h"

#include <csetjmp>
#include <cstdlib>
#include <new>
#include <pthread.h>
#include <sched.h>
#include <set>

namespace standin::kernel {

namespace {

std::atomic<ULONG> g_nextThreadId{8};
std::atomic<size_t> g_runningSystemThreads{0};

void DeleteThread(void *body)
{
    static_cast<_KTHREAD *>(body)->~_KTHREAD();
}

_OBJECT_TYPE g_threadType{{"Thread", THREAD_ALL_ACCESS, nullptr, DeleteThread}};
POBJECT_TYPE g_threadTypePointer = &g_threadType;

struct Registry {
    std::mutex lock;
    std::set<_KTHREAD *> live;
};

Registry &Threads()
{
    static Registry *r = new Registry;
    return *r;
}

_KTHREAD *NewThreadObject(PEPROCESS home, bool system, const char *name)
{
    void *body;
    if (!NT_SUCCESS(CreateObject(&g_threadType, sizeof(_KTHREAD), &body)))
        return nullptr;
    auto t = new (body) _KTHREAD;
    detail::InitializeThreadHeader(t);
    t->id = g_nextThreadId.fetch_add(4);
    t->system = system;
    t->home = home;
    t->name = name;
    return t;
}

// Counts the thread among the machine's live threads (it runs from now on).
void Register(_KTHREAD *t)
{
    {
        std::lock_guard lk(Threads().lock);
        Threads().live.insert(t);
    }
    t->counted = true;
    detail::ThreadStartsRunning(t);
}

// The thread has ended: waiters on it are released before it stops counting,
// so the machine never looks idle in between.
void Retire(_KTHREAD *t)
{
    {
        std::lock_guard lk(Threads().lock);
        Threads().live.erase(t);
    }
    detail::SignalThreadEnded(t);
    if (t->counted)
        detail::ThreadStopsRunning(t);
}

thread_local _KTHREAD *t_current = nullptr;

// Threads the stand-in did not start get a thread object on first use; it
// ends with them.
struct ForeignThread {
    _KTHREAD *thread = nullptr;
    ~ForeignThread()
    {
        if (thread) {
            // A kernel mutex would stay owned by a thread that no longer exists.
            if (thread->ownedMutexes.load() != 0)
                BugCheck(kDriverVerifierDetectedViolation, "thread exit", kViolationThreadExitHoldingMutex,
                         (ULONG_PTR)thread);
            t_current = nullptr;
            Retire(thread);
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
    void (*body)(void *);
};

void FinishSystemThread(_KTHREAD *self, const char *call)
{
    if (self->waitMustFollow)
        BugCheck(kDriverVerifierDetectedViolation, call, kViolationWaitDidNotFollowSetEvent, (ULONG_PTR)self);
    if (self->irql != PASSIVE_LEVEL)
        BugCheck(kIrqlGtZeroAtSystemService, call, self->irql);
    if (self->ownedMutexes.load() != 0)
        BugCheck(kDriverVerifierDetectedViolation, call, kViolationThreadExitHoldingMutex, (ULONG_PTR)self);
}

void *SystemThreadMain(void *arg)
{
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
    // The thread is still in the driver's code until here.
    detail::DeferredExitGate();
    t_current = nullptr;
    g_runningSystemThreads.fetch_sub(1);
    Retire(self);
    DereferenceObject(self); // the running thread's own reference
    return nullptr;
}

// A user thread's end, also when termination unwinds it (pthread_exit runs
// the destructors of the frames it leaves, this one's included).
struct UserThreadEnd {
    _KTHREAD *self;
    ~UserThreadEnd()
    {
        t_current = nullptr;
        Retire(self);
        DereferenceObject(self);
    }
};

void *UserThreadMain(void *arg)
{
    auto start = static_cast<StartBlock *>(arg);
    _KTHREAD *self = start->thread;
    void (*body)(void *) = start->body;
    void *context = start->context;
    delete start;
    t_current = self;
    UserThreadEnd end{self};
    body(context);
    return nullptr;
}

} // namespace

KPRIORITY RecordedPriority(PKTHREAD thread)
{
    return thread->priority.load();
}

bool HasThreadEnded(PKTHREAD thread)
{
    std::lock_guard lk(detail::ObjectLock(thread));
    return thread->Header.SignalState > 0;
}

size_t RunningSystemThreads()
{
    return g_runningSystemThreads.load();
}

PKTHREAD StartThread(PEPROCESS process, const char *name, void (*body)(void *context), void *context)
{
    _KTHREAD *t = NewThreadObject(process, process->system, name ? name : "thread");
    if (!t)
        return nullptr;
    t->started = true;
    ReferenceObject(t); // the caller's
    Register(t);
    auto start = new StartBlock{t, nullptr, context, body};
    pthread_t native;
    if (pthread_create(&native, nullptr, UserThreadMain, start) != 0) {
        delete start;
        Retire(t);
        DereferenceObject(t);
        DereferenceObject(t);
        return nullptr;
    }
    pthread_detach(native);
    return t;
}

void JoinThread(PKTHREAD thread)
{
    DISPATCHER_HEADER *h = &thread->Header;
    detail::Wait(&h, 1, false, nullptr, KernelMode, "JoinThread");
    DereferenceObject(thread);
}

void SetThreadName(const char *name)
{
    detail::CurrentThread()->name = name;
}

void EndThreadIfTerminating()
{
    detail::EndThreadIfTerminating("platform call");
}

Owner CurrentOwner()
{
    return detail::CurrentThread()->owner;
}

OwnerScope::OwnerScope(Owner owner)
{
    _KTHREAD *t = detail::CurrentThread();
    previous_ = t->owner;
    t->owner = owner;
}

OwnerScope::~OwnerScope()
{
    detail::CurrentThread()->owner = previous_;
}

namespace detail {

void InitializeThreadHeader(_KTHREAD *thread)
{
    thread->Header.Type = ThreadObject;
    thread->Header.Size = 0xFF;
    thread->Header.SignalState = 0;
    thread->Header.WaitListHead.Flink = thread->Header.WaitListHead.Blink = &thread->Header.WaitListHead;
}

_KTHREAD *CurrentThread()
{
    if (t_current)
        return t_current;
    _KTHREAD *t = NewThreadObject(SystemProcess(), false, "thread");
    if (!t)
        std::abort();
    t_foreign.thread = t;
    t_current = t;
    Register(t);
    return t;
}

Owner CurrentOwner()
{
    return CurrentThread()->owner;
}

void SignalThreadEnded(_KTHREAD *thread)
{
    {
        std::lock_guard lk(ObjectLock(thread));
        thread->Header.SignalState = 1;
        SignalObject(&thread->Header);
    }
    FlushWakes();
}

// A thread leaves the live set under its lock before its object's last
// reference can go, so one referenced here stays valid.
LiveThreadList::LiveThreadList()
{
    std::lock_guard lk(Threads().lock);
    threads.assign(Threads().live.begin(), Threads().live.end());
    for (_KTHREAD *t : threads)
        ReferenceObject(t);
}

LiveThreadList::~LiveThreadList()
{
    for (_KTHREAD *t : threads)
        DereferenceObject(t);
}

size_t RunningThreadsOf(Owner owner)
{
    std::lock_guard lk(Threads().lock);
    size_t n = 0;
    for (_KTHREAD *t : Threads().live)
        n += t->system && t->creator == owner && owner != kPlatform;
    return n;
}

void EndThreadIfTerminating(const char *)
{
    _KTHREAD *t = t_current;
    if (t && t->started && !t->system && t->terminating.load())
        pthread_exit(nullptr);
}

// Marks the threads of a terminating process and releases their user-mode
// waits; returns the ones the stand-in started (referenced), which the
// caller waits for.
std::vector<_KTHREAD *> StopProcessThreads(PEPROCESS process)
{
    std::vector<_KTHREAD *> started;
    _KTHREAD *self = CurrentThread();
    for (_KTHREAD *t : LiveThreads()) {
        if (t->system)
            continue;
        if (t->started && t->home == process) {
            // The process's own thread: it ends, released from its waits.
            t->terminating.store(true);
            ReleaseUserWait(t);
            if (t != self) {
                ReferenceObject(t);
                started.push_back(t);
            }
        } else if (t->attached.load() == process) {
            // A thread of the test's that is in the process for a while: its
            // present wait ends, the thread itself goes on.
            ReleaseUserWait(t);
        }
    }
    return started;
}

} // namespace detail
} // namespace standin::kernel

using namespace standin::kernel;

POBJECT_TYPE *PsThreadType = &g_threadTypePointer;

extern "C" NTSTATUS PsCreateSystemThread(PHANDLE handle, ULONG access, POBJECT_ATTRIBUTES attributes,
                                         HANDLE processHandle, PCLIENT_ID clientId, PKSTART_ROUTINE routine,
                                         PVOID context)
{
    detail::RequireIrqlAtMost(PASSIVE_LEVEL, "PsCreateSystemThread");
    if (processHandle) // only threads of the system process are emulated
        return STATUS_INVALID_HANDLE;
    if (!handle || !routine)
        return STATUS_INVALID_PARAMETER;
    if (detail::ShouldFail(Fault::ThreadCreation, 0, __builtin_return_address(0)))
        return STATUS_INSUFFICIENT_RESOURCES;
    _KTHREAD *t = NewThreadObject(SystemProcess(), true, "system thread");
    if (!t)
        return STATUS_INSUFFICIENT_RESOURCES;
    const Owner owner = detail::CurrentOwner();
    t->creator = owner;
    t->owner = owner;
    t->started = true;
    bool kernelHandle = attributes && (attributes->Attributes & OBJ_KERNEL_HANDLE);
    HANDLE h;
    NTSTATUS status = detail::InsertHandleInternal(CurrentProcess(), t, access, kernelHandle, owner, &h);
    if (!NT_SUCCESS(status)) {
        DereferenceObject(t);
        return status;
    }
    // The creation reference becomes the running thread's own.
    auto start = new StartBlock{t, routine, context, nullptr};
    g_runningSystemThreads.fetch_add(1);
    Register(t);
    pthread_t native;
    if (pthread_create(&native, nullptr, SystemThreadMain, start) != 0) {
        g_runningSystemThreads.fetch_sub(1);
        delete start;
        Retire(t);
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

extern "C" NTSTATUS PsTerminateSystemThread(NTSTATUS)
{
    _KTHREAD *self = detail::CurrentThread();
    if (!self->system || !t_exit)
        BugCheck(kDriverVerifierDetectedViolation, "PsTerminateSystemThread", kViolationTerminateNotSystemThread,
                 (ULONG_PTR)self);
    FinishSystemThread(self, "PsTerminateSystemThread");
    std::longjmp(*t_exit, 1);
}

extern "C" KPRIORITY KeSetPriorityThread(PKTHREAD thread, KPRIORITY priority)
{
    detail::RequireIrqlAtMost(DISPATCH_LEVEL, "KeSetPriorityThread");
    if (priority < LOW_PRIORITY || priority > HIGH_PRIORITY)
        BugCheck(kDriverVerifierDetectedViolation, "KeSetPriorityThread", kViolationBadPriority, (ULONG_PTR)thread,
                 priority);
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

extern "C" KPRIORITY KeQueryPriorityThread(PKTHREAD thread)
{
    return thread->priority.load();
}

extern "C" PKTHREAD KeGetCurrentThread(void)
{
    return detail::CurrentThread();
}

extern "C" HANDLE PsGetCurrentThreadId(void)
{
    return (HANDLE)(uintptr_t)detail::CurrentThread()->id;
}

extern "C" BOOLEAN PsIsSystemThread(PETHREAD thread)
{
    return thread->system;
}
