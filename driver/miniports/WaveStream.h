/* The stream of an endpoint's streaming pin. There is no hardware behind it:
   its cyclic buffer is the start of the pipe's audio memory, which the client
   has mapped too, and its device position is whatever the client writes into
   the shared block. Everything it reports to the audio engine (positions,
   packets, presentation positions, notification events) follows that. */
#pragma once

#include "Atomics.h"
#include "ControlProtocol.h"
#include "EndpointLink.h"
#include "UnknownBase.h"

class WaveMiniport;

class WaveStream : public UnknownObject<IMiniportWaveRTStreamNotification, IMiniportWaveRTInputStream,
                                        IMiniportWaveRTOutputStream> {
public:
    WaveStream(WaveMiniport *miniport, PPORTWAVERTSTREAM portStream, EndpointLink *link, bool isCapture,
               ULONG pinId);
    ~WaveStream() override;

    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID *object) override;

    // A data format a stream can take: parsed, supported (else
    // STATUS_NO_MATCH) and made extensible; wasExtensible says how it came.
    static NTSTATUS ReadFormat(PKSDATAFORMAT block, WAVEFORMATEXTENSIBLE *record, bool *wasExtensible);

    // The stream's first format, once, right after construction and under
    // the link lock; on failure the stream has no format.
    NTSTATUS InitialiseFormat(const WAVEFORMATEXTENSIBLE &record, bool wasExtensible);

    // The client reported a new device position: called on the link's worker
    // thread with the link lock held. Allocates nothing.
    void UpdateOnDeviceAdvance();

    // IMiniportWaveRTStream
    STDMETHODIMP_(NTSTATUS) SetFormat(PKSDATAFORMAT format) override;
    STDMETHODIMP_(NTSTATUS) SetState(KSSTATE state) override;
    STDMETHODIMP_(NTSTATUS) GetPosition(PKSAUDIO_POSITION position) override;
    STDMETHODIMP_(NTSTATUS) AllocateAudioBuffer(ULONG requestedSize, PMDL *mdl, ULONG *actualSize,
                                                ULONG *offsetFromFirstPage, MEMORY_CACHING_TYPE *cacheType) override;
    STDMETHODIMP_(VOID) FreeAudioBuffer(PMDL mdl, ULONG size) override;
    STDMETHODIMP_(VOID) GetHWLatency(KSRTAUDIO_HWLATENCY *latency) override;
    STDMETHODIMP_(NTSTATUS) GetPositionRegister(KSRTAUDIO_HWREGISTER *hwRegister) override;
    STDMETHODIMP_(NTSTATUS) GetClockRegister(KSRTAUDIO_HWREGISTER *hwRegister) override;
    // IMiniportWaveRTStreamNotification
    STDMETHODIMP_(NTSTATUS) AllocateBufferWithNotification(ULONG notificationCount, ULONG requestedSize, PMDL *mdl,
                                                           ULONG *actualSize, ULONG *offsetFromFirstPage,
                                                           MEMORY_CACHING_TYPE *cacheType) override;
    STDMETHODIMP_(VOID) FreeBufferWithNotification(PMDL mdl, ULONG size) override;
    STDMETHODIMP_(NTSTATUS) RegisterNotificationEvent(PKEVENT event) override;
    STDMETHODIMP_(NTSTATUS) UnregisterNotificationEvent(PKEVENT event) override;
    // IMiniportWaveRTInputStream
    STDMETHODIMP_(NTSTATUS) GetReadPacket(ULONG *packetNumber, DWORD *flags, ULONG64 *performanceCounterValue,
                                          BOOL *moreData) override;
    // IMiniportWaveRTOutputStream
    STDMETHODIMP_(NTSTATUS) SetWritePacket(ULONG packetNumber, DWORD flags, ULONG eosPacketLength) override;
    STDMETHODIMP_(NTSTATUS) GetOutputStreamPresentationPosition(KSAUDIO_PRESENTATION_POSITION *position) override;
    STDMETHODIMP_(NTSTATUS) GetPacketCount(ULONG *packetCount) override;

private:
    // Format (WaveStream.cpp).
    NTSTATUS ApplyFormat(const WAVEFORMATEXTENSIBLE &record, bool wasExtensible);
    void MarkFormatInvalid();
    bool HasFormat() const { return format.Format.wFormatTag != 0 && format.Format.nBlockAlign != 0; }
    void Reset();

    // Buffer (WaveStreamBuffer.cpp).
    NTSTATUS AllocateBuffer(ULONG requestedSize, ULONG notifications, PMDL *mdl, ULONG *actualSize);
    void FreeBuffer(PMDL mdl);
    void ReleaseMapping();

    // Positions and packets (WaveStreamPositions.cpp).
    void EnterPacketMode();
    ULONG AvailableFramesLocked() const;
    void PublishAvailableFramesLocked();
    void SignalNotificationEvents();
    struct EventNode;
    EventNode *FindEvent(PKEVENT event);
    void DiscardEvents();

    bool isCapture;
    ULONG pinId;
    WaveMiniport *miniport; // counted
    EndpointLink *link;     // not counted: the link outlives the stream
    PPORTWAVERTSTREAM portStream; // counted
    ULONG creatorProcessId = 0;
    ULONG creatorThreadId = 0;
    WAVEFORMATEXTENSIBLE format = {}; // always extensible; tag 0: no format
    bool formatWasExtensible = false;
    ULONG state = KSSTATE_STOP;
    ULONG targetState = KSSTATE_STOP;
    volatile LONG positionRegisterUsed = 0;
    bool notificationBuffer = false;
    volatile LONG packetModeUsed = 0;

    // Position state, guarded by positionLock.
    Mosaik::SpinLock positionLock;
    ULONG64 totalFrames = 0;
    volatile LONG packetErrorCount = 0;
    PVOID bufferAddress = nullptr;
    PMDL bufferMdl = nullptr; // the partial descriptor handed to the port
    ULONG bufferBytes = 0;
    ULONG bufferFrames = 0;
    ULONG streamPositionFrames = 0;
    ULONG lastDevicePositionFrames = 0;
    ULONG notificationCount = 0;
    ULONG bytesPerNotification = 0;
    ULONG framesPerNotification = 0;
    volatile ULONG packetCounter = 0;
    ULONG osPacketNumber = 0;
    volatile ULONG64 packetTime[2] = {};
    bool endOfStream = false;

    volatile uint32_t *positionRegister; // the block's DevicePositionBytes, system view
    CommonDataDesc *sharedBlock;      // the link's system view of the block

    Mosaik::ListHead eventList;
    Mosaik::SpinLock eventListLock;
};
