// The client side of the tests: SetupDi, files, device control, KsCreatePin.
#include "KsClient.h"

#include <cstring>

namespace ksclient {

std::vector<std::wstring> InterfacePaths(const GUID &category)
{
    std::vector<std::wstring> paths;
    HDEVINFO set = SetupDiGetClassDevsW(&category, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE)
        return paths;
    SP_DEVICE_INTERFACE_DATA data;
    std::memset(&data, 0, sizeof data);
    data.cbSize = sizeof data;
    for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &category, i, &data); ++i) {
        alignas(8) BYTE storage[1024] = {};
        auto *detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(storage);
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        if ((data.Flags & SPINT_ACTIVE) &&
            SetupDiGetDeviceInterfaceDetailW(set, &data, detail, sizeof storage, nullptr, nullptr))
            paths.push_back(detail->DevicePath);
    }
    SetupDiDestroyDeviceInfoList(set);
    return paths;
}

HANDLE OpenFilter(const GUID &category, DWORD access)
{
    const std::vector<std::wstring> paths = InterfacePaths(category);
    if (paths.empty())
        return INVALID_HANDLE_VALUE;
    return CreateFileW(paths.front().c_str(), access, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

Reply Control(HANDLE handle, DWORD code, const void *input, DWORD inputLength, void *output, DWORD outputLength)
{
    DWORD returned = 0xDEAD;
    SetLastError(0);
    const BOOL ok =
        DeviceIoControl(handle, code, const_cast<void *>(input), inputLength, output, outputLength, &returned, nullptr);
    return {ok != FALSE, ok ? 0 : GetLastError(), returned};
}

Reply Property(HANDLE handle, const GUID &set, ULONG id, ULONG flags, const void *instance, DWORD instanceLength,
               void *value, DWORD valueLength)
{
    std::vector<uint8_t> input(sizeof(KSPROPERTY) + instanceLength);
    KSPROPERTY property{};
    property.Set = set;
    property.Id = id;
    property.Flags = flags;
    std::memcpy(input.data(), &property, sizeof property);
    if (instanceLength != 0)
        std::memcpy(input.data() + sizeof property, instance, instanceLength);
    return Control(handle, IOCTL_KS_PROPERTY, input.data(), static_cast<DWORD>(input.size()), value, valueLength);
}

Reply Get(HANDLE handle, const GUID &set, ULONG id, void *value, DWORD valueLength)
{
    return Property(handle, set, id, KSPROPERTY_TYPE_GET, nullptr, 0, value, valueLength);
}

Reply Set(HANDLE handle, const GUID &set, ULONG id, const void *value, DWORD valueLength)
{
    return Property(handle, set, id, KSPROPERTY_TYPE_SET, nullptr, 0, const_cast<void *>(value), valueLength);
}

Reply PinGet(HANDLE filter, ULONG id, ULONG pin, void *value, DWORD valueLength, const GUID &set)
{
    const ULONG instance[2] = {pin, 0};
    return Property(filter, set, id, KSPROPERTY_TYPE_GET, instance, sizeof instance, value, valueLength);
}

Reply NodeGet(HANDLE handle, const GUID &set, ULONG id, ULONG node, void *value, DWORD valueLength)
{
    const ULONG instance[2] = {node, 0};
    return Property(handle, set, id, KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_TOPOLOGY, instance, sizeof instance, value,
                    valueLength);
}

KSDATAFORMAT_WAVEFORMATEX PcmFormat(ULONG rate, WORD channels, WORD bits)
{
    KSDATAFORMAT_WAVEFORMATEX format{};
    format.DataFormat.FormatSize = sizeof format;
    format.DataFormat.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    format.DataFormat.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    format.DataFormat.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    format.WaveFormatEx.wFormatTag = WAVE_FORMAT_PCM;
    format.WaveFormatEx.nChannels = channels;
    format.WaveFormatEx.nSamplesPerSec = rate;
    format.WaveFormatEx.wBitsPerSample = bits;
    format.WaveFormatEx.nBlockAlign = static_cast<WORD>(channels * bits / 8);
    format.WaveFormatEx.nAvgBytesPerSec = rate * format.WaveFormatEx.nBlockAlign;
    format.DataFormat.SampleSize = format.WaveFormatEx.nBlockAlign;
    return format;
}

DWORD CreatePin(HANDLE filter, ULONG pin, const void *format, size_t formatLength, HANDLE *handle, ACCESS_MASK access)
{
    std::vector<uint8_t> connect(sizeof(KSPIN_CONNECT) + formatLength);
    KSPIN_CONNECT head{};
    head.Interface.Set = KSINTERFACESETID_Standard;
    head.Interface.Id = KSINTERFACE_STANDARD_LOOPED_STREAMING;
    head.Medium.Set = KSMEDIUMSETID_Standard;
    head.Medium.Id = KSMEDIUM_STANDARD_DEVIO;
    head.PinId = pin;
    head.Priority.PriorityClass = KSPRIORITY_NORMAL;
    head.Priority.PrioritySubClass = 1;
    std::memcpy(connect.data(), &head, sizeof head);
    std::memcpy(connect.data() + sizeof head, format, formatLength);
    *handle = nullptr;
    return KsCreatePin(filter, reinterpret_cast<PKSPIN_CONNECT>(connect.data()), access, handle);
}

DWORD CreatePcmPin(HANDLE filter, HANDLE *handle, ULONG rate, ACCESS_MASK access)
{
    const KSDATAFORMAT_WAVEFORMATEX format = PcmFormat(rate);
    return CreatePin(filter, 0, &format, sizeof format, handle, access);
}

Reply SetState(HANDLE pin, KSSTATE state)
{
    ULONG value = state;
    return Set(pin, KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, &value, sizeof value);
}

Reply EnableEvent(HANDLE handle, const void *event, DWORD eventLength, KSEVENTDATA *data)
{
    return Control(handle, IOCTL_KS_ENABLE_EVENT, event, eventLength, data, sizeof *data);
}

Reply DisableEvent(HANDLE handle, KSEVENTDATA *data)
{
    return Control(handle, IOCTL_KS_DISABLE_EVENT, data, data != nullptr ? sizeof *data : 0, nullptr, 0);
}

bool Signalled(HANDLE event)
{
    return WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
}

} // namespace ksclient
