// Fault injection: each kind makes exactly the chosen operation fail, and the
// counters let a test sweep every failure point of a scenario.
#include <guarded_call.h>
#include <kernel_standin.h>
#include "TestPages.h"

#include <gtest/gtest.h>

namespace sk = standin::kernel;

namespace {

class Faults : public ::testing::Test {
protected:
    void SetUp() override { sk::ResetFaults(); }
    void TearDown() override { sk::ResetFaults(); }
};

TEST_F(Faults, PoolAllocationFailsOnlyTheNth)
{
    sk::FailNth(sk::Fault::PoolAllocation, 2);
    void *first = ExAllocatePoolWithTag(NonPagedPoolNx, 8, 'A');
    void *second = ExAllocatePool2(POOL_FLAG_NON_PAGED, 8, 'B');
    void *third = ExAllocatePool(NonPagedPool, 8);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(third, nullptr);
    EXPECT_EQ(sk::OperationCount(sk::Fault::PoolAllocation), 3u);
    EXPECT_EQ(sk::InjectedFailures(sk::Fault::PoolAllocation), 1u);
    ExFreePool(first);
    ExFreePool(third);
}

TEST_F(Faults, PageAndMdlAllocationFail)
{
    sk::FailNth(sk::Fault::PageAllocation, 1);
    EXPECT_EQ(AllocatePages(PAGE_SIZE), nullptr);
    PMDL pages = AllocatePages(PAGE_SIZE);
    ASSERT_NE(pages, nullptr);

    sk::FailNth(sk::Fault::MdlAllocation, 1);
    EXPECT_EQ(IoAllocateMdl(nullptr, 100, FALSE, FALSE, nullptr), nullptr);
    PMDL partial = IoAllocateMdl(nullptr, 100, FALSE, FALSE, nullptr);
    ASSERT_NE(partial, nullptr);
    IoFreeMdl(partial);
    MmFreePagesFromMdl(pages);
    ExFreePool(pages);
    EXPECT_EQ(sk::InjectedFailures(sk::Fault::PageAllocation), 1u);
    EXPECT_EQ(sk::InjectedFailures(sk::Fault::MdlAllocation), 1u);
}

TEST_F(Faults, SystemMappingReturnsNullAndUserMappingRaises)
{
    PMDL pages = AllocatePages(PAGE_SIZE);
    ASSERT_NE(pages, nullptr);
    sk::FailNth(sk::Fault::SystemMapping, 1);
    EXPECT_EQ(MmMapLockedPagesSpecifyCache(pages, KernelMode, MmCached, nullptr, FALSE, NormalPagePriority), nullptr);
    EXPECT_EQ(pages->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA, 0) << "a failed mapping leaves no trace";

    PEPROCESS client = sk::CreateProcess(false);
    sk::ProcessScope in(client);
    sk::FailNth(sk::Fault::UserMapping, 1);
    NTSTATUS status = GuardedCall(
        [](PVOID mdl) -> NTSTATUS {
            MmMapLockedPagesSpecifyCache(static_cast<PMDL>(mdl), UserMode, MmCached, nullptr, FALSE,
                                         NormalPagePriority);
            return STATUS_SUCCESS;
        },
        pages);
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(sk::UserMappingCount(client), 0u);
    MmFreePagesFromMdl(pages);
    ExFreePool(pages);
}

TEST_F(Faults, ThreadCreationAndObjectReferenceFail)
{
    sk::FailNth(sk::Fault::ThreadCreation, 1);
    HANDLE handle = nullptr;
    EXPECT_EQ(PsCreateSystemThread(
                  &handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, [](PVOID) {}, nullptr),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(sk::RunningSystemThreads(), 0u);

    void *body;
    ASSERT_EQ(sk::CreateObject(*ExEventObjectType, sizeof(KEVENT), &body), STATUS_SUCCESS);
    KeInitializeEvent(static_cast<PKEVENT>(body), NotificationEvent, FALSE);
    HANDLE event;
    ASSERT_EQ(sk::InsertHandle(sk::SystemProcess(), body, EVENT_ALL_ACCESS, true, &event), STATUS_SUCCESS);
    sk::FailNth(sk::Fault::ObjectReference, 1);
    PVOID object = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(event, SYNCHRONIZE, *ExEventObjectType, KernelMode, &object, nullptr),
              STATUS_INVALID_HANDLE);
    EXPECT_EQ(sk::ObjectReferenceCount(body), 2) << "the failed reference took none";
    EXPECT_EQ(ObReferenceObjectByHandle(event, SYNCHRONIZE, *ExEventObjectType, KernelMode, &object, nullptr),
              STATUS_SUCCESS);
    ObDereferenceObject(object);
    ZwClose(event);
    sk::DereferenceObject(body);
}

// The sweep a driver test runs: count the operations of a scenario once,
// then fail each in turn and check that every failure is clean.
NTSTATUS Scenario(PMDL *out)
{
    *out = nullptr;
    PMDL pages = AllocatePages(2 * PAGE_SIZE);
    if (!pages)
        return STATUS_INSUFFICIENT_RESOURCES;
    PMDL partial = IoAllocateMdl(MmGetMdlVirtualAddress(pages), PAGE_SIZE, FALSE, FALSE, nullptr);
    if (!partial) {
        MmFreePagesFromMdl(pages);
        ExFreePool(pages);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoBuildPartialMdl(pages, partial, MmGetMdlVirtualAddress(pages), PAGE_SIZE);
    IoFreeMdl(partial);
    MmFreePagesFromMdl(pages);
    ExFreePool(pages);
    return STATUS_SUCCESS;
}

TEST_F(Faults, CountsLetATestSweepEveryFailurePoint)
{
    PMDL unused;
    ASSERT_EQ(Scenario(&unused), STATUS_SUCCESS);
    size_t pageAllocations = sk::OperationCount(sk::Fault::PageAllocation);
    size_t mdlAllocations = sk::OperationCount(sk::Fault::MdlAllocation);
    EXPECT_EQ(pageAllocations, 1u);
    EXPECT_EQ(mdlAllocations, 1u);
    for (auto kind : {sk::Fault::PageAllocation, sk::Fault::MdlAllocation}) {
        sk::ResetFaults();
        sk::DriverScope scope;
        sk::FailNth(kind, 1);
        EXPECT_EQ(Scenario(&unused), STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_TRUE(scope.Held().empty());
    }
}

} // namespace
