// How the stream follows the device position the client writes: stream and
// presentation positions, packet counts and packet exchanges, and the audio
// engine's notification events.
#include "WaveStream.h"
#include "DataFormat.h"

struct WaveStream::EventNode {
    Mosaik::ListNode Node; // first, so a node is its entry
    PKEVENT Event;
};

namespace {

ULONG64 PerformanceCounter() { return static_cast<ULONG64>(KeQueryPerformanceCounter(nullptr).QuadPart); }

ULONG LoadCounter(const volatile ULONG &counter)
{
    return static_cast<ULONG>(
        InterlockedCompareExchange(reinterpret_cast<LONG volatile *>(const_cast<volatile ULONG *>(&counter)), 0, 0));
}

} // namespace

// ---- Device position ------------------------------------------------------------

/* Distance from the device position forward to the stream position, 1 to
   bufferFrames (equal positions: a whole buffer); 0 without a buffer. */
ULONG WaveStream::AvailableFramesLocked() const
{
    if (bufferFrames == 0)
        return 0;
    const ULONG device = LoadWord(sharedBlock->DevicePositionFrames) % bufferFrames;
    const ULONG stream = streamPositionFrames;
    return device < stream ? stream - device : stream - device + bufferFrames;
}

void WaveStream::PublishAvailableFramesLocked() { sharedBlock->AvailableFrames = AvailableFramesLocked(); }

void WaveStream::UpdateOnDeviceAdvance()
{
    if (state != KSSTATE_RUN)
        return;
    bool packetDone = false;
    Mosaik::Lock(positionLock);
    if (bufferFrames != 0) {
        // One read of the client's word; it may move on meanwhile.
        const ULONG device = LoadWord(sharedBlock->DevicePositionFrames) % bufferFrames;
        const ULONG previous = lastDevicePositionFrames;
        lastDevicePositionFrames = device;
        const ULONG advance = device >= previous ? device - previous : bufferFrames - previous + device;
        if (InterlockedCompareExchange(&packetModeUsed, 0, 0) == 0) {
            streamPositionFrames = device;
            sharedBlock->StreamPositionFrames = device;
        }
        totalFrames += advance;
        sharedBlock->TotalFrames = totalFrames;
        // A buffer of fewer frames than notifications has no packet
        // boundaries: it never completes a packet.
        packetDone = framesPerNotification != 0 && previous / framesPerNotification != device / framesPerNotification;
        if (packetDone) {
            const ULONG packet = packetCounter + 1; // however many boundaries it crossed
            InterlockedExchange(reinterpret_cast<LONG volatile *>(&packetCounter), static_cast<LONG>(packet));
            if (isCapture)
                packetTime[packet % 2] = PerformanceCounter(); // the next packet begins now
        }
        PublishAvailableFramesLocked();
    }
    Mosaik::Unlock(positionLock);
    if (packetDone)
        SignalNotificationEvents();
}

// Each listed event is referenced, so it lives while it is on the list,
// whatever order its owner lets go of it in.
void WaveStream::SignalNotificationEvents()
{
    Mosaik::Lock(eventListLock);
    for (Mosaik::ListNode *node = eventList.First; node != nullptr; node = node->Next)
        KeSetEvent(reinterpret_cast<EventNode *>(node)->Event, IO_NO_INCREMENT, FALSE);
    Mosaik::Unlock(eventListLock);
}

STDMETHODIMP_(NTSTATUS) WaveStream::GetPosition(PKSAUDIO_POSITION position)
{
    const NTSTATUS status = link->IsClientReady();
    if (!NT_SUCCESS(status))
        return status;
    Mosaik::Lock(positionLock);
    const ULONG frame = format.Format.nBlockAlign;
    const ULONG device = bufferFrames != 0 ? LoadWord(sharedBlock->DevicePositionFrames) % bufferFrames : 0;
    position->PlayOffset = static_cast<ULONGLONG>(device) * frame;
    position->WriteOffset = static_cast<ULONGLONG>(streamPositionFrames) * frame;
    Mosaik::Unlock(positionLock);
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) WaveStream::GetOutputStreamPresentationPosition(KSAUDIO_PRESENTATION_POSITION *position)
{
    const NTSTATUS status = link->IsClientReady();
    if (!NT_SUCCESS(status))
        return status;
    Mosaik::Lock(positionLock);
    position->u64PositionInBlocks = totalFrames;
    position->u64QPCPosition = PerformanceCounter();
    Mosaik::Unlock(positionLock);
    return STATUS_SUCCESS;
}

// ---- Packets ----------------------------------------------------------------------

// From the first packet call on, only the packet calls move the stream
// position.
void WaveStream::EnterPacketMode()
{
    if (InterlockedExchange(&packetModeUsed, 1) == 0)
        InterlockedOr(reinterpret_cast<LONG volatile *>(&sharedBlock->EngineUsage), ENGINE_USED_PACKETS);
}

STDMETHODIMP_(NTSTATUS) WaveStream::GetPacketCount(ULONG *packetCount)
{
    EnterPacketMode();
    const NTSTATUS status = link->IsClientReady();
    if (!NT_SUCCESS(status))
        return status;
    if (!notificationBuffer)
        return STATUS_NOT_SUPPORTED;
    *packetCount = LoadCounter(packetCounter);
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) WaveStream::GetReadPacket(ULONG *packetNumber, DWORD *flags, ULONG64 *performanceCounterValue,
                                                  BOOL *moreData)
{
    EnterPacketMode();
    NTSTATUS status = link->IsClientReady();
    if (!NT_SUCCESS(status))
        return status;
    Mosaik::Lock(positionLock);
    if (!notificationBuffer) {
        status = STATUS_NOT_SUPPORTED;
    } else if (bufferFrames == 0) {
        status = STATUS_DEVICE_NOT_READY; // no buffer, no data
    } else {
        streamPositionFrames = osPacketNumber % notificationCount * framesPerNotification;
        sharedBlock->StreamPositionFrames = streamPositionFrames;
        if (osPacketNumber == packetCounter) {
            status = STATUS_DEVICE_NOT_READY; // no completed packet waiting
        } else {
            *packetNumber = osPacketNumber;
            *flags = 0;
            *performanceCounterValue = packetTime[osPacketNumber % 2];
            *moreData = FALSE;
            ++osPacketNumber;
        }
    }
    PublishAvailableFramesLocked();
    Mosaik::Unlock(positionLock);
    return status;
}

STDMETHODIMP_(NTSTATUS) WaveStream::SetWritePacket(ULONG packetNumber, DWORD flags, ULONG eosPacketLength)
{
    EnterPacketMode();
    NTSTATUS status = link->IsClientReady();
    if (!NT_SUCCESS(status))
        return status;
    Mosaik::Lock(positionLock);
    const ULONG expected = packetCounter + 1; // the packet after the one in flight
    if (!notificationBuffer) {
        status = STATUS_NOT_SUPPORTED;
    } else if (bufferFrames == 0) {
        status = STATUS_DEVICE_NOT_READY; // no buffer to write into
    } else if (endOfStream) {
        status = STATUS_INVALID_DEVICE_STATE;
    } else if ((flags & ~KSSTREAM_HEADER_OPTIONSF_ENDOFSTREAM) != 0) {
        status = STATUS_INVALID_PARAMETER; // the one flag there is
    } else if (packetNumber != expected) {
        status = packetNumber < expected ? STATUS_DATA_LATE_ERROR : STATUS_DATA_OVERRUN;
        sharedBlock->PacketErrorCount = static_cast<ULONG>(InterlockedIncrement(&packetErrorCount));
        link->CountPacketError();
    } else if ((flags & KSSTREAM_HEADER_OPTIONSF_ENDOFSTREAM) && eosPacketLength > bytesPerNotification) {
        status = STATUS_INVALID_PARAMETER;
    } else {
        ULONG valid = bytesPerNotification;
        if (flags & KSSTREAM_HEADER_OPTIONSF_ENDOFSTREAM) {
            endOfStream = true;
            valid = eosPacketLength;
        }
        // What the engine did not write of the packet plays as silence.
        UCHAR *packet = static_cast<UCHAR *>(bufferAddress) + packetNumber % notificationCount * bytesPerNotification;
        if (valid < bytesPerNotification)
            RtlFillMemory(packet + valid, bytesPerNotification - valid, Mosaik::SilenceByte(format));
        streamPositionFrames = (packetNumber + 1) % notificationCount * framesPerNotification;
        sharedBlock->StreamPositionFrames = streamPositionFrames;
        osPacketNumber = packetNumber;
    }
    PublishAvailableFramesLocked();
    Mosaik::Unlock(positionLock);
    return status;
}

// ---- Notification events ----------------------------------------------------------

WaveStream::EventNode *WaveStream::FindEvent(PKEVENT event)
{
    for (Mosaik::ListNode *node = eventList.First; node != nullptr; node = node->Next)
        if (reinterpret_cast<EventNode *>(node)->Event == event)
            return reinterpret_cast<EventNode *>(node);
    return nullptr;
}

STDMETHODIMP_(NTSTATUS) WaveStream::RegisterNotificationEvent(PKEVENT event)
{
    Mosaik::Lock(eventListLock);
    NTSTATUS status = link->IsClientReady();
    if (NT_SUCCESS(status) && FindEvent(event) != nullptr)
        status = STATUS_ALREADY_REGISTERED;
    if (NT_SUCCESS(status)) {
        auto *node = static_cast<EventNode *>(Mosaik::MemAlloc(sizeof(EventNode)));
        if (node == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            ObReferenceObject(event);
            node->Node = Mosaik::ListNode{};
            node->Event = event;
            eventList.PushBack(&node->Node);
        }
    }
    Mosaik::Unlock(eventListLock);
    return status;
}

STDMETHODIMP_(NTSTATUS) WaveStream::UnregisterNotificationEvent(PKEVENT event)
{
    Mosaik::Lock(eventListLock);
    EventNode *node = FindEvent(event);
    if (node != nullptr)
        eventList.Remove(&node->Node);
    Mosaik::Unlock(eventListLock);
    if (node == nullptr)
        return STATUS_NOT_FOUND;
    ObDereferenceObject(node->Event);
    Mosaik::MemFree(node);
    return STATUS_SUCCESS;
}

// The stream is going: nothing signals any more, so the list needs no lock.
void WaveStream::DiscardEvents()
{
    while (Mosaik::ListNode *node = eventList.PopFront()) {
        ObDereferenceObject(reinterpret_cast<EventNode *>(node)->Event);
        Mosaik::MemFree(node);
    }
}
