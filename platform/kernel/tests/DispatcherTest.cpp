// Events and mutexes: auto-reset and stale signals, notification events
// waking every waiter, mutex recursion and ownership across threads.
#include <kernel_standin.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace sk = standin::kernel;

namespace {

LARGE_INTEGER Poll()
{
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    return zero;
}

NTSTATUS WaitPoll(PVOID object)
{
    LARGE_INTEGER zero = Poll();
    return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &zero);
}

NTSTATUS WaitForever(PVOID object)
{
    return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr);
}

TEST(SynchronizationEvent, StaleSignalStaysUntilOneWaitConsumesIt)
{
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    EXPECT_EQ(WaitPoll(&event), STATUS_TIMEOUT);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 1) << "KeSetEvent returns the previous state";
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(WaitPoll(&event), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&event), 0) << "a satisfied wait resets it";
    EXPECT_EQ(WaitPoll(&event), STATUS_TIMEOUT) << "two signals before a wait merge into one";
}

TEST(SynchronizationEvent, SignalWithWaitersReleasesExactlyOne)
{
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    std::atomic<int> woken{0};
    std::thread a([&] {
        EXPECT_EQ(WaitForever(&event), STATUS_SUCCESS);
        ++woken;
    });
    std::thread b([&] {
        EXPECT_EQ(WaitForever(&event), STATUS_SUCCESS);
        ++woken;
    });
    sk::WaitForBlockedWaiters(2, false);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    // The released waiter leaves the wait list; the other stays blocked and
    // the event is not left signalled for anyone else.
    sk::WaitForBlockedWaiters(1, false);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    EXPECT_EQ(WaitPoll(&event), STATUS_TIMEOUT);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    a.join();
    b.join();
    EXPECT_EQ(woken.load(), 2);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST(NotificationEvent, StaysSignalledAndReleasesEveryWaiter)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::thread a([&] { EXPECT_EQ(WaitForever(&event), STATUS_SUCCESS); });
    std::thread b([&] { EXPECT_EQ(WaitForever(&event), STATUS_SUCCESS); });
    sk::WaitForBlockedWaiters(2, false);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
    a.join();
    b.join();
    EXPECT_EQ(WaitPoll(&event), STATUS_SUCCESS);
    EXPECT_EQ(KeResetEvent(&event), 1);
    EXPECT_EQ(WaitPoll(&event), STATUS_TIMEOUT);
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    KeClearEvent(&event);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST(Mutex, IsRecursiveForItsOwnerAndFreedByTheLastRelease)
{
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    EXPECT_EQ(KeReadStateMutex(&mutex), 1);
    ASSERT_EQ(WaitForever(&mutex), STATUS_SUCCESS);
    ASSERT_EQ(WaitForever(&mutex), STATUS_SUCCESS);
    EXPECT_EQ(mutex.OwnerThread, KeGetCurrentThread());
    EXPECT_EQ(KeReleaseMutex(&mutex, FALSE), -1);
    EXPECT_EQ(mutex.OwnerThread, KeGetCurrentThread()) << "still held once";

    std::thread other([&] { EXPECT_EQ(WaitPoll(&mutex), STATUS_TIMEOUT) << "owned by another thread"; });
    other.join();

    EXPECT_EQ(KeReleaseMutex(&mutex, FALSE), 0);
    EXPECT_EQ(mutex.OwnerThread, nullptr);
    EXPECT_EQ(KeReadStateMutex(&mutex), 1);
}

TEST(Mutex, BlocksAnotherThreadUntilReleased)
{
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    ASSERT_EQ(WaitForever(&mutex), STATUS_SUCCESS);
    std::atomic<bool> acquired{false};
    std::thread other([&] {
        EXPECT_EQ(WaitForever(&mutex), STATUS_SUCCESS);
        acquired = true;
        EXPECT_EQ(mutex.OwnerThread, KeGetCurrentThread());
        KeReleaseMutex(&mutex, FALSE);
    });
    sk::WaitForBlockedWaiters(1, false);
    EXPECT_FALSE(acquired.load());
    KeReleaseMutex(&mutex, FALSE);
    other.join();
    EXPECT_TRUE(acquired.load());
    EXPECT_EQ(KeReadStateMutex(&mutex), 1);
}

TEST(WaitForMultipleObjects, AnyReturnsTheFirstSignalledIndexAllNeedsEvery)
{
    KEVENT first, second;
    KeInitializeEvent(&first, SynchronizationEvent, FALSE);
    KeInitializeEvent(&second, SynchronizationEvent, TRUE);
    PVOID objects[] = {&first, &second};
    LARGE_INTEGER zero = Poll();
    EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, &zero, nullptr),
              STATUS_WAIT_1);
    EXPECT_EQ(KeReadStateEvent(&second), 0) << "only the satisfying object is consumed";

    KeSetEvent(&first, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE, &zero, nullptr),
              STATUS_TIMEOUT);
    EXPECT_EQ(KeReadStateEvent(&first), 1) << "a wait-all that fails consumes nothing";
    KeSetEvent(&second, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE, &zero, nullptr),
              STATUS_WAIT_0);
    EXPECT_EQ(KeReadStateEvent(&first), 0);
    EXPECT_EQ(KeReadStateEvent(&second), 0);
}

TEST(SpinLock, ExcludesOtherThreadsAndRaisesToDispatch)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    long counter = 0;
    auto work = [&] {
        for (int i = 0; i < 2000; ++i) {
            KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
            EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
            ++counter;
            KeReleaseSpinLock(&lock, old);
            EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
        }
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
    EXPECT_EQ(counter, 4000);
}

TEST(Irql, IsPerThread)
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    std::thread other([] { EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL); });
    other.join();
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    // A poll is the one wait allowed at DISPATCH_LEVEL.
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    EXPECT_EQ(WaitPoll(&event), STATUS_TIMEOUT);
    KeLowerIrql(old);
}

} // namespace
