// CreateThread in emulated processes: the new thread runs in its creator's
// process, and ends with it.
#include <gtest/gtest.h>
#include <win32_standin.h>
#include <windows.h>

#include <atomic>

namespace {

struct Shared {
    HANDLE event = nullptr;
    HANDLE never = nullptr;
    std::atomic<bool> passedTheWait{false};
};

DWORD WINAPI MakeEvent(LPVOID parameter)
{
    static_cast<Shared *>(parameter)->event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    return 0;
}

DWORD WINAPI WaitForever(LPVOID parameter)
{
    auto *shared = static_cast<Shared *>(parameter);
    WaitForSingleObject(shared->never, INFINITE);
    shared->passedTheWait = true;
    return 0;
}

TEST(CreateThread, TheThreadRunsInItsCreatorsProcess)
{
    standin::win32::ClientProcess process;
    Shared shared;
    {
        standin::win32::ProcessScope in(process);
        HANDLE thread = CreateThread(nullptr, 0, &MakeEvent, &shared, 0, nullptr);
        ASSERT_NE(thread, nullptr);
        ASSERT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
        CloseHandle(thread);
        ASSERT_NE(shared.event, nullptr);
        EXPECT_TRUE(SetEvent(shared.event)); // the handle is in this process's table
    }
    SetLastError(0);
    EXPECT_FALSE(SetEvent(shared.event)); // and in no other
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(CreateThread, AThreadBlockedInAWaitEndsWithItsProcess)
{
    standin::win32::ClientProcess process;
    Shared shared;
    {
        standin::win32::ProcessScope in(process);
        shared.never = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        HANDLE thread = CreateThread(nullptr, 0, &WaitForever, &shared, 0, nullptr);
        ASSERT_NE(thread, nullptr);
        EXPECT_EQ(WaitForSingleObject(thread, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    }
    process.End(); // returns once the process's threads have ended
    EXPECT_FALSE(shared.passedTheWait.load());
    EXPECT_TRUE(process.Ended());
}

TEST(CreateThread, SuspendedStartsAndThreadIdsAreRefused)
{
    std::atomic<bool> ran{false};
    auto routine = [](LPVOID p) -> DWORD {
        *static_cast<std::atomic<bool> *>(p) = true;
        return 0;
    };
    DWORD id = 0;
    SetLastError(0);
    EXPECT_EQ(CreateThread(nullptr, 0, routine, &ran, CREATE_SUSPENDED, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    EXPECT_EQ(CreateThread(nullptr, 0, routine, &ran, 0, &id), nullptr);
    EXPECT_FALSE(ran.load());
}

} // namespace
