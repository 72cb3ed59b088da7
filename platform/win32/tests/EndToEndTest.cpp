// A driver written with the kernel API only is loaded, added and started and
// registers its interface; a client process finds it with SetupDi, opens it
// with CreateFileW on that path plus a reference string, talks to it with
// buffered device-control requests, and ends; the driver sees cleanup and
// close in that process and unloads with nothing left.
#include "TestDriver.h"

#include <gtest/gtest.h>
#include <setupapi.h>
#include <win32_standin.h>
#include <winioctl.h>

#include <cstring>
#include <string>

namespace {

constexpr GUID ChannelClass = {0xe6dcd72d, 0x0668, 0x429f, {0x8a, 0x1b, 0xe7, 0x2d, 0xfe, 0x99, 0x13, 0x40}};

// The first present interface of the class, as the client library finds it.
std::wstring FindInterface()
{
    HDEVINFO set = SetupDiGetClassDevsW(&ChannelClass, nullptr, nullptr, 0x1A);
    if (set == INVALID_HANDLE_VALUE)
        return {};
    SP_DEVICE_INTERFACE_DATA data;
    std::memset(&data, 0, sizeof data);
    data.cbSize = sizeof data;
    std::wstring path;
    alignas(8) BYTE storage[528] = {};
    auto *detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(storage);
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    SP_DEVINFO_DATA device;
    std::memset(&device, 0, sizeof device);
    device.cbSize = sizeof device;
    if (SetupDiEnumDeviceInterfaces(set, nullptr, &ChannelClass, 0, &data) && (data.Flags & SPINT_ACTIVE) &&
        SetupDiGetDeviceInterfaceDetailW(set, &data, detail, sizeof storage, nullptr, &device))
        path = detail->DevicePath;
    SetupDiDestroyDeviceInfoList(set);
    return path;
}

TEST(EndToEnd, ClientProcessTalksToTheDriverAndEnds)
{
    testdriver::Config config;
    config.interfaceClass = ChannelClass;
    config.information = 8;
    config.failStatus = static_cast<int32_t>(0xC00000A3); // STATUS_DEVICE_NOT_READY
    ASSERT_EQ(testdriver::Load(config), 0);
    const auto &seen = testdriver::State();
    EXPECT_EQ(seen.starts, 1);

    standin::win32::ClientProcess client;
    {
        standin::win32::ProcessScope in(client);
        const std::wstring path = FindInterface();
        ASSERT_FALSE(path.empty());
        const std::wstring name = path + L"\\e6dcd72d-0668-429f-8a1b-e72dfe991340\\Render";
        HANDLE pipe = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(pipe, INVALID_HANDLE_VALUE) << GetLastError();
        EXPECT_EQ(seen.creates, 1);
        EXPECT_EQ(seen.createProcess, client.Id());
        EXPECT_EQ(std::string(seen.fileName.begin(), seen.fileName.end()),
                  "\\e6dcd72d-0668-429f-8a1b-e72dfe991340\\Render");

        // A buffered request: the input reaches the driver, its answer comes back.
        const DWORD request[2] = {3, 0x12345678};
        BYTE answer[16];
        std::memset(answer, 0x55, sizeof answer);
        DWORD returned = 0;
        ASSERT_TRUE(DeviceIoControl(pipe, testdriver::EchoBuffered, const_cast<DWORD *>(request), sizeof request,
                                    answer, sizeof answer, &returned, nullptr));
        EXPECT_EQ(returned, 8u);
        EXPECT_EQ(std::memcmp(seen.systemBufferAtEntry.data(), request, sizeof request), 0);
        EXPECT_EQ(answer[7], 0xC7);
        EXPECT_EQ(answer[8], 0x55);

        // A refusal of the driver reaches the caller as its Win32 error.
        returned = 99;
        SetLastError(0);
        EXPECT_FALSE(
            DeviceIoControl(pipe, testdriver::Fail, const_cast<DWORD *>(request), 4, answer, 4, &returned, nullptr));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_READY));
        EXPECT_EQ(returned, 0u);

        // Buffers the caller cannot read or write fail as on Windows, with
        // ERROR_NOACCESS, before the driver sees them.
        const int creates = seen.creates;
        SetLastError(0);
        EXPECT_FALSE(DeviceIoControl(pipe, testdriver::EchoBuffered, reinterpret_cast<void *>(uintptr_t(0x20)), 8,
                                     answer, sizeof answer, &returned, nullptr));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOACCESS));
        static const BYTE readOnly[16] = {1};
        SetLastError(0);
        EXPECT_FALSE(DeviceIoControl(pipe, testdriver::EchoBuffered, const_cast<DWORD *>(request), sizeof request,
                                     const_cast<BYTE *>(readOnly), sizeof readOnly, &returned, nullptr));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOACCESS));
        EXPECT_EQ(readOnly[0], 1);
        EXPECT_EQ(seen.creates, creates);

        // The driver can reference and set the client's own event by handle.
        HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        ASSERT_NE(event, nullptr);
        const uint64_t handleValue = reinterpret_cast<uint64_t>(event);
        ASSERT_TRUE(DeviceIoControl(pipe, testdriver::SetCallersEvent, const_cast<uint64_t *>(&handleValue),
                                    sizeof handleValue, nullptr, 0, &returned, nullptr));
        EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
        // A handle value that names nothing in this process is refused.
        const uint64_t bogus = 0x7FF0;
        SetLastError(0);
        EXPECT_FALSE(DeviceIoControl(pipe, testdriver::SetCallersEvent, const_cast<uint64_t *>(&bogus), sizeof bogus,
                                     nullptr, 0, &returned, nullptr));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        // The process ends with both handles still open.
    }
    EXPECT_EQ(seen.cleanups, 0);
    client.End();
    EXPECT_EQ(client.HandleCount(), 0u);
    EXPECT_EQ(seen.cleanups, 1);
    EXPECT_EQ(seen.closes, 1);
    EXPECT_EQ(seen.cleanupProcess, client.Id());
    EXPECT_EQ(seen.closeProcess, client.Id());

    // Unloading runs the leak check, which stops the process on any leak.
    EXPECT_EQ(testdriver::Unload(), 0);
    EXPECT_EQ(seen.removes, 1);
    EXPECT_EQ(seen.unloads, 1);
    EXPECT_TRUE(FindInterface().empty());
}

TEST(EndToEnd, WrongAccessAndClosedHandles)
{
    testdriver::Config config;
    config.interfaceClass = ChannelClass;
    ASSERT_EQ(testdriver::Load(config), 0);
    const std::wstring path = FindInterface();
    HANDLE readOnly = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(readOnly, INVALID_HANDLE_VALUE);
    DWORD returned = 0;
    SetLastError(0);
    EXPECT_FALSE(DeviceIoControl(readOnly, testdriver::NeedsWrite, nullptr, 0, nullptr, 0, &returned, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(CloseHandle(readOnly));
    EXPECT_EQ(testdriver::State().cleanups, 1);
    EXPECT_EQ(testdriver::State().closes, 1);
    SetLastError(0);
    EXPECT_FALSE(DeviceIoControl(readOnly, testdriver::EchoBuffered, nullptr, 0, nullptr, 0, &returned, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    // Overlapped handles are refused rather than opened without their semantics.
    SetLastError(0);
    EXPECT_EQ(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(testdriver::Unload(), 0);
}

} // namespace
