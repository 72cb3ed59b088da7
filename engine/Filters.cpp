// Describing filters through the pin and topology property sets, and finding
// them by device-interface category.
#include "Filters.h"
#include "KsRequests.h"
#include "Status.h"

#include <cstring>
#include <cwctype>

namespace engine {

namespace {

template <typename T>
HRESULT GetPinValue(HANDLE filter, ULONG pin, ULONG id, T &value)
{
    return ks::PinProperty(filter, pin, KSPROPSETID_Pin, id, KSPROPERTY_TYPE_GET, &value, sizeof value).status;
}

// A KSMULTIPLE_ITEM of fixed-size items.
template <typename T>
std::vector<T> Items(const std::vector<uint8_t> &list)
{
    std::vector<T> items;
    if (list.size() < sizeof(KSMULTIPLE_ITEM))
        return items;
    KSMULTIPLE_ITEM header;
    std::memcpy(&header, list.data(), sizeof header);
    const size_t fit = (list.size() - sizeof header) / sizeof(T);
    const size_t count = header.Count < fit ? header.Count : fit;
    items.resize(count);
    if (count != 0)
        std::memcpy(items.data(), list.data() + sizeof header, count * sizeof(T));
    return items;
}

// The physical connection's value: Size, Pin, then the peer's link in UTF-16.
void ReadPhysicalConnection(HANDLE filter, PinDescription &pin)
{
    std::vector<uint8_t> value;
    if (ks::GetPinVariable(filter, pin.id, KSPROPSETID_Pin, KSPROPERTY_PIN_PHYSICALCONNECTION, value) != S_OK ||
        value.size() < 2 * sizeof(ULONG) + 2)
        return;
    ULONG header[2];
    std::memcpy(header, value.data(), sizeof header);
    const size_t end = header[0] < value.size() ? header[0] : value.size();
    std::wstring link = WideFromUtf16(value.data() + sizeof header, (end - sizeof header) / 2);
    while (!link.empty() && link.back() == L'\0')
        link.pop_back();
    if (link.empty())
        return;
    // The kernel's form of a link; user mode opens the same object as \\?\.
    if (link.compare(0, 4, L"\\??\\") == 0)
        link.replace(0, 4, L"\\\\?\\");
    pin.physical = true;
    pin.peerPath = link;
    pin.peerPin = header[1];
}

bool StreamsAudio(const PinDescription &pin)
{
    if (pin.communication != KSPIN_COMMUNICATION_SINK && pin.communication != KSPIN_COMMUNICATION_BOTH)
        return false;
    for (const KSDATARANGE *range : ks::DataRanges(pin.dataRanges))
        if (IsEqualGUID(range->MajorFormat, KSDATAFORMAT_TYPE_AUDIO) &&
            (IsEqualGUID(range->SubFormat, KSDATAFORMAT_SUBTYPE_PCM) ||
             IsEqualGUID(range->SubFormat, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT)))
            return true;
    return false;
}

} // namespace

bool FilterDescription::HasCategory(const GUID &category) const
{
    for (const GUID &c : categories)
        if (IsEqualGUID(c, category))
            return true;
    return false;
}

HRESULT DescribeFilter(HANDLE filter, const std::wstring &path, FilterDescription &description)
{
    FilterDescription d;
    d.path = path;
    d.key = FilterKey(path);
    std::vector<uint8_t> list;
    HRESULT status = ks::GetVariable(filter, KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_CATEGORIES, list);
    if (status != S_OK)
        return status;
    d.categories = Items<GUID>(list);
    if (ks::GetVariable(filter, KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_CONNECTIONS, list) == S_OK)
        d.connections = Items<KSTOPOLOGY_CONNECTION>(list);

    ULONG pinCount = 0;
    status = ks::Property(filter, KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, KSPROPERTY_TYPE_GET, &pinCount,
                          sizeof pinCount)
                 .status;
    if (status != S_OK)
        return status;
    for (ULONG id = 0; id < pinCount; ++id) {
        PinDescription pin;
        pin.id = id;
        ULONG flow = 0, communication = 0;
        if ((status = GetPinValue(filter, id, KSPROPERTY_PIN_DATAFLOW, flow)) != S_OK ||
            (status = GetPinValue(filter, id, KSPROPERTY_PIN_COMMUNICATION, communication)) != S_OK)
            return status;
        pin.dataFlow = static_cast<KSPIN_DATAFLOW>(flow);
        pin.communication = static_cast<KSPIN_COMMUNICATION>(communication);
        if (GetPinValue(filter, id, KSPROPERTY_PIN_CATEGORY, pin.category) != S_OK)
            pin.category = GUID{};
        ReadPhysicalConnection(filter, pin);
        if (ks::GetPinVariable(filter, id, KSPROPSETID_Pin, KSPROPERTY_PIN_DATARANGES, pin.dataRanges) != S_OK)
            pin.dataRanges.clear();
        pin.streamsAudio = StreamsAudio(pin);
        d.pins.push_back(std::move(pin));
    }
    description = std::move(d);
    return S_OK;
}

std::vector<std::wstring> InterfacePaths(const GUID &category)
{
    std::vector<std::wstring> paths;
    HDEVINFO set = SetupDiGetClassDevsW(&category, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE)
        return paths;
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    for (DWORD index = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &category, index, &data); ++index) {
        DWORD needed = 0;
        SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &needed, nullptr);
        if (needed < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W))
            continue;
        std::vector<uint64_t> storage((needed + 7) / 8); // 8-byte aligned
        auto *detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W *>(storage.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        if (SetupDiGetDeviceInterfaceDetailW(set, &data, detail, needed, nullptr, nullptr))
            paths.emplace_back(detail->DevicePath);
    }
    SetupDiDestroyDeviceInfoList(set);
    return paths;
}

std::wstring FilterKey(const std::wstring &path)
{
    std::wstring key = path;
    for (wchar_t &c : key)
        c = static_cast<wchar_t>(std::towlower(c));
    if (key.compare(0, 4, L"\\??\\") == 0)
        key.replace(0, 4, L"\\\\?\\");
    const size_t reference = key.find(L'\\', 4);
    const size_t classPart = key.rfind(L"#{", reference);
    if (classPart != std::wstring::npos && classPart > 4) {
        const size_t close = key.find(L'}', classPart);
        if (close != std::wstring::npos && (reference == std::wstring::npos || close < reference))
            key.erase(classPart, close + 1 - classPart);
    }
    return key;
}

std::wstring WideFromUtf16(const uint8_t *units, size_t count)
{
    std::wstring text;
    text.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        uint32_t unit = units[2 * i] | (units[2 * i + 1] << 8);
        if constexpr (sizeof(wchar_t) == 4) {
            // A surrogate pair becomes one code point.
            if (unit >= 0xD800 && unit < 0xDC00 && i + 1 < count) {
                const uint32_t low = units[2 * i + 2] | (units[2 * i + 3] << 8);
                if (low >= 0xDC00 && low < 0xE000) {
                    unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
                    ++i;
                }
            }
        }
        text.push_back(static_cast<wchar_t>(unit));
    }
    return text;
}

} // namespace engine
