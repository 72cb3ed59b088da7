// Accounting and fault injection by owner: what each driver's code is handed
// counts against that driver alone, and a failure aimed at one driver (or one
// tag, thread or call site) lands on the same operation however the other
// threads of the machine interleave.
#include <kernel_standin.h>
#include "TestPages.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace sk = standin::kernel;

namespace {

constexpr ULONG kTagA = 0x41414141; // "AAAA"
constexpr ULONG kTagB = 0x42424242; // "BBBB"

// Allocates `count` blocks as `owner`, recording which allocations failed.
std::vector<int> AllocateAs(sk::Owner owner, ULONG tag, int count, std::vector<PVOID> &blocks)
{
    sk::OwnerScope as(owner);
    std::vector<int> failed;
    for (int i = 1; i <= count; ++i) {
        PVOID p = ExAllocatePoolWithTag(NonPagedPoolNx, 16, tag);
        if (p == nullptr)
            failed.push_back(i);
        else
            blocks.push_back(p);
    }
    return failed;
}

void FreeAs(sk::Owner owner, std::vector<PVOID> &blocks)
{
    sk::OwnerScope as(owner);
    for (PVOID p : blocks)
        ExFreePool(p);
    blocks.clear();
}

TEST(Owners, AFailureAimedAtOneDriverHitsItsOwnNthCallWhateverElseRuns)
{
    sk::DriverScope a("a"), b("b");
    for (int round = 0; round < 20; ++round) {
        sk::ResetFaults();
        sk::FailNth(sk::Fault::PoolAllocation, 3, sk::FaultFilter::ForOwner(a.Id()));
        std::vector<PVOID> blocksA, blocksB, blocksC;
        std::vector<int> failedA, failedB, failedC;
        // The other driver and the platform allocate at the same time.
        std::thread other([&] { failedB = AllocateAs(b.Id(), kTagB, 50, blocksB); });
        std::thread platform([&] { failedC = AllocateAs(sk::kPlatform, kTagB, 50, blocksC); });
        failedA = AllocateAs(a.Id(), kTagA, 10, blocksA);
        other.join();
        platform.join();
        EXPECT_EQ(failedA, std::vector<int>{3}) << round;
        EXPECT_TRUE(failedB.empty()) << round;
        EXPECT_TRUE(failedC.empty()) << round;
        FreeAs(a.Id(), blocksA);
        FreeAs(b.Id(), blocksB);
        FreeAs(sk::kPlatform, blocksC);
    }
    sk::ResetFaults();
}

// One call site for the call-site filter.
__attribute__((noinline)) PVOID allocateHere()
{
    PVOID p = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA);
    asm volatile("" ::: "memory"); // not a tail call: the site is this function's
    return p;
}

TEST(Owners, FiltersByTagThreadAndCallSite)
{
    sk::DriverScope driver("filters");
    sk::OwnerScope as(driver.Id());
    std::vector<PVOID> blocks;

    // By tag: the second allocation tagged B fails, A's go through.
    sk::ResetFaults();
    sk::FaultFilter byTag;
    byTag.tag = kTagB;
    sk::FailNth(sk::Fault::PoolAllocation, 2, byTag);
    EXPECT_EQ(sk::OperationCount(sk::Fault::PoolAllocation, byTag), 0u);
    PVOID a1 = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA);
    PVOID b1 = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagB);
    PVOID a2 = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA);
    PVOID b2 = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagB);
    EXPECT_NE(a1, nullptr);
    EXPECT_NE(b1, nullptr);
    EXPECT_NE(a2, nullptr);
    EXPECT_EQ(b2, nullptr);
    EXPECT_EQ(sk::OperationCount(sk::Fault::PoolAllocation, byTag), 2u);
    EXPECT_EQ(sk::OperationCount(sk::Fault::PoolAllocation), 4u);
    for (PVOID p : {a1, b1, a2})
        ExFreePool(p);

    // By thread: another thread's allocations do not count.
    sk::ResetFaults();
    sk::FaultFilter byThread;
    byThread.thread = KeGetCurrentThread();
    sk::FailNth(sk::Fault::PoolAllocation, 1, byThread);
    std::thread([&] {
        sk::OwnerScope same(driver.Id());
        PVOID p = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA);
        EXPECT_NE(p, nullptr);
        ExFreePool(p);
    }).join();
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA), nullptr);

    // By call site: found by running once, then aimed at.
    sk::ResetFaults();
    PVOID probe = allocateHere();
    sk::FaultFilter bySite;
    bySite.site = sk::LastCallSite(sk::Fault::PoolAllocation);
    ExFreePool(probe);
    sk::ResetFaults();
    sk::FailNth(sk::Fault::PoolAllocation, 2, bySite);
    PVOID elsewhere = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA); // another call site
    PVOID first = allocateHere();
    PVOID second = allocateHere();
    EXPECT_NE(elsewhere, nullptr);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    ExFreePool(elsewhere);
    ExFreePool(first);
    sk::ResetFaults();
}

TEST(Owners, EachDriverHoldsOnlyWhatItsOwnCodeWasHanded)
{
    sk::DriverScope a("a"), b("b");
    std::vector<PVOID> blocksA, blocksB;
    AllocateAs(a.Id(), kTagA, 2, blocksA);
    AllocateAs(b.Id(), kTagB, 3, blocksB);
    PMDL mdl;
    {
        sk::OwnerScope as(b.Id());
        mdl = AllocatePages(PAGE_SIZE);
    }
    PVOID platformBlock = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA); // the platform's own
    sk::Holdings heldA = a.Held(), heldB = b.Held();
    EXPECT_EQ(heldA.poolBlocks, 2u);
    EXPECT_EQ(heldA.mdls, 0u);
    EXPECT_EQ(heldB.poolBlocks, 3u);
    EXPECT_EQ(heldB.mdls, 1u);
    FreeAs(a.Id(), blocksA);
    EXPECT_TRUE(a.Held().empty());
    a.CheckUnload("a"); // returns: b's holdings are not a's
    {
        sk::OwnerScope as(b.Id());
        MmFreePagesFromMdl(mdl);
        ExFreePool(mdl);
    }
    FreeAs(b.Id(), blocksB);
    b.CheckUnload("b");
    ExFreePool(platformBlock);
}

void LeakInTwoDrivers()
{
    sk::DriverScope a("alpha");
    sk::DriverScope b("beta");
    std::vector<PVOID> blocksA;
    std::vector<PVOID> blocksB;
    AllocateAs(a.Id(), kTagA, 1, blocksA);
    AllocateAs(b.Id(), kTagB, 2, blocksB);
    b.CheckUnload("beta");
}

TEST(OwnersDeathTest, TheLeakReportOfOneDriverNamesOnlyItsOwn)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        LeakInTwoDrivers(),
        "driver beta unloaded still holding:\n.*pool: 2 blocks, 32 bytes: NonPagedPoolNx 'BBBB' x2 \\(32 bytes\\)");
}

} // namespace
