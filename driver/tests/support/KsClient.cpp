// The test engine's kernel-streaming requests: opens, property and event
// requests, data formats.
#include "KsClient.h"
#include <string.h>
#include "DriverUnderTest.h"

namespace ks_client {

namespace boundary = standin::io::boundary;

KSPROPERTY Descriptor(const GUID &set, ULONG id, ULONG flags)
{
    KSPROPERTY property = {};
    property.Set = set;
    property.Id = id;
    property.Flags = flags;
    return property;
}

Status Open(const std::u16string &path, Handle *handle)
{
    return driver_under_test::OpenAsClient(path, handle);
}

Status Close(Handle handle) { return boundary::CloseHandle(handle); }

Reply Control(Handle handle, uint32_t code, const void *input, uint32_t inputLength, void *output,
              uint32_t outputLength)
{
    Reply reply{};
    reply.status = boundary::DeviceControl(handle, code, input, inputLength, output, outputLength, &reply.information);
    return reply;
}

Reply Property(Handle handle, const GUID &set, ULONG id, ULONG flags, void *value, ULONG valueSize)
{
    const KSPROPERTY property = Descriptor(set, id, flags);
    return Control(handle, IOCTL_KS_PROPERTY, &property, sizeof property, value, valueSize);
}

Reply PinProperty(Handle filter, ULONG pinId, const GUID &set, ULONG id, ULONG flags, void *value, ULONG valueSize)
{
    KSP_PIN property = {};
    property.Property = Descriptor(set, id, flags);
    property.PinId = pinId;
    return Control(filter, IOCTL_KS_PROPERTY, &property, sizeof property, value, valueSize);
}

Reply NodeProperty(Handle handle, ULONG nodeId, const GUID &set, ULONG id, ULONG flags, void *value,
                   ULONG valueSize)
{
    KSNODEPROPERTY property = {};
    property.Property = Descriptor(set, id, flags | KSPROPERTY_TYPE_TOPOLOGY);
    property.NodeId = nodeId;
    return Control(handle, IOCTL_KS_PROPERTY, &property, sizeof property, value, valueSize);
}

Reply EnableEvent(Handle handle, const GUID &set, ULONG id, ULONG pinId, Handle event, KSEVENTDATA *data)
{
    KSE_PIN descriptor = {};
    descriptor.Event.Set = set;
    descriptor.Event.Id = id;
    descriptor.Event.Flags = KSEVENT_TYPE_ENABLE;
    descriptor.PinId = pinId;
    memset(data, 0, sizeof *data);
    data->NotificationType = KSEVENTF_EVENT_HANDLE;
    data->EventHandle.Event = event;
    return Control(handle, IOCTL_KS_ENABLE_EVENT, &descriptor, sizeof descriptor, data, sizeof *data);
}

Reply DisableEvent(Handle handle, KSEVENTDATA *data)
{
    return Control(handle, IOCTL_KS_DISABLE_EVENT, data, sizeof *data, nullptr, 0);
}

KSDATAFORMAT_WAVEFORMATEXTENSIBLE WaveFormat(ULONG rate, ULONG validBits, ULONG channels, ULONG containerBytes,
                                             ULONG channelMask, bool extensible)
{
    KSDATAFORMAT_WAVEFORMATEXTENSIBLE block = {};
    KSDATAFORMAT &header = block.DataFormat;
    header.FormatSize = extensible ? sizeof(KSDATAFORMAT_WAVEFORMATEXTENSIBLE) : sizeof(KSDATAFORMAT_WAVEFORMATEX);
    header.SampleSize = channels * containerBytes;
    header.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    header.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    header.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    WAVEFORMATEXTENSIBLE &wave = block.WaveFormatExt;
    wave.Format.wFormatTag = extensible ? WAVE_FORMAT_EXTENSIBLE : WAVE_FORMAT_PCM;
    wave.Format.nChannels = static_cast<WORD>(channels);
    wave.Format.nSamplesPerSec = rate;
    wave.Format.nBlockAlign = static_cast<WORD>(channels * containerBytes);
    wave.Format.nAvgBytesPerSec = rate * channels * containerBytes;
    wave.Format.wBitsPerSample = static_cast<WORD>(containerBytes * 8);
    if (extensible) {
        wave.Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
        wave.Samples.wValidBitsPerSample = static_cast<WORD>(validBits);
        wave.dwChannelMask = channelMask;
        wave.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    }
    return block;
}

} // namespace ks_client
