// Process handles between emulated processes: OpenProcess by id, handles
// duplicated into another process's table, DUPLICATE_CLOSE_SOURCE even on
// failure, the access a process handle grants, and a process handle that is
// signalled when its process ends.
#include <gtest/gtest.h>
#include <win32_standin.h>
#include <windows.h>

#include <atomic>

namespace {

using standin::win32::ClientProcess;
using standin::win32::ProcessScope;

DWORD IdOf(const ClientProcess &process)
{
    ProcessScope in(process);
    return GetCurrentProcessId();
}

struct Waiting {
    HANDLE event = nullptr;
    std::atomic<DWORD> result{0xFFFFFFFF};
};

void WaitInB(void *context)
{
    auto *w = static_cast<Waiting *>(context);
    w->result = WaitForSingleObject(w->event, INFINITE);
}

TEST(ProcessHandles, AnEventDuplicatedIntoAnotherProcessWakesItsThread)
{
    ClientProcess a, b;
    Waiting waiting;
    HANDLE event;
    {
        ProcessScope in(a);
        event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        ASSERT_NE(event, nullptr);
        HANDLE toB = OpenProcess(PROCESS_DUP_HANDLE, FALSE, IdOf(b));
        ASSERT_NE(toB, nullptr) << GetLastError();
        ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), event, toB, &waiting.event, 0, FALSE, DUPLICATE_SAME_ACCESS))
            << GetLastError();
        EXPECT_TRUE(CloseHandle(toB));
    }
    EXPECT_EQ(b.HandleCount(), 1u) << "the duplicate is in b's table";
    b.RunThread("waits in b", WaitInB, &waiting);
    {
        ProcessScope in(a);
        EXPECT_TRUE(SetEvent(event));
    }
    b.JoinThreads();
    EXPECT_EQ(waiting.result.load(), WAIT_OBJECT_0);
    {
        ProcessScope in(a);
        EXPECT_TRUE(CloseHandle(event));
    }
    EXPECT_EQ(a.HandleCount(), 0u);
}

TEST(ProcessHandles, CloseSourceClosesItEvenWhenTheDuplicateFails)
{
    ClientProcess a, b;
    ProcessScope in(a);
    HANDLE toB = OpenProcess(PROCESS_DUP_HANDLE, FALSE, IdOf(b));
    ASSERT_NE(toB, nullptr);

    HANDLE moved = CreateEventW(nullptr, TRUE, FALSE, nullptr), inB = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), moved, toB, &inB, 0, FALSE,
                                DUPLICATE_SAME_ACCESS | DUPLICATE_CLOSE_SOURCE));
    EXPECT_NE(inB, nullptr);
    SetLastError(0);
    EXPECT_FALSE(SetEvent(moved)) << "the source went with the duplication";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    // An event is no process: the duplicate fails, and the source goes all the same.
    HANDLE doomed = CreateEventW(nullptr, TRUE, FALSE, nullptr), none = reinterpret_cast<HANDLE>(1);
    EXPECT_FALSE(DuplicateHandle(GetCurrentProcess(), doomed, doomed, &none, 0, FALSE,
                                 DUPLICATE_SAME_ACCESS | DUPLICATE_CLOSE_SOURCE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(none, nullptr) << "no handle is handed out on failure";
    EXPECT_EQ(a.HandleCount(), 1u) << "only the process handle is left";

    // Without DUPLICATE_CLOSE_SOURCE a failure leaves the source alone.
    HANDLE kept = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_FALSE(DuplicateHandle(GetCurrentProcess(), kept, kept, &none, 0, FALSE, DUPLICATE_SAME_ACCESS));
    EXPECT_TRUE(SetEvent(kept));
    EXPECT_TRUE(CloseHandle(kept));
    EXPECT_TRUE(CloseHandle(toB));
}

TEST(ProcessHandles, AProcessHandleGrantsWhatWasAskedAndNoMore)
{
    ClientProcess a, b;
    const DWORD idOfB = IdOf(b);
    ProcessScope in(a);
    HANDLE waitOnly = OpenProcess(SYNCHRONIZE, FALSE, idOfB);
    ASSERT_NE(waitOnly, nullptr);
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr), duplicate = nullptr;
    SetLastError(0);
    EXPECT_FALSE(DuplicateHandle(GetCurrentProcess(), event, waitOnly, &duplicate, 0, FALSE, DUPLICATE_SAME_ACCESS));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(GetProcessId(waitOnly), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(b.HandleCount(), 0u);

    HANDLE query = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, idOfB);
    ASSERT_NE(query, nullptr);
    EXPECT_EQ(GetProcessId(query), idOfB);
    EXPECT_NE(idOfB, GetCurrentProcessId());

    SetLastError(0);
    EXPECT_EQ(OpenProcess(SYNCHRONIZE, FALSE, 0xFFFFFFF0u), nullptr) << "no process has that id";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(GetProcessId(event), 0u) << "an event is no process";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    for (HANDLE h : {waitOnly, query, event})
        EXPECT_TRUE(CloseHandle(h));
}

TEST(ProcessHandles, ThePseudoHandleBecomesARealOneAndNeedsNoClosing)
{
    ClientProcess a;
    ProcessScope in(a);
    HANDLE real = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(), &real, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    ASSERT_NE(real, nullptr);
    EXPECT_NE(real, GetCurrentProcess());
    EXPECT_EQ(GetProcessId(real), GetCurrentProcessId());
    EXPECT_EQ(GetProcessId(GetCurrentProcess()), GetCurrentProcessId());
    EXPECT_EQ(a.HandleCount(), 1u);
    EXPECT_TRUE(CloseHandle(real));
    EXPECT_TRUE(CloseHandle(GetCurrentProcess()));
    EXPECT_EQ(a.HandleCount(), 0u);
}

TEST(ProcessHandles, AProcessHandleIsSignalledWhenItsProcessEnds)
{
    ClientProcess a, b;
    HANDLE ofB;
    {
        ProcessScope in(a);
        ofB = OpenProcess(SYNCHRONIZE | PROCESS_DUP_HANDLE, FALSE, IdOf(b));
        ASSERT_NE(ofB, nullptr);
        EXPECT_EQ(WaitForSingleObject(ofB, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    }
    b.End();
    ProcessScope in(a);
    EXPECT_EQ(WaitForSingleObject(ofB, 0), WAIT_OBJECT_0);
    // An ended process takes no new handles.
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr), duplicate = nullptr;
    SetLastError(0);
    EXPECT_FALSE(DuplicateHandle(GetCurrentProcess(), event, ofB, &duplicate, 0, FALSE, DUPLICATE_SAME_ACCESS));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(CloseHandle(event));
    EXPECT_TRUE(CloseHandle(ofB));
}

} // namespace
