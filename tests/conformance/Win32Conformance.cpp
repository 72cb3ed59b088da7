// The Win32 behaviour the client library depends on, checked against the
// stand-in (Linux) and against Wine (Windows build). Where they disagree,
// the stand-in is wrong.
#include <gtest/gtest.h>
#include <windows.h>
#include <mmsystem.h>
#include <setupapi.h>
#include <winioctl.h>
#include <winternl.h>
#include <stdarg.h>
#include <wchar.h>
#include <atomic>
#include <thread>

namespace {

constexpr DWORD MessageFlags = 0x12FF; // from system, ignore inserts, width mask

int Format(wchar_t *buf, size_t count, const wchar_t *format, ...)
{
    va_list args;
    va_start(args, format);
    const int n = _vsnwprintf(buf, count, format, args);
    va_end(args);
    return n;
}

} // namespace

TEST(FormatMessageW, WidthMaskGivesOneLineWithTrailingBlank)
{
    for (DWORD id : {0x0u, 0x5u, 0x80070005u, 0x80070008u, 0x8007000Bu, 0x8007006Fu, 0x80070490u}) {
        wchar_t buf[256];
        wmemset(buf, L'#', 256);
        SetLastError(0xDEAD);
        const DWORD n = FormatMessageW(MessageFlags, nullptr, id, 0x400, buf, 256, nullptr);
        ASSERT_GT(n, 1u) << std::hex << id;
        EXPECT_EQ(wcslen(buf), n) << std::hex << id;
        EXPECT_EQ(buf[n - 1], L' ') << std::hex << id;
        EXPECT_EQ(wcspbrk(buf, L"\r\n"), nullptr) << std::hex << id;
    }
}

TEST(FormatMessageW, UnknownIdFindsNothing)
{
    wchar_t buf[64];
    wmemset(buf, L'#', 64);
    SetLastError(0);
    EXPECT_EQ(FormatMessageW(MessageFlags, nullptr, 0x20000001, 0x400, buf, 64, nullptr), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND));
}

TEST(FormatMessageW, BufferTooSmallFails)
{
    wchar_t buf[4];
    SetLastError(0);
    EXPECT_EQ(FormatMessageW(MessageFlags, nullptr, 0x80070005, 0x400, buf, 4, nullptr), 0u);
    EXPECT_NE(GetLastError(), 0u);
}

TEST(LastError, IsPerThread)
{
    // Each thread sets its own value, waits (without any Win32 call) until
    // the other has set its value too, then reads its own back.
    std::atomic<int> set{0};
    DWORD seen[2] = {0, 0};
    auto body = [&](int i) {
        SetLastError(1000 + i);
        set.fetch_add(1);
        while (set.load() < 2) {
        }
        seen[i] = GetLastError();
    };
    std::thread a(body, 0), b(body, 1);
    a.join();
    b.join();
    EXPECT_EQ(seen[0], 1000u);
    EXPECT_EQ(seen[1], 1001u);
}

TEST(HresultFromWin32, WrapsOnlyPositiveErrors)
{
    EXPECT_EQ(HRESULT_FROM_WIN32(0), 0);
    EXPECT_EQ(static_cast<DWORD>(HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED)), 0x80070005u);
    EXPECT_EQ(static_cast<DWORD>(HRESULT_FROM_WIN32(ERROR_NOT_FOUND)), 0x80070490u);
    EXPECT_EQ(static_cast<DWORD>(HRESULT_FROM_WIN32(0x80070005)), 0x80070005u);
    EXPECT_EQ(static_cast<DWORD>(HRESULT_FROM_WIN32(0x12345678)), 0x80075678u);
}

TEST(BoundedWideFormat, WindowsSemantics)
{
    wchar_t buf[8];
    wmemset(buf, L'#', 8);
    EXPECT_EQ(Format(buf, 8, L"%ls-%u", L"ab", 12u), 5);
    EXPECT_STREQ(buf, L"ab-12");
    // Exactly full: no terminator.
    wmemset(buf, L'#', 8);
    EXPECT_EQ(Format(buf, 4, L"%u", 1234u), 4);
    EXPECT_EQ(buf[3], L'4');
    EXPECT_EQ(buf[4], L'#');
    // Cut: count characters, no terminator, negative result.
    wmemset(buf, L'#', 8);
    EXPECT_LT(Format(buf, 4, L"%u", 123456u), 0);
    EXPECT_EQ(wmemcmp(buf, L"1234", 4), 0);
    EXPECT_EQ(buf[4], L'#');
    // A plain %s takes a wide string.
    wmemset(buf, L'#', 8);
    EXPECT_EQ(Format(buf, 8, L"%s|%c", L"wide", L'z'), 6);
    EXPECT_STREQ(buf, L"wide|z");
    EXPECT_EQ(Format(buf, 8, L"%x", 0x60Fu), 3);
    EXPECT_STREQ(buf, L"60f");
}

// Every status the driver and the platform produce, with the Win32 error
// Windows' table gives it.
TEST(RtlNtStatusToDosError, MapsTheStatusesOfTheSystem)
{
    struct {
        uint32_t status;
        DWORD error;
    } const cases[] = {
        {0x00000000, 0},    {0x00000102, 1460}, {0x00000103, 997},  {0x40000000, 698},  {0x80000005, 234},
        {0x80000011, 170},  {0x8000001A, 259},  {0xC0000001, 31},   {0xC0000002, 1},    {0xC0000005, 998},
        {0xC0000008, 6},    {0xC000000D, 87},   {0xC000000E, 433},  {0xC0000010, 1},    {0xC0000016, 234},
        {0xC0000017, 8},    {0xC0000022, 5},    {0xC0000023, 122},  {0xC0000024, 6},    {0xC0000033, 123},
        {0xC0000034, 2},    {0xC0000035, 183},  {0xC0000038, 548},  {0xC000003A, 3},    {0xC000003C, 1117},
        {0xC000003D, 1117}, {0xC000009A, 1450}, {0xC00000A3, 21},   {0xC00000BB, 50},   {0xC00000E5, 1359},
        {0xC0000120, 995},  {0xC0000184, 22},   {0xC0000225, 1168}, {0xC0000272, 1169}, {0xC0000718, 1359},
        {0xC0000206, 1784}, {0xC0000230, 1170}, {0x80000002, 998},  {0xC000004B, 5},    {0xC000010A, 5},
        {0xC000000B, 87},
    };
    for (const auto &c : cases)
        EXPECT_EQ(RtlNtStatusToDosError(static_cast<NTSTATUS>(c.status)), c.error) << std::hex << c.status;
}

TEST(RtlNtStatusToDosError, WrappedAndUnknownStatuses)
{
    // Win32 errors carried as NTSTATUS or HRESULT give back the error; customer
    // codes pass unchanged; an unknown status has no error.
    EXPECT_EQ(RtlNtStatusToDosError(static_cast<NTSTATUS>(0xC0070005)), 5u);
    EXPECT_EQ(RtlNtStatusToDosError(static_cast<NTSTATUS>(0x80070005)), 5u);
    EXPECT_EQ(RtlNtStatusToDosError(static_cast<NTSTATUS>(0x20000001)), 0x20000001u);
    EXPECT_EQ(RtlNtStatusToDosError(static_cast<NTSTATUS>(0xE0001234)), 0xE0001234u);
    EXPECT_EQ(RtlNtStatusToDosError(static_cast<NTSTATUS>(0xC0001234)), 317u);
}

TEST(CreateFileW, DevicePathWithoutDeviceFails)
{
    SetLastError(0);
    HANDLE h = CreateFileW(L"\\\\?\\ROOT#MEDIA#0999#{e6dcd72d-0668-429f-8a1b-e72dfe991340}\\x\\Render",
                           GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));

    SetLastError(0);
    h = CreateFileW(L"\\\\?\\ROOT#MEDIA#0999#{e6dcd72d-0668-429f-8a1b-e72dfe991340}", GENERIC_READ, 0, nullptr,
                    OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST(Handles, InvalidHandlesAreRefused)
{
    HANDLE bogus = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x7FF0));
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(bogus));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    BYTE out[8];
    memset(out, 0xA5, sizeof out);
    DWORD returned = 0xDEAD;
    SetLastError(0);
    EXPECT_FALSE(DeviceIoControl(bogus, CTL_CODE(FILE_DEVICE_UNKNOWN, 0x901, METHOD_BUFFERED, FILE_READ_ACCESS),
                                 nullptr, 0, out, sizeof out, &returned, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(out[0], 0xA5);

    SetLastError(0);
    EXPECT_EQ(WaitForSingleObject(bogus, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    SetLastError(0);
    EXPECT_FALSE(SetEvent(bogus));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(ProcessHandles, PseudoHandleDuplicationAndErrors)
{
    HANDLE real = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(), &real, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    EXPECT_NE(real, GetCurrentProcess());
    EXPECT_EQ(GetProcessId(real), GetCurrentProcessId());
    EXPECT_TRUE(CloseHandle(real));
    EXPECT_TRUE(CloseHandle(GetCurrentProcess())) << "a pseudo handle closes as a no-op";

    SetLastError(0);
    EXPECT_EQ(OpenProcess(SYNCHRONIZE, FALSE, 0xFFFFFFF0u), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    HANDLE self = OpenProcess(SYNCHRONIZE, FALSE, GetCurrentProcessId());
    ASSERT_NE(self, nullptr);
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr), duplicate = nullptr;
    SetLastError(0);
    EXPECT_FALSE(DuplicateHandle(GetCurrentProcess(), event, self, &duplicate, 0, FALSE, DUPLICATE_SAME_ACCESS));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED)) << "no PROCESS_DUP_HANDLE";
    EXPECT_EQ(GetProcessId(self), 0u) << "no query access";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

    // Option bits it does not know are ignored.
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), event, GetCurrentProcess(), &duplicate, 0, FALSE,
                                DUPLICATE_SAME_ACCESS | 0x100));
    EXPECT_TRUE(SetEvent(duplicate));
    EXPECT_TRUE(CloseHandle(duplicate));
    // An event is no process; with DUPLICATE_CLOSE_SOURCE the source goes all the same.
    SetLastError(0);
    EXPECT_FALSE(DuplicateHandle(GetCurrentProcess(), event, event, &duplicate, 0, FALSE,
                                 DUPLICATE_SAME_ACCESS | DUPLICATE_CLOSE_SOURCE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    SetLastError(0);
    EXPECT_FALSE(SetEvent(event));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_TRUE(CloseHandle(self));
}

TEST(Events, AutoResetReleasesOneWaitAndManualResetStays)
{
    HANDLE autoReset = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE manual = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    ASSERT_NE(autoReset, nullptr);
    ASSERT_NE(manual, nullptr);

    EXPECT_EQ(WaitForSingleObject(autoReset, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_TRUE(SetEvent(autoReset));
    EXPECT_TRUE(SetEvent(autoReset)); // a second signal is not counted
    EXPECT_EQ(WaitForSingleObject(autoReset, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(autoReset, 0), static_cast<DWORD>(WAIT_TIMEOUT));

    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(manual, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(ResetEvent(manual));
    EXPECT_EQ(WaitForSingleObject(manual, 0), static_cast<DWORD>(WAIT_TIMEOUT));

    EXPECT_TRUE(CloseHandle(autoReset));
    EXPECT_TRUE(CloseHandle(manual));
    // A closed handle is gone.
    SetLastError(0);
    EXPECT_FALSE(SetEvent(manual));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(Events, SetFromAnotherThreadWakesTheWaiter)
{
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    std::thread setter([event] { SetEvent(event); });
    EXPECT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
    setter.join();
    CloseHandle(event);
}

DWORD WINAPI CountAndSet(LPVOID parameter)
{
    auto *counter = static_cast<std::atomic<int> *>(parameter);
    ++*counter;
    return 0;
}

TEST(Threads, CreateThreadRunsTheRoutineAndItsHandleIsSignalledAtItsEnd)
{
    std::atomic<int> counter{0};
    HANDLE thread = CreateThread(nullptr, 0, &CountAndSet, &counter, 0, nullptr);
    ASSERT_NE(thread, nullptr) << GetLastError();
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(counter.load(), 1);
    // Still signalled: a thread's end is not consumed by a wait.
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(CloseHandle(thread));
}

TEST(WaitForMultipleObjects, AnyGivesTheLowestSignalledIndexAllNeedsEveryOne)
{
    HANDLE events[3];
    for (HANDLE &event : events) {
        event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        ASSERT_NE(event, nullptr);
    }
    EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    SetEvent(events[2]);
    SetEvent(events[1]);
    EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForMultipleObjects(3, events, TRUE, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    SetEvent(events[0]);
    EXPECT_EQ(WaitForMultipleObjects(3, events, TRUE, 0), WAIT_OBJECT_0);

    // An auto-reset event that ends a wait for any is consumed by it.
    HANDLE pulse = CreateEventW(nullptr, FALSE, TRUE, nullptr);
    HANDLE pair[2] = {events[0], pulse};
    ResetEvent(events[0]);
    EXPECT_EQ(WaitForMultipleObjects(2, pair, FALSE, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForMultipleObjects(2, pair, FALSE, 0), static_cast<DWORD>(WAIT_TIMEOUT));

    // Set from another thread while the wait is blocked.
    std::thread setter([&] { SetEvent(pulse); });
    EXPECT_EQ(WaitForMultipleObjects(2, pair, FALSE, INFINITE), WAIT_OBJECT_0 + 1);
    setter.join();
    CloseHandle(pulse);
    for (HANDLE event : events)
        CloseHandle(event);
}

TEST(WaitForMultipleObjects, RefusesNoHandlesTooManyAndABadOne)
{
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    SetLastError(0);
    EXPECT_EQ(WaitForMultipleObjects(0, &event, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    HANDLE many[MAXIMUM_WAIT_OBJECTS + 1];
    for (HANDLE &h : many)
        h = event;
    SetLastError(0);
    EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS + 1, many, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    HANDLE withBad[2] = {event, reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x7FF0))};
    SetLastError(0);
    EXPECT_EQ(WaitForMultipleObjects(2, withBad, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    CloseHandle(event);
}

TEST(PerformanceCounter, TenMegahertzAndMonotonic)
{
    LARGE_INTEGER frequency, a, b;
    ASSERT_TRUE(QueryPerformanceFrequency(&frequency));
    EXPECT_EQ(frequency.QuadPart, 10000000);
    ASSERT_TRUE(QueryPerformanceCounter(&a));
    Sleep(0);
    ASSERT_TRUE(QueryPerformanceCounter(&b));
    EXPECT_GE(b.QuadPart, a.QuadPart);
}

TEST(TimerResolution, PeriodsInRangeAreAccepted)
{
    EXPECT_EQ(timeBeginPeriod(1), static_cast<MMRESULT>(TIMERR_NOERROR));
    EXPECT_EQ(timeEndPeriod(1), static_cast<MMRESULT>(TIMERR_NOERROR));
    EXPECT_EQ(timeBeginPeriod(0), static_cast<MMRESULT>(TIMERR_NOCANDO));
    EXPECT_EQ(timeEndPeriod(0), static_cast<MMRESULT>(TIMERR_NOCANDO));
}

TEST(IsBadReadPtr, ProbesTheRange)
{
    static const char data[64] = "readable";
    EXPECT_FALSE(IsBadReadPtr(data, sizeof data));
    EXPECT_FALSE(IsBadReadPtr(nullptr, 0)); // an empty range is never bad
    EXPECT_TRUE(IsBadReadPtr(nullptr, 1));
    EXPECT_TRUE(IsBadReadPtr(reinterpret_cast<const void *>(static_cast<uintptr_t>(0x10)), 16));
}

TEST(GetModuleFileNameW, NamesTheExecutable)
{
    wchar_t path[MAX_PATH];
    SetLastError(0);
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    ASSERT_GT(n, 0u);
    EXPECT_EQ(wcslen(path), n);
    EXPECT_NE(wcsstr(path, L"win32_conformance_test"), nullptr);

    // Too small: the size is returned and the buffer holds the start of the
    // path, never more than its size (Windows terminates the cut text, Wine
    // does not, so the last character is not looked at).
    wchar_t small[9];
    wmemset(small, L'#', 9);
    EXPECT_EQ(GetModuleFileNameW(nullptr, small, 8), 8u);
    EXPECT_EQ(wcsncmp(small, path, 7), 0);
    EXPECT_EQ(small[8], L'#');
}

TEST(SetupDi, NoInterfaceOfAnUnusedClass)
{
    // A class no device of this machine has.
    const GUID unused = {0x5c6d8e41, 0x2b7a, 0x4f39, {0x9e, 0x18, 0x3d, 0x7a, 0x60, 0x52, 0xc4, 0x8b}};
    HDEVINFO set = SetupDiGetClassDevsW(&unused, nullptr, nullptr, DIGCF_PRESENT | DIGCF_PROFILE | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVICE_INTERFACE_DATA data;
    memset(&data, 0, sizeof data);
    data.cbSize = sizeof data;
    SetLastError(0);
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &unused, 0, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
}

TEST(SetupDi, RecordLayoutsAreThoseOf64BitWindows)
{
    EXPECT_EQ(sizeof(SP_DEVICE_INTERFACE_DATA), 32u);
    EXPECT_EQ(sizeof(SP_DEVINFO_DATA), 32u);
    EXPECT_EQ(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W), 8u);
}
