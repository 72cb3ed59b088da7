// The endpoint link: format and minimal-size state with deferral, the client
// questions of the miniports, and the position hook.
#include "EndpointLink.h"
#include "ControlPipe.h"
#include "DataFormat.h"

namespace {

// Least and greatest accepted SR, BPS, NC and BPC, in that order.
constexpr ULONG FormatLimits[] = {8000, 384000, 8, 32, 1, 8, 1, 4};
constexpr ULONG ReservedChannelBits = 0x7FFC0000; // bits 18 to 30 of CC

constexpr DataFormatDesc InitialFormat = {48000, 16, 2, 2, 0x3};
constexpr ULONG InitialMinimalBufferSize = 32;

bool IsAcceptedFormat(const DataFormatDesc &format)
{
    const ULONG fields[] = {format.SR, format.BPS, format.NC, format.BPC};
    static_assert(sizeof(FormatLimits) == 2 * sizeof(fields), "one pair of limits per field");
    for (ULONG i = 0; i < sizeof(fields) / sizeof(fields[0]); ++i)
        if (!Mosaik::InRange(fields[i], FormatLimits[2 * i], FormatLimits[2 * i + 1]))
            return false;
    return (format.CC & ReservedChannelBits) == 0;
}

bool SameFormat(const DataFormatDesc &a, const DataFormatDesc &b)
{
    return a.SR == b.SR && a.BPS == b.BPS && a.NC == b.NC && a.BPC == b.BPC && a.CC == b.CC;
}

} // namespace

EndpointLink::EndpointLink(EndpointKind kind, ControlPipe *pipe)
    : kind(kind), pipe(pipe), currentFormat(InitialFormat), minimalBufferSize(InitialMinimalBufferSize)
{
}

EndpointLink::~EndpointLink()
{
    if (topology != nullptr)
        topology->ReleaseFromLink();
    topology = nullptr;
    if (wave != nullptr)
        wave->ReleaseFromLink();
    wave = nullptr;
}

void EndpointLink::BindBlock() { block = pipe->Block(); }

void EndpointLink::AttachMiniports(EndpointWave *newWave, EndpointTopology *newTopology)
{
    wave = newWave;
    topology = newTopology;
}

void EndpointLink::Lock() { Mosaik::Lock(mutex); }

void EndpointLink::Unlock() { Mosaik::Unlock(mutex); }

bool EndpointLink::HeldByCaller() const { return Mosaik::IsHeldByCurrentThread(mutex); }

NTSTATUS EndpointLink::IsClientReady() { return pipe->IsReady() ? STATUS_SUCCESS : STATUS_DEVICE_NOT_READY; }

bool EndpointLink::IsClientReadyNow() { return pipe->IsReady(); }

NTSTATUS EndpointLink::CheckFormat(const WAVEFORMATEX *format)
{
    if (format == nullptr)
        return STATUS_INVALID_PARAMETER;
    // Only an extensible format carries more than its header.
    WAVEFORMATEXTENSIBLE record = {};
    const bool extended = format->wFormatTag != WAVE_FORMAT_PCM &&
                          format->cbSize >= sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
    RtlCopyMemory(&record, format, extended ? sizeof(WAVEFORMATEXTENSIBLE) : sizeof(WAVEFORMATEX));
    if (!Mosaik::IsValidFormat(record))
        return STATUS_INVALID_PARAMETER;
    const ULONG validBits =
        Mosaik::IsExtensibleFormat(record) ? record.Samples.wValidBitsPerSample : record.Format.wBitsPerSample;
    const bool matches = Mosaik::IsPcmOrFloat(record) && record.Format.nSamplesPerSec == currentFormat.SR &&
                         validBits == currentFormat.BPS && record.Format.nChannels == currentFormat.NC &&
                         record.Format.wBitsPerSample / 8u == currentFormat.BPC;
    return matches ? STATUS_SUCCESS : STATUS_NO_MATCH;
}

NTSTATUS EndpointLink::RequestClient(ULONG code) { return pipe->RequestClient(code); }

void EndpointLink::SetChannelMask(ULONG mask)
{
    currentFormat.CC = mask;
    if (block != nullptr)
        block->Format.CC = mask;
}

PMDL EndpointLink::GetBufferMdl() { return pipe->GetBufferMdl(); }

void EndpointLink::RaiseJackChange()
{
    if (topology != nullptr)
        topology->RaiseJackInfoChange();
}

bool EndpointLink::HasCurrentStream() { return wave != nullptr && wave->HasCurrentStream(); }

void EndpointLink::RaiseFormatChange()
{
    if (wave != nullptr)
        wave->RaiseFormatChange();
}

NTSTATUS EndpointLink::SetFormat(const DataFormatDesc &requested)
{
    if (!IsAcceptedFormat(requested))
        return STATUS_INVALID_PARAMETER;
    DataFormatDesc format = requested;
    if (format.CC == 0)
        format.CC = Mosaik::DefaultChannelMask(format.NC);

    Lock();
    if (SameFormat(format, currentFormat)) {
        pendingFlags &= ~PendingFormat; // cancels a change still waiting for the stream
    } else if (HasCurrentStream()) {
        pendingFormat = format;
        pendingFlags |= PendingFormat;
    } else {
        currentFormat = format;
        if (block != nullptr)
            block->Format = format;
        RaiseFormatChange();
        pendingFlags &= ~PendingFormat;
    }
    Unlock();
    return STATUS_SUCCESS;
}

// Every size whose bytes fit the pipe's audio buffer with the format that will
// be in force is accepted; a larger one could never give a stream a buffer.
NTSTATUS EndpointLink::SetMinimalBufferSize(ULONG frames)
{
    Lock();
    const DataFormatDesc &format = (pendingFlags & PendingFormat) ? pendingFormat : currentFormat;
    const ULONG64 bytes = static_cast<ULONG64>(frames) * format.NC * format.BPC;
    if (bytes > PIPE_BUFFER_BYTES) {
        Unlock();
        return STATUS_INVALID_PARAMETER;
    }
    if (frames == minimalBufferSize) {
        pendingFlags &= ~PendingMinimalSize;
    } else if (HasCurrentStream()) {
        pendingMinimalSize = frames;
        pendingFlags |= PendingMinimalSize;
    } else {
        pendingFlags &= ~PendingMinimalSize;
        minimalBufferSize = frames;
        if (block != nullptr)
            block->MinBufferFrames = frames;
    }
    Unlock();
    return STATUS_SUCCESS;
}

void EndpointLink::ApplyPending()
{
    Lock();
    if (pendingFlags & PendingMinimalSize) {
        minimalBufferSize = pendingMinimalSize;
        if (block != nullptr)
            block->MinBufferFrames = pendingMinimalSize;
    }
    if (pendingFlags & PendingFormat) {
        currentFormat = pendingFormat;
        if (block != nullptr)
            block->Format = pendingFormat;
        RaiseFormatChange();
    }
    pendingFlags = 0;
    Unlock();
}

void EndpointLink::ProcessPosition()
{
    Lock();
    if (wave != nullptr)
        wave->UpdateCurrentStream();
    Unlock();
}

// Counts may come from several threads at once. Each mirrors the total its
// own increment returned, and only over a smaller one, so the block never
// steps back to a count another thread has already passed.
void EndpointLink::CountPacketError()
{
    const LONG total = InterlockedIncrement(&packetErrorTotal);
    if (block == nullptr)
        return;
    LONG volatile *mirror = reinterpret_cast<LONG volatile *>(&block->PacketErrorsTotal);
    LONG seen = InterlockedCompareExchange(mirror, 0, 0);
    // Ahead in 32-bit modular order, so the count may wrap like the total.
    while (static_cast<LONG>(static_cast<ULONG>(total) - static_cast<ULONG>(seen)) > 0) {
        const LONG previous = InterlockedCompareExchange(mirror, total, seen);
        if (previous == seen)
            break;
        seen = previous;
    }
}
