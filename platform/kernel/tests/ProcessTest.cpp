// Emulated processes: identity and bitness, the current process of a thread,
// and process end in the order Windows runs it (end callbacks, handle
// rundown in the process, then its address space).
#include <kernel_standin.h>
#include "TestPages.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace sk = standin::kernel;

namespace {

TEST(Process, ScopesNestAndBelongToTheirThread) {
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

POBJECT_TYPE ConnectionType() {
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

TEST(Process, EndClosesHandlesInTheProcessBeforeItsViewsGo) {
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

TEST(Process, EndRemovesViewsTheDriverLeftBehind) {
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
