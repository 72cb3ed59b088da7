// The stream's cyclic buffer: carved out of the start of the pipe's audio
// memory (which the client has mapped too), announced to the client, and
// filled with silence for a render stream.
#include "WaveStream.h"
#include "DataFormat.h"
#include "SharedPages.h"

// notifications: packets per pass of the buffer, 1 or 2.
NTSTATUS WaveStream::AllocateBuffer(ULONG requestedSize, ULONG notifications, PMDL *mdl, ULONG *actualSize)
{
    NTSTATUS status = link->IsClientReady();
    if (!NT_SUCCESS(status))
        return status;
    if (bufferAddress != nullptr)
        return STATUS_UNSUCCESSFUL; // one buffer at a time
    if (!HasFormat())
        return STATUS_INVALID_DEVICE_STATE; // no frame size to measure it in
    const ULONG frame = format.Format.nBlockAlign;
    if (requestedSize < frame)
        return STATUS_UNSUCCESSFUL;

    PMDL source = link->GetBufferMdl();
    const ULONG64 capacity = MmGetMdlByteCount(source);
    ULONG64 size = (static_cast<ULONG64>(requestedSize) + frame - 1) / frame * frame;
    if (size > capacity)
        return STATUS_INSUFFICIENT_RESOURCES;
    const ULONG64 least = static_cast<ULONG64>(frame) * link->MinimalBufferSize();
    if (size < least)
        size = least;
    if (size > capacity)
        return STATUS_INSUFFICIENT_RESOURCES;

    // The buffer is the start of the pipe's memory: the client sees it at
    // the start of its own view.
    PVOID start = MmGetMdlVirtualAddress(source);
    PMDL partial = IoAllocateMdl(start, static_cast<ULONG>(size), FALSE, FALSE, nullptr);
    if (partial == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    IoBuildPartialMdl(source, partial, start, static_cast<ULONG>(size));
    PVOID mapping = MmMapLockedPagesSpecifyCache(partial, KernelMode, MmCached, nullptr, FALSE,
                                                 static_cast<MM_PAGE_PRIORITY>(MappingPriority()));
    if (mapping == nullptr) {
        IoFreeMdl(partial);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    status = link->RequestClient(ClientReqBufferAllocated);
    if (!NT_SUCCESS(status)) {
        MmUnmapLockedPages(mapping, partial);
        IoFreeMdl(partial);
        return status;
    }
    if (!isCapture)
        RtlFillMemory(mapping, static_cast<SIZE_T>(size), Mosaik::SilenceByte(format));

    Mosaik::Lock(positionLock);
    bufferBytes = static_cast<ULONG>(size);
    bufferAddress = mapping;
    bufferMdl = partial;
    bufferFrames = bufferBytes / frame;
    notificationCount = notifications;
    bytesPerNotification = bufferBytes / notifications;
    framesPerNotification = bufferFrames / notifications;
    Mosaik::Unlock(positionLock);
    sharedBlock->BufferSizeFrames = bufferFrames;

    *mdl = partial;
    *actualSize = bufferBytes;
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) WaveStream::AllocateAudioBuffer(ULONG requestedSize, PMDL *mdl, ULONG *actualSize,
                                                        ULONG *offsetFromFirstPage, MEMORY_CACHING_TYPE *cacheType)
{
    link->Lock();
    const NTSTATUS status = AllocateBuffer(requestedSize, 2, mdl, actualSize);
    if (NT_SUCCESS(status)) {
        *offsetFromFirstPage = 0;
        *cacheType = MmCached;
    }
    link->Unlock();
    return status;
}

STDMETHODIMP_(NTSTATUS) WaveStream::AllocateBufferWithNotification(ULONG count, ULONG requestedSize, PMDL *mdl,
                                                                   ULONG *actualSize, ULONG *offsetFromFirstPage,
                                                                   MEMORY_CACHING_TYPE *cacheType)
{
    link->Lock();
    NTSTATUS status = STATUS_SUCCESS;
    const ULONG frame = format.Format.nBlockAlign;
    if (count < 1 || count > 2 || requestedSize % count != 0) {
        status = STATUS_INVALID_PARAMETER;
    } else if (frame != 0 && (requestedSize / frame + (requestedSize % frame != 0)) / count == 0) {
        status = STATUS_INVALID_PARAMETER; // fewer frames than notifications
    } else {
        status = AllocateBuffer(requestedSize, count, mdl, actualSize);
    }
    if (NT_SUCCESS(status)) {
        *offsetFromFirstPage = 0;
        *cacheType = MmCached;
        Mosaik::Lock(positionLock);
        notificationBuffer = true;
        Mosaik::Unlock(positionLock);
        InterlockedOr(reinterpret_cast<LONG volatile *>(&sharedBlock->EngineUsage), ENGINE_USED_NOTIFICATIONS);
    }
    link->Unlock();
    return status;
}

// Takes the buffer away from the position code first, so nothing writes
// into the mapping once it goes. Under the link lock.
void WaveStream::ReleaseMapping()
{
    Mosaik::Lock(positionLock);
    PVOID mapping = bufferAddress;
    PMDL mdl = bufferMdl;
    bufferAddress = nullptr;
    bufferMdl = nullptr;
    bufferBytes = bufferFrames = 0;
    notificationCount = bytesPerNotification = framesPerNotification = 0;
    Mosaik::Unlock(positionLock);
    if (mapping == nullptr)
        return;
    sharedBlock->BufferSizeFrames = 0;
    sharedBlock->AvailableFrames = 0;
    MmUnmapLockedPages(mapping, mdl);
    IoFreeMdl(mdl);
}

void WaveStream::FreeBuffer(PMDL mdl)
{
    link->Lock();
    const bool had = bufferAddress != nullptr;
    const bool ours = mdl != nullptr && mdl == bufferMdl;
    if (ours) {
        ReleaseMapping(); // also frees the descriptor
    } else {
        if (had)
            ReleaseMapping();
        if (mdl != nullptr)
            IoFreeMdl(mdl);
    }
    if (had)
        link->RequestClient(ClientReqBufferReleased); // its answer changes nothing
    link->Unlock();
}

STDMETHODIMP_(VOID) WaveStream::FreeAudioBuffer(PMDL mdl, ULONG) { FreeBuffer(mdl); }

STDMETHODIMP_(VOID) WaveStream::FreeBufferWithNotification(PMDL mdl, ULONG) { FreeBuffer(mdl); }
