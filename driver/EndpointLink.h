/* The link between a control pipe and one audio endpoint: the format and
   minimal buffer size the client set, their deferral while a stream is
   attached, the questions the miniports ask about the client, and the
   position hook the pipe's worker thread runs. */
#pragma once

#include "CommonDataDesc.h"
#include "DataFormatDesc.h"
#include "EndpointMiniports.h"
#include "KernelHelpers.h"

class ControlPipe;

enum EndpointKind : UCHAR {
    RenderEndpoint = 0,
    CaptureEndpoint = 1
};

class EndpointLink {
public:
    EndpointLink(EndpointKind kind, ControlPipe *pipe);
    ~EndpointLink();
    EndpointLink(const EndpointLink &) = delete;
    EndpointLink &operator=(const EndpointLink &) = delete;

    // The block pointer comes from the pipe once it has started; the
    // miniports are handed over with one reference each, which the link
    // drops at destruction. Either may be null.
    void BindBlock();
    void AttachMiniports(EndpointWave *wave, EndpointTopology *topology);

    void Lock();
    void Unlock();
    // True when the calling thread holds the link lock.
    bool HeldByCaller() const;

    // 0 while the pipe has a complete client, else STATUS_DEVICE_NOT_READY.
    NTSTATUS IsClientReady();
    bool IsClientReadyNow();
    // 0, STATUS_INVALID_PARAMETER (not a valid format) or STATUS_NO_MATCH
    // (not the current format; the channel mask is not compared).
    NTSTATUS CheckFormat(const WAVEFORMATEX *format);
    NTSTATUS RequestClient(ULONG code);
    // The caller holds the link lock.
    void SetChannelMask(ULONG mask);
    PMDL GetBufferMdl();
    void RaiseJackChange();

    // The client's requests: 0 or STATUS_INVALID_PARAMETER.
    NTSTATUS SetFormat(const DataFormatDesc &format);
    NTSTATUS SetMinimalBufferSize(ULONG frames);
    // After the stream has detached: what was deferred takes effect.
    void ApplyPending();
    void ProcessPosition();

    // Counted by the stream for every late or overrun write packet.
    void CountPacketError();

    EndpointKind Kind() const { return kind; }
    ControlPipe *Pipe() const { return pipe; }
    CommonDataDesc *Block() const { return block; }
    const DataFormatDesc &CurrentFormat() const { return currentFormat; }
    ULONG MinimalBufferSize() const { return minimalBufferSize; }
    EndpointWave *Wave() const { return wave; }
    EndpointTopology *Topology() const { return topology; }

private:
    bool HasCurrentStream();
    void RaiseFormatChange();

    static constexpr ULONG PendingFormat = 0x1;
    static constexpr ULONG PendingMinimalSize = 0x2;

    EndpointKind kind;
    ControlPipe *pipe;
    EndpointWave *wave = nullptr;
    EndpointTopology *topology = nullptr;
    DataFormatDesc currentFormat;
    ULONG minimalBufferSize;
    DataFormatDesc pendingFormat = {};
    ULONG pendingMinimalSize = 0;
    ULONG pendingFlags = 0;
    CommonDataDesc *block = nullptr;
    Mosaik::MutexLock mutex;
    volatile LONG packetErrorTotal = 0;
};
