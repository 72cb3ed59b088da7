// setupapi's device-interface enumeration over the I/O manager's registry: a
// device-information set is a snapshot of the present interfaces of a class,
// first registered first; an interface's Flags say SPINT_ACTIVE while its
// driver has it enabled.
#include "core.h"

#include <setupapi.h>

#include <cstddef>
#include <cwchar>
#include <map>
#include <mutex>
#include <set>
#include <vector>

using namespace standin::win32;

namespace {

struct DeviceInfoSet {
    std::vector<boundary::InterfaceRecord> interfaces;
};

struct Sets {
    std::mutex lock;
    std::set<DeviceInfoSet *> live;
    std::map<std::u16string, DWORD> devInst; // device instance handles, stable per process
};

Sets &AllSets()
{
    static Sets sets;
    return sets;
}

DeviceInfoSet *Lookup(HDEVINFO handle)
{
    std::lock_guard<std::mutex> hold(AllSets().lock);
    auto *set = static_cast<DeviceInfoSet *>(handle);
    return AllSets().live.count(set) ? set : nullptr;
}

DWORD DevInstOf(const std::u16string &instance)
{
    std::lock_guard<std::mutex> hold(AllSets().lock);
    auto &map = AllSets().devInst;
    auto it = map.find(instance);
    if (it != map.end())
        return it->second;
    const DWORD value = static_cast<DWORD>(map.size() + 1);
    map.emplace(instance, value);
    return value;
}

bool EnumeratorMatches(const std::u16string &instance, const std::u16string &enumerator)
{
    if (instance.size() < enumerator.size())
        return false;
    for (size_t i = 0; i < enumerator.size(); ++i) {
        char16_t a = instance[i], b = enumerator[i];
        if (a >= u'a' && a <= u'z')
            a = static_cast<char16_t>(a - 32);
        if (b >= u'a' && b <= u'z')
            b = static_cast<char16_t>(b - 32);
        if (a != b)
            return false;
    }
    return instance.size() == enumerator.size() || instance[enumerator.size()] == u'\\';
}

constexpr DWORD DetailFixedSize = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath);
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) == 8, "the 64-bit layout of the detail record");
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 32 && sizeof(SP_DEVINFO_DATA) == 32, "64-bit layouts");

} // namespace

HDEVINFO WINAPI SetupDiGetClassDevsW(const GUID *ClassGuid, PCWSTR Enumerator, HWND hwndParent, DWORD Flags)
{
    if (ClassGuid == nullptr && !(Flags & DIGCF_ALLCLASSES)) {
        FailWithError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    // Sets of devices by setup class are not kept by this platform; every
    // caller of it enumerates device interfaces.
    if (!(Flags & DIGCF_DEVICEINTERFACE)) {
        FailWithError(ERROR_NOT_SUPPORTED);
        return INVALID_HANDLE_VALUE;
    }
    // Interfaces of removed devices are forgotten, so with or without
    // DIGCF_PRESENT the set holds those of the present devices.
    auto *set = new DeviceInfoSet;
    set->interfaces = boundary::PresentInterfaces((Flags & DIGCF_ALLCLASSES) ? nullptr : ClassGuid);
    if (Enumerator != nullptr) {
        const std::u16string wanted = ToUtf16(Enumerator);
        std::erase_if(set->interfaces,
                      [&](const boundary::InterfaceRecord &r) { return !EnumeratorMatches(r.deviceInstance, wanted); });
    }
    std::lock_guard<std::mutex> hold(AllSets().lock);
    AllSets().live.insert(set);
    return set;
}

BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                        const GUID *InterfaceClassGuid, DWORD MemberIndex,
                                        PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData)
{
    ::DeviceInfoSet *set = Lookup(DeviceInfoSet);
    if (set == nullptr)
        return FailWithError(ERROR_INVALID_HANDLE);
    if (InterfaceClassGuid == nullptr)
        return FailWithError(ERROR_INVALID_PARAMETER);
    if (DeviceInterfaceData == nullptr || DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA))
        return FailWithError(ERROR_INVALID_USER_BUFFER);
    if (DeviceInfoData != nullptr && DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA))
        return FailWithError(ERROR_INVALID_USER_BUFFER);
    DWORD seen = 0;
    for (size_t i = 0; i < set->interfaces.size(); ++i) {
        const boundary::InterfaceRecord &r = set->interfaces[i];
        if (!IsEqualGUID(r.interfaceClass, *InterfaceClassGuid))
            continue;
        if (DeviceInfoData != nullptr && DevInstOf(r.deviceInstance) != DeviceInfoData->DevInst)
            continue;
        if (seen++ != MemberIndex)
            continue;
        DeviceInterfaceData->InterfaceClassGuid = r.interfaceClass;
        DeviceInterfaceData->Flags = r.enabled ? SPINT_ACTIVE : 0;
        DeviceInterfaceData->Reserved = i + 1;
        return TRUE;
    }
    return FailWithError(ERROR_NO_MORE_ITEMS);
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailW(HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                             PSP_DEVICE_INTERFACE_DETAIL_DATA_W DeviceInterfaceDetailData,
                                             DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize,
                                             PSP_DEVINFO_DATA DeviceInfoData)
{
    ::DeviceInfoSet *set = Lookup(DeviceInfoSet);
    if (set == nullptr)
        return FailWithError(ERROR_INVALID_HANDLE);
    if (DeviceInterfaceData == nullptr || DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) ||
        DeviceInterfaceData->Reserved == 0 || DeviceInterfaceData->Reserved > set->interfaces.size())
        return FailWithError(ERROR_INVALID_PARAMETER);
    if (DeviceInterfaceDetailData != nullptr
            ? DeviceInterfaceDetailData->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)
            : DeviceInterfaceDetailDataSize != 0)
        return FailWithError(ERROR_INVALID_USER_BUFFER);
    if (DeviceInfoData != nullptr && DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA))
        return FailWithError(ERROR_INVALID_USER_BUFFER);

    const boundary::InterfaceRecord &r = set->interfaces[DeviceInterfaceData->Reserved - 1];
    const std::wstring path = FromUtf16(r.devicePath);
    const DWORD needed = static_cast<DWORD>(DetailFixedSize + (path.size() + 1) * sizeof(WCHAR));
    if (RequiredSize != nullptr)
        *RequiredSize = needed;
    if (DeviceInterfaceDetailDataSize < needed)
        return FailWithError(ERROR_INSUFFICIENT_BUFFER);
    std::wmemcpy(DeviceInterfaceDetailData->DevicePath, path.c_str(), path.size() + 1);
    if (DeviceInfoData != nullptr) {
        DeviceInfoData->ClassGuid = boundary::DeviceSetupClass();
        DeviceInfoData->DevInst = DevInstOf(r.deviceInstance);
        DeviceInfoData->Reserved = DeviceInterfaceData->Reserved;
    }
    return TRUE;
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet)
{
    auto *set = static_cast<::DeviceInfoSet *>(DeviceInfoSet);
    {
        std::lock_guard<std::mutex> hold(AllSets().lock);
        if (AllSets().live.erase(set) == 0)
            return FailWithError(ERROR_INVALID_HANDLE);
    }
    delete set;
    return TRUE;
}
