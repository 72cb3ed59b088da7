// The kernel helpers on the kernel stand-in: lists, pool allocation and the
// replaceable allocator, the recursive lock over a mutex and a spin lock, the
// wait helper and the bit count.
#include <gtest/gtest.h>

#include <kernel_standin.h>

#include <thread>

#include "KernelHelpers.h"
#include "Startup.h"

using namespace Mosaik;
namespace sk = standin::kernel;

namespace {

class KernelHelpers : public ::testing::Test {
protected:
    void SetUp() override
    {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        sk::ResetFaults();
        sk::ResetBreakPoints();
    }
    void TearDown() override
    {
        SetAllocator(nullptr, nullptr);
        SetOutOfMemoryHandler(nullptr);
        sk::ResetFaults();
    }
};

// ---- Lists -------------------------------------------------------------------

TEST_F(KernelHelpers, ListKeepsOrderAndLinks)
{
    ListHead list;
    list.Init();
    ListNode a, b, c;
    EXPECT_EQ(list.PopFront(), nullptr);
    EXPECT_EQ(list.Count, 0u);
    list.PushBack(&a);
    list.PushBack(&b);
    list.PushBack(&c);
    EXPECT_EQ(list.Count, 3u);
    EXPECT_EQ(list.Remove(&b), &b);
    EXPECT_EQ(b.Previous, nullptr);
    EXPECT_EQ(b.Next, nullptr);
    EXPECT_EQ(a.Next, &c);
    EXPECT_EQ(c.Previous, &a);
    EXPECT_EQ(list.Remove(&c), &c);
    EXPECT_EQ(list.Last, &a);
    EXPECT_EQ(list.PopFront(), &a);
    EXPECT_EQ(list.First, nullptr);
    EXPECT_EQ(list.Last, nullptr);
    EXPECT_EQ(list.Count, 0u);
    list.PushBack(&b);
    EXPECT_EQ(list.Remove(&b), &b) << "the only node";
    EXPECT_EQ(list.First, nullptr);
    EXPECT_EQ(list.Last, nullptr);
}

TEST_F(KernelHelpers, CountBits)
{
    EXPECT_EQ(CountBits(0), 0u);
    EXPECT_EQ(CountBits(0x63F), 8u);
    EXPECT_EQ(CountBits(0xFFFFFFFF), 32u);
    EXPECT_EQ(CountBits(0x80000001), 2u);
}

// ---- Memory ------------------------------------------------------------------

TEST_F(KernelHelpers, PoolAllocateZeroesOnlyWhenAsked)
{
    auto *plain = static_cast<UCHAR *>(PoolAllocate(64, 0));
    auto *zeroed = static_cast<UCHAR *>(PoolAllocate(64, PoolZeroed));
    ASSERT_NE(plain, nullptr);
    ASSERT_NE(zeroed, nullptr);
    int plainZeros = 0;
    for (int i = 0; i < 64; ++i) {
        EXPECT_EQ(zeroed[i], 0) << "byte " << i;
        plainZeros += plain[i] == 0;
    }
    EXPECT_LT(plainZeros, 64) << "the stand-in fills fresh pool, so an uncleared block is not all zeros";
    ExFreePool(plain);
    ExFreePool(zeroed);
}

// The pool type shows in the stand-in's leak report.
void LeakOne(ULONG major, ULONG minor, ULONG flags)
{
    sk::SetVersion(major, minor);
    if (!LibraryStartup())
        std::exit(3);
    sk::DriverScope scope;
    PoolAllocate(16, flags);
    scope.CheckUnload("mosaik");
}

TEST_F(KernelHelpers, PoolTypeFollowsFlagsAndVersion)
{
    EXPECT_DEATH(LeakOne(10, 0, 0), "NonPagedPoolNx 'None' x1");
    EXPECT_DEATH(LeakOne(6, 1, 0), ": NonPagedPool 'None' x1");
    EXPECT_DEATH(LeakOne(10, 0, PoolExecutable), ": NonPagedPool 'None' x1");
    EXPECT_DEATH(LeakOne(10, 0, PoolPaged), ": PagedPool 'None' x1");
    EXPECT_DEATH(LeakOne(6, 0, PoolPaged | PoolExecutable), ": PagedPool 'None' x1");
}

TEST_F(KernelHelpers, PagedPoolIsRefusedUnderASpinLock)
{
    SpinLock spin;
    auto pagedUnderLock = [&] {
        Lock(spin);
        PoolAllocate(16, PoolPaged);
    };
    EXPECT_DEATH(pagedUnderLock(), "STOP");
}

TEST_F(KernelHelpers, MemAllocTriesOnceWithoutAHandler)
{
    sk::FailNth(sk::Fault::PoolAllocation, 1);
    EXPECT_EQ(MemAlloc(32), nullptr);
    EXPECT_EQ(sk::OperationCount(sk::Fault::PoolAllocation), 1u);
    void *block = MemAlloc(32);
    EXPECT_NE(block, nullptr);
    MemFree(block);
    MemFree(nullptr);
}

int handlerCalls;
SIZE_T handlerSize;
int RetryTwice(SIZE_T size)
{
    handlerSize = size;
    return ++handlerCalls <= 2;
}

TEST_F(KernelHelpers, MemAllocRetriesWhileTheHandlerAsks)
{
    handlerCalls = 0;
    SetOutOfMemoryHandler(RetryTwice);
    sk::FailNth(sk::Fault::PoolAllocation, 1);
    sk::FailNth(sk::Fault::PoolAllocation, 2);
    void *block = MemAlloc(48);
    EXPECT_NE(block, nullptr);
    EXPECT_EQ(handlerCalls, 2);
    EXPECT_EQ(handlerSize, 48u);
    MemFree(block);

    handlerCalls = 0;
    for (size_t n = 1; n <= 3; ++n)
        sk::FailNth(sk::Fault::PoolAllocation, n);
    EXPECT_EQ(MemAlloc(48), nullptr) << "the handler gives up after two retries";
    EXPECT_EQ(handlerCalls, 3);
}

PVOID lastFreed;
PVOID FromArena(SIZE_T size, ULONG flags)
{
    static UCHAR arena[256];
    return size <= sizeof arena && flags == 0 ? arena : nullptr;
}
VOID RecordFree(PVOID block) { lastFreed = block; }

TEST_F(KernelHelpers, AllocatorCanBeReplaced)
{
    SetAllocator(FromArena, RecordFree);
    void *block = MemAlloc(100);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(MemAlloc(1000), nullptr);
    MemFree(block);
    EXPECT_EQ(lastFreed, block);
}

struct Widget : PoolAllocated {
    ULONG value[4];
};

TEST_F(KernelHelpers, PoolAllocatedObjectsLiveInPool)
{
    sk::DriverScope scope;
    Widget *w = new Widget;
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(scope.Held().poolBlocks, 1u);
    delete w;
    EXPECT_TRUE(scope.Held().empty());
    sk::FailNth(sk::Fault::PoolAllocation, 1);
    EXPECT_EQ(new Widget, nullptr) << "no exception: a failed new gives null";
}

// ---- Locks -------------------------------------------------------------------

class CountingLock : public RecursiveLock {
public:
    void Acquire() override { ++acquires; }
    void Release() override { ++releases; }
    int acquires = 0;
    int releases = 0;
};

TEST_F(KernelHelpers, NestedLockAcquiresOnceAndLastUnlockReleases)
{
    CountingLock lock;
    Lock(lock);
    Lock(lock);
    EXPECT_EQ(lock.acquires, 1);
    EXPECT_EQ(lock.RecursionCount, 2u);
    EXPECT_EQ(lock.Owner, KeGetCurrentThread());
    Unlock(lock);
    EXPECT_EQ(lock.releases, 0);
    Unlock(lock);
    EXPECT_EQ(lock.releases, 1);
    EXPECT_EQ(lock.Owner, nullptr);
}

// Polls the mutex from another thread: true when that thread got it (and
// gave it back).
bool OtherThreadGets(MutexLock &lock)
{
    bool got = false;
    std::thread other([&] {
        LARGE_INTEGER poll = {};
        got = WaitForObject(lock.Mutex, &poll);
        if (got)
            KeReleaseMutex(&lock.Mutex.Mutex, FALSE);
    });
    other.join();
    return got;
}

TEST_F(KernelHelpers, MutexLockHoldsTheKernelMutexUntilTheLastUnlock)
{
    MutexLock lock;
    EXPECT_TRUE(OtherThreadGets(lock));
    Lock(lock);
    Lock(lock);
    EXPECT_FALSE(OtherThreadGets(lock));
    Unlock(lock);
    EXPECT_FALSE(OtherThreadGets(lock)) << "still held after the inner Unlock";
    Unlock(lock);
    EXPECT_TRUE(OtherThreadGets(lock));
    EXPECT_EQ(sk::BreakPointCount(), 0u) << "a time-out is no reason to stop";
}

TEST_F(KernelHelpers, SpinLockRaisesToDispatchUntilTheLastUnlock)
{
    SpinLock lock;
    ASSERT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    Lock(lock);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    Lock(lock);
    Unlock(lock);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    Unlock(lock);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(KernelHelpers, WaitUnderASpinLockIsCaught)
{
    SpinLock spin;
    MutexLock mutex;
    auto waitUnderSpinLock = [&] {
        Lock(spin);
        Lock(mutex);
    };
    EXPECT_DEATH(waitUnderSpinLock(), "STOP: 0x0000000A.*\n.*in KeWaitForSingleObject");
}

TEST_F(KernelHelpers, WaitForObjectTimesOutOnAMutexHeldElsewhere)
{
    sk::UseVirtualClock(true);
    MutexLock lock;
    Lock(lock);
    bool got = true;
    std::thread other([&] {
        LARGE_INTEGER tenMs;
        tenMs.QuadPart = -100000;
        got = WaitForObject(lock.Mutex, &tenMs);
    });
    sk::WaitForBlockedWaiters(1);
    sk::AdvanceClock(100000);
    other.join();
    sk::UseVirtualClock(false);
    EXPECT_FALSE(got);
    Unlock(lock);
    EXPECT_EQ(sk::BreakPointCount(), 0u);
}

} // namespace
