/* The driver's end of one control channel: its shared block and audio
   buffer, its position worker thread, and at most one client at a time, with
   the open, close and control requests routed to it and the driver's own
   requests to the client. */
#pragma once

#include "CommonDataDesc.h"
#include "ControlProtocol.h"
#include "Atomics.h"
#include "KernelHelpers.h"
#include "SharedPages.h"

class EndpointLink;

class ControlPipe {
public:
    ControlPipe(PipeKind kind, EndpointLink *link);
    ~ControlPipe();
    ControlPipe(const ControlPipe &) = delete;
    ControlPipe &operator=(const ControlPipe &) = delete;

    // Allocates and maps the buffer and the block, then starts the worker.
    // Once per pipe; 0, STATUS_INSUFFICIENT_RESOURCES or the status of the
    // thread's creation or reference.
    NTSTATUS Start();

    // Each completes the request itself and returns its final status.
    NTSTATUS Open(PIRP irp);
    NTSTATUS Close(PIRP irp);
    NTSTATUS Control(PIRP irp);

    // Posts `code` to the client and waits up to one second for its reply.
    NTSTATUS RequestClient(ULONG code);
    // The client is complete: owner, both user views, buffer and event.
    bool IsReady();

    bool IsOwner(PFILE_OBJECT file) const { return file != nullptr && LoadPointer(owner) == file; }
    PipeKind Kind() const { return kind; }
    EndpointLink *Link() const { return link; }
    // The driver's view; fixed from start to destruction.
    CommonDataDesc *Block() const { return static_cast<CommonDataDesc *>(block.SystemView); }
    PMDL GetBufferMdl() const { return buffer.Mdl; }
    PVOID BufferSystemView() const { return buffer.SystemView; }
    ULONG BufferSize() const { return bufferSize; }

private:
    bool ReadyState();
    void UpdateReady();
    void Detach();

    // Shared memory.
    NTSTATUS AllocateBuffer();
    NTSTATUS AllocateBlock();
    NTSTATUS MapBlockToUser();
    NTSTATUS MapBufferToUser();
    void UnmapFromUser();
    void ReleaseMemory();

    // Control requests.
    NTSTATUS Serve(PIRP irp, ULONG_PTR &information);
    NTSTATUS GetCommonData(PVOID buffer, ULONG outputLength, bool is32Bit, ULONG_PTR &information);
    NTSTATUS SetNotificationEvent(PIRP irp, const UCHAR *input, ULONG inputLength, bool is32Bit);
    NTSTATUS Notify(ULONG code);

    // The position worker.
    NTSTATUS StartWorker();
    void StopWorker();
    static VOID WorkerMain(PVOID context);
    void WorkerLoop();

    PipeKind kind;
    EndpointLink *link;
    // Read by requests on other threads without the mutex.
    PFILE_OBJECT volatile owner = nullptr;
    // The process the client's views are mapped in, referenced from the open
    // until they are unmapped there, whichever process the close comes in.
    PEPROCESS ownerProcess = nullptr;
    PKEVENT volatile clientEvent = nullptr;
    SharedPages block;
    SharedPages buffer;
    ULONG bufferSize = 0;
    UCHAR ready = 0;
    Mosaik::MutexLock mutex;
    // Orders the readiness updates of concurrent requests, so the last one
    // to run leaves the state that the last request made.
    Mosaik::SpinLock readyLock;

    HANDLE workerHandle = nullptr;
    PKTHREAD volatile workerThread = nullptr;
    volatile LONG stopWorker = 0;
    KEVENT workerStarted;  // notification: the creator has finished with the thread
    KEVENT wakeEvent;      // synchronization: a new device position
    KEVENT replyEvent;     // synchronization: the client's reply
};
