// Device-interface enumeration over the interfaces the test driver registers:
// none, one, two devices, and a present interface its driver left disabled.
#include "TestDriver.h"

#include <gtest/gtest.h>
#include <setupapi.h>
#include <win32_standin.h>

#include <cstring>
#include <string>

namespace {

constexpr GUID TestClass = {0x2c3d4e5f, 0x6071, 0x4829, {0x9a, 0xab, 0xbc, 0xcd, 0xde, 0xef, 0x01, 0x12}};
constexpr DWORD Flags = DIGCF_PRESENT | DIGCF_PROFILE | DIGCF_DEVICEINTERFACE;

struct Found {
    DWORD flags;
    std::wstring path;
};

// Enumerates the class as a client does, index after index.
std::vector<Found> Enumerate(DWORD *lastError)
{
    std::vector<Found> found;
    HDEVINFO set = SetupDiGetClassDevsW(&TestClass, nullptr, nullptr, Flags);
    EXPECT_NE(set, INVALID_HANDLE_VALUE);
    for (DWORD i = 0;; ++i) {
        SP_DEVICE_INTERFACE_DATA data;
        std::memset(&data, 0, sizeof data);
        data.cbSize = sizeof data;
        if (!SetupDiEnumDeviceInterfaces(set, nullptr, &TestClass, i, &data)) {
            *lastError = GetLastError();
            break;
        }
        EXPECT_TRUE(IsEqualGUID(data.InterfaceClassGuid, TestClass));
        alignas(8) BYTE storage[528] = {};
        auto *detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(storage);
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        SP_DEVINFO_DATA device;
        std::memset(&device, 0, sizeof device);
        device.cbSize = sizeof device;
        EXPECT_TRUE(SetupDiGetDeviceInterfaceDetailW(set, &data, detail, sizeof storage, nullptr, &device));
        EXPECT_NE(device.DevInst, 0u);
        found.push_back({data.Flags, detail->DevicePath});
    }
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    return found;
}

class SetupDi : public ::testing::Test {
protected:
    void Load(testdriver::Config config)
    {
        config.interfaceClass = TestClass;
        ASSERT_EQ(testdriver::Load(config), 0);
        loaded = true;
    }
    void TearDown() override
    {
        if (loaded) {
            EXPECT_EQ(testdriver::Unload(), 0);
        }
    }
    bool loaded = false;
};

TEST_F(SetupDi, NoDeviceGivesNoMoreItems)
{
    DWORD error = 0;
    EXPECT_TRUE(Enumerate(&error).empty());
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
}

TEST_F(SetupDi, OneDeviceGivesItsActiveInterface)
{
    Load({});
    DWORD error = 0;
    const auto found = Enumerate(&error);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    EXPECT_EQ(found[0].flags, static_cast<DWORD>(SPINT_ACTIVE));
    // \\?\ followed by the link the driver was given after \??\.
    const std::u16string &link = testdriver::State().links.at(0);
    EXPECT_EQ(found[0].path, L"\\\\?\\" + std::wstring(link.begin() + 4, link.end()));
    EXPECT_NE(found[0].path.find(L"{2c3d4e5f-6071-4829-9aab-bccddeef0112}"), std::wstring::npos);
}

TEST_F(SetupDi, TwoDevicesComeInTheOrderTheyRegistered)
{
    Load({});
    ASSERT_EQ(testdriver::AddDevice(), 0);
    DWORD error = 0;
    const auto found = Enumerate(&error);
    ASSERT_EQ(found.size(), 2u);
    const auto &links = testdriver::State().links;
    EXPECT_EQ(found[0].path, L"\\\\?\\" + std::wstring(links[0].begin() + 4, links[0].end()));
    EXPECT_EQ(found[1].path, L"\\\\?\\" + std::wstring(links[1].begin() + 4, links[1].end()));
    EXPECT_NE(found[0].path, found[1].path);
}

TEST_F(SetupDi, DisabledInterfaceIsPresentButNotActive)
{
    testdriver::Config config;
    config.interfaces = {{u"", false}};
    Load(config);
    DWORD error = 0;
    const auto found = Enumerate(&error);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].flags & SPINT_ACTIVE, 0u);
    // Its path does not open while disabled.
    SetLastError(0);
    EXPECT_EQ(CreateFileW(found[0].path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(SetupDi, DetailChecksSizesAndReportsTheNeededOne)
{
    Load({});
    HDEVINFO set = SetupDiGetClassDevsW(&TestClass, nullptr, nullptr, Flags);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVICE_INTERFACE_DATA data;
    std::memset(&data, 0, sizeof data);
    data.cbSize = sizeof data - 1;
    SetLastError(0);
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &TestClass, 0, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
    data.cbSize = sizeof data;
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &TestClass, 0, &data));

    // The size query: no buffer, the needed size back.
    DWORD needed = 0;
    SetLastError(0);
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &needed, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    const std::u16string &link = testdriver::State().links.at(0);
    EXPECT_EQ(needed, 4 + (link.size() + 1) * sizeof(WCHAR));

    // One byte short: refused, the buffer untouched past its fixed part.
    std::vector<BYTE> storage(needed, 0x55);
    auto *detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(storage.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    SetLastError(0);
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &data, detail, needed - 1, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(storage[8], 0x55);
    // A wrong cbSize (the 32-bit layout's 6) is refused.
    detail->cbSize = 6;
    SetLastError(0);
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &data, detail, needed, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    EXPECT_TRUE(SetupDiGetDeviceInterfaceDetailW(set, &data, detail, needed, nullptr, nullptr));
    EXPECT_EQ(wcslen(detail->DevicePath), link.size());

    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    SetLastError(0);
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(SetupDi, SetIsASnapshot)
{
    HDEVINFO before = SetupDiGetClassDevsW(&TestClass, nullptr, nullptr, Flags);
    Load({});
    SP_DEVICE_INTERFACE_DATA data;
    std::memset(&data, 0, sizeof data);
    data.cbSize = sizeof data;
    SetLastError(0);
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(before, nullptr, &TestClass, 0, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(before));
    SetLastError(0);
    EXPECT_EQ(SetupDiGetClassDevsW(nullptr, nullptr, nullptr, Flags), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

} // namespace
