// Misuse the kernel punishes, each caught as an emulated bug check that ends
// the process, and the leak check at driver unload.
#include <kernel_standin.h>
#include "TestPages.h"

#include <gtest/gtest.h>

#include <thread>

namespace sk = standin::kernel;

namespace {

constexpr ULONG kLeakTag = 0x6B61654C; // "Leak"

class VerifierDeathTest : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(VerifierDeathTest, WaitAtDispatchLevelUnlessItIsAPoll)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    auto waitAtDispatch = [&](PLARGE_INTEGER timeout) {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, timeout);
    };
    LARGE_INTEGER oneMs;
    oneMs.QuadPart = -10'000;
    EXPECT_DEATH(waitAtDispatch(&oneMs), "STOP: 0x0000000A.*\n.*in KeWaitForSingleObject");
    EXPECT_DEATH(waitAtDispatch(nullptr), "STOP: 0x0000000A");
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            KeDelayExecutionThread(KernelMode, FALSE, &oneMs);
        },
        "STOP: 0x0000000A.*\n.*in KeDelayExecutionThread");
}

TEST_F(VerifierDeathTest, PagedPoolAtRaisedIrql)
{
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            ExAllocatePoolWithTag(PagedPool, 16, kLeakTag);
        },
        "STOP: 0x000000C2 \\(0x0000000000000008, 0x0000000000000002.*BAD_POOL_CALLER");
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            ExAllocatePool2(POOL_FLAG_PAGED, 16, kLeakTag);
        },
        "STOP: 0x000000C2");
}

TEST_F(VerifierDeathTest, NonPagedPoolAtDispatchLevelIsAllowed)
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    void *p = ExAllocatePoolWithTag(NonPagedPoolNx, 16, kLeakTag);
    EXPECT_NE(p, nullptr);
    ExFreePool(p);
    KeLowerIrql(old);
}

TEST_F(VerifierDeathTest, MutexReleasedByAThreadThatDoesNotOwnIt)
{
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    EXPECT_DEATH(KeReleaseMutex(&mutex, FALSE), "STOP: 0x00000011.*THREAD_NOT_MUTEX_OWNER");
    EXPECT_DEATH(
        {
            KEVENT owned;
            KEVENT done;
            KeInitializeEvent(&owned, NotificationEvent, FALSE);
            KeInitializeEvent(&done, NotificationEvent, FALSE);
            std::thread owner([&] {
                KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
                KeSetEvent(&owned, IO_NO_INCREMENT, FALSE);
                KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
            });
            KeWaitForSingleObject(&owned, Executive, KernelMode, FALSE, nullptr);
            KeReleaseMutex(&mutex, FALSE); // owned by the other thread
        },
        "STOP: 0x00000011");
    EXPECT_DEATH(
        {
            std::thread owner([&] { KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr); });
            owner.join();
        },
        "STOP: 0x000000C4 \\(0x000000000000100C.*\n.*in thread exit");
}

TEST_F(VerifierDeathTest, NoExecutePoolAndMappingFlagsBeforeVersion62)
{
    EXPECT_DEATH(
        {
            sk::SetVersion(6, 1);
            ExAllocatePoolWithTag(NonPagedPoolNx, 16, kLeakTag);
        },
        "STOP: 0x000000C2 \\(0x000000000000000D");
    EXPECT_DEATH(
        {
            sk::SetVersion(6, 0);
            PMDL mdl = AllocatePages(PAGE_SIZE);
            MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, FALSE, NormalPagePriority | 0x40000000);
        },
        "STOP: 0x000000C4 \\(0x0000000000001003");
    sk::SetVersion(6, 0);
    void *p = ExAllocatePoolWithTag(NonPagedPool, 16, kLeakTag);
    EXPECT_NE(p, nullptr) << "plain non-paged pool is fine on any version";
    ExFreePool(p);
    sk::SetVersion(10, 0);
}

TEST_F(VerifierDeathTest, SpinLockReleasedAtTheWrongIrqlOrNotHeld)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    EXPECT_DEATH(
        {
            KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
            KeLowerIrql(PASSIVE_LEVEL);
            KeReleaseSpinLock(&lock, old);
        },
        "STOP: 0x00000009.*\n.*in KeReleaseSpinLock");
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            KeReleaseSpinLock(&lock, old);
        },
        "STOP: 0x00000010.*SPIN_LOCK_NOT_OWNED");
    EXPECT_DEATH(
        {
            KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
            KeAcquireSpinLockRaiseToDpc(&lock);
            (void)old;
        },
        "STOP: 0x0000000F");
}

TEST_F(VerifierDeathTest, BadPoolFrees)
{
    EXPECT_DEATH(
        {
            void *p = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kLeakTag);
            ExFreePool(p);
            ExFreePool(p);
        },
        "STOP: 0x000000C2 \\(0x0000000000000007");
    EXPECT_DEATH(ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPoolNx, 8, kLeakTag), 0x656E6F4E),
                 "STOP: 0x000000C2 \\(0x000000000000000A");
}

TEST_F(VerifierDeathTest, MemoryDescriptorMisuse)
{
    EXPECT_DEATH(
        {
            PMDL mdl = AllocatePages(PAGE_SIZE);
            MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, FALSE, NormalPagePriority);
            MmFreePagesFromMdl(mdl);
        },
        "STOP: 0x000000C4 \\(0x0000000000001001.*\n.*in MmFreePagesFromMdl");
    EXPECT_DEATH(
        {
            PMDL mdl = AllocatePages(PAGE_SIZE);
            PVOID view;
            {
                sk::ProcessScope in(sk::CreateProcess(false));
                view = MmMapLockedPagesSpecifyCache(mdl, UserMode, MmCached, nullptr, FALSE, NormalPagePriority);
            }
            MmUnmapLockedPages(view, mdl); // from the system process
        },
        "STOP: 0x000000C4 \\(0x0000000000001007");
    EXPECT_DEATH(
        {
            PMDL mdl = AllocatePages(PAGE_SIZE);
            PVOID view = MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, FALSE, NormalPagePriority);
            MmUnmapLockedPages(view, mdl);
            MmUnmapLockedPages(view, mdl);
        },
        "STOP: 0x000000C4 \\(0x0000000000001006");
    EXPECT_DEATH(
        {
            PMDL mdl = AllocatePages(PAGE_SIZE);
            MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, FALSE, 0x12345678);
        },
        "STOP: 0x000000C4 \\(0x0000000000001003");
    EXPECT_DEATH(
        {
            PMDL mdl = AllocatePages(PAGE_SIZE);
            ExFreePool(mdl); // pages still allocated
        },
        "STOP: 0x000000C4 \\(0x0000000000001008");
}

TEST_F(VerifierDeathTest, UnguardedRaiseAndInvalidKernelHandle)
{
    EXPECT_DEATH(ExRaiseStatus(STATUS_ACCESS_VIOLATION), "STOP: 0x0000001E \\(0x00000000C0000005");
    EXPECT_DEATH(ZwClose((HANDLE)(uintptr_t)0xFFFFFFFF80000FF0ull), "STOP: 0x00000093");
}

TEST_F(VerifierDeathTest, UnloadWithHoldingsNamesThemByKindAndTag)
{
    EXPECT_DEATH(
        {
            sk::DriverScope scope;
            ExAllocatePoolWithTag(NonPagedPoolNx, 24, kLeakTag);
            ExAllocatePoolWithTag(NonPagedPoolNx, 8, kLeakTag);
            PMDL mdl = AllocatePages(PAGE_SIZE);
            MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, FALSE, NormalPagePriority);
            scope.CheckUnload("leaky");
        },
        "driver leaky unloaded still holding:\n.*pool: 2 blocks, 32 bytes: NonPagedPoolNx 'Leak' x2"
        "(.|\n)*descriptor lists: 1\n.*mappings: 1(.|\n)*STOP: 0x000000C4 \\(0x0000000000000062");
}

TEST(DriverScope, CountsReferencesAndHandlesTheDriverTookAndLeavesOthersOut)
{
    void *before = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kLeakTag); // not the driver's
    sk::DriverScope scope;
    HANDLE handle;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    KEVENT go;
    KeInitializeEvent(&go, NotificationEvent, FALSE);
    ASSERT_EQ(PsCreateSystemThread(
                  &handle, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr,
                  [](PVOID e) { KeWaitForSingleObject(e, Executive, KernelMode, FALSE, nullptr); }, &go),
              STATUS_SUCCESS);
    PVOID thread;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &thread, nullptr),
              STATUS_SUCCESS);
    sk::Holdings held = scope.Held();
    EXPECT_EQ(held.handles, 1u);
    EXPECT_EQ(held.references, 1);
    EXPECT_EQ(held.poolBlocks, 0u);
    KeSetEvent(&go, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread);
    ZwClose(handle);
    EXPECT_TRUE(scope.Held().empty());
    scope.CheckUnload("tidy"); // returns: nothing held
    ExFreePool(before);
}

} // namespace
