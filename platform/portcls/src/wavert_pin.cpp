// The WaveRT pin: its creation (format against the static ranges, the device
// in D0, NewStream, the queries for the stream's optional interfaces), the
// pin-instance properties the port answers (connection state and format,
// audio position, stream and DRM), its events, and its close, which stops
// the stream and removes everything the port made for it.
#include "wavert_pin.h"

#include <cstring>
#include <new>

namespace standin::portcls {

namespace {

using Answer = NTSTATUS (*)(WaveRTPin &pin, ks::PropertyCall &call, ULONG verb);

struct PinProperty {
    const GUID *set;
    ULONG id;
    ULONG access;
    Answer answer;
};

NTSTATUS ConnectionState(WaveRTPin &pin, ks::PropertyCall &call, ULONG verb)
{
    if (verb == KSPROPERTY_TYPE_GET) {
        const ULONG state = pin.state;
        return ReturnValue(call, &state, sizeof state);
    }
    if (call.valueLength < sizeof(ULONG))
        return STATUS_BUFFER_TOO_SMALL;
    ULONG state;
    std::memcpy(&state, call.value, sizeof state);
    if (state > KSSTATE_RUN)
        return STATUS_INVALID_PARAMETER;
    DeviceLockHold hold(pin.device);
    pin.pausedForPower = false;
    return pin.StepTo(static_cast<KSSTATE>(state));
}

NTSTATUS ConnectionDataFormat(WaveRTPin &pin, ks::PropertyCall &call, ULONG verb)
{
    if (verb == KSPROPERTY_TYPE_GET)
        return ReturnValue(call, pin.format.data(), pin.formatSize);
    if (call.valueLength < sizeof(KSDATAFORMAT))
        return STATUS_BUFFER_TOO_SMALL;
    KSDATAFORMAT head;
    std::memcpy(&head, call.value, sizeof head);
    if (head.FormatSize < sizeof head || head.FormatSize > call.valueLength)
        return STATUS_INVALID_PARAMETER;
    std::vector<uint64_t> format((head.FormatSize + 7) / 8, 0);
    std::memcpy(format.data(), call.value, head.FormatSize);
    auto *proposed = reinterpret_cast<PKSDATAFORMAT>(format.data());
    const KSPIN_DESCRIPTOR &ks = PinDescriptor(pin.port->Descriptor(), pin.pinId)->KsPinDescriptor;
    NTSTATUS status = MatchDataRanges(ks, proposed, head.FormatSize);
    if (!NT_SUCCESS(status))
        return status;
    DeviceLockHold hold(pin.device);
    status = pin.stream->SetFormat(proposed);
    if (NT_SUCCESS(status)) {
        pin.format.swap(format);
        pin.formatSize = head.FormatSize;
    }
    return status;
}

// A WaveRT pin streams through its cyclic buffer: one frame of it.
NTSTATUS AllocatorFraming(WaveRTPin &pin, ks::PropertyCall &call, ULONG)
{
    KSALLOCATOR_FRAMING framing{};
    framing.PoolType = NonPagedPool;
    framing.Frames = 1;
    framing.FrameSize = pin.buffer.size;
    return ReturnValue(call, &framing, sizeof framing);
}

// No allocator and no master clock: both are null handles, and only null
// can be set.
NTSTATUS NullHandle(WaveRTPin &, ks::PropertyCall &call, ULONG verb)
{
    const ULONG size = call.is32Bit ? sizeof(ULONG) : sizeof(HANDLE);
    if (verb == KSPROPERTY_TYPE_GET) {
        const uint64_t none = 0;
        return ReturnValue(call, &none, size);
    }
    if (call.valueLength < size)
        return STATUS_BUFFER_TOO_SMALL;
    uint64_t handle = 0;
    std::memcpy(&handle, call.value, size);
    return handle == 0 ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED;
}

NTSTATUS Position(WaveRTPin &pin, ks::PropertyCall &call, ULONG)
{
    NTSTATUS status = ks::CheckValueLength(call, sizeof(KSAUDIO_POSITION));
    if (!NT_SUCCESS(status))
        return status;
    KSAUDIO_POSITION position{};
    {
        DeviceLockHold hold(pin.device);
        status = pin.stream->GetPosition(&position);
    }
    if (!NT_SUCCESS(status))
        return status;
    return ReturnValue(call, &position, sizeof position);
}

NTSTATUS PositionEx(WaveRTPin &pin, ks::PropertyCall &call, ULONG)
{
    NTSTATUS status = ks::CheckValueLength(call, sizeof(KSAUDIO_POSITIONEX));
    if (!NT_SUCCESS(status))
        return status;
    KSAUDIO_POSITIONEX position{};
    {
        DeviceLockHold hold(pin.device);
        position.TimeStamp1 = KeQueryPerformanceCounter(&position.TimerFrequency);
        status = pin.stream->GetPosition(&position.Position);
        position.TimeStamp2 = KeQueryPerformanceCounter(nullptr);
    }
    if (!NT_SUCCESS(status))
        return status;
    return ReturnValue(call, &position, sizeof position);
}

NTSTATUS DrmContentId(WaveRTPin &, ks::PropertyCall &, ULONG)
{
    return STATUS_NOT_SUPPORTED; // the stand-in carries no protected content
}

constexpr ULONG Get = KSPROPERTY_TYPE_GET;
constexpr ULONG Set = KSPROPERTY_TYPE_SET;

const PinProperty PinProperties[] = {
    // set                       id                                       access     answer
    {&KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, Get | Set, &ConnectionState},
    {&KSPROPSETID_Connection, KSPROPERTY_CONNECTION_DATAFORMAT, Get | Set, &ConnectionDataFormat},
    {&KSPROPSETID_Connection, KSPROPERTY_CONNECTION_ALLOCATORFRAMING, Get, &AllocatorFraming},
    {&KSPROPSETID_Stream, KSPROPERTY_STREAM_ALLOCATOR, Get | Set, &NullHandle},
    {&KSPROPSETID_Stream, KSPROPERTY_STREAM_MASTERCLOCK, Get | Set, &NullHandle},
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_POSITION, Get, &Position},
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_POSITIONEX, Get, &PositionEx},
    {&KSPROPSETID_DrmAudioStream, KSPROPERTY_DRMAUDIOSTREAM_CONTENTID, Set, &DrmContentId},
};

NTSTATUS PinPropertyByPort(WaveRTPin &pin, ks::PropertyCall &call, bool &handled)
{
    KSPROPERTY property;
    std::memcpy(&property, call.input, sizeof property);
    const NTSTATUS rtAudio = RtAudioProperty(pin, call, handled);
    if (handled)
        return rtAudio;
    for (const PinProperty &entry : PinProperties) {
        if (entry.id != property.Id || !IsEqualGUID(*entry.set, property.Set))
            continue;
        handled = true;
        const ULONG verb = VerbOf(property.Flags);
        if (verb == KSPROPERTY_TYPE_SETSUPPORT)
            return STATUS_SUCCESS;
        if (verb == KSPROPERTY_TYPE_BASICSUPPORT)
            return BasicSupportReply(call, entry.access);
        if (!(entry.access & verb))
            return STATUS_INVALID_DEVICE_REQUEST;
        return entry.answer(pin, call, verb);
    }
    return STATUS_SUCCESS;
}

template <class Interface>
void Release(Interface *&object)
{
    if (object != nullptr)
        object->Release();
    object = nullptr;
}

template <class Interface>
void Query(IMiniportWaveRTStream *stream, const GUID &iid, Interface *&out)
{
    PVOID object = nullptr;
    out = NT_SUCCESS(stream->QueryInterface(iid, &object)) ? static_cast<Interface *>(object) : nullptr;
}

} // namespace

WaveRTPin::WaveRTPin(Port *port_, FilterObject *filter_, ULONG pinId_, bool capture_)
    : port(port_), filter(filter_), device(port_->Device()), pinId(pinId_), capture(capture_)
{
    port->AddRef();
}

WaveRTPin::~WaveRTPin()
{
    port->Release();
}

NTSTATUS WaveRTPin::StepTo(KSSTATE target)
{
    while (state != target) {
        const KSSTATE next = static_cast<KSSTATE>(target > state ? state + 1 : state - 1);
        const NTSTATUS status = stream->SetState(next);
        if (!NT_SUCCESS(status))
            return status;
        state = next;
    }
    return STATUS_SUCCESS;
}

void WaveRTPin::PauseForPower()
{
    if (state == KSSTATE_RUN && NT_SUCCESS(stream->SetState(KSSTATE_PAUSE))) {
        state = KSSTATE_PAUSE;
        pausedForPower = true;
    }
}

void WaveRTPin::ResumeAfterPower()
{
    if (pausedForPower && state == KSSTATE_PAUSE && NT_SUCCESS(stream->SetState(KSSTATE_RUN)))
        state = KSSTATE_RUN;
    pausedForPower = false;
}

void WaveRTPin::ReleaseBuffer()
{
    if (buffer.mdl == nullptr)
        return;
    Unmap(buffer.view);
    if (buffer.withNotification)
        notification->FreeBufferWithNotification(buffer.mdl, buffer.size);
    else
        stream->FreeAudioBuffer(buffer.mdl, buffer.size);
    buffer = Buffer{};
}

void WaveRTPin::ReleaseRegister(Register &reg)
{
    if (!reg.mapped)
        return;
    Unmap(reg.view);
    IoFreeMdl(reg.mdl);
    reg = Register{};
}

NTSTATUS WaveRTPin::Property(ks::PropertyCall &call)
{
    KSPROPERTY property;
    std::memcpy(&property, call.input, sizeof property);
    if (VerbOf(property.Flags) == 0)
        return STATUS_INVALID_PARAMETER;
    const PCFILTER_DESCRIPTOR *descriptor = port->Descriptor();
    if (property.Flags & KSPROPERTY_TYPE_TOPOLOGY) {
        if (call.inputLength < sizeof(KSNODEPROPERTY))
            return STATUS_INVALID_BUFFER_SIZE;
        KSNODEPROPERTY node;
        std::memcpy(&node, call.input, sizeof node);
        if (node.NodeId >= descriptor->NodeCount)
            return STATUS_INVALID_PARAMETER;
        const PCAUTOMATION_TABLE *table = NodeDescriptor(descriptor, node.NodeId)->AutomationTable;
        const PCPROPERTY_ITEM *item = FindProperty(table, property.Set, property.Id);
        if (item == nullptr)
            return HasPropertySet(table, property.Set) ? STATUS_NOT_FOUND : STATUS_PROPSET_NOT_FOUND;
        return CallPropertyHandler(device, item, port->MiniportUnknown(), stream, node.NodeId, sizeof(KSNODEPROPERTY),
                                   call);
    }
    bool handled = false;
    const NTSTATUS status = PinPropertyByPort(*this, call, handled);
    if (handled)
        return status;
    const PCAUTOMATION_TABLE *table = PinDescriptor(descriptor, pinId)->AutomationTable;
    const PCPROPERTY_ITEM *item = FindProperty(table, property.Set, property.Id);
    if (item == nullptr) {
        const bool knownSet =
            HasPropertySet(table, property.Set) || IsEqualGUID(property.Set, KSPROPSETID_Connection) ||
            IsEqualGUID(property.Set, KSPROPSETID_RtAudio) || IsEqualGUID(property.Set, KSPROPSETID_Audio) ||
            IsEqualGUID(property.Set, KSPROPSETID_Stream);
        return knownSet ? STATUS_NOT_FOUND : STATUS_PROPSET_NOT_FOUND;
    }
    return CallPropertyHandler(device, item, port->MiniportUnknown(), stream, PCFILTER_NODE, sizeof(KSPROPERTY), call);
}

NTSTATUS WaveRTPin::EnableEvent(ks::EventEnable &request)
{
    KSEVENT event;
    std::memcpy(&event, request.input, sizeof event);
    const PCFILTER_DESCRIPTOR *descriptor = port->Descriptor();
    const PCEVENT_ITEM *item = nullptr;
    ULONG nodeId = ULONG(-1);
    if (event.Flags & KSEVENT_TYPE_TOPOLOGY) {
        if (request.inputLength < sizeof(KSE_NODE))
            return STATUS_INVALID_BUFFER_SIZE;
        KSE_NODE node;
        std::memcpy(&node, request.input, sizeof node);
        if (node.NodeId >= descriptor->NodeCount)
            return STATUS_INVALID_PARAMETER;
        nodeId = node.NodeId;
        item = FindEvent(NodeDescriptor(descriptor, nodeId)->AutomationTable, event.Set, event.Id);
    } else {
        // The pin's table, then the filter's pin-wise events for this pin.
        item = FindEvent(PinDescriptor(descriptor, pinId)->AutomationTable, event.Set, event.Id);
        if (item == nullptr)
            item = FindEvent(descriptor->AutomationTable, event.Set, event.Id);
    }
    if (item == nullptr)
        return STATUS_NOT_FOUND;
    return EnableEventFor(port, request, item, pinId, nodeId, stream);
}

NTSTATUS WaveRTPin::DisableEvent(PFILE_OBJECT file, const void *identity)
{
    return DisableEventsFor(port, file, identity);
}

ULONG WaveRTPin::EventSets(GUID *sets, ULONG capacity)
{
    const PCFILTER_DESCRIPTOR *descriptor = port->Descriptor();
    std::vector<GUID> all;
    CollectEventSets(PinDescriptor(descriptor, pinId)->AutomationTable, all);
    CollectEventSets(descriptor->AutomationTable, all);
    for (ULONG i = 0; i < descriptor->NodeCount; ++i)
        CollectEventSets(NodeDescriptor(descriptor, i)->AutomationTable, all);
    for (ULONG i = 0; i < capacity && i < all.size(); ++i)
        sets[i] = all[i];
    return static_cast<ULONG>(all.size());
}

void WaveRTPin::Close(PIRP irp)
{
    // The events enabled through the pin first: their handlers still see the
    // stream as their minor target.
    DisableEventsFor(port, IoGetCurrentIrpStackLocation(irp)->FileObject, nullptr);
    {
        DeviceLockHold hold(device);
        // Out of the power manager's reach (it walks the pins under the
        // device lock).
        {
            std::lock_guard<std::recursive_mutex> list(device->lock);
            std::erase(device->pins, this);
        }
        // Down to STOP one state at a time; a refusal on the way down does not
        // keep the pin.
        while (state != KSSTATE_STOP) {
            const KSSTATE next = static_cast<KSSTATE>(state - 1);
            stream->SetState(next);
            state = next;
        }
        for (PKEVENT event : notificationEvents) {
            notification->UnregisterNotificationEvent(event);
            standin::kernel::DereferenceObject(event);
        }
        notificationEvents.clear();
        ReleaseRegister(position);
        ReleaseRegister(clock);
        ReleaseBuffer();
        Release(output);
        Release(input);
        Release(notification);
        Release(stream);
        Release(portStream);
    }
    filter->ReturnInstance(pinId);
    delete this;
}

NTSTATUS NewWaveRTPin(Port *port, FilterObject *filter, ks::PinCreate &create, ks::Object **object)
{
    const ULONG id = create.connect.PinId;
    const KSPIN_DESCRIPTOR &ks = PinDescriptor(port->Descriptor(), id)->KsPinDescriptor;
    NTSTATUS status = MatchDataRanges(ks, create.format, create.formatLength);
    if (!NT_SUCCESS(status))
        return status;
    auto *pin = new (std::nothrow) WaveRTPin(port, filter, id, ks.DataFlow == KSPIN_DATAFLOW_OUT);
    if (pin == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    pin->format.assign((create.formatLength + 7) / 8, 0);
    std::memcpy(pin->format.data(), create.format, create.formatLength);
    pin->formatSize = create.format->FormatSize;
    {
        DeviceLockHold hold(pin->device);
        // A stream is only ever created on a powered device.
        EnsureDeviceD0(pin->device);
        auto *miniport = reinterpret_cast<IMiniportWaveRT *>(port->Miniport());
        status = miniport == nullptr ? STATUS_DEVICE_NOT_READY : NewPortStream(&pin->portStream);
        if (NT_SUCCESS(status))
            status = miniport->NewStream(&pin->stream, pin->portStream, id, pin->capture,
                                         reinterpret_cast<PKSDATAFORMAT>(pin->format.data()));
        if (NT_SUCCESS(status) && pin->stream == nullptr)
            status = STATUS_UNSUCCESSFUL;
        if (NT_SUCCESS(status)) {
            Query(pin->stream, IID_IMiniportWaveRTStreamNotification, pin->notification);
            Query(pin->stream, IID_IMiniportWaveRTInputStream, pin->input);
            Query(pin->stream, IID_IMiniportWaveRTOutputStream, pin->output);
        }
    }
    if (!NT_SUCCESS(status)) {
        if (pin->portStream != nullptr)
            pin->portStream->Release();
        delete pin;
        return status;
    }
    {
        std::lock_guard<std::recursive_mutex> hold(pin->device->lock);
        pin->device->pins.push_back(pin);
    }
    *object = pin;
    return STATUS_SUCCESS;
}

namespace {

// The open pins, called with the device lock held: no pin leaves the list
// (nor is deleted) while it is, so the streams are called outside the list's
// lock, free to wait in the kernel.
std::vector<WaveRTPin *> OpenPins(DeviceContext *context)
{
    std::lock_guard<std::recursive_mutex> hold(context->lock);
    return context->pins;
}

} // namespace

void PauseRunningPins(DeviceContext *context)
{
    for (WaveRTPin *pin : OpenPins(context))
        pin->PauseForPower();
}

void ResumePausedPins(DeviceContext *context)
{
    for (WaveRTPin *pin : OpenPins(context))
        pin->ResumeAfterPower();
}

} // namespace standin::portcls
