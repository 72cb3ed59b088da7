// Emulated processes: identity and bitness, the current process of a thread,
// and process end in the order Windows runs it (end callbacks, handle
// rundown in the process, then its address space).
#include <kernel_standin.h>
#include <ntifs.h>
#include "TestPages.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace sk = standin::kernel;

namespace {

TEST(Process, ScopesNestAndBelongToTheirThread)
{
    PEPROCESS a = sk::CreateProcess(false, "a"), b = sk::CreateProcess(true, "b");
    EXPECT_NE(sk::ProcessId(a), sk::ProcessId(b));
    EXPECT_FALSE(sk::Is32BitProcess(a));
    EXPECT_TRUE(sk::Is32BitProcess(b));
    EXPECT_EQ(PsGetCurrentProcess(), sk::SystemProcess());
    EXPECT_EQ(PsGetCurrentProcessId(), (HANDLE)(uintptr_t)4);
    {
        sk::ProcessScope inA(a);
        EXPECT_EQ(PsGetCurrentProcess(), a);
        {
            sk::ProcessScope inB(b);
            EXPECT_EQ(PsGetCurrentProcessId(), (HANDLE)(uintptr_t)sk::ProcessId(b));
            std::thread other([] { EXPECT_EQ(PsGetCurrentProcess(), sk::SystemProcess()); });
            other.join();
        }
        EXPECT_EQ(PsGetCurrentProcess(), a);
    }
    EXPECT_EQ(PsGetCurrentProcess(), sk::SystemProcess());
}

// What a driver does on the close of its last handle: remove the user view
// it made for that process, from inside the process.
struct Connection {
    PMDL mdl;
    PVOID userView;
    std::vector<const char *> *events;
};

POBJECT_TYPE ConnectionType()
{
    static POBJECT_TYPE type = sk::CreateObjectType({
        "Connection",
        SYNCHRONIZE,
        [](void *body, PEPROCESS process, bool last) {
            auto c = static_cast<Connection *>(body);
            EXPECT_EQ(sk::CurrentProcess(), process);
            EXPECT_EQ(sk::UserMappingCount(process), 1u) << "the address space is still there";
            if (last && c->userView) {
                MmUnmapLockedPages(c->userView, c->mdl);
                c->userView = nullptr;
            }
            c->events->push_back("handle closed");
        },
        [](void *body) { static_cast<Connection *>(body)->events->push_back("deleted"); },
    });
    return type;
}

TEST(Process, EndClosesHandlesInTheProcessBeforeItsViewsGo)
{
    static std::vector<const char *> events;
    events.clear();
    int id = sk::RegisterProcessEndCallback([](PEPROCESS, void *) { events.push_back("process ending"); }, nullptr);
    PMDL mdl = AllocatePages(PAGE_SIZE);
    ASSERT_NE(mdl, nullptr);
    PEPROCESS client = sk::CreateProcess(false);
    void *body;
    ASSERT_EQ(sk::CreateObject(ConnectionType(), sizeof(Connection), &body), STATUS_SUCCESS);
    auto connection = static_cast<Connection *>(body);
    HANDLE handle;
    {
        sk::ProcessScope in(client);
        *connection = {mdl, MmMapLockedPagesSpecifyCache(mdl, UserMode, MmCached, nullptr, FALSE, NormalPagePriority),
                       &events};
        ASSERT_EQ(sk::InsertHandle(client, body, SYNCHRONIZE, false, &handle), STATUS_SUCCESS);
    }
    sk::DereferenceObject(body);

    sk::EndProcess(client);
    sk::UnregisterProcessEndCallback(id);
    EXPECT_EQ(events, (std::vector<const char *>{"process ending", "handle closed", "deleted"}));
    EXPECT_EQ(sk::UserMappingCount(client), 0u);
    sk::EndProcess(client); // a second end does nothing
    EXPECT_EQ(events.size(), 3u);
    MmFreePagesFromMdl(mdl); // no view is left over the pages
    ExFreePool(mdl);
}

TEST(Process, EndRemovesViewsTheDriverLeftBehind)
{
    PMDL mdl = AllocatePages(2 * PAGE_SIZE);
    ASSERT_NE(mdl, nullptr);
    PEPROCESS client = sk::CreateProcess(false);
    {
        sk::ProcessScope in(client);
        ASSERT_NE(MmMapLockedPagesSpecifyCache(mdl, UserMode, MmCached, nullptr, FALSE, NormalPagePriority), nullptr);
        ASSERT_NE(MmMapLockedPagesSpecifyCache(mdl, UserMode, MmCached, nullptr, FALSE, NormalPagePriority), nullptr);
    }
    EXPECT_EQ(sk::UserMappingCount(client), 2u);
    sk::EndProcess(client);
    EXPECT_EQ(sk::UserMappingCount(client), 0u);
    MmFreePagesFromMdl(mdl); // possible only once no view is left
    ExFreePool(mdl);
}

} // namespace

namespace {

TEST(Process, DuplicateHandleGivesTheSameObjectToAnotherProcess)
{
    PEPROCESS a = sk::CreateProcess(false, "a"), b = sk::CreateProcess(false, "b");
    void *body;
    ASSERT_EQ(sk::CreateObject(*ExEventObjectType, sizeof(KEVENT), &body), STATUS_SUCCESS);
    KeInitializeEvent(static_cast<PKEVENT>(body), NotificationEvent, FALSE);
    HANDLE inA, inB, narrow;
    ASSERT_EQ(sk::InsertHandle(a, body, SYNCHRONIZE | EVENT_MODIFY_STATE, false, &inA), STATUS_SUCCESS);
    sk::DereferenceObject(body);

    ASSERT_EQ(sk::DuplicateHandle(a, inA, b, &inB, 0, true, false), STATUS_SUCCESS);
    EXPECT_EQ(sk::ObjectHandleCount(body), 2u);
    void *seen;
    ASSERT_EQ(sk::ReferenceHandle(b, inB, *ExEventObjectType, &seen), STATUS_SUCCESS);
    EXPECT_EQ(seen, body);
    sk::DereferenceObject(seen);
    // No more access than the source had; less is fine.
    EXPECT_EQ(sk::DuplicateHandle(a, inA, b, &narrow, EVENT_ALL_ACCESS, false, false), STATUS_ACCESS_DENIED);
    EXPECT_EQ(sk::DuplicateHandle(a, inA, b, &narrow, SYNCHRONIZE, false, true), STATUS_SUCCESS);
    EXPECT_EQ(sk::HandleCount(a), 0u) << "closed with the duplication";
    EXPECT_EQ(sk::DuplicateHandle(a, inA, b, &narrow, 0, true, false), STATUS_INVALID_HANDLE);
    // A process that is ending takes no new handles.
    sk::EndProcess(a);
    EXPECT_EQ(sk::DuplicateHandle(b, inB, a, &narrow, 0, true, false), STATUS_PROCESS_IS_TERMINATING);
    sk::EndProcess(b);
}

TEST(Process, AttachRunsTheThreadInAnotherProcessUntilTheMatchingDetach)
{
    PEPROCESS a = sk::CreateProcess(false, "a"), b = sk::CreateProcess(true, "b");
    ObReferenceObject(a); // a driver keeps the process object as long as it needs it
    KAPC_STATE outer, inner;
    KeStackAttachProcess(a, &outer);
    EXPECT_EQ(PsGetCurrentProcess(), a);
    KeStackAttachProcess(b, &inner);
    EXPECT_EQ(PsGetCurrentProcess(), b);
    KeUnstackDetachProcess(&inner);
    EXPECT_EQ(PsGetCurrentProcess(), a);
    KeUnstackDetachProcess(&outer);
    EXPECT_EQ(PsGetCurrentProcess(), sk::SystemProcess());
    sk::EndProcess(a);
    EXPECT_TRUE(sk::IsProcessEnded(a)) << "the referenced object stays valid";
    // The process object is signalled once it has ended.
    EXPECT_EQ(KeWaitForSingleObject(a, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    ObDereferenceObject(a);
    sk::EndProcess(b);
}

struct Worker {
    KEVENT never;
    NTSTATUS waited = -1;
    bool pastTheEnd = false;
    std::vector<const char *> *events;
};

TEST(Process, TerminationEndsItsThreadsBeforeTheEndCallbacksAndHandleRundown)
{
    static std::vector<const char *> events;
    events.clear();
    int id = sk::RegisterProcessEndCallback([](PEPROCESS, void *) { events.push_back("process ending"); }, nullptr);
    PEPROCESS client = sk::CreateProcess(false);
    Worker w{};
    w.events = &events;
    KeInitializeEvent(&w.never, NotificationEvent, FALSE);
    PKTHREAD thread = sk::StartThread(
        client, "worker",
        [](void *c) {
            auto w = static_cast<Worker *>(c);
            w->waited = KeWaitForSingleObject(&w->never, Executive, UserMode, FALSE, nullptr);
            w->events->push_back("wait released");
            sk::EndThreadIfTerminating(); // the thread's next call into the platform
            w->pastTheEnd = true;
        },
        &w);
    static PEPROCESS watched = client;
    watched = client;
    PCREATE_PROCESS_NOTIFY_ROUTINE notify = [](HANDLE, HANDLE process, BOOLEAN create) {
        if (!create && process == PsGetProcessId(watched)) {
            EXPECT_EQ(PsGetCurrentProcess(), watched) << "in the ending process";
            events.push_back("notified");
        }
    };
    ASSERT_EQ(PsSetCreateProcessNotifyRoutine(notify, FALSE), STATUS_SUCCESS);
    sk::WaitForBlockedWaiters(1, false);
    sk::TerminateProcess(client);
    sk::UnregisterProcessEndCallback(id);
    EXPECT_EQ(PsSetCreateProcessNotifyRoutine(notify, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(PsSetCreateProcessNotifyRoutine(notify, TRUE), STATUS_PROCEDURE_NOT_FOUND);
    EXPECT_EQ(w.waited, STATUS_USER_APC);
    EXPECT_FALSE(w.pastTheEnd);
    EXPECT_TRUE(sk::HasThreadEnded(thread));
    EXPECT_EQ(events, (std::vector<const char *>{"wait released", "process ending", "notified"}));
    sk::JoinThread(thread);
}

} // namespace
