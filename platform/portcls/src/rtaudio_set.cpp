// KSPROPSETID_RtAudio on a WaveRT pin: one table names each property, its
// access, its descriptor (and the 32-bit caller's), and the miniport call
// behind it. The buffer and the registers are mapped into the caller's
// process; 32-bit callers send and receive the 32-bit layouts.
#include "wavert_pin.h"

#include <algorithm>
#include <cstring>

namespace standin::portcls {

namespace {

using Answer = NTSTATUS (*)(WaveRTPin &pin, ks::PropertyCall &call, ULONG verb);

struct RtAudioEntry {
    ULONG id;
    ULONG access;
    ULONG descriptor;   // the least input from a 64-bit caller
    ULONG descriptor32; // and from a 32-bit one
    Answer answer;
};

template <class T>
T Read(const ks::PropertyCall &call)
{
    T value;
    std::memcpy(&value, call.input, sizeof value);
    return value;
}

NTSTATUS NotSupported(WaveRTPin &, ks::PropertyCall &, ULONG)
{
    return STATUS_NOT_SUPPORTED;
}

// AllocateAudioBuffer or AllocateBufferWithNotification, then a view of the
// MDL in the caller's process.
NTSTATUS AllocateBuffer(WaveRTPin &pin, ks::PropertyCall &call, bool withNotification)
{
    ULONG requested, count = 0;
    if (call.is32Bit && withNotification) {
        const auto property = Read<KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION32>(call);
        requested = property.RequestedBufferSize;
        count = property.NotificationCount;
    } else if (call.is32Bit) {
        requested = Read<KSRTAUDIO_BUFFER_PROPERTY32>(call).RequestedBufferSize;
    } else if (withNotification) {
        const auto property = Read<KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION>(call);
        requested = property.RequestedBufferSize;
        count = property.NotificationCount;
    } else {
        requested = Read<KSRTAUDIO_BUFFER_PROPERTY>(call).RequestedBufferSize;
    }
    NTSTATUS status = ks::CheckValueLength(call, call.is32Bit ? sizeof(KSRTAUDIO_BUFFER32) : sizeof(KSRTAUDIO_BUFFER));
    if (!NT_SUCCESS(status))
        return status;
    if (withNotification && pin.notification == nullptr)
        return STATUS_NOT_SUPPORTED;
    DeviceLockHold hold(pin.device);
    // A stopped stream may take a new buffer in place of its old one.
    if (pin.buffer.mdl != nullptr && pin.state != KSSTATE_STOP)
        return STATUS_INVALID_DEVICE_STATE;
    pin.ReleaseBuffer();
    PMDL mdl = nullptr;
    ULONG actual = 0, offset = 0;
    MEMORY_CACHING_TYPE cacheType = MmCached;
    status = withNotification ? pin.notification->AllocateBufferWithNotification(count, requested, &mdl, &actual,
                                                                                 &offset, &cacheType)
                              : pin.stream->AllocateAudioBuffer(requested, &mdl, &actual, &offset, &cacheType);
    if (!NT_SUCCESS(status))
        return status;
    pin.buffer.mdl = mdl;
    pin.buffer.size = actual;
    pin.buffer.withNotification = withNotification;
    // What the miniport hands back must describe its buffer.
    const uint64_t span =
        mdl != nullptr
            ? uint64_t(ADDRESS_AND_SIZE_TO_SPAN_PAGES(MmGetMdlVirtualAddress(mdl), MmGetMdlByteCount(mdl))) * PAGE_SIZE
            : 0;
    if (mdl == nullptr || actual == 0 || uint64_t(offset) + actual > span) {
        if (mdl == nullptr)
            pin.buffer = WaveRTPin::Buffer{};
        pin.ReleaseBuffer();
        return STATUS_UNSUCCESSFUL;
    }
    status = MapIntoRequestor(mdl, cacheType, pin.buffer.view);
    if (!NT_SUCCESS(status)) {
        pin.ReleaseBuffer();
        return status;
    }
    auto *address = static_cast<uint8_t *>(PAGE_ALIGN(pin.buffer.view.address)) + offset;
    const BOOL barrier = cacheType == MmWriteCombined;
    if (call.is32Bit) {
        const KSRTAUDIO_BUFFER32 value{static_cast<ULONG>(reinterpret_cast<uintptr_t>(address)), actual, barrier};
        return ReturnValue(call, &value, sizeof value);
    }
    const KSRTAUDIO_BUFFER value{address, actual, barrier};
    return ReturnValue(call, &value, sizeof value);
}

NTSTATUS Buffer(WaveRTPin &pin, ks::PropertyCall &call, ULONG)
{
    return AllocateBuffer(pin, call, false);
}

NTSTATUS BufferWithNotification(WaveRTPin &pin, ks::PropertyCall &call, ULONG)
{
    return AllocateBuffer(pin, call, true);
}

NTSTATUS HwLatency(WaveRTPin &pin, ks::PropertyCall &call, ULONG)
{
    const NTSTATUS status = ks::CheckValueLength(call, sizeof(KSRTAUDIO_HWLATENCY));
    if (!NT_SUCCESS(status))
        return status;
    KSRTAUDIO_HWLATENCY latency{};
    {
        DeviceLockHold hold(pin.device);
        pin.stream->GetHWLatency(&latency);
    }
    return ReturnValue(call, &latency, sizeof latency);
}

// GetPositionRegister or GetClockRegister, then a view of the register's page
// in the caller's process; once per pin and register.
NTSTATUS MapRegister(WaveRTPin &pin, ks::PropertyCall &call, WaveRTPin::Register &reg, bool clock)
{
    NTSTATUS status =
        ks::CheckValueLength(call, call.is32Bit ? sizeof(KSRTAUDIO_HWREGISTER32) : sizeof(KSRTAUDIO_HWREGISTER));
    if (!NT_SUCCESS(status))
        return status;
    DeviceLockHold hold(pin.device);
    if (reg.mapped)
        return STATUS_INVALID_DEVICE_REQUEST;
    KSRTAUDIO_HWREGISTER hardware{};
    status = clock ? pin.stream->GetClockRegister(&hardware) : pin.stream->GetPositionRegister(&hardware);
    if (!NT_SUCCESS(status))
        return status;
    if (hardware.Register == nullptr || hardware.Width == 0 || hardware.Width > 64)
        return STATUS_UNSUCCESSFUL;
    // The descriptor is the port's own, as is the view made through it.
    PMDL mdl = nullptr;
    {
        standin::kernel::OwnerScope platform(standin::kernel::kPlatform);
        mdl = IoAllocateMdl(hardware.Register, (hardware.Width + 7) / 8, FALSE, FALSE, nullptr);
    }
    if (mdl == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    MmBuildMdlForNonPagedPool(mdl);
    status = MapIntoRequestor(mdl, MmNonCached, reg.view);
    if (!NT_SUCCESS(status)) {
        IoFreeMdl(mdl);
        return status;
    }
    reg.mdl = mdl;
    reg.mapped = true;
    if (call.is32Bit) {
        const KSRTAUDIO_HWREGISTER32 value{static_cast<ULONG>(reinterpret_cast<uintptr_t>(reg.view.address)),
                                           hardware.Width, hardware.Numerator, hardware.Denominator, hardware.Accuracy};
        return ReturnValue(call, &value, sizeof value);
    }
    hardware.Register = reg.view.address;
    return ReturnValue(call, &hardware, sizeof hardware);
}

NTSTATUS PositionRegister(WaveRTPin &pin, ks::PropertyCall &call, ULONG)
{
    return MapRegister(pin, call, pin.position, false);
}

NTSTATUS ClockRegister(WaveRTPin &pin, ks::PropertyCall &call, ULONG)
{
    return MapRegister(pin, call, pin.clock, true);
}

HANDLE NotificationHandle(const ks::PropertyCall &call)
{
    if (call.is32Bit)
        return reinterpret_cast<HANDLE>(
            static_cast<uintptr_t>(Read<KSRTAUDIO_NOTIFICATION_EVENT_PROPERTY32>(call).NotificationEvent));
    return Read<KSRTAUDIO_NOTIFICATION_EVENT_PROPERTY>(call).NotificationEvent;
}

// The event a notification property names, referenced; not supported where
// the stream has no notifications.
NTSTATUS ReferenceNotificationEvent(WaveRTPin &pin, const ks::PropertyCall &call, PKEVENT *event)
{
    if (pin.notification == nullptr)
        return STATUS_NOT_SUPPORTED;
    return ks::ReferenceEventHandle(call.irp->RequestorMode, NotificationHandle(call), event);
}

NTSTATUS RegisterEvent(WaveRTPin &pin, ks::PropertyCall &call, ULONG)
{
    PKEVENT event;
    NTSTATUS status = ReferenceNotificationEvent(pin, call, &event);
    if (!NT_SUCCESS(status))
        return status;
    DeviceLockHold hold(pin.device);
    // Events are registered after a buffer with notifications.
    if (pin.buffer.mdl == nullptr || !pin.buffer.withNotification)
        status = STATUS_INVALID_DEVICE_REQUEST;
    else
        status = pin.notification->RegisterNotificationEvent(event);
    if (NT_SUCCESS(status))
        pin.notificationEvents.push_back(event);
    else
        standin::kernel::DereferenceObject(event);
    return status;
}

NTSTATUS UnregisterEvent(WaveRTPin &pin, ks::PropertyCall &call, ULONG)
{
    PKEVENT event;
    NTSTATUS status = ReferenceNotificationEvent(pin, call, &event);
    if (!NT_SUCCESS(status))
        return status;
    {
        DeviceLockHold hold(pin.device);
        status = pin.notification->UnregisterNotificationEvent(event);
        if (NT_SUCCESS(status)) {
            auto it = std::find(pin.notificationEvents.begin(), pin.notificationEvents.end(), event);
            if (it != pin.notificationEvents.end()) {
                standin::kernel::DereferenceObject(*it);
                pin.notificationEvents.erase(it);
            }
        }
    }
    standin::kernel::DereferenceObject(event);
    return status;
}

NTSTATUS QueryNotificationSupport(WaveRTPin &pin, ks::PropertyCall &call, ULONG)
{
    const BOOL supported = pin.notification != nullptr;
    return ReturnValue(call, &supported, sizeof supported);
}

// A get that one call of an optional stream interface answers with a T,
// made under the device lock; not supported where the stream lacks it.
template <class T, class Interface, class Query>
NTSTATUS AskStream(WaveRTPin &pin, ks::PropertyCall &call, Interface *stream, Query query)
{
    NTSTATUS status = ks::CheckValueLength(call, sizeof(T));
    if (!NT_SUCCESS(status))
        return status;
    if (stream == nullptr)
        return STATUS_NOT_SUPPORTED;
    T value{};
    {
        DeviceLockHold hold(pin.device);
        status = query(*stream, value);
    }
    return NT_SUCCESS(status) ? ReturnValue(call, &value, sizeof value) : status;
}

NTSTATUS PacketCount(WaveRTPin &pin, ks::PropertyCall &call, ULONG)
{
    return AskStream<ULONG>(pin, call, pin.output,
                            [](auto &output, ULONG &count) { return output.GetPacketCount(&count); });
}

NTSTATUS PresentationPosition(WaveRTPin &pin, ks::PropertyCall &call, ULONG)
{
    return AskStream<KSAUDIO_PRESENTATION_POSITION>(
        pin, call, pin.output, [](auto &output, KSAUDIO_PRESENTATION_POSITION &position) {
            return output.GetOutputStreamPresentationPosition(&position);
        });
}

NTSTATUS GetReadPacket(WaveRTPin &pin, ks::PropertyCall &call, ULONG)
{
    return AskStream<KSRTAUDIO_GETREADPACKET_INFO>(
        pin, call, pin.input, [](auto &input, KSRTAUDIO_GETREADPACKET_INFO &info) {
            return input.GetReadPacket(&info.PacketNumber, &info.Flags, &info.PerformanceCounterValue,
                                       &info.MoreData);
        });
}

NTSTATUS SetWritePacket(WaveRTPin &pin, ks::PropertyCall &call, ULONG)
{
    if (call.valueLength < sizeof(KSRTAUDIO_SETWRITEPACKET_INFO))
        return STATUS_BUFFER_TOO_SMALL;
    if (pin.output == nullptr)
        return STATUS_NOT_SUPPORTED;
    KSRTAUDIO_SETWRITEPACKET_INFO info;
    std::memcpy(&info, call.value, sizeof info);
    DeviceLockHold hold(pin.device);
    return pin.output->SetWritePacket(info.PacketNumber, info.Flags, info.EosPacketLength);
}

constexpr ULONG Get = KSPROPERTY_TYPE_GET;
constexpr ULONG Set = KSPROPERTY_TYPE_SET;
constexpr ULONG Plain = sizeof(KSPROPERTY);

// The set: the pages Microsoft publishes call every property get-only, but
// SETWRITEPACKET carries its packet in as a set, and the notification events
// are registered with either verb.
const RtAudioEntry RtAudioSet[] = {
    // id                                            access     descriptor (64-bit / 32-bit)                  miniport call
    {KSPROPERTY_RTAUDIO_GETPOSITIONFUNCTION, Get, Plain, Plain, &NotSupported}, // kernel clients only
    {KSPROPERTY_RTAUDIO_BUFFER, Get, sizeof(KSRTAUDIO_BUFFER_PROPERTY), sizeof(KSRTAUDIO_BUFFER_PROPERTY32),
     &Buffer},                                                     // IMiniportWaveRTStream::AllocateAudioBuffer
    {KSPROPERTY_RTAUDIO_HWLATENCY, Get, Plain, Plain, &HwLatency}, // IMiniportWaveRTStream::GetHWLatency
    {KSPROPERTY_RTAUDIO_POSITIONREGISTER, Get, sizeof(KSRTAUDIO_HWREGISTER_PROPERTY),
     sizeof(KSRTAUDIO_HWREGISTER_PROPERTY32), &PositionRegister}, // IMiniportWaveRTStream::GetPositionRegister
    {KSPROPERTY_RTAUDIO_CLOCKREGISTER, Get, sizeof(KSRTAUDIO_HWREGISTER_PROPERTY),
     sizeof(KSRTAUDIO_HWREGISTER_PROPERTY32), &ClockRegister}, // IMiniportWaveRTStream::GetClockRegister
    {KSPROPERTY_RTAUDIO_BUFFER_WITH_NOTIFICATION, Get, sizeof(KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION),
     sizeof(KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION32),
     &BufferWithNotification}, // IMiniportWaveRTStreamNotification::AllocateBufferWithNotification
    {KSPROPERTY_RTAUDIO_REGISTER_NOTIFICATION_EVENT, Get | Set, sizeof(KSRTAUDIO_NOTIFICATION_EVENT_PROPERTY),
     sizeof(KSRTAUDIO_NOTIFICATION_EVENT_PROPERTY32),
     &RegisterEvent}, // IMiniportWaveRTStreamNotification::RegisterNotificationEvent
    {KSPROPERTY_RTAUDIO_UNREGISTER_NOTIFICATION_EVENT, Get | Set, sizeof(KSRTAUDIO_NOTIFICATION_EVENT_PROPERTY),
     sizeof(KSRTAUDIO_NOTIFICATION_EVENT_PROPERTY32),
     &UnregisterEvent}, // IMiniportWaveRTStreamNotification::UnregisterNotificationEvent
    {KSPROPERTY_RTAUDIO_QUERY_NOTIFICATION_SUPPORT, Get, Plain, Plain,
     &QueryNotificationSupport}, // whether the stream has IMiniportWaveRTStreamNotification
    {KSPROPERTY_RTAUDIO_PACKETCOUNT, Get, Plain, Plain, &PacketCount}, // IMiniportWaveRTOutputStream::GetPacketCount
    {KSPROPERTY_RTAUDIO_PRESENTATION_POSITION, Get, Plain, Plain,
     &PresentationPosition}, // IMiniportWaveRTOutputStream::GetOutputStreamPresentationPosition
    {KSPROPERTY_RTAUDIO_GETREADPACKET, Get, Plain, Plain, &GetReadPacket}, // IMiniportWaveRTInputStream::GetReadPacket
    {KSPROPERTY_RTAUDIO_SETWRITEPACKET, Set, Plain, Plain,
     &SetWritePacket}, // IMiniportWaveRTOutputStream::SetWritePacket
    {KSPROPERTY_RTAUDIO_PACKETVREGISTER, Get, sizeof(KSRTAUDIO_PACKETVREGISTER_PROPERTY),
     sizeof(KSRTAUDIO_PACKETVREGISTER_PROPERTY), &NotSupported}, // no PortCls miniport call
};

} // namespace

NTSTATUS RtAudioProperty(WaveRTPin &pin, ks::PropertyCall &call, bool &handled)
{
    KSPROPERTY property;
    std::memcpy(&property, call.input, sizeof property);
    handled = IsEqualGUID(property.Set, KSPROPSETID_RtAudio);
    if (!handled)
        return STATUS_SUCCESS;
    for (const RtAudioEntry &entry : RtAudioSet) {
        if (entry.id != property.Id)
            continue;
        const ULONG verb = VerbOf(property.Flags);
        if (verb == KSPROPERTY_TYPE_SETSUPPORT)
            return STATUS_SUCCESS;
        if (verb == KSPROPERTY_TYPE_BASICSUPPORT)
            return BasicSupportReply(call, entry.access);
        if (!(entry.access & verb))
            return STATUS_INVALID_DEVICE_REQUEST;
        if (call.inputLength < (call.is32Bit ? entry.descriptor32 : entry.descriptor))
            return STATUS_INVALID_BUFFER_SIZE;
        return entry.answer(pin, call, verb);
    }
    return STATUS_NOT_FOUND;
}

} // namespace standin::portcls
