// Pool and memory descriptor lists: tracked pool, zero-filled shared pages,
// system and user views over the same bytes, partial descriptors, and views
// that fault once removed.
#include <guarded_call.h>
#include <kernel_standin.h>

#include <gtest/gtest.h>

#include <cstring>

namespace sk = standin::kernel;

namespace {

constexpr ULONG kTag = 0x74736554; // "Test"
constexpr ULONG kNoExecute = 0x40000000;

PMDL AllocatePages(SIZE_T bytes)
{
    PHYSICAL_ADDRESS low, high, skip;
    low.QuadPart = 0;
    high.QuadPart = -1;
    skip.QuadPart = 0;
    return MmAllocatePagesForMdlEx(low, high, skip, bytes, MmCached, MM_ALLOCATE_FULLY_REQUIRED);
}

PVOID MapSystem(PMDL mdl)
{
    return MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, FALSE, NormalPagePriority | kNoExecute);
}

PVOID MapUser(PMDL mdl)
{
    return MmMapLockedPagesSpecifyCache(mdl, UserMode, MmCached, nullptr, FALSE, NormalPagePriority | kNoExecute);
}

void FreePages(PMDL mdl)
{
    MmFreePagesFromMdl(mdl);
    ExFreePool(mdl);
}

TEST(Pool, BlocksAreTrackedByTypeAndTagUntilFreed)
{
    sk::DriverScope scope;
    void *a = ExAllocatePoolWithTag(NonPagedPoolNx, 40, kTag);
    void *b = ExAllocatePool(PagedPool, 8);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(scope.Held().poolBlocks, 2u);
    EXPECT_EQ(scope.Held().poolBytes, 48u);
    ExFreePoolWithTag(a, kTag);
    ExFreePool(b);
    EXPECT_TRUE(scope.Held().empty());
}

TEST(Pool, Allocate2ZeroFillsUnlessAskedNotToAndRefusesBadFlags)
{
    auto *zeroed = static_cast<unsigned char *>(ExAllocatePool2(POOL_FLAG_NON_PAGED, 64, kTag));
    ASSERT_NE(zeroed, nullptr);
    for (int i = 0; i < 64; ++i)
        ASSERT_EQ(zeroed[i], 0) << "byte " << i;
    ExFreePool(zeroed);

    // Uninitialised pool is not left zero, so code that relies on it shows.
    auto *raw = static_cast<unsigned char *>(ExAllocatePool2(POOL_FLAG_PAGED | POOL_FLAG_UNINITIALIZED, 16, kTag));
    ASSERT_NE(raw, nullptr);
    EXPECT_NE(raw[0], 0);
    ExFreePool(raw);

    sk::DriverScope scope;
    EXPECT_EQ(ExAllocatePool2(0, 16, kTag), nullptr) << "no pool kind";
    EXPECT_EQ(ExAllocatePool2(POOL_FLAG_PAGED | POOL_FLAG_NON_PAGED, 16, kTag), nullptr) << "two kinds";
    EXPECT_EQ(ExAllocatePool2(POOL_FLAG_NON_PAGED | 0x1000, 16, kTag), nullptr) << "unknown flag";
    EXPECT_EQ(ExAllocatePool2(POOL_FLAG_NON_PAGED, 16, 0), nullptr) << "no tag";
    EXPECT_TRUE(scope.Held().empty());
}

TEST(Pool, RaiseOnFailureRaisesTheStatus)
{
    NTSTATUS status = GuardedCall(
        [](PVOID) -> NTSTATUS {
            ExAllocatePool2(POOL_FLAG_RAISE_ON_FAILURE, 16, kTag); // no pool kind: fails
            return STATUS_SUCCESS;
        },
        nullptr);
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
}

TEST(Pages, AreWholeZeroFilledPagesWithTheRequestedByteCount)
{
    PMDL mdl = AllocatePages(376);
    ASSERT_NE(mdl, nullptr);
    EXPECT_EQ(MmGetMdlByteCount(mdl), 376u);
    EXPECT_EQ(MmGetMdlVirtualAddress(mdl), nullptr);
    auto *view = static_cast<unsigned char *>(MapSystem(mdl));
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(mdl->MappedSystemVa, view);
    EXPECT_TRUE(mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA);
    for (int i = 0; i < PAGE_SIZE; ++i)
        ASSERT_EQ(view[i], 0) << "byte " << i;
    view[PAGE_SIZE - 1] = 1; // the whole page is there
    MmUnmapLockedPages(view, mdl);
    EXPECT_EQ(mdl->MappedSystemVa, nullptr);
    FreePages(mdl);
}

PMDL AllocatePagesEx(SIZE_T bytes, ULONG flags)
{
    PHYSICAL_ADDRESS low, high, skip;
    low.QuadPart = 0;
    high.QuadPart = -1;
    skip.QuadPart = 0;
    return MmAllocatePagesForMdlEx(low, high, skip, bytes, MmCached, flags);
}

TEST(Pages, NotZeroedOnRequestTheyHoldAPattern)
{
    PMDL mdl = AllocatePagesEx(2 * PAGE_SIZE, MM_DONT_ZERO_ALLOCATION);
    ASSERT_NE(mdl, nullptr);
    auto *bytes = static_cast<unsigned char *>(MapSystem(mdl));
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(bytes[0], 0xCD);
    EXPECT_EQ(bytes[2 * PAGE_SIZE - 1], 0xCD);
    MmUnmapLockedPages(bytes, mdl);
    FreePages(mdl);
}

// The memory manager may hand back fewer pages than asked: the caller sees it
// in the byte count, unless it required them all.
TEST(Pages, AShortAllocationHasASmallerByteCount)
{
    sk::ResetFaults();
    sk::FailNth(sk::Fault::ShortPages, 1);
    PMDL shortMdl = AllocatePagesEx(4 * PAGE_SIZE, 0);
    ASSERT_NE(shortMdl, nullptr);
    EXPECT_EQ(MmGetMdlByteCount(shortMdl), 2u * PAGE_SIZE);
    FreePages(shortMdl);
    sk::FailNth(sk::Fault::ShortPages, 1);
    PMDL full = AllocatePagesEx(4 * PAGE_SIZE, MM_ALLOCATE_FULLY_REQUIRED);
    ASSERT_NE(full, nullptr);
    EXPECT_EQ(MmGetMdlByteCount(full), 4u * PAGE_SIZE) << "required in full: never short";
    FreePages(full);
    EXPECT_EQ(sk::InjectedFailures(sk::Fault::ShortPages), 1u) << "only the first was cut";
    sk::ResetFaults();
}

TEST(Pages, UserViewIsADifferentAddressOverTheSameBytes)
{
    PMDL mdl = AllocatePages(512 * 1024);
    ASSERT_NE(mdl, nullptr);
    auto *system = static_cast<unsigned char *>(MapSystem(mdl));
    PEPROCESS client = sk::CreateProcess(false);
    unsigned char *user;
    {
        sk::ProcessScope in(client);
        user = static_cast<unsigned char *>(MapUser(mdl));
    }
    ASSERT_TRUE(system && user);
    EXPECT_NE(system, user);
    EXPECT_EQ(sk::UserMappingCount(client), 1u);
    EXPECT_EQ(mdl->MappedSystemVa, system) << "a user view leaves the system view alone";
    system[100] = 0x5A;
    EXPECT_EQ(user[100], 0x5A);
    user[512 * 1024 - 1] = 0xA5;
    EXPECT_EQ(system[512 * 1024 - 1], 0xA5);
    {
        sk::ProcessScope in(client);
        MmUnmapLockedPages(user, mdl);
    }
    EXPECT_EQ(sk::UserMappingCount(client), 0u);
    MmUnmapLockedPages(system, mdl);
    FreePages(mdl);
}

TEST(Pages, ThirtyTwoBitProcessesGetViewsBelowFourGigabytes)
{
    PMDL mdl = AllocatePages(PAGE_SIZE);
    ASSERT_NE(mdl, nullptr);
    PEPROCESS client = sk::CreateProcess(true);
    sk::ProcessScope in(client);
    PVOID user = MapUser(mdl);
    ASSERT_NE(user, nullptr);
    EXPECT_LT((uintptr_t)user, 0x100000000ull);
    MmUnmapLockedPages(user, mdl);
    FreePages(mdl);
}

TEST(PartialMdl, DescribesALeadingPartOfTheSamePages)
{
    PMDL mdl = AllocatePages(8 * PAGE_SIZE);
    ASSERT_NE(mdl, nullptr);
    auto *whole = static_cast<unsigned char *>(MapSystem(mdl));
    ASSERT_NE(whole, nullptr);
    PVOID start = MmGetMdlVirtualAddress(mdl);
    PMDL partial = IoAllocateMdl(start, 3 * PAGE_SIZE, FALSE, FALSE, nullptr);
    ASSERT_NE(partial, nullptr);
    IoBuildPartialMdl(mdl, partial, start, 3 * PAGE_SIZE);
    EXPECT_TRUE(partial->MdlFlags & MDL_PARTIAL);
    EXPECT_EQ(MmGetMdlByteCount(partial), 3u * PAGE_SIZE);
    EXPECT_EQ(MmGetMdlPfnArray(partial)[2], MmGetMdlPfnArray(mdl)[2]);
    auto *part = static_cast<unsigned char *>(MapSystem(partial));
    ASSERT_NE(part, nullptr);
    EXPECT_NE(part, whole);
    whole[2 * PAGE_SIZE + 7] = 0x33;
    EXPECT_EQ(part[2 * PAGE_SIZE + 7], 0x33);
    // Freeing a mapped partial descriptor removes its view, as on Windows.
    IoFreeMdl(partial);
    MmUnmapLockedPages(whole, mdl);
    FreePages(mdl);
}

TEST(PartialMdl, AtAnOffsetStartsAtThatByte)
{
    PMDL mdl = AllocatePages(4 * PAGE_SIZE);
    ASSERT_NE(mdl, nullptr);
    auto *whole = static_cast<unsigned char *>(MapSystem(mdl));
    auto *va = static_cast<char *>(MmGetMdlVirtualAddress(mdl)) + PAGE_SIZE + 16;
    PMDL partial = IoAllocateMdl(va, 100, FALSE, FALSE, nullptr);
    ASSERT_NE(partial, nullptr);
    IoBuildPartialMdl(mdl, partial, va, 100);
    EXPECT_EQ(MmGetMdlByteOffset(partial), 16u);
    whole[PAGE_SIZE + 16] = 0x77;
    auto *part = static_cast<unsigned char *>(MapSystem(partial));
    ASSERT_NE(part, nullptr);
    EXPECT_EQ(part[0], 0x77);
    MmUnmapLockedPages(part, partial);
    IoFreeMdl(partial);
    MmUnmapLockedPages(whole, mdl);
    FreePages(mdl);
}

using MemoryDeathTest = ::testing::Test;

TEST_F(MemoryDeathTest, ViewsFaultAfterUnmapAndAfterTheirProcessEnds)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    PMDL mdl = AllocatePages(PAGE_SIZE);
    ASSERT_NE(mdl, nullptr);
    auto *system = static_cast<volatile unsigned char *>(MapSystem(mdl));
    ASSERT_NE(system, nullptr);
    MmUnmapLockedPages((PVOID)system, mdl);
    EXPECT_DEATH(system[0] = 1, "");

    PEPROCESS client = sk::CreateProcess(false);
    volatile unsigned char *user;
    {
        sk::ProcessScope in(client);
        user = static_cast<volatile unsigned char *>(MapUser(mdl));
    }
    ASSERT_NE(user, nullptr);
    user[0] = 9; // mapped: fine
    sk::EndProcess(client);
    EXPECT_EQ(sk::UserMappingCount(client), 0u);
    EXPECT_DEATH((void)user[0], "");
    FreePages(mdl);
}

TEST(UserMapping, ThatCannotBeMadeRaisesAndTheGuardTurnsItIntoAStatus)
{
    PMDL mdl = AllocatePages(PAGE_SIZE);
    ASSERT_NE(mdl, nullptr);
    PEPROCESS client = sk::CreateProcess(false);
    sk::EndProcess(client); // an ended process takes no new views
    struct Attempt {
        PMDL mdl;
        PVOID view = reinterpret_cast<PVOID>(1);
        bool returned = false;
    } attempt{mdl};
    NTSTATUS status;
    {
        sk::ProcessScope in(client);
        status = GuardedCall(
            [](PVOID context) -> NTSTATUS {
                auto a = static_cast<Attempt *>(context);
                a->view = MapUser(a->mdl);
                a->returned = true;
                return STATUS_SUCCESS;
            },
            &attempt);
    }
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(attempt.returned) << "the raise abandons the routine";
    EXPECT_EQ(attempt.view, reinterpret_cast<PVOID>(1));
    FreePages(mdl);
}

TEST(Guard, NestsAndPassesTheRoutinesOwnStatus)
{
    NTSTATUS inner = 0;
    NTSTATUS outer = GuardedCall(
        [](PVOID context) -> NTSTATUS {
            *static_cast<NTSTATUS *>(context) =
                GuardedCall([](PVOID) -> NTSTATUS { ExRaiseStatus(STATUS_ACCESS_VIOLATION); }, nullptr);
            return STATUS_NO_MATCH;
        },
        &inner);
    EXPECT_EQ(inner, STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(outer, STATUS_NO_MATCH);
    EXPECT_EQ(GuardedCall([](PVOID) -> NTSTATUS { return STATUS_PENDING; }, nullptr), STATUS_PENDING);
}

} // namespace
