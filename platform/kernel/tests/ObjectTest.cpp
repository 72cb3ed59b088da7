// The object manager: handles per process, reference checks by type, handle
// and access, kernel handles, close callbacks, and process end.
#include <kernel_standin.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace sk = standin::kernel;

namespace {

struct CloseRecord {
    void *body;
    PEPROCESS process;
    PEPROCESS context; // the current process while the callback ran
    bool last;
};
std::vector<CloseRecord> g_closes;
std::vector<void *> g_deletes;

POBJECT_TYPE WidgetType()
{
    static POBJECT_TYPE type = sk::CreateObjectType({
        "Widget",
        SYNCHRONIZE | 0x3,
        [](void *body, PEPROCESS process, bool last) {
            g_closes.push_back({body, process, sk::CurrentProcess(), last});
        },
        [](void *body) { g_deletes.push_back(body); },
    });
    return type;
}

class Objects : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_closes.clear();
        g_deletes.clear();
    }
    void *NewWidget()
    {
        void *body = nullptr;
        EXPECT_EQ(sk::CreateObject(WidgetType(), 32, &body), STATUS_SUCCESS);
        return body;
    }
};

TEST_F(Objects, ReferenceByHandleChecksHandleTypeAndAccess)
{
    PEPROCESS client = sk::CreateProcess(false);
    void *widget = NewWidget();
    HANDLE handle;
    ASSERT_EQ(sk::InsertHandle(client, widget, SYNCHRONIZE | 0x1, false, &handle), STATUS_SUCCESS);
    sk::ProcessScope in(client);
    PVOID object = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(handle, SYNCHRONIZE, WidgetType(), UserMode, &object, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(object, widget);
    EXPECT_EQ(sk::ObjectReferenceCount(widget), 3) << "creation, handle, this reference";
    ObDereferenceObject(object);

    object = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(handle, 0x2, WidgetType(), UserMode, &object, nullptr), STATUS_ACCESS_DENIED)
        << "0x2 was not granted";
    EXPECT_EQ(object, nullptr);
    OBJECT_HANDLE_INFORMATION info{};
    EXPECT_EQ(ObReferenceObjectByHandle(handle, 0x2, WidgetType(), KernelMode, &object, &info), STATUS_SUCCESS)
        << "kernel-mode callers skip the access check";
    EXPECT_EQ(info.GrantedAccess, (ACCESS_MASK)(SYNCHRONIZE | 0x1));
    ObDereferenceObject(object);

    EXPECT_EQ(ObReferenceObjectByHandle(handle, 0, *ExEventObjectType, KernelMode, &object, nullptr),
              STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(ObReferenceObjectByHandle((HANDLE)(uintptr_t)0x7FFC, 0, nullptr, KernelMode, &object, nullptr),
              STATUS_INVALID_HANDLE);
    EXPECT_EQ(sk::ObjectReferenceCount(widget), 2) << "failed references take nothing";
    EXPECT_EQ(sk::CloseHandle(client, handle), STATUS_SUCCESS);
    sk::DereferenceObject(widget);
    EXPECT_EQ(g_deletes, std::vector<void *>{widget});
}

TEST_F(Objects, HandleTablesArePerProcessAndKernelHandlesAreSystemWide)
{
    PEPROCESS a = sk::CreateProcess(false), b = sk::CreateProcess(false);
    void *widget = NewWidget();
    HANDLE inA, kernel;
    ASSERT_EQ(sk::InsertHandle(a, widget, SYNCHRONIZE, false, &inA), STATUS_SUCCESS);
    ASSERT_EQ(sk::InsertHandle(a, widget, SYNCHRONIZE, true, &kernel), STATUS_SUCCESS);
    EXPECT_TRUE(sk::IsKernelHandle(kernel));
    EXPECT_FALSE(sk::IsKernelHandle(inA));
    EXPECT_EQ(sk::HandleCount(a), 1u);
    PVOID object;
    {
        sk::ProcessScope in(b);
        EXPECT_EQ(ObReferenceObjectByHandle(inA, SYNCHRONIZE, nullptr, KernelMode, &object, nullptr),
                  STATUS_INVALID_HANDLE)
            << "a's handle means nothing in b";
        EXPECT_EQ(ObReferenceObjectByHandle(kernel, SYNCHRONIZE, nullptr, KernelMode, &object, nullptr),
                  STATUS_SUCCESS);
        ObDereferenceObject(object);
        EXPECT_EQ(ObReferenceObjectByHandle(kernel, SYNCHRONIZE, nullptr, UserMode, &object, nullptr),
                  STATUS_INVALID_HANDLE)
            << "user mode cannot use a kernel handle";
    }
    EXPECT_EQ(sk::CloseHandle(a, inA), STATUS_SUCCESS);
    EXPECT_EQ(sk::CloseHandle(a, inA), STATUS_INVALID_HANDLE);
    EXPECT_EQ(ZwClose(kernel), STATUS_SUCCESS);
    sk::DereferenceObject(widget);
}

TEST_F(Objects, CloseCallbackTellsTheLastHandleInEachProcessAndRunsThere)
{
    PEPROCESS a = sk::CreateProcess(false), b = sk::CreateProcess(false);
    void *widget = NewWidget();
    HANDLE a1, a2, b1;
    ASSERT_EQ(sk::InsertHandle(a, widget, SYNCHRONIZE, false, &a1), STATUS_SUCCESS);
    ASSERT_EQ(sk::InsertHandle(a, widget, SYNCHRONIZE, false, &a2), STATUS_SUCCESS);
    ASSERT_EQ(sk::InsertHandle(b, widget, SYNCHRONIZE, false, &b1), STATUS_SUCCESS);
    sk::DereferenceObject(widget); // only the handles hold it now
    EXPECT_EQ(sk::ObjectHandleCount(widget), 3u);

    sk::CloseHandle(a, a1);
    sk::CloseHandle(a, a2);
    ASSERT_EQ(g_closes.size(), 2u);
    EXPECT_FALSE(g_closes[0].last);
    EXPECT_TRUE(g_closes[1].last);
    EXPECT_EQ(g_closes[1].process, a);
    EXPECT_EQ(g_closes[1].context, a);
    EXPECT_TRUE(g_deletes.empty()) << "b still has a handle";

    sk::CloseHandle(b, b1);
    ASSERT_EQ(g_closes.size(), 3u);
    EXPECT_TRUE(g_closes[2].last);
    EXPECT_EQ(g_closes[2].context, b);
    EXPECT_EQ(g_deletes, std::vector<void *>{widget});
}

struct EndRecord {
    PEPROCESS process = nullptr;
    PEPROCESS context = nullptr;
    size_t handlesThen = 0;
};

TEST_F(Objects, ProcessEndRunsCallbacksThenClosesEveryHandleInThatProcess)
{
    static EndRecord record;
    record = {};
    int id = sk::RegisterProcessEndCallback(
        [](PEPROCESS process, void *) {
            record = {process, sk::CurrentProcess(), sk::HandleCount(process)};
        },
        nullptr);
    PEPROCESS client = sk::CreateProcess(true, "ending");
    void *widget = NewWidget();
    HANDLE h1, h2;
    sk::InsertHandle(client, widget, SYNCHRONIZE, false, &h1);
    sk::InsertHandle(client, widget, SYNCHRONIZE, false, &h2);
    sk::DereferenceObject(widget);

    sk::EndProcess(client);
    sk::UnregisterProcessEndCallback(id);
    EXPECT_TRUE(sk::IsProcessEnded(client));
    EXPECT_EQ(record.process, client);
    EXPECT_EQ(record.context, client);
    EXPECT_EQ(record.handlesThen, 2u) << "callbacks run before handle rundown";
    EXPECT_EQ(sk::HandleCount(client), 0u);
    ASSERT_EQ(g_closes.size(), 2u);
    EXPECT_EQ(g_closes[1].context, client);
    EXPECT_TRUE(g_closes[1].last);
    EXPECT_EQ(g_deletes, std::vector<void *>{widget});

    void *other = NewWidget();
    HANDLE late;
    EXPECT_EQ(sk::InsertHandle(client, other, SYNCHRONIZE, false, &late), STATUS_PROCESS_IS_TERMINATING);
    sk::DereferenceObject(other);
}

TEST_F(Objects, EventObjectsAreWaitableThroughTheirHandles)
{
    PEPROCESS client = sk::CreateProcess(false);
    void *body;
    ASSERT_EQ(sk::CreateObject(*ExEventObjectType, sizeof(KEVENT), &body), STATUS_SUCCESS);
    KeInitializeEvent(static_cast<PKEVENT>(body), SynchronizationEvent, FALSE);
    HANDLE handle;
    ASSERT_EQ(sk::InsertHandle(client, body, EVENT_ALL_ACCESS, false, &handle), STATUS_SUCCESS);
    sk::DereferenceObject(body);
    EXPECT_STREQ(sk::ObjectTypeName(sk::ObjectTypeOf(body)), "Event");

    sk::ProcessScope in(client);
    PVOID event;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, EVENT_MODIFY_STATE, *ExEventObjectType, UserMode, &event, nullptr),
              STATUS_SUCCESS);
    KeSetEvent(static_cast<PKEVENT>(event), IO_NO_INCREMENT, FALSE);
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    EXPECT_EQ(KeWaitForSingleObject(event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    ObDereferenceObject(event);
    EXPECT_EQ(sk::CloseHandle(client, handle), STATUS_SUCCESS);
}

} // namespace
