// IRPs: allocation, IoCallDriver, IoCompleteRequest with completion routines,
// the verifier's request checks, the record of completions, and the waiting
// that makes the platform's own requests synchronous.
#include "io_internal.h"

#include <io_standin.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <unordered_set>
#include <vector>

namespace standin::io {

namespace {

// The hidden header in front of every IRP.
struct IrpHeader {
    std::mutex lock;
    std::condition_variable done;
    bool complete = false;   // the last completion routine has run
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
    std::unique_lock<std::mutex> hold(header->lock);
    if (returned != STATUS_PENDING && !header->complete)
        standin::kernel::BugCheck(IoManagerViolation, "IoCallDriver", ReturnedNotComplete,
                                  reinterpret_cast<ULONG_PTR>(irp), static_cast<ULONG>(returned));
    header->done.wait(hold, [header] { return header->complete; });
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
            standin::kernel::BugCheck(MultipleIrpCompleteRequests, "IoFreeIrp", reinterpret_cast<ULONG_PTR>(Irp));
    }
    IrpHeader *header = HeaderOf(Irp);
    header->~IrpHeader();
    std::free(header);
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        standin::kernel::BugCheck(IrqlNotLessOrEqual, "IoCallDriver", KeGetCurrentIrql());
    if (!IsLive(Irp))
        standin::kernel::BugCheck(MultipleIrpCompleteRequests, "IoCallDriver", reinterpret_cast<ULONG_PTR>(Irp));
    Irp->CurrentLocation--;
    if (Irp->CurrentLocation <= 0)
        standin::kernel::BugCheck(NoMoreIrpStackLocations, "IoCallDriver", reinterpret_cast<ULONG_PTR>(Irp));
    PIO_STACK_LOCATION stack = --Irp->Tail.Overlay.CurrentStackLocation;
    stack->DeviceObject = DeviceObject;
    PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[stack->MajorFunction];
    const NTSTATUS status = dispatch(DeviceObject, Irp);
    // The stack location stays readable after completion: completion moves
    // the current location but clears nothing. A request freed meanwhile by
    // its completion routine cannot be looked at any more.
    if (!IsLive(Irp))
        return status;
    IrpHeader *header = HeaderOf(Irp);
    std::lock_guard<std::mutex> hold(header->lock);
    const bool marked = (stack->Control & SL_PENDING_RETURNED) != 0;
    const size_t index = static_cast<size_t>(stack - reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1));
    if (status == STATUS_PENDING && !marked) {
        // Completion has passed this location already: no mark can come any more.
        if (header->complete || Irp->CurrentLocation > static_cast<CHAR>(index + 1))
            standin::kernel::BugCheck(IoManagerViolation, "IoCallDriver", PendingNotMarked,
                                      reinterpret_cast<ULONG_PTR>(Irp), reinterpret_cast<ULONG_PTR>(dispatch));
        header->pendingUnchecked[index] = true;
    }
    if (status != STATUS_PENDING && marked)
        standin::kernel::BugCheck(IoManagerViolation, "IoCallDriver", MarkedNotPending,
                                  reinterpret_cast<ULONG_PTR>(Irp), reinterpret_cast<ULONG_PTR>(dispatch));
    return status;
}

VOID IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost)
{
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        standin::kernel::BugCheck(IrqlNotLessOrEqual, "IoCompleteRequest", KeGetCurrentIrql());
    if (!IsLive(Irp))
        standin::kernel::BugCheck(MultipleIrpCompleteRequests, "IoCompleteRequest", reinterpret_cast<ULONG_PTR>(Irp));
    IrpHeader *header = HeaderOf(Irp);
    {
        std::lock_guard<std::mutex> hold(header->lock);
        if (header->complete || Irp->CurrentLocation > Irp->StackCount + 1)
            standin::kernel::BugCheck(MultipleIrpCompleteRequests, "IoCompleteRequest",
                                      reinterpret_cast<ULONG_PTR>(Irp));
    }
    if (Irp->IoStatus.Status == STATUS_PENDING)
        standin::kernel::BugCheck(MultipleIrpCompleteRequests, "IoCompleteRequest", reinterpret_cast<ULONG_PTR>(Irp),
                                  STATUS_PENDING);

    // The request as the completing driver saw it, for the record.
    PIO_STACK_LOCATION current = IoGetCurrentIrpStackLocation(Irp);
    Completion record{current->MajorFunction, current->MinorFunction,
                      current->MajorFunction == IRP_MJ_DEVICE_CONTROL ? current->Parameters.DeviceIoControl.IoControlCode
                                                                      : 0u,
                      0, 0, PriorityBoost, current->FileObject};

    // Walk up the stack, running each completion routine that asked for this
    // outcome, as Windows does; STATUS_MORE_PROCESSING_REQUIRED hands the
    // request back to the driver that set the routine.
    PIO_STACK_LOCATION base = reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1);
    for (PIO_STACK_LOCATION stack = current; Irp->CurrentLocation <= Irp->StackCount; ++stack) {
        {
            std::lock_guard<std::mutex> hold(header->lock);
            const size_t index = static_cast<size_t>(stack - base);
            if (header->pendingUnchecked[index] && !(stack->Control & SL_PENDING_RETURNED))
                standin::kernel::BugCheck(IoManagerViolation, "IoCompleteRequest", PendingNotMarked,
                                          reinterpret_cast<ULONG_PTR>(Irp), index);
            header->pendingUnchecked[index] = false;
        }
        Irp->CurrentLocation++;
        Irp->Tail.Overlay.CurrentStackLocation++;
        Irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
        const NTSTATUS status = Irp->IoStatus.Status;
        const bool invoke = stack->CompletionRoutine != nullptr &&
                            ((NT_SUCCESS(status) && (stack->Control & SL_INVOKE_ON_SUCCESS)) ||
                             (!NT_SUCCESS(status) && (stack->Control & SL_INVOKE_ON_ERROR)) ||
                             (Irp->Cancel && (stack->Control & SL_INVOKE_ON_CANCEL)));
        if (invoke) {
            PDEVICE_OBJECT device = Irp->CurrentLocation == Irp->StackCount + 1
                                        ? nullptr
                                        : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
            if (stack->CompletionRoutine(device, Irp, stack->Context) == STATUS_MORE_PROCESSING_REQUIRED)
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
    std::lock_guard<std::mutex> hold(header->lock);
    header->complete = true;
    header->done.notify_all();
}

BOOLEAN IoIs32bitProcess(PIRP Irp)
{
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
