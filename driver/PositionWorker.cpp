// The pipe's position worker: a system thread at the highest real-time
// priority that lets the endpoint's stream take up each new device position.
#include "ControlPipe.h"
#include <ntifs.h>
#include "EndpointLink.h"

NTSTATUS ControlPipe::StartWorker()
{
    // Set once here and cleared when the first driver request ends.
    InterlockedOr(reinterpret_cast<LONG volatile *>(&Block()->RequestFlags), REQUEST_FLAGS_POSTED);

    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE handle = nullptr;
    NTSTATUS status =
        PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr, WorkerMain, this);
    if (!NT_SUCCESS(status))
        return status;
    workerHandle = handle;
    PVOID thread = nullptr;
    status = ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &thread, nullptr);
    if (NT_SUCCESS(status))
        StorePointer(workerThread, static_cast<PKTHREAD>(thread));
    // The worker waits for this instead of polling, so it never runs ahead
    // of its creator and needs no timed wait.
    KeSetEvent(&workerStarted, IO_NO_INCREMENT, FALSE);
    return status;
}

VOID ControlPipe::WorkerMain(PVOID context)
{
    static_cast<ControlPipe *>(context)->WorkerLoop();
}

void ControlPipe::WorkerLoop()
{
    KeWaitForSingleObject(&workerStarted, Executive, KernelMode, FALSE, nullptr);
    if (InterlockedCompareExchange(&stopWorker, 0, 0) != 0)
        return;
    KeSetPriorityThread(KeGetCurrentThread(), HIGH_PRIORITY);
    // The wake event clears itself: notifications during an update merge into
    // one more update, which reads the latest position from the block.
    for (;;) {
        const NTSTATUS wait = KeWaitForSingleObject(&wakeEvent, Executive, KernelMode, FALSE, nullptr);
        if (wait != STATUS_SUCCESS || InterlockedCompareExchange(&stopWorker, 0, 0) != 0)
            return;
        link->ProcessPosition();
    }
}

void ControlPipe::StopWorker()
{
    if (workerHandle == nullptr)
        return;
    InterlockedExchange(&stopWorker, 1);
    KeSetEvent(&wakeEvent, IO_NO_INCREMENT, FALSE);
    // The thread's handle is signalled once the thread has ended, after its
    // last instruction in this driver: an event it set on its way out would
    // come before the return through the driver's code, which could then run
    // in an unloaded image. The handle serves also when the thread object
    // could not be referenced.
    ZwWaitForSingleObject(workerHandle, FALSE, nullptr);
    if (PKTHREAD thread = LoadPointer(workerThread)) {
        ObDereferenceObject(thread);
        StorePointer(workerThread, static_cast<PKTHREAD>(nullptr));
    }
    InterlockedExchange(&stopWorker, 0);
    ZwClose(workerHandle);
    workerHandle = nullptr;
}
