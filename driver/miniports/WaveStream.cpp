// The stream's life, interfaces, format and states.
#include "WaveStream.h"
#include "DataFormat.h"
#include "WaveMiniport.h"

WaveStream::WaveStream(WaveMiniport *miniport, PPORTWAVERTSTREAM portStream, EndpointLink *link, bool isCapture,
                       ULONG pinId)
    : isCapture(isCapture), pinId(pinId), miniport(miniport), link(link), portStream(portStream),
      sharedBlock(link->Block())
{
    miniport->AddRef();
    portStream->AddRef();
    positionRegister = &sharedBlock->DevicePositionBytes;
    eventList.Init();
    sharedBlock->BufferSizeFrames = 0;
    sharedBlock->AvailableFrames = 0;
    MarkFormatInvalid();
    Reset();
    StoreWord(sharedBlock->EngineUsage, 0);
    sharedBlock->TotalFrames = 0;
}

WaveStream::~WaveStream()
{
    // Down to STOP one step at a time; the client's answers do not matter
    // on the way down.
    while (state != KSSTATE_STOP)
        if (!NT_SUCCESS(SetState(static_cast<KSSTATE>(state - 1))))
            break;
    link->Lock();
    // A buffer the port never freed goes with the stream.
    ReleaseMapping();
    miniport->DetachStream(this);
    link->Unlock();
    DiscardEvents();
    portStream->Release();
    miniport->Release();
}

NTSTATUS WaveStream::NonDelegatingQueryInterface(REFIID iid, PVOID *object)
{
    if (IsEqualGUID(iid, IID_IMiniportWaveRTStream) || IsEqualGUID(iid, IID_IMiniportWaveRTStreamNotification))
        return Hand(static_cast<IMiniportWaveRTStreamNotification *>(this), object);
    if (IsEqualGUID(iid, IID_IMiniportWaveRTInputStream))
        return Hand(static_cast<IMiniportWaveRTInputStream *>(this), object);
    if (IsEqualGUID(iid, IID_IMiniportWaveRTOutputStream))
        return Hand(static_cast<IMiniportWaveRTOutputStream *>(this), object);
    return Refuse(object);
}

// ---- Format -------------------------------------------------------------------

NTSTATUS WaveStream::InitialiseFormat(const WAVEFORMATEXTENSIBLE &record, bool wasExtensible)
{
    creatorProcessId = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(PsGetCurrentProcessId()));
    creatorThreadId = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(PsGetCurrentThreadId()));
    return ApplyFormat(record, wasExtensible);
}

NTSTATUS WaveStream::ApplyFormat(const WAVEFORMATEXTENSIBLE &record, bool wasExtensible)
{
    const NTSTATUS status = link->CheckFormat(&record.Format);
    if (!NT_SUCCESS(status)) {
        MarkFormatInvalid();
        return status;
    }
    WAVEFORMATEXTENSIBLE applied = record;
    const ULONG channels = applied.Format.nChannels;
    if (applied.dwChannelMask == 0 && channels >= 1 && channels <= 32)
        applied.dwChannelMask = 0xFFFFFFFFu >> (32 - channels); // the lowest channels' positions
    Mosaik::Lock(positionLock); // the position and packet code read the frame size
    format = applied;
    Mosaik::Unlock(positionLock);
    formatWasExtensible = wasExtensible;
    RtlCopyMemory(sharedBlock->StreamFormat, &applied, sizeof applied);
    return STATUS_SUCCESS;
}

void WaveStream::MarkFormatInvalid()
{
    Mosaik::Lock(positionLock);
    format.Format.wFormatTag = 0;
    Mosaik::Unlock(positionLock);
    formatWasExtensible = false;
    const USHORT noTag = 0;
    RtlCopyMemory(sharedBlock->StreamFormat, &noTag, sizeof noTag);
}

NTSTATUS WaveStream::ReadFormat(PKSDATAFORMAT block, WAVEFORMATEXTENSIBLE *record, bool *wasExtensible)
{
    if (block == nullptr)
        return STATUS_INVALID_PARAMETER;
    NTSTATUS status = Mosaik::ParseKsDataFormat(record, block, 0, nullptr, 0, nullptr);
    if (NT_SUCCESS(status) && !Mosaik::IsSupportedFormat(*record))
        status = STATUS_NO_MATCH;
    if (NT_SUCCESS(status)) {
        *wasExtensible = Mosaik::IsExtensibleFormat(*record);
        if (!*wasExtensible)
            Mosaik::MakeExtensible(record);
    }
    return status;
}

STDMETHODIMP_(NTSTATUS) WaveStream::SetFormat(PKSDATAFORMAT block)
{
    NTSTATUS status = link->IsClientReady();
    if (!NT_SUCCESS(status))
        return status;
    link->Lock();
    WAVEFORMATEXTENSIBLE record = {};
    bool wasExtensible = false;
    status = ReadFormat(block, &record, &wasExtensible);
    if (NT_SUCCESS(status) && state == KSSTATE_RUN)
        status = STATUS_INVALID_DEVICE_REQUEST;
    if (NT_SUCCESS(status)) {
        const WAVEFORMATEXTENSIBLE kept = format;
        const bool keptExtensible = formatWasExtensible;
        status = ApplyFormat(record, wasExtensible);
        if (!NT_SUCCESS(status) && kept.Format.wFormatTag != 0)
            ApplyFormat(kept, keptExtensible); // the endpoint's format cannot have moved meanwhile
    }
    link->Unlock();
    return status;
}

// ---- States ---------------------------------------------------------------------

/* Positions and counters back to the start, and the client's device position
   rewound with them; the frames advanced since construction stay. */
void WaveStream::Reset()
{
    Mosaik::Lock(positionLock);
    lastDevicePositionFrames = 0;
    StoreWord(sharedBlock->DevicePositionFrames, 0);
    StoreWord(sharedBlock->DevicePositionBytes, 0);
    streamPositionFrames = 0;
    sharedBlock->StreamPositionFrames = 0;
    InterlockedExchange(reinterpret_cast<LONG volatile *>(&packetCounter), 0);
    osPacketNumber = 0;
    endOfStream = false;
    packetTime[0] = 0;
    packetTime[1] = 0;
    Mosaik::Unlock(positionLock);
    sharedBlock->StreamState = KSSTATE_STOP;
    InterlockedExchange(&packetErrorCount, 0);
    sharedBlock->PacketErrorCount = 0;
}

STDMETHODIMP_(NTSTATUS) WaveStream::SetState(KSSTATE requested)
{
    const ULONG next = static_cast<ULONG>(requested);
    link->Lock();
    const ULONG current = state;
    NTSTATUS status = STATUS_SUCCESS;
    const NTSTATUS ready = link->IsClientReady();
    if (!NT_SUCCESS(ready) && next > current) {
        targetState = current; // steps down go on without a client
        status = ready;
    } else if (next > KSSTATE_RUN) {
        status = STATUS_INVALID_PARAMETER;
    } else if (targetState != current) {
        status = STATUS_INVALID_DEVICE_STATE;
    } else if (next != current + 1 && next + 1 != current) {
        status = STATUS_INVALID_PARAMETER; // one step at a time, and a step at all
    } else if (current == KSSTATE_STOP && !HasFormat()) {
        status = STATUS_INSUFFICIENT_RESOURCES; // nothing to acquire
    } else if (current == KSSTATE_PAUSE && next == KSSTATE_RUN && !HasFormat()) {
        status = STATUS_INVALID_PARAMETER;
    } else {
        // The client hears of every step first; it may refuse a step up.
        targetState = next;
        sharedBlock->StreamState = next;
        const NTSTATUS answer = link->RequestClient(ClientReqStateChanged);
        if (!NT_SUCCESS(answer)) {
            sharedBlock->StreamState = current;
            if (next > current) {
                targetState = current;
                status = answer;
            }
        }
        if (NT_SUCCESS(status)) {
            if (current == KSSTATE_ACQUIRE && next == KSSTATE_STOP)
                Reset();
            if (isCapture && current == KSSTATE_PAUSE && next == KSSTATE_RUN) {
                // The packet now being filled begins here.
                Mosaik::Lock(positionLock);
                packetTime[packetCounter % 2] = static_cast<ULONG64>(KeQueryPerformanceCounter(nullptr).QuadPart);
                Mosaik::Unlock(positionLock);
            }
            state = next;
            sharedBlock->StreamState = next;
        }
    }
    link->Unlock();
    return status;
}

// ---- Registers and latency ------------------------------------------------------

STDMETHODIMP_(VOID) WaveStream::GetHWLatency(KSRTAUDIO_HWLATENCY *latency)
{
    latency->FifoSize = 0;
    latency->ChipsetDelay = 0;
    latency->CodecDelay = 0;
}

STDMETHODIMP_(NTSTATUS) WaveStream::GetPositionRegister(KSRTAUDIO_HWREGISTER *hwRegister)
{
    if (positionRegister == nullptr)
        return STATUS_NOT_SUPPORTED;
    link->Lock();
    hwRegister->Register = const_cast<uint32_t *>(positionRegister);
    hwRegister->Width = 32;
    hwRegister->Numerator = 0;
    hwRegister->Denominator = 0;
    // Accuracy: one millisecond of audio in whole frames.
    WAVEFORMATEXTENSIBLE basis = format;
    if (!Mosaik::IsFormatIdentified(basis)) {
        basis = {};
        Mosaik::BuildBasicFormat(&basis, 44100, 16, 2, false);
    }
    const ULONG millisecond = basis.Format.nAvgBytesPerSec / 1000;
    const ULONG frame = basis.Format.nBlockAlign;
    hwRegister->Accuracy = frame != 0 ? millisecond - millisecond % frame : millisecond;
    link->Unlock();
    if (InterlockedExchange(&positionRegisterUsed, 1) == 0)
        InterlockedOr(reinterpret_cast<LONG volatile *>(&sharedBlock->EngineUsage), ENGINE_USED_POSITION_REGISTER);
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) WaveStream::GetClockRegister(KSRTAUDIO_HWREGISTER *)
{
    return STATUS_NOT_IMPLEMENTED; // no clock of its own: the client is the clock
}
