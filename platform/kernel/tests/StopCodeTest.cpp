// The stop codes of the kernel stand-in that the other tests do not provoke:
// each misuse ends in its bug check, named in the report. The table itself
// names every code once.
#include <kernel_standin.h>
#include <ntifs.h>
#include "TestPages.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

namespace sk = standin::kernel;
using namespace sk::stop;

namespace {

class StopDeathTest : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST(StopCodes, EveryCodeHasOneNameInTheTable)
{
    std::set<ULONG> seen;
    for (size_t i = 0; i < kStopCodeCount; ++i) {
        EXPECT_TRUE(seen.insert(kStopCodes[i].code).second) << std::hex << kStopCodes[i].code;
        EXPECT_STRNE(kStopCodes[i].name, "") << std::hex << kStopCodes[i].code;
        EXPECT_STREQ(sk::StopCodeName(kStopCodes[i].code), kStopCodes[i].name);
    }
    EXPECT_STREQ(sk::StopCodeName(0x12345), "");
}

TEST_F(StopDeathTest, AttachAndDetachOutOfOrder)
{
    EXPECT_DEATH(
        {
            KAPC_STATE state;
            KeStackAttachProcess(nullptr, &state);
        },
        "STOP: 0x00000005 .* INVALID_PROCESS_ATTACH_ATTEMPT");
    EXPECT_DEATH(
        {
            PEPROCESS a = sk::CreateProcess(false);
            PEPROCESS b = sk::CreateProcess(false);
            KAPC_STATE first;
            KAPC_STATE second;
            KeStackAttachProcess(a, &first);
            KeStackAttachProcess(b, &second);
            KeUnstackDetachProcess(&first); // the inner attach is still there
        },
        "STOP: 0x00000006 .* INVALID_PROCESS_DETACH_ATTEMPT");
}

TEST_F(StopDeathTest, TooManyObjectsWithoutWaitBlocks)
{
    KEVENT events[4];
    PVOID objects[4];
    for (int i = 0; i < 4; ++i) {
        KeInitializeEvent(&events[i], NotificationEvent, FALSE);
        objects[i] = &events[i];
    }
    EXPECT_DEATH(KeWaitForMultipleObjects(4, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr),
                 "STOP: 0x0000000C .* MAXIMUM_WAIT_OBJECTS_EXCEEDED");
}

TEST_F(StopDeathTest, DereferenceOfWhatIsNoObject)
{
    int notAnObject[8] = {};
    EXPECT_DEATH(ObDereferenceObject(&notAnObject[4]), "STOP: 0x00000018 .* REFERENCE_BY_POINTER");
}

TEST_F(StopDeathTest, SystemMappingThatMustNotFail)
{
    EXPECT_DEATH(
        {
            PMDL mdl = AllocatePages(PAGE_SIZE);
            sk::FailNth(sk::Fault::SystemMapping, 1);
            MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, TRUE, NormalPagePriority);
        },
        "STOP: 0x0000003F .* NO_MORE_SYSTEM_PTES");
}

TEST_F(StopDeathTest, PartialDescriptorBeyondItsSource)
{
    EXPECT_DEATH(
        {
            PMDL source = AllocatePages(PAGE_SIZE);
            PVOID view = MmMapLockedPagesSpecifyCache(source, KernelMode, MmCached, nullptr, FALSE, NormalPagePriority);
            PMDL target = IoAllocateMdl(view, PAGE_SIZE, FALSE, FALSE, nullptr);
            IoBuildPartialMdl(source, target, static_cast<char *>(view) + 16, PAGE_SIZE);
        },
        "STOP: 0x00000040 .* TARGET_MDL_TOO_SMALL");
}

TEST_F(StopDeathTest, SystemThreadReturningAtRaisedIrql)
{
    EXPECT_DEATH(
        {
            HANDLE handle;
            PsCreateSystemThread(
                &handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                [](PVOID) {
                    KIRQL old;
                    KeRaiseIrql(DISPATCH_LEVEL, &old);
                },
                nullptr);
            sk::WaitForever(KernelMode, "test");
        },
        "STOP: 0x0000004A .* IRQL_GT_ZERO_AT_SYSTEM_SERVICE");
}

TEST_F(StopDeathTest, PoolFreedAboveItsIrql)
{
    EXPECT_DEATH(
        {
            PVOID p = ExAllocatePoolWithTag(PagedPool, 8, 0x74736554);
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            ExFreePool(p);
        },
        "STOP: 0x000000C2 \\(0x0000000000000009");
}

// Parameter 1 of 0xC4 for each of the stand-in's own memory and thread checks.
TEST_F(StopDeathTest, VerifierChecksOfDescriptorsAndThreads)
{
    EXPECT_DEATH(
        {
            int buffer[16];
            PMDL described = IoAllocateMdl(buffer, sizeof buffer, FALSE, FALSE, nullptr);
            MmMapLockedPagesSpecifyCache(described, KernelMode, MmCached, nullptr, FALSE, NormalPagePriority);
        },
        "STOP: 0x000000C4 \\(0x0000000000001002");
    EXPECT_DEATH(
        {
            PMDL mdl = AllocatePages(PAGE_SIZE);
            MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, FALSE, NormalPagePriority);
            MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, FALSE, NormalPagePriority);
        },
        "STOP: 0x000000C4 \\(0x0000000000001004");
    EXPECT_DEATH(
        {
            PMDL a = AllocatePages(PAGE_SIZE);
            PMDL b = AllocatePages(PAGE_SIZE);
            PVOID view = MmMapLockedPagesSpecifyCache(a, KernelMode, MmCached, nullptr, FALSE, NormalPagePriority);
            MmUnmapLockedPages(view, b);
        },
        "STOP: 0x000000C4 \\(0x0000000000001005");
    EXPECT_DEATH(
        {
            PMDL mdl = AllocatePages(PAGE_SIZE);
            PMDL partial = IoAllocateMdl(MmGetMdlVirtualAddress(mdl), PAGE_SIZE, FALSE, FALSE, nullptr);
            IoBuildPartialMdl(mdl, partial, MmGetMdlVirtualAddress(mdl), PAGE_SIZE);
            sk::ProcessScope in(sk::CreateProcess(false));
            MmMapLockedPagesSpecifyCache(partial, UserMode, MmCached, nullptr, FALSE, NormalPagePriority);
            IoFreeMdl(partial);
        },
        "STOP: 0x000000C4 \\(0x0000000000001009");
    EXPECT_DEATH(
        {
            int buffer[16];
            IoFreeMdl(reinterpret_cast<PMDL>(buffer));
        },
        "STOP: 0x000000C4 \\(0x000000000000100A");
    EXPECT_DEATH(
        {
            KEVENT event;
            std::memset(&event, 0, sizeof event);
            event.Header.Type = 0x33;
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        },
        "STOP: 0x000000C4 \\(0x000000000000100B");
    EXPECT_DEATH(KeDelayExecutionThread(KernelMode, FALSE, nullptr), "STOP: 0x000000C4 \\(0x000000000000100E");
    EXPECT_DEATH(KeSetPriorityThread(KeGetCurrentThread(), 40), "STOP: 0x000000C4 \\(0x000000000000100F");
    EXPECT_DEATH(PsTerminateSystemThread(STATUS_SUCCESS), "STOP: 0x000000C4 \\(0x0000000000001010");
    EXPECT_DEATH(
        {
            int buffer[16];
            IoAllocateMdl(buffer, sizeof buffer, FALSE, FALSE, reinterpret_cast<struct _IRP *>(buffer));
        },
        "STOP: 0x000000C4 \\(0x0000000000001011");
}

// KeSetEvent with Wait TRUE keeps the dispatcher for the wait that must come
// next; anything else first is a violation.
TEST_F(StopDeathTest, SetEventWithWaitNotFollowedByAWait)
{
    KEVENT event, other;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    KeInitializeEvent(&other, NotificationEvent, TRUE);
    KeSetEvent(&event, IO_NO_INCREMENT, TRUE);
    EXPECT_EQ(KeWaitForSingleObject(&other, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_DEATH(
        {
            KeSetEvent(&event, IO_NO_INCREMENT, TRUE);
            ExAllocatePoolWithTag(NonPagedPoolNx, 8, 0x74736554);
        },
        "STOP: 0x000000C4 \\(0x000000000000100D.*\n.*in ExAllocatePoolWithTag");
}

TEST_F(StopDeathTest, EventClearedAndUserViewUnmappedAboveTheirIrql)
{
    EXPECT_DEATH(
        {
            KEVENT event;
            KeInitializeEvent(&event, NotificationEvent, TRUE);
            KIRQL old;
            KeRaiseIrql(HIGH_LEVEL, &old);
            KeClearEvent(&event);
        },
        "STOP: 0x0000000A.*\n.*in KeClearEvent");
    EXPECT_DEATH(
        {
            PMDL mdl = AllocatePages(PAGE_SIZE);
            sk::ProcessScope in(sk::CreateProcess(false));
            PVOID view = MmMapLockedPagesSpecifyCache(mdl, UserMode, MmCached, nullptr, FALSE, NormalPagePriority);
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            MmUnmapLockedPages(view, mdl);
        },
        "STOP: 0x0000000A.*\n.*in MmUnmapLockedPages \\(user view\\)");
}

TEST_F(StopDeathTest, UnloadWithASystemThreadStillInTheDriver)
{
    EXPECT_DEATH(
        {
            sk::DriverScope driver;
            KEVENT never;
            KeInitializeEvent(&never, NotificationEvent, FALSE);
            OBJECT_ATTRIBUTES attributes;
            InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
            HANDLE handle;
            PsCreateSystemThread(
                &handle, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr,
                [](PVOID e) { KeWaitForSingleObject(e, Executive, KernelMode, FALSE, nullptr); }, &never);
            ZwClose(handle);
            driver.CheckUnload("threads");
        },
        "STOP: 0x000000CE .* DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS");
}

} // namespace
