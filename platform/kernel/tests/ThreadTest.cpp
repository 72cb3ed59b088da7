// System threads: real threads in the system process, kernel handles, waits
// on thread objects, termination, priorities.
#include <kernel_standin.h>

#include <gtest/gtest.h>

#include <atomic>

namespace sk = standin::kernel;

namespace {

struct WorkerSeen {
    PEPROCESS process = nullptr;
    PKTHREAD thread = nullptr;
    HANDLE threadId = nullptr;
    KIRQL irql = 0xFF;
    KEVENT go;
    std::atomic<bool> afterTerminate{false};
};

HANDLE StartThread(PKSTART_ROUTINE routine, PVOID context)
{
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE handle = nullptr;
    CLIENT_ID id{};
    EXPECT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes, nullptr, &id, routine, context),
              STATUS_SUCCESS);
    EXPECT_EQ(id.UniqueProcess, (HANDLE)(uintptr_t)4);
    return handle;
}

PKTHREAD ReferenceThread(HANDLE handle)
{
    PVOID thread = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &thread, nullptr),
              STATUS_SUCCESS);
    return static_cast<PKTHREAD>(thread);
}

TEST(SystemThread, RunsInTheSystemProcessAndSignalsItsObjectWhenDone)
{
    WorkerSeen seen;
    KeInitializeEvent(&seen.go, NotificationEvent, FALSE);
    PEPROCESS client = sk::CreateProcess(false);
    sk::ProcessScope in(client); // the creator's process does not matter
    HANDLE handle = StartThread(
        [](PVOID context) {
            auto s = static_cast<WorkerSeen *>(context);
            KeWaitForSingleObject(&s->go, Executive, KernelMode, FALSE, nullptr);
            s->process = PsGetCurrentProcess();
            s->thread = KeGetCurrentThread();
            s->threadId = PsGetCurrentThreadId();
            s->irql = KeGetCurrentIrql();
        },
        &seen);
    ASSERT_TRUE(sk::IsKernelHandle(handle));
    EXPECT_EQ(sk::HandleCount(client), 0u);
    PKTHREAD thread = ReferenceThread(handle);
    EXPECT_TRUE(PsIsSystemThread(thread));
    EXPECT_FALSE(sk::HasThreadEnded(thread));
    KeSetEvent(&seen.go, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_TRUE(sk::HasThreadEnded(thread));
    EXPECT_EQ(seen.process, sk::SystemProcess());
    EXPECT_EQ(seen.thread, thread);
    EXPECT_NE(seen.threadId, PsGetCurrentThreadId());
    EXPECT_EQ(seen.irql, PASSIVE_LEVEL);
    ObDereferenceObject(thread);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
}

TEST(SystemThread, TerminateEndsItAtOnce)
{
    WorkerSeen seen;
    HANDLE handle = StartThread(
        [](PVOID context) {
            auto s = static_cast<WorkerSeen *>(context);
            PsTerminateSystemThread(STATUS_SUCCESS);
            s->afterTerminate = true;
        },
        &seen);
    PKTHREAD thread = ReferenceThread(handle);
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    EXPECT_FALSE(seen.afterTerminate.load());
    ObDereferenceObject(thread);
    ZwClose(handle);
}

TEST(SystemThread, PriorityIsRecorded)
{
    struct Context {
        KEVENT done;
        KPRIORITY previous = -1;
        KPRIORITY after = -1;
    } context;
    KeInitializeEvent(&context.done, NotificationEvent, FALSE);
    HANDLE handle = StartThread(
        [](PVOID p) {
            auto c = static_cast<Context *>(p);
            c->previous = KeSetPriorityThread(KeGetCurrentThread(), HIGH_PRIORITY);
            c->after = KeQueryPriorityThread(KeGetCurrentThread());
        },
        &context);
    PKTHREAD thread = ReferenceThread(handle);
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(context.previous, 8);
    EXPECT_EQ(context.after, HIGH_PRIORITY);
    EXPECT_EQ(sk::RecordedPriority(thread), HIGH_PRIORITY);
    ObDereferenceObject(thread);
    ZwClose(handle);
}

TEST(SystemThread, ThreadObjectOutlivesTheThreadWhileReferenced)
{
    HANDLE handle = StartThread([](PVOID) {}, nullptr);
    PKTHREAD thread = ReferenceThread(handle);
    ZwClose(handle);
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    // Ended, its handle closed: the referenced object still answers.
    EXPECT_TRUE(sk::HasThreadEnded(thread));
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_GE(sk::ObjectReferenceCount(thread), 1);
    ObDereferenceObject(thread);
}

} // namespace

namespace {

// The life of a high-priority worker as a driver runs one: started with a
// kernel handle, referenced, woken by a synchronization event, stopped by a
// flag and waited for; nothing is left for the unload check.
struct Worker {
    HANDLE handle = nullptr;
    PVOID thread = nullptr; // stored after creation; the worker waits for it
    KEVENT wake;
    LONG stop = 0;
    LONG updates = 0;
};

void WorkerMain(PVOID context)
{
    auto w = static_cast<Worker *>(context);
    LARGE_INTEGER oneMs;
    oneMs.QuadPart = -10'000;
    while (!InterlockedCompareExchangePointer(&w->thread, nullptr, nullptr) && !InterlockedOr(&w->stop, 0))
        KeDelayExecutionThread(KernelMode, FALSE, &oneMs);
    KeSetPriorityThread(KeGetCurrentThread(), HIGH_PRIORITY);
    for (;;) {
        NTSTATUS status = KeWaitForSingleObject(&w->wake, Executive, KernelMode, FALSE, nullptr);
        if (status != STATUS_SUCCESS || InterlockedOr(&w->stop, 0))
            break;
        InterlockedIncrement(&w->updates);
    }
}

TEST(SystemThread, WorkerLifeOnTheVirtualClockLeavesNothingBehind)
{
    sk::UseVirtualClock(true);
    sk::DriverScope scope;
    Worker w;
    KeInitializeEvent(&w.wake, SynchronizationEvent, FALSE);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    ASSERT_EQ(PsCreateSystemThread(&w.handle, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr, WorkerMain, &w),
              STATUS_SUCCESS);
    PVOID thread;
    ASSERT_EQ(ObReferenceObjectByHandle(w.handle, SYNCHRONIZE, *PsThreadType, KernelMode, &thread, nullptr),
              STATUS_SUCCESS);
    InterlockedExchangePointer(&w.thread, thread);
    // The worker may have started sleeping before the reference was stored:
    // each 1 ms advance lets it look again, until it waits for its event.
    int sleeps = 0;
    for (;;) {
        sk::WaitForBlockedWaiters(1, false);
        if (sk::BlockedWaiters(true) == 0)
            break;
        sk::AdvanceClock(10'000);
        ++sleeps;
    }
    EXPECT_LE(sleeps, 1) << "the stored reference is seen after at most one sleep";
    EXPECT_EQ(sk::RecordedPriority(static_cast<PKTHREAD>(thread)), HIGH_PRIORITY);

    KeSetEvent(&w.wake, IO_NO_INCREMENT, FALSE);
    sk::WaitForBlockedWaiters(1, false); // back in its wait after one update
    EXPECT_EQ(w.updates, 1);

    InterlockedExchange(&w.stop, 1);
    KeSetEvent(&w.wake, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    ObDereferenceObject(thread);
    EXPECT_EQ(ZwClose(w.handle), STATUS_SUCCESS);
    EXPECT_TRUE(scope.Held().empty());
    sk::UseVirtualClock(false);
}

} // namespace
