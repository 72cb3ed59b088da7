// The test adapter's WaveRT filter: its descriptor, the miniport, the stream
// with its notification and packet interfaces, and the simulated hardware
// that moves the stream's position.
#include "TestShared.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <thread>
#include <vector>

namespace testadapter {

namespace {

// ---- Descriptor -------------------------------------------------------------
//
//   [pin 0: streaming] --> (node 0: DAC) --> [pin 1: bridge]      render
//   [pin 0: streaming] <-- (node 0: ADC) <-- [pin 1: bridge]      capture

NTSTATUS ValueHandler(PPCPROPERTY_REQUEST request);
NTSTATUS PendedHandler(PPCPROPERTY_REQUEST request);
NTSTATUS ProbeHandler(PPCPROPERTY_REQUEST request);
NTSTATUS EventHandler(PPCEVENT_REQUEST request);
NTSTATUS ProposedFormatHandler(PPCPROPERTY_REQUEST request);

const PCPROPERTY_ITEM FilterProperties[] = {
    {&TestPropertySet, PropertyValue, KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_BASICSUPPORT,
     &ValueHandler},
    {&TestPropertySet, PropertyPended, KSPROPERTY_TYPE_GET, &PendedHandler},
    {&TestPropertySet, PropertyProbe, KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET, &ProbeHandler},
};
// With proposesFormat: the same, and the device format proposed for the
// streaming pin.
const PCPROPERTY_ITEM FormatFilterProperties[] = {
    FilterProperties[0],
    FilterProperties[1],
    FilterProperties[2],
    {&KSPROPSETID_Pin, KSPROPERTY_PIN_PROPOSEDATAFORMAT, KSPROPERTY_TYPE_GET, &ProposedFormatHandler},
};
const PCEVENT_ITEM FilterEvents[] = {
    {&KSEVENTSETID_PinCapsChange, KSEVENT_PINCAPS_FORMATCHANGE, KSEVENT_TYPE_ENABLE | KSEVENT_TYPE_BASICSUPPORT,
     &EventHandler},
};
const PCAUTOMATION_TABLE FilterAutomation = {
    sizeof(PCPROPERTY_ITEM), SIZEOF_ARRAY(FilterProperties), FilterProperties, 0, 0, nullptr,
    sizeof(PCEVENT_ITEM),    SIZEOF_ARRAY(FilterEvents),     FilterEvents,     0};
const PCAUTOMATION_TABLE FormatFilterAutomation = {
    sizeof(PCPROPERTY_ITEM), SIZEOF_ARRAY(FormatFilterProperties), FormatFilterProperties, 0, 0, nullptr,
    sizeof(PCEVENT_ITEM),    SIZEOF_ARRAY(FilterEvents),           FilterEvents,           0};

const PCPROPERTY_ITEM ProbeOnly[] = {
    {&TestPropertySet, PropertyProbe, KSPROPERTY_TYPE_GET, &ProbeHandler},
};
DEFINE_PCAUTOMATION_TABLE_PROP(ProbeAutomation, ProbeOnly);

KSDATARANGE_AUDIO AudioRange(const GUID &subFormat, ULONG bits, ULONG minimumRate, ULONG maximumRate)
{
    KSDATARANGE_AUDIO range{};
    range.DataRange.FormatSize = sizeof range;
    range.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    range.DataRange.SubFormat = subFormat;
    range.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    range.MaximumChannels = 2;
    range.MinimumBitsPerSample = bits;
    range.MaximumBitsPerSample = bits;
    range.MinimumSampleFrequency = minimumRate;
    range.MaximumSampleFrequency = maximumRate;
    return range;
}

const PCPROPERTY_ITEM BadItems[] = {{&TestPropertySet, PropertyValue, KSPROPERTY_TYPE_GET, nullptr}};

// The descriptor as this load's configuration shapes it.
struct WaveTables {
    KSDATARANGE_AUDIO pcm, floating;
    KSDATARANGE bridge;
    PKSDATARANGE streamRanges[2];
    PKSDATARANGE bridgeRanges[1];
    PCPIN_DESCRIPTOR pins[2];
    PCNODE_DESCRIPTOR nodes[1];
    PCCONNECTION_DESCRIPTOR connections[2];
    GUID categories[2];
    PCAUTOMATION_TABLE badTable;
    PCFILTER_DESCRIPTOR filter;
};

WaveTables &Tables()
{
    static WaveTables tables;
    return tables;
}

void BuildTables(const Config &config)
{
    WaveTables &t = Tables();
    t.pcm = AudioRange(KSDATAFORMAT_SUBTYPE_PCM, 16, 44100, 48000);
    t.floating = AudioRange(KSDATAFORMAT_SUBTYPE_IEEE_FLOAT, 32, 48000, 48000);
    t.bridge = KSDATARANGE{};
    t.bridge.FormatSize = sizeof(KSDATARANGE);
    t.bridge.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    t.bridge.SubFormat = KSDATAFORMAT_SUBTYPE_ANALOG;
    t.bridge.Specifier = KSDATAFORMAT_SPECIFIER_NONE;
    t.streamRanges[0] = &t.pcm.DataRange;
    t.streamRanges[1] = &t.floating.DataRange;
    t.bridgeRanges[0] = &t.bridge;
    const KSPIN_DATAFLOW streamFlow = config.capture ? KSPIN_DATAFLOW_OUT : KSPIN_DATAFLOW_IN;
    const KSPIN_DATAFLOW bridgeFlow = config.capture ? KSPIN_DATAFLOW_IN : KSPIN_DATAFLOW_OUT;
    t.pins[WaveStreamingPin] = {config.maxGlobalInstances, config.maxFilterInstances, 0, &ProbeAutomation, {}};
    t.pins[WaveStreamingPin].KsPinDescriptor = {0,
                                                nullptr,
                                                0,
                                                nullptr,
                                                SIZEOF_ARRAY(t.streamRanges),
                                                t.streamRanges,
                                                streamFlow,
                                                KSPIN_COMMUNICATION_SINK,
                                                &KSCATEGORY_AUDIO,
                                                nullptr,
                                                {}};
    t.pins[WaveBridgePin] = {0, 0, 0, nullptr, {}};
    t.pins[WaveBridgePin].KsPinDescriptor = {0,
                                             nullptr,
                                             0,
                                             nullptr,
                                             SIZEOF_ARRAY(t.bridgeRanges),
                                             t.bridgeRanges,
                                             bridgeFlow,
                                             KSPIN_COMMUNICATION_NONE,
                                             &KSCATEGORY_AUDIO,
                                             nullptr,
                                             {}};
    t.nodes[WaveDacNode] = {0, &ProbeAutomation, config.capture ? &KSNODETYPE_ADC : &KSNODETYPE_DAC, nullptr};
    if (config.capture) {
        t.connections[0] = {PCFILTER_NODE, WaveBridgePin, WaveDacNode, 1};
        t.connections[1] = {WaveDacNode, 0, PCFILTER_NODE, WaveStreamingPin};
    } else {
        t.connections[0] = {PCFILTER_NODE, WaveStreamingPin, WaveDacNode, 1};
        t.connections[1] = {WaveDacNode, 0, PCFILTER_NODE, WaveBridgePin};
    }
    t.categories[0] = KSCATEGORY_AUDIO;
    t.categories[1] = config.capture ? KSCATEGORY_CAPTURE : KSCATEGORY_RENDER;
    t.filter = {0,
                config.proposesFormat ? &FormatFilterAutomation : &FilterAutomation,
                sizeof(PCPIN_DESCRIPTOR),
                SIZEOF_ARRAY(t.pins),
                t.pins,
                sizeof(PCNODE_DESCRIPTOR),
                SIZEOF_ARRAY(t.nodes),
                t.nodes,
                SIZEOF_ARRAY(t.connections),
                t.connections,
                SIZEOF_ARRAY(t.categories),
                t.categories};
    t.badTable = {sizeof(PCPROPERTY_ITEM), 1, BadItems, 0, 0, nullptr, 0, 0, nullptr, 0};
    switch (config.descriptorFault) {
    case DescriptorFault::None: break;
    case DescriptorFault::Version: t.filter.Version = 1; break;
    case DescriptorFault::PinSize: t.filter.PinSize = sizeof(PCPIN_DESCRIPTOR) + 4; break;
    case DescriptorFault::NodeSize: t.filter.NodeSize = sizeof(PCNODE_DESCRIPTOR) - 8; break;
    case DescriptorFault::Connection: t.connections[1].ToNodePin = 7; break;
    case DescriptorFault::PropertyItemSize:
        t.badTable.PropertyItemSize = sizeof(PCPROPERTY_ITEM) - 8;
        t.badTable.Properties = FilterProperties;
        t.nodes[WaveDacNode].AutomationTable = &t.badTable;
        break;
    case DescriptorFault::NullHandler: t.nodes[WaveDacNode].AutomationTable = &t.badTable; break;
    }
}

// ---- Stream -------------------------------------------------------------------

class WaveStream;
WaveStream *currentStream = nullptr; // under State().lock
PUNKNOWN waveMiniportUnknown = nullptr;

// The frame size of a stream's data format (4 for 16-bit stereo when it
// cannot be read).
ULONG FrameBytesOf(const KSDATAFORMAT *format)
{
    if (format == nullptr || format->FormatSize < sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX))
        return 4;
    WAVEFORMATEX wave;
    std::memcpy(&wave, reinterpret_cast<const uint8_t *>(format) + sizeof(KSDATAFORMAT), sizeof wave);
    return wave.nBlockAlign != 0 ? wave.nBlockAlign : 4;
}

class WaveStream final : public IMiniportWaveRTStreamNotification,
                         public IMiniportWaveRTInputStream,
                         public IMiniportWaveRTOutputStream,
                         public RefCounted {
public:
    WaveStream(PPORTWAVERTSTREAM portStream, ULONG frameBytes) : portStream_(portStream), frameBytes_(frameBytes)
    {
        portStream_->AddRef();
        PHYSICAL_ADDRESS high;
        high.QuadPart = -1;
        registerMdl_ = portStream_->AllocatePagesForMdl(high, PAGE_SIZE);
        if (registerMdl_ != nullptr)
            registers_ = static_cast<ULONG *>(portStream_->MapAllocatedPages(registerMdl_, MmCached));
    }

    bool Ready() const { return registers_ != nullptr; }
    PUNKNOWN Unknown() { return static_cast<IMiniportWaveRTStreamNotification *>(this); }

    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID iid, PVOID *object) override
    {
        const Config &config = State().config;
        PVOID found = nullptr;
        if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IMiniportWaveRTStream) ||
            (config.notification && IsEqualGUID(iid, IID_IMiniportWaveRTStreamNotification)))
            found = static_cast<IMiniportWaveRTStreamNotification *>(this);
        else if (config.packets && IsEqualGUID(iid, IID_IMiniportWaveRTInputStream))
            found = static_cast<IMiniportWaveRTInputStream *>(this);
        else if (config.packets && IsEqualGUID(iid, IID_IMiniportWaveRTOutputStream))
            found = static_cast<IMiniportWaveRTOutputStream *>(this);
        return Answer(object, found);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return AddRefBase(); }
    STDMETHODIMP_(ULONG) Release() override { return ReleaseBase(); }

    STDMETHODIMP_(NTSTATUS) SetFormat(PKSDATAFORMAT format) override
    {
        CallProbe probe;
        WAVEFORMATEX wave;
        std::memcpy(&wave, reinterpret_cast<uint8_t *>(format) + sizeof(KSDATAFORMAT), sizeof wave);
        std::lock_guard<std::mutex> hold(State().lock);
        State().observed.formatsSet.push_back(wave.nSamplesPerSec);
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS) SetState(KSSTATE state) override
    {
        CallProbe probe;
        std::lock_guard<std::mutex> hold(State().lock);
        Observed &o = State().observed;
        o.states.push_back(state);
        const int step = static_cast<int>(state) - static_cast<int>(state_);
        if (step != 1 && step != -1)
            o.nonAdjacentState = true;
        state_ = state;
        if (state == KSSTATE_STOP) {
            position_ = 0;
            packets_ = 0;
            readPackets_ = 0;
            *registers_ = 0;
        }
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS) GetPosition(PKSAUDIO_POSITION position) override
    {
        CallProbe probe;
        std::lock_guard<std::mutex> hold(State().lock);
        const ULONG offset = bufferSize_ != 0 ? static_cast<ULONG>((position_ * frameBytes_) % bufferSize_) : 0;
        position->PlayOffset = offset;
        position->WriteOffset = offset;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS)
    AllocateAudioBuffer(ULONG requested, PMDL *mdl, ULONG *actual, ULONG *offset, MEMORY_CACHING_TYPE *cache) override
    {
        return Allocate(2, requested, mdl, actual, offset, cache);
    }
    STDMETHODIMP_(VOID) FreeAudioBuffer(PMDL mdl, ULONG) override
    {
        CallProbe probe;
        portStream_->UnmapAllocatedPages(buffer_, mdl);
        portStream_->FreePagesFromMdl(mdl);
        std::lock_guard<std::mutex> hold(State().lock);
        buffer_ = nullptr;
        bufferSize_ = 0;
        ++State().observed.buffersFreed;
    }
    STDMETHODIMP_(VOID) GetHWLatency(KSRTAUDIO_HWLATENCY *latency) override
    {
        CallProbe probe;
        *latency = {64, 10, 20};
    }
    STDMETHODIMP_(NTSTATUS) GetPositionRegister(KSRTAUDIO_HWREGISTER *reg) override
    {
        CallProbe probe;
        *reg = {registers_, 32, 0, 0, frameBytes_};
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS) GetClockRegister(KSRTAUDIO_HWREGISTER *reg) override
    {
        CallProbe probe;
        if (!State().config.clockRegister)
            return STATUS_NOT_SUPPORTED;
        *reg = {registers_ + 2, 64, 10000000, 1, 1};
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS)
    AllocateBufferWithNotification(ULONG count, ULONG requested, PMDL *mdl, ULONG *actual, ULONG *offset,
                                   MEMORY_CACHING_TYPE *cache) override
    {
        if (count < 1 || count > 2)
            return STATUS_INVALID_PARAMETER;
        return Allocate(count, requested, mdl, actual, offset, cache);
    }
    STDMETHODIMP_(VOID) FreeBufferWithNotification(PMDL mdl, ULONG size) override { FreeAudioBuffer(mdl, size); }
    STDMETHODIMP_(NTSTATUS) RegisterNotificationEvent(PKEVENT event) override
    {
        CallProbe probe;
        std::lock_guard<std::mutex> hold(State().lock);
        if (std::find(events_.begin(), events_.end(), event) != events_.end())
            return STATUS_ALREADY_REGISTERED;
        events_.push_back(event);
        ++State().observed.eventsRegistered;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS) UnregisterNotificationEvent(PKEVENT event) override
    {
        CallProbe probe;
        std::lock_guard<std::mutex> hold(State().lock);
        auto it = std::find(events_.begin(), events_.end(), event);
        if (it == events_.end())
            return STATUS_NOT_FOUND;
        events_.erase(it);
        ++State().observed.eventsUnregistered;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS) GetReadPacket(ULONG *number, DWORD *flags, ULONG64 *counter, BOOL *more) override
    {
        CallProbe probe;
        std::lock_guard<std::mutex> hold(State().lock);
        if (readPackets_ >= packets_)
            return STATUS_DEVICE_NOT_READY;
        *number = readPackets_++;
        *flags = 0;
        *counter = 1000 + *number;
        *more = readPackets_ < packets_;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS) SetWritePacket(ULONG number, DWORD flags, ULONG) override
    {
        CallProbe probe;
        std::lock_guard<std::mutex> hold(State().lock);
        if (flags & ~DWORD(KSSTREAM_HEADER_OPTIONSF_ENDOFSTREAM))
            return STATUS_INVALID_PARAMETER;
        if (number < packets_ + 1)
            return STATUS_DATA_LATE_ERROR;
        if (number > packets_ + 1)
            return STATUS_DATA_OVERRUN;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS) GetOutputStreamPresentationPosition(KSAUDIO_PRESENTATION_POSITION *position) override
    {
        CallProbe probe;
        std::lock_guard<std::mutex> hold(State().lock);
        position->u64PositionInBlocks = position_;
        position->u64QPCPosition = static_cast<UINT64>(KeQueryPerformanceCounter(nullptr).QuadPart);
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS) GetPacketCount(ULONG *count) override
    {
        CallProbe probe;
        std::lock_guard<std::mutex> hold(State().lock);
        *count = packets_;
        return STATUS_SUCCESS;
    }

    // The hardware moves on: packets complete, events are set, the register
    // holds the byte position in the buffer. With data, the frames it passes
    // are played out of the buffer (render) or recorded into it (capture).
    ULONG Advance(ULONG frames, uint8_t *data = nullptr)
    {
        if (bufferSize_ == 0 || state_ != KSSTATE_RUN)
            return 0;
        const ULONG framesPerPacket = bufferSize_ / frameBytes_ / notifications_;
        const bool capture = State().config.capture;
        auto *buffer = static_cast<uint8_t *>(buffer_);
        ULONG shown = 0; // frames the registers show
        for (ULONG i = 0; i < frames; ++i) {
            if (data != nullptr) {
                uint8_t *slot = buffer + (position_ * frameBytes_) % bufferSize_;
                uint8_t *frame = data + size_t(i) * frameBytes_;
                std::memcpy(capture ? slot : frame, capture ? frame : slot, frameBytes_);
            }
            ++position_;
            if (framesPerPacket != 0 && position_ % framesPerPacket == 0) {
                ++packets_;
                // As on hardware, a boundary is in the registers by the time
                // its interrupt wakes anyone.
                ShowPosition(i + 1 - shown);
                shown = i + 1;
                for (PKEVENT event : events_)
                    KeSetEvent(event, IO_NO_INCREMENT, FALSE);
            }
        }
        ShowPosition(frames - shown);
        return frames;
    }
    void ShowPosition(ULONG moved)
    {
        *registers_ = static_cast<ULONG>((position_ * frameBytes_) % bufferSize_);
        auto *clock = reinterpret_cast<volatile ULONG64 *>(registers_ + 2);
        *clock = *clock + moved;
    }
    void Signal()
    {
        for (PKEVENT event : events_)
            KeSetEvent(event, IO_NO_INCREMENT, FALSE);
    }
    ULONG Register() const { return *registers_; }
    ULONG ReadBuffer(ULONG offset) const
    {
        if (buffer_ == nullptr || offset + sizeof(ULONG) > bufferSize_)
            return 0;
        ULONG value;
        std::memcpy(&value, static_cast<const uint8_t *>(buffer_) + offset, sizeof value);
        return value;
    }

private:
    ~WaveStream() override
    {
        if (registers_ != nullptr)
            portStream_->UnmapAllocatedPages(registers_, registerMdl_);
        if (registerMdl_ != nullptr)
            portStream_->FreePagesFromMdl(registerMdl_);
        portStream_->Release();
        std::lock_guard<std::mutex> hold(State().lock);
        if (currentStream == this)
            currentStream = nullptr;
        ++State().observed.streamsDestroyed;
    }

    NTSTATUS Allocate(ULONG count, ULONG requested, PMDL *mdl, ULONG *actual, ULONG *offset, MEMORY_CACHING_TYPE *cache)
    {
        CallProbe probe;
        const ULONG least = std::max<ULONG>(State().config.minimumBufferBytes, frameBytes_ * 2);
        const ULONG size = (std::max<ULONG>(requested, least) + frameBytes_ - 1) / frameBytes_ * frameBytes_;
        PHYSICAL_ADDRESS high;
        high.QuadPart = -1;
        PMDL pages = portStream_->AllocatePagesForMdl(high, size);
        if (pages == nullptr)
            return STATUS_INSUFFICIENT_RESOURCES;
        void *mapped = portStream_->MapAllocatedPages(pages, MmCached);
        if (mapped == nullptr) {
            portStream_->FreePagesFromMdl(pages);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        std::lock_guard<std::mutex> hold(State().lock);
        buffer_ = mapped;
        bufferSize_ = size;
        notifications_ = count;
        State().observed.requestedBuffer = requested;
        State().observed.notificationCount = count;
        ++State().observed.buffersAllocated;
        *mdl = pages;
        *actual = size;
        *offset = 0;
        *cache = MmCached;
        return STATUS_SUCCESS;
    }

    PPORTWAVERTSTREAM portStream_;
    PMDL registerMdl_ = nullptr;
    ULONG frameBytes_;
    ULONG *registers_ = nullptr; // [0]: position in bytes; [2..3]: a 64-bit clock
    void *buffer_ = nullptr;
    ULONG bufferSize_ = 0;
    ULONG notifications_ = 2;
    KSSTATE state_ = KSSTATE_STOP;
    uint64_t position_ = 0; // frames since STOP
    ULONG packets_ = 0, readPackets_ = 0;
    std::vector<PKEVENT> events_;
};

// ---- Miniport -----------------------------------------------------------------

class WaveMiniport final : public IMiniportWaveRT, public IPowerNotify, public RefCounted {
public:
    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID iid, PVOID *object) override
    {
        PVOID found = nullptr;
        if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IMiniport) || IsEqualGUID(iid, IID_IMiniportWaveRT))
            found = static_cast<IMiniportWaveRT *>(this);
        else if (IsEqualGUID(iid, IID_IPowerNotify))
            found = static_cast<IPowerNotify *>(this);
        return Answer(object, found);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return AddRefBase(); }
    STDMETHODIMP_(ULONG) Release() override { return ReleaseBase(); }

    STDMETHODIMP_(NTSTATUS) GetDescription(PPCFILTER_DESCRIPTOR *description) override
    {
        *description = &Tables().filter;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS)
    DataRangeIntersection(ULONG, PKSDATARANGE client, PKSDATARANGE mine, ULONG outputLength, PVOID result,
                          PULONG resultLength) override
    {
        CallProbe probe;
        {
            std::lock_guard<std::mutex> hold(State().lock);
            ++State().observed.miniportIntersections;
        }
        // The miniport answers float itself and leaves PCM to the port.
        if (!IsEqualGUID(mine->SubFormat, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT))
            return STATUS_NOT_IMPLEMENTED;
        if (!IsEqualGUID(client->SubFormat, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT))
            return STATUS_NO_MATCH;
        if (outputLength == 0) {
            *resultLength = sizeof(KSDATAFORMAT_WAVEFORMATEXTENSIBLE);
            return STATUS_BUFFER_OVERFLOW;
        }
        if (outputLength < sizeof(KSDATAFORMAT_WAVEFORMATEXTENSIBLE))
            return STATUS_BUFFER_TOO_SMALL;
        KSDATAFORMAT_WAVEFORMATEXTENSIBLE format{};
        format.DataFormat = *mine;
        format.DataFormat.FormatSize = sizeof format;
        format.WaveFormatExt.Format = {WAVE_FORMAT_EXTENSIBLE, 2, 48000, 48000 * 8, 8, 32, 22};
        format.WaveFormatExt.Samples.wValidBitsPerSample = 32;
        format.WaveFormatExt.dwChannelMask = KSAUDIO_SPEAKER_STEREO;
        format.WaveFormatExt.SubFormat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
        std::memcpy(result, &format, sizeof format);
        *resultLength = sizeof format;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS) Init(PUNKNOWN, PRESOURCELIST, PPORTWAVERT port) override
    {
        return port_.Init(port, State().waveEvents);
    }
    STDMETHODIMP_(NTSTATUS)
    NewStream(PMINIPORTWAVERTSTREAM *stream, PPORTWAVERTSTREAM portStream, ULONG pin, BOOLEAN capture,
              PKSDATAFORMAT format) override
    {
        CallProbe probe;
        Shared &s = State();
        {
            std::lock_guard<std::mutex> hold(s.lock);
            ++s.observed.newStreams;
            s.observed.newStreamPin = pin;
            s.observed.newStreamCapture = capture != FALSE;
            s.observed.deviceStateAtNewStream = s.devicePower;
            if (s.config.newStreamStatus != 0)
                return s.config.newStreamStatus;
        }
        auto *created = new (std::nothrow) WaveStream(portStream, FrameBytesOf(format));
        if (created == nullptr)
            return STATUS_INSUFFICIENT_RESOURCES;
        if (!created->Ready()) {
            created->Release();
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        std::lock_guard<std::mutex> hold(s.lock);
        currentStream = created;
        *stream = created;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS) GetDeviceDescription(PDEVICE_DESCRIPTION description) override
    {
        std::memset(description, 0, sizeof *description);
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(void) PowerChangeNotify(POWER_STATE state) override
    {
        std::lock_guard<std::mutex> hold(State().lock);
        State().observed.miniportPowerNotices.push_back(state.DeviceState);
    }

private:
    ~WaveMiniport() override { port_.Release(State().waveEvents); }

    PortLink<IPortWaveRT> port_;
};

// ---- Property and event handlers ------------------------------------------------

ULONG storedValue = 0; // under the device lock

NTSTATUS ValueHandler(PPCPROPERTY_REQUEST request)
{
    CallProbe probe;
    if (request->Verb & KSPROPERTY_TYPE_BASICSUPPORT)
        return AccessFlagsReply(request);
    if (request->ValueSize == 0) {
        request->ValueSize = sizeof(ULONG);
        return STATUS_BUFFER_OVERFLOW;
    }
    if (request->ValueSize < sizeof(ULONG))
        return STATUS_BUFFER_TOO_SMALL;
    // Long enough for another caller to overlap, if nothing serialised them.
    for (uint32_t i = 0; i < State().config.handlerYields; ++i)
        std::this_thread::yield();
    if (request->Verb & KSPROPERTY_TYPE_GET)
        *static_cast<ULONG *>(request->Value) = storedValue;
    else
        storedValue = *static_cast<ULONG *>(request->Value);
    request->ValueSize = sizeof(ULONG);
    return STATUS_SUCCESS;
}

NTSTATUS PendedHandler(PPCPROPERTY_REQUEST request)
{
    CallProbe probe;
    if (request->ValueSize < sizeof(ULONG))
        return STATUS_BUFFER_TOO_SMALL;
    // Answered later, from another thread, as a driver completing work would
    // (with holdPended once the test allows it).
    const bool hold = State().config.holdPended;
    KeSetEvent(&State().pendedArrived, IO_NO_INCREMENT, FALSE);
    std::thread([request, hold] {
        if (hold)
            KeWaitForSingleObject(&State().pendedRelease, Executive, KernelMode, FALSE, nullptr);
        *static_cast<ULONG *>(request->Value) = 0xABCD;
        request->ValueSize = sizeof(ULONG);
        PcCompletePendingPropertyRequest(request, STATUS_SUCCESS);
    }).detach();
    return STATUS_PENDING;
}

NTSTATUS ProbeHandler(PPCPROPERTY_REQUEST request)
{
    CallProbe probe;
    std::lock_guard<std::mutex> hold(State().lock);
    Observed &o = State().observed;
    o.probeMajorIsMiniport = request->MajorTarget == waveMiniportUnknown;
    o.probeMinorIsStream = currentStream != nullptr && request->MinorTarget == currentStream->Unknown();
    o.probeMinorNull = request->MinorTarget == nullptr;
    o.probeNode = request->Node;
    o.probeVerb = request->Verb;
    o.probeInstanceSize = request->InstanceSize;
    o.probeValueSize = request->ValueSize;
    o.probeInstanceFirst = request->InstanceSize >= 4 ? *static_cast<ULONG *>(request->Instance) : 0;
    if (request->ValueSize >= sizeof(ULONG) && (request->Verb & KSPROPERTY_TYPE_GET)) {
        *static_cast<ULONG *>(request->Value) = 0x5EED;
        request->ValueSize = sizeof(ULONG);
    }
    return STATUS_SUCCESS;
}

NTSTATUS EventHandler(PPCEVENT_REQUEST request)
{
    return HandleEventRequest(request, State().waveEvents);
}

// The device format: 16-bit stereo PCM or 32-bit float stereo.
KSDATAFORMAT_WAVEFORMATEXTENSIBLE DeviceFormat()
{
    std::lock_guard<std::mutex> hold(State().lock);
    const Config &config = State().config;
    const WORD bits = config.deviceFloat ? 32 : 16;
    const WORD block = 2 * bits / 8;
    KSDATAFORMAT_WAVEFORMATEXTENSIBLE format{};
    format.DataFormat.FormatSize = sizeof format;
    format.DataFormat.SampleSize = block;
    format.DataFormat.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    format.DataFormat.SubFormat = config.deviceFloat ? KSDATAFORMAT_SUBTYPE_IEEE_FLOAT : KSDATAFORMAT_SUBTYPE_PCM;
    format.DataFormat.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    format.WaveFormatExt.Format = {
        WAVE_FORMAT_EXTENSIBLE, 2, config.deviceRate, config.deviceRate * block, block, bits, 22};
    format.WaveFormatExt.Samples.wValidBitsPerSample = bits;
    format.WaveFormatExt.dwChannelMask = KSAUDIO_SPEAKER_STEREO;
    format.WaveFormatExt.SubFormat = format.DataFormat.SubFormat;
    return format;
}

NTSTATUS ProposedFormatHandler(PPCPROPERTY_REQUEST request)
{
    CallProbe probe;
    if (request->InstanceSize < sizeof(ULONG) || *static_cast<ULONG *>(request->Instance) != WaveStreamingPin)
        return STATUS_INVALID_PARAMETER;
    const KSDATAFORMAT_WAVEFORMATEXTENSIBLE format = DeviceFormat();
    if (request->ValueSize == 0) {
        request->ValueSize = sizeof format;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (request->ValueSize < sizeof format)
        return STATUS_BUFFER_TOO_SMALL;
    std::memcpy(request->Value, &format, sizeof format);
    request->ValueSize = sizeof format;
    return STATUS_SUCCESS;
}

} // namespace

NTSTATUS NewWaveMiniport(PUNKNOWN *miniport)
{
    BuildTables(State().config);
    auto *object = new (std::nothrow) WaveMiniport;
    if (object == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    *miniport = static_cast<IMiniportWaveRT *>(object);
    waveMiniportUnknown = *miniport;
    return STATUS_SUCCESS;
}

void Advance(uint32_t frames)
{
    std::lock_guard<std::mutex> hold(State().lock);
    if (currentStream != nullptr)
        currentStream->Advance(frames);
}

uint32_t Transfer(void *data, uint32_t frames)
{
    std::lock_guard<std::mutex> hold(State().lock);
    return currentStream != nullptr ? currentStream->Advance(frames, static_cast<uint8_t *>(data)) : 0;
}

void SignalNotification()
{
    std::lock_guard<std::mutex> hold(State().lock);
    if (currentStream != nullptr)
        currentStream->Signal();
}

void SetDeviceFormat(uint32_t rate, bool isFloat, bool announce)
{
    {
        std::lock_guard<std::mutex> hold(State().lock);
        State().config.deviceRate = rate;
        State().config.deviceFloat = isFloat;
    }
    if (announce)
        Generate(false, &KSEVENTSETID_PinCapsChange, KSEVENT_PINCAPS_FORMATCHANGE, true, WaveStreamingPin, false, 0);
}

uint32_t PositionRegister()
{
    std::lock_guard<std::mutex> hold(State().lock);
    return currentStream != nullptr ? currentStream->Register() : 0;
}

uint32_t ReadBuffer(uint32_t offset)
{
    std::lock_guard<std::mutex> hold(State().lock);
    return currentStream != nullptr ? currentStream->ReadBuffer(offset) : 0;
}

void Generate(bool topology, const GUID *set, uint32_t id, bool pinEvent, uint32_t pin, bool nodeEvent, uint32_t node,
              bool fromInterrupt)
{
    IPortEvents *events = topology ? State().topologyEvents : State().waveEvents;
    if (events == nullptr)
        return;
    KIRQL previous = PASSIVE_LEVEL;
    if (fromInterrupt)
        KeRaiseIrql(HIGH_LEVEL, &previous);
    events->GenerateEventList(const_cast<GUID *>(set), id, pinEvent, pin, nodeEvent, node);
    if (fromInterrupt)
        KeLowerIrql(previous);
}

} // namespace testadapter
