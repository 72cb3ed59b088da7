// Kernel-streaming property and event requests through DeviceIoControl.
#include "KsRequests.h"
#include "Status.h"

#include <cstring>

namespace engine::ks {

namespace {

// A size query answers STATUS_BUFFER_OVERFLOW (ERROR_MORE_DATA) with the
// size; some objects answer STATUS_BUFFER_TOO_SMALL without one, and then the
// buffer grows until the value fits.
constexpr DWORD LargestValue = 1u << 20;

HRESULT GetGrowing(HANDLE handle, const void *descriptor, DWORD descriptorSize, std::vector<uint8_t> &value)
{
    Reply reply = Request(handle, descriptor, descriptorSize, nullptr, 0);
    if (reply.status == S_OK) {
        value.clear();
        return S_OK;
    }
    DWORD size = reply.status == HRESULT_FROM_WIN32(ERROR_MORE_DATA) && reply.bytes != 0 ? reply.bytes : 256;
    while (size <= LargestValue) {
        value.assign(size, 0);
        reply = Request(handle, descriptor, descriptorSize, value.data(), size);
        if (reply.status == S_OK) {
            value.resize(reply.bytes);
            return S_OK;
        }
        if (reply.status != HRESULT_FROM_WIN32(ERROR_MORE_DATA) &&
            reply.status != HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER))
            break;
        size = reply.bytes > size ? reply.bytes : size * 4;
    }
    value.clear();
    return reply.status;
}

} // namespace

Reply Request(HANDLE handle, const void *descriptor, DWORD descriptorSize, void *value, DWORD valueSize)
{
    DWORD returned = 0;
    SetLastError(0);
    const BOOL ok = DeviceIoControl(handle, IOCTL_KS_PROPERTY, const_cast<void *>(descriptor), descriptorSize,
                                    value, valueSize, &returned, nullptr);
    return {ok ? S_OK : LastErrorStatus(), returned};
}

Reply Property(HANDLE handle, const GUID &set, ULONG id, ULONG flags, void *value, DWORD valueSize)
{
    KSPROPERTY property{};
    property.Set = set;
    property.Id = id;
    property.Flags = flags;
    return Request(handle, &property, sizeof property, value, valueSize);
}

Reply PinProperty(HANDLE filter, ULONG pin, const GUID &set, ULONG id, ULONG flags, void *value, DWORD valueSize)
{
    KSP_PIN property{};
    property.Property.Set = set;
    property.Property.Id = id;
    property.Property.Flags = flags;
    property.PinId = pin;
    return Request(filter, &property, sizeof property, value, valueSize);
}

HRESULT GetVariable(HANDLE handle, const GUID &set, ULONG id, std::vector<uint8_t> &value)
{
    KSPROPERTY property{};
    property.Set = set;
    property.Id = id;
    property.Flags = KSPROPERTY_TYPE_GET;
    return GetGrowing(handle, &property, sizeof property, value);
}

HRESULT GetPinVariable(HANDLE filter, ULONG pin, const GUID &set, ULONG id, std::vector<uint8_t> &value)
{
    KSP_PIN property{};
    property.Property.Set = set;
    property.Property.Id = id;
    property.Property.Flags = KSPROPERTY_TYPE_GET;
    property.PinId = pin;
    return GetGrowing(filter, &property, sizeof property, value);
}

HRESULT EnablePinEvent(HANDLE filter, const GUID &set, ULONG id, ULONG pin, HANDLE event, KSEVENTDATA *data)
{
    KSE_PIN request{};
    request.Event.Set = set;
    request.Event.Id = id;
    request.Event.Flags = KSEVENT_TYPE_ENABLE;
    request.PinId = pin;
    std::memset(data, 0, sizeof *data);
    data->NotificationType = KSEVENTF_EVENT_HANDLE;
    data->EventHandle.Event = event;
    DWORD returned = 0;
    SetLastError(0);
    return DeviceIoControl(filter, IOCTL_KS_ENABLE_EVENT, &request, sizeof request, data, sizeof *data, &returned,
                           nullptr)
               ? S_OK
               : LastErrorStatus();
}

HRESULT DisableEvent(HANDLE handle, KSEVENTDATA *data)
{
    DWORD returned = 0;
    SetLastError(0);
    return DeviceIoControl(handle, IOCTL_KS_DISABLE_EVENT, data, sizeof *data, nullptr, 0, &returned, nullptr)
               ? S_OK
               : LastErrorStatus();
}

std::vector<const KSDATARANGE *> DataRanges(const std::vector<uint8_t> &list)
{
    std::vector<const KSDATARANGE *> ranges;
    if (list.size() < sizeof(KSMULTIPLE_ITEM))
        return ranges;
    KSMULTIPLE_ITEM header;
    std::memcpy(&header, list.data(), sizeof header);
    const size_t end = header.Size < list.size() ? header.Size : list.size();
    size_t at = sizeof header;
    for (ULONG i = 0; i < header.Count; ++i) {
        at = (at + 7) & ~size_t(7);
        if (at + sizeof(KSDATARANGE) > end)
            break;
        const auto *range = reinterpret_cast<const KSDATARANGE *>(list.data() + at);
        if (range->FormatSize < sizeof(KSDATARANGE) || at + range->FormatSize > end)
            break;
        ranges.push_back(range);
        at += range->FormatSize;
    }
    return ranges;
}

} // namespace engine::ks
