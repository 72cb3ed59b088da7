// A control pipe's life: start, client open and close, readiness, and
// teardown, with the shared memory it owns.
#include "ControlPipe.h"
#include <ntifs.h>
#include "EndpointLink.h"
#include "Requests.h"

ControlPipe::ControlPipe(PipeKind kind, EndpointLink *link) : kind(kind), link(link)
{
    KeInitializeEvent(&workerStarted, NotificationEvent, FALSE);
    KeInitializeEvent(&wakeEvent, SynchronizationEvent, FALSE);
    KeInitializeEvent(&replyEvent, SynchronizationEvent, FALSE);
}

ControlPipe::~ControlPipe()
{
    StopWorker();
    Mosaik::Lock(mutex);
    ReleaseMemory();
    Mosaik::Unlock(mutex);
}

NTSTATUS ControlPipe::Start()
{
    Mosaik::Lock(mutex);
    NTSTATUS status = AllocateBuffer();
    if (NT_SUCCESS(status))
        status = AllocateBlock();
    if (NT_SUCCESS(status))
        status = StartWorker();
    if (NT_SUCCESS(status))
        Block()->BufferSizeBytes = bufferSize;
    Mosaik::Unlock(mutex);
    return status;
}

// ---- Shared memory ----------------------------------------------------------

NTSTATUS ControlPipe::AllocateBuffer()
{
    const NTSTATUS status = AllocateSharedPages(buffer, PIPE_BUFFER_BYTES);
    bufferSize = NT_SUCCESS(status) ? MmGetMdlByteCount(buffer.Mdl) : 0;
    return status;
}

NTSTATUS ControlPipe::AllocateBlock() { return AllocateSharedPages(block, COMMON_DATA_BYTES); }

NTSTATUS ControlPipe::MapBlockToUser() { return MapSharedPagesToUser(block); }

NTSTATUS ControlPipe::MapBufferToUser()
{
    const NTSTATUS status = MapSharedPagesToUser(buffer);
    Block()->BufferAddress = NT_SUCCESS(status) ? reinterpret_cast<ULONG_PTR>(LoadPointer(buffer.UserView)) : 0;
    return status;
}

// The address in the block goes before the view it names.
void ControlPipe::UnmapFromUser()
{
    if (LoadPointer(buffer.UserView) != nullptr) {
        Block()->BufferAddress = 0;
        UnmapSharedPagesFromUser(buffer);
    }
    UnmapSharedPagesFromUser(block);
}

void ControlPipe::ReleaseMemory()
{
    ReleaseSharedPages(buffer);
    bufferSize = 0;
    ReleaseSharedPages(block);
}

// ---- Clients ----------------------------------------------------------------

bool ControlPipe::ReadyState()
{
    return LoadPointer(owner) != nullptr && LoadPointer(block.UserView) != nullptr &&
           LoadPointer(buffer.UserView) != nullptr && bufferSize != 0 && LoadPointer(clientEvent) != nullptr;
}

bool ControlPipe::IsReady() { return ReadyState(); }

void ControlPipe::UpdateReady()
{
    CommonDataDesc *shared = Block();
    Mosaik::Lock(readyLock);
    const UCHAR now = ReadyState() ? 1 : 0;
    const bool changed = now != ready;
    ready = now;
    if (shared != nullptr)
        shared->PipeReady = now;
    Mosaik::Unlock(readyLock);
    // The jack is reported connected exactly while a complete client is attached.
    if (changed)
        link->RaiseJackChange();
}

// The views belong to the process that opened the pipe: they are removed
// there, attached to it, also when the close arrives in another process (a
// duplicated or inherited handle closed last).
void ControlPipe::Detach()
{
    if (PEPROCESS process = ownerProcess) {
        KAPC_STATE attach;
        KeStackAttachProcess(reinterpret_cast<PKPROCESS>(process), &attach);
        UnmapFromUser();
        KeUnstackDetachProcess(&attach);
        ownerProcess = nullptr;
        ObDereferenceObject(process);
    }
    if (PKEVENT event = static_cast<PKEVENT>(InterlockedExchangePointer(
            reinterpret_cast<PVOID volatile *>(&clientEvent), nullptr)))
        ObDereferenceObject(event);
    StorePointer(owner, static_cast<PFILE_OBJECT>(nullptr));
}

NTSTATUS ControlPipe::Open(PIRP irp)
{
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    NTSTATUS status = STATUS_SUCCESS;
    Mosaik::Lock(mutex);
    if (Block() == nullptr) {
        status = STATUS_DEVICE_NOT_READY; // never started: nothing to map
    } else if (LoadPointer(owner) != nullptr) {
        status = STATUS_DEVICE_BUSY; // one client at a time
    } else {
        StorePointer(owner, file);
        ownerProcess = PsGetCurrentProcess();
        ObReferenceObject(ownerProcess);
        status = MapBlockToUser();
        if (NT_SUCCESS(status))
            status = MapBufferToUser();
        if (!NT_SUCCESS(status))
            Detach();
    }
    Mosaik::Unlock(mutex);
    UpdateReady();
    return CompleteRequest(irp, status, 0);
}

NTSTATUS ControlPipe::Close(PIRP irp)
{
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    Mosaik::Lock(mutex);
    // Only the owner's close detaches; the routing sends no other.
    if (IsOwner(file))
        Detach();
    Mosaik::Unlock(mutex);
    UpdateReady();
    return CompleteRequest(irp, STATUS_SUCCESS, 0);
}
