// IRPs: allocation, IoCallDriver, IoCompleteRequest with completion routines,
// the verifier's request checks, the record of completions, and the waiting
// that makes the platform's own requests synchronous.
#include "io_internal.h"

#include <io_standin.h>
#include "../../kernel/src/dispatcher.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <unordered_set>
#include <vector>

using namespace standin::kernel::stop;

namespace standin::io {

namespace {

// The hidden header in front of every IRP.
struct IrpHeader {
    std::mutex lock;
    KEVENT done;           // set when the last completion routine has run
    bool complete = false; // the last completion routine has run
    PEPROCESS requestor = nullptr;
    // Locations whose dispatch returned STATUS_PENDING before any mark: the
    // mark may still come from a completion routine or from propagation
    // while the request completes, and is checked when completion passes.
    std::vector<bool> pendingUnchecked;
};

struct Registry {
    std::mutex lock;
    std::unordered_set<PIRP> live;
    std::vector<Completion> completions;
};

Registry &Irps()
{
    static Registry registry;
    return registry;
}

constexpr size_t HeaderSize = (sizeof(IrpHeader) + 15) & ~size_t(15);

IrpHeader *HeaderOf(PIRP irp)
{
    return reinterpret_cast<IrpHeader *>(reinterpret_cast<char *>(irp) - HeaderSize);
}

bool IsLive(PIRP irp)
{
    std::lock_guard<std::mutex> hold(Irps().lock);
    return Irps().live.count(irp) != 0;
}

} // namespace

PEPROCESS RequestorProcess(PIRP irp)
{
    return HeaderOf(irp)->requestor;
}

PIRP BuildRequest(PDEVICE_OBJECT target, UCHAR major, UCHAR minor, KPROCESSOR_MODE mode, PFILE_OBJECT file)
{
    PDEVICE_OBJECT top = IoGetAttachedDevice(target);
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (irp == nullptr)
        return nullptr;
    irp->RequestorMode = mode;
    irp->Tail.Overlay.Thread = KeGetCurrentThread();
    irp->Tail.Overlay.OriginalFileObject = file;
    irp->IoStatus.Status = (major == IRP_MJ_PNP) ? STATUS_NOT_SUPPORTED : STATUS_SUCCESS;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = major;
    stack->MinorFunction = minor;
    stack->FileObject = file;
    return irp;
}

NTSTATUS SendAndWait(PDEVICE_OBJECT target, PIRP irp)
{
    const NTSTATUS returned = IoCallDriver(IoGetAttachedDevice(target), irp);
    IrpHeader *header = HeaderOf(irp);
    {
        std::lock_guard<std::mutex> hold(header->lock);
        if (returned != STATUS_PENDING && !header->complete)
            standin::kernel::BugCheck(kDriverVerifierIoManagerViolation, "IoCallDriver", kIoReturnedNotComplete,
                                      reinterpret_cast<ULONG_PTR>(irp), static_cast<ULONG>(returned));
    }
    // A user-mode request waits as its thread does in user mode: a thread
    // of a terminating process is released, cancels the request and waits
    // for it to complete, as Windows' thread rundown does.
    const KPROCESSOR_MODE waitMode = irp->RequestorMode;
    if (KeWaitForSingleObject(&header->done, Executive, waitMode, FALSE, nullptr) == STATUS_USER_APC) {
        IoCancelIrp(irp);
        KeWaitForSingleObject(&header->done, Executive, KernelMode, FALSE, nullptr);
    }
    return irp->IoStatus.Status;
}

void FreeRequest(PIRP irp)
{
    IoFreeIrp(irp);
}

} // namespace standin::io

using namespace standin::io;

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota)
{
    if (StackSize < 1)
        return nullptr;
    const size_t size = HeaderSize + sizeof(IRP) + size_t(StackSize) * sizeof(IO_STACK_LOCATION);
    void *memory = std::calloc(1, size);
    if (memory == nullptr)
        return nullptr;
    IrpHeader *header = new (memory) IrpHeader;
    KeInitializeEvent(&header->done, NotificationEvent, FALSE);
    header->requestor = standin::kernel::CurrentProcess();
    header->pendingUnchecked.assign(static_cast<size_t>(StackSize), false);
    PIRP irp = reinterpret_cast<PIRP>(static_cast<char *>(memory) + HeaderSize);
    irp->Type = IO_TYPE_IRP;
    irp->Size = static_cast<USHORT>(sizeof(IRP) + size_t(StackSize) * sizeof(IO_STACK_LOCATION));
    irp->StackCount = StackSize;
    irp->CurrentLocation = static_cast<CHAR>(StackSize + 1);
    irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + StackSize;
    {
        std::lock_guard<std::mutex> hold(Irps().lock);
        Irps().live.insert(irp);
    }
    return irp;
}

VOID IoFreeIrp(PIRP Irp)
{
    {
        std::lock_guard<std::mutex> hold(Irps().lock);
        if (Irps().live.erase(Irp) == 0)
            standin::kernel::BugCheck(kMultipleIrpCompleteRequests, "IoFreeIrp", reinterpret_cast<ULONG_PTR>(Irp));
    }
    IrpHeader *header = HeaderOf(Irp);
    header->~IrpHeader();
    std::free(header);
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    const KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL)
        standin::kernel::BugCheck(kIrqlNotLessOrEqual, "IoCallDriver", irql);
    if (!IsLive(Irp))
        standin::kernel::BugCheck(kMultipleIrpCompleteRequests, "IoCallDriver", reinterpret_cast<ULONG_PTR>(Irp));
    Irp->CurrentLocation--;
    if (Irp->CurrentLocation <= 0)
        standin::kernel::BugCheck(kNoMoreIrpStackLocations, "IoCallDriver", reinterpret_cast<ULONG_PTR>(Irp));
    PIO_STACK_LOCATION stack = --Irp->Tail.Overlay.CurrentStackLocation;
    stack->DeviceObject = DeviceObject;
    PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[stack->MajorFunction];
    NTSTATUS status;
    {
        // The dispatch routine is the driver's code: what it is handed counts
        // against it.
        standin::kernel::OwnerScope owner(DriverOwner(DeviceObject->DriverObject));
        status = dispatch(DeviceObject, Irp);
    }
    // A dispatch routine returns at the IRQL it was called at.
    if (KeGetCurrentIrql() != irql)
        standin::kernel::BugCheck(kDriverVerifierIoManagerViolation, "IoCallDriver", kIoIrqlChangedInDispatch,
                                  reinterpret_cast<ULONG_PTR>(DeviceObject), irql, KeGetCurrentIrql());
    // The stack location stays readable after completion: completion moves
    // the current location but clears nothing. A request freed meanwhile by
    // its completion routine cannot be looked at any more.
    if (!IsLive(Irp))
        return status;
    IrpHeader *header = HeaderOf(Irp);
    std::lock_guard<std::mutex> hold(header->lock);
    const bool marked = (__atomic_load_n(&stack->Control, __ATOMIC_SEQ_CST) & SL_PENDING_RETURNED) != 0;
    const size_t index = static_cast<size_t>(stack - reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1));
    if (status == STATUS_PENDING && !marked) {
        // Completion has passed this location already: no mark can come any more.
        if (header->complete || __atomic_load_n(&Irp->CurrentLocation, __ATOMIC_SEQ_CST) > static_cast<CHAR>(index + 1))
            standin::kernel::BugCheck(kDriverVerifierIoManagerViolation, "IoCallDriver", kIoPendingNotMarked,
                                      reinterpret_cast<ULONG_PTR>(Irp), reinterpret_cast<ULONG_PTR>(dispatch));
        header->pendingUnchecked[index] = true;
    }
    if (status != STATUS_PENDING && marked)
        standin::kernel::BugCheck(kDriverVerifierIoManagerViolation, "IoCallDriver", kIoMarkedNotPending,
                                  reinterpret_cast<ULONG_PTR>(Irp), reinterpret_cast<ULONG_PTR>(dispatch));
    return status;
}

VOID IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost)
{
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        standin::kernel::BugCheck(kIrqlNotLessOrEqual, "IoCompleteRequest", KeGetCurrentIrql());
    if (!IsLive(Irp))
        standin::kernel::BugCheck(kMultipleIrpCompleteRequests, "IoCompleteRequest", reinterpret_cast<ULONG_PTR>(Irp));
    // A request is completed only once its cancel routine is cleared.
    if (Irp->CancelRoutine != nullptr)
        standin::kernel::BugCheck(kDriverVerifierIoManagerViolation, "IoCompleteRequest", kIoCompletedWithCancelRoutine,
                                  reinterpret_cast<ULONG_PTR>(Irp->CancelRoutine), reinterpret_cast<ULONG_PTR>(Irp));
    IrpHeader *header = HeaderOf(Irp);
    {
        std::lock_guard<std::mutex> hold(header->lock);
        if (header->complete || Irp->CurrentLocation > Irp->StackCount + 1)
            standin::kernel::BugCheck(kMultipleIrpCompleteRequests, "IoCompleteRequest",
                                      reinterpret_cast<ULONG_PTR>(Irp));
    }
    if (Irp->IoStatus.Status == STATUS_PENDING)
        standin::kernel::BugCheck(kMultipleIrpCompleteRequests, "IoCompleteRequest", reinterpret_cast<ULONG_PTR>(Irp),
                                  STATUS_PENDING);

    // The request as the completing driver saw it, for the record.
    PIO_STACK_LOCATION current = IoGetCurrentIrpStackLocation(Irp);
    Completion record{
        current->MajorFunction,
        current->MinorFunction,
        current->MajorFunction == IRP_MJ_DEVICE_CONTROL ? current->Parameters.DeviceIoControl.IoControlCode : 0u,
        0,
        0,
        PriorityBoost,
        current->FileObject};

    // Walk up the stack, running each completion routine that asked for this
    // outcome, as Windows does; STATUS_MORE_PROCESSING_REQUIRED hands the
    // request back to the driver that set the routine.
    PIO_STACK_LOCATION base = reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1);
    for (PIO_STACK_LOCATION stack = current; Irp->CurrentLocation <= Irp->StackCount; ++stack) {
        {
            // The check and the move past this location are one step under
            // the request's lock: a dispatch routine returning meanwhile on
            // another thread looks either before (and leaves the check here)
            // or after (and sees the location passed), never in between.
            std::lock_guard<std::mutex> hold(header->lock);
            const size_t index = static_cast<size_t>(stack - base);
            if (header->pendingUnchecked[index] &&
                !(__atomic_load_n(&stack->Control, __ATOMIC_SEQ_CST) & SL_PENDING_RETURNED))
                standin::kernel::BugCheck(kDriverVerifierIoManagerViolation, "IoCompleteRequest", kIoPendingNotMarked,
                                          reinterpret_cast<ULONG_PTR>(Irp), index);
            header->pendingUnchecked[index] = false;
            __atomic_fetch_add(&Irp->CurrentLocation, 1, __ATOMIC_SEQ_CST);
        }
        Irp->Tail.Overlay.CurrentStackLocation++;
        Irp->PendingReturned = (__atomic_load_n(&stack->Control, __ATOMIC_SEQ_CST) & SL_PENDING_RETURNED) != 0;
        const NTSTATUS status = Irp->IoStatus.Status;
        const bool invoke =
            stack->CompletionRoutine != nullptr && ((NT_SUCCESS(status) && (stack->Control & SL_INVOKE_ON_SUCCESS)) ||
                                                    (!NT_SUCCESS(status) && (stack->Control & SL_INVOKE_ON_ERROR)) ||
                                                    (Irp->Cancel && (stack->Control & SL_INVOKE_ON_CANCEL)));
        if (invoke) {
            PDEVICE_OBJECT device =
                Irp->CurrentLocation == Irp->StackCount + 1 ? nullptr : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
            // The routine is the code of the driver that set it: the one of the
            // location above, whose device it is handed.
            NTSTATUS result;
            {
                standin::kernel::OwnerScope owner(device != nullptr ? DriverOwner(device->DriverObject)
                                                                    : standin::kernel::kPlatform);
                result = stack->CompletionRoutine(device, Irp, stack->Context);
            }
            if (result == STATUS_MORE_PROCESSING_REQUIRED)
                return;
        } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
            IoMarkIrpPending(Irp);
        }
    }

    record.status = Irp->IoStatus.Status;
    record.information = Irp->IoStatus.Information;
    {
        std::lock_guard<std::mutex> hold(Irps().lock);
        Irps().completions.push_back(record);
    }
    {
        std::lock_guard<std::mutex> hold(header->lock);
        header->complete = true;
    }
    KeSetEvent(&header->done, PriorityBoost, FALSE);
}

BOOLEAN IoIs32bitProcess(PIRP Irp)
{
    // A kernel-mode request comes from no user process.
    if (Irp != nullptr && Irp->RequestorMode == KernelMode)
        return FALSE;
    PEPROCESS process = Irp != nullptr ? RequestorProcess(Irp) : standin::kernel::CurrentProcess();
    return process != nullptr && standin::kernel::Is32BitProcess(process);
}

std::vector<Completion> standin::io::Completions()
{
    std::lock_guard<std::mutex> hold(Irps().lock);
    return Irps().completions;
}

void standin::io::ClearCompletions()
{
    std::lock_guard<std::mutex> hold(Irps().lock);
    Irps().completions.clear();
}

namespace {

KSPIN_LOCK cancelLock = 0;

} // namespace

VOID IoAcquireCancelSpinLock(PKIRQL Irql)
{
    KeAcquireSpinLock(&cancelLock, Irql);
}

VOID IoReleaseCancelSpinLock(KIRQL Irql)
{
    KeReleaseSpinLock(&cancelLock, Irql);
}

// Marks the request cancelled and calls its cancel routine, if one is set,
// with the cancel spin lock held (the routine releases it), as Windows does.
BOOLEAN IoCancelIrp(PIRP Irp)
{
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    Irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (routine == nullptr) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    Irp->CancelIrql = irql;
    PDEVICE_OBJECT device = IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
    standin::kernel::OwnerScope owner(DriverOwner(device->DriverObject));
    routine(device, Irp);
    return TRUE;
}
