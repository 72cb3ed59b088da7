// Kernel-streaming events through a port: an enable request becomes an entry
// that the miniport's handler adds to the port's list (IPortEvents), the
// miniport generates the list to signal the matching entries, and a disable
// or the file object's close takes the entries out again.
#include "internal.h"

#include <algorithm>
#include <new>

namespace standin::portcls {

namespace {

void Free(EventEntry *entry)
{
    if (entry->event != nullptr)
        standin::kernel::DereferenceObject(entry->event);
    delete entry;
}

NTSTATUS CallHandler(Port *port, EventEntry *entry, const PCEVENT_ITEM *item, ULONG node, PUNKNOWN minor, ULONG verb,
                     PIRP irp)
{
    PCEVENT_REQUEST request{};
    request.MajorTarget = port->MiniportUnknown();
    request.MinorTarget = minor;
    request.Node = node;
    request.EventItem = item;
    request.EventEntry = entry != nullptr ? &entry->ks : nullptr;
    request.Verb = verb;
    request.Irp = irp;
    if (request.MajorTarget == nullptr)
        return STATUS_DEVICE_NOT_READY; // the device is going away
    DeviceLockHold hold(port->Device());
    return item->Handler(&request);
}

} // namespace

// Above DISPATCH_LEVEL an event cannot be set: the generation waits for the
// list's DPC, of which one at a time can be queued, so that a second
// generation while one waits is lost, as the documentation warns. The DPC
// runs on a thread of the stand-in's system process (owned by the platform),
// at DISPATCH_LEVEL; its wake-up is requested as a DPC's software interrupt
// would be, from any IRQL.
void EventList::QueueDpc(const GUID *set, ULONG id, bool pinEvent, ULONG pinId, bool nodeEvent, ULONG nodeId)
{
    if (dpcQueued_.exchange(true))
        return; // one is queued already: this generation is lost
    deferred_ = Deferred{set != nullptr ? *set : GUID{}, set == nullptr, id, pinId, nodeId, pinEvent, nodeEvent};
    std::lock_guard<std::mutex> hold(workerLock_);
    if (worker_ == nullptr) {
        KeInitializeEvent(&wake_, SynchronizationEvent, FALSE);
        standin::kernel::OwnerScope platform(standin::kernel::kPlatform);
        worker_ =
            standin::kernel::StartThread(standin::kernel::SystemProcess(), "PortCls DPC", &EventList::RunDpcs, this);
        if (worker_ == nullptr) {
            dpcQueued_ = false;
            return;
        }
    }
    const KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL)
        KeLowerIrql(DISPATCH_LEVEL);
    KeSetEvent(&wake_, IO_NO_INCREMENT, FALSE);
    if (irql > DISPATCH_LEVEL) {
        KIRQL ignored;
        KeRaiseIrql(irql, &ignored);
    }
}

void EventList::RunDpcs(void *context)
{
    auto *list = static_cast<EventList *>(context);
    for (;;) {
        KeWaitForSingleObject(&list->wake_, Executive, KernelMode, FALSE, nullptr);
        if (list->stopping_)
            return;
        const Deferred item = list->deferred_;
        KIRQL previous;
        KeRaiseIrql(DISPATCH_LEVEL, &previous);
        list->Generate(item.anySet ? nullptr : &item.set, item.id, item.pinEvent, item.pinId, item.nodeEvent,
                       item.nodeId);
        KeLowerIrql(previous);
        list->dpcQueued_ = false;
    }
}

void Port::GenerateEventList(GUID *Set, ULONG EventId, BOOL PinEvent, ULONG PinId, BOOL NodeEvent, ULONG NodeId)
{
    if (KeGetCurrentIrql() <= DISPATCH_LEVEL)
        events_.Generate(Set, EventId, PinEvent != FALSE, PinId, NodeEvent != FALSE, NodeId);
    else
        events_.QueueDpc(Set, EventId, PinEvent != FALSE, PinId, NodeEvent != FALSE, NodeId);
}

EventList::~EventList()
{
    // The port goes: its DPC thread finishes what it runs, then ends.
    if (worker_ != nullptr) {
        stopping_ = true;
        KeSetEvent(&wake_, IO_NO_INCREMENT, FALSE);
        standin::kernel::JoinThread(worker_);
    }
    for (EventEntry *entry : entries_)
        Free(entry);
}

void EventList::Insert(EventEntry *entry)
{
    std::lock_guard<std::mutex> hold(lock_);
    entries_.push_back(entry);
}

void EventList::Arm(PKSEVENT_ENTRY ks)
{
    // Only entries this port made can be added; anything else is ignored.
    std::lock_guard<std::mutex> hold(lock_);
    for (EventEntry *entry : entries_)
        if (&entry->ks == ks)
            entry->armed = true;
}

void EventList::Generate(const GUID *set, ULONG id, bool pinEvent, ULONG pinId, bool nodeEvent, ULONG nodeId)
{
    std::lock_guard<std::mutex> hold(lock_);
    for (EventEntry *entry : entries_) {
        if (!entry->armed || entry->item->Id != id || (set != nullptr && !IsEqualGUID(*set, *entry->item->Set)))
            continue;
        if ((pinEvent && entry->pinId != pinId) || (nodeEvent && entry->nodeId != nodeId))
            continue;
        KeSetEvent(entry->event, IO_NO_INCREMENT, FALSE);
        // A one-shot event fires once; it stays listed until it is disabled.
        if (entry->oneShot)
            entry->armed = false;
    }
}

std::vector<EventEntry *> EventList::Take(PFILE_OBJECT file, const void *identity)
{
    std::lock_guard<std::mutex> hold(lock_);
    std::vector<EventEntry *> taken;
    for (EventEntry *entry : entries_)
        if (entry->file == file && (identity == nullptr || entry->identity == identity))
            taken.push_back(entry);
    std::erase_if(entries_,
                  [&](EventEntry *entry) { return std::find(taken.begin(), taken.end(), entry) != taken.end(); });
    return taken;
}

void EventList::Remove(EventEntry *entry)
{
    std::lock_guard<std::mutex> hold(lock_);
    std::erase(entries_, entry);
}

NTSTATUS EnableEventFor(Port *port, ks::EventEnable &request, const PCEVENT_ITEM *item, ULONG pinId, ULONG nodeId,
                        PUNKNOWN minorTarget)
{
    if (request.flags & KSEVENT_TYPE_BASICSUPPORT)
        return CallHandler(port, nullptr, item, nodeId, minorTarget, PCEVENT_VERB_SUPPORT, request.irp);
    if (!(item->Flags & (PCEVENT_ITEM_FLAG_ENABLE | PCEVENT_ITEM_FLAG_ONESHOT)))
        return STATUS_INVALID_DEVICE_REQUEST; // the item offers no enabling
    auto *entry = new (std::nothrow) EventEntry{};
    if (entry == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    entry->ks.NotificationType = KSEVENTF_EVENT_HANDLE;
    entry->ks.FileObject = request.file;
    entry->ks.Object = port;
    entry->ks.Flags = (request.flags & KSEVENT_TYPE_ONESHOT) ? KSEVENT_ENTRY_ONESHOT : 0;
    entry->ks.ListEntry.Flink = entry->ks.ListEntry.Blink = &entry->ks.ListEntry;
    entry->item = item;
    entry->pinId = pinId;
    entry->nodeId = nodeId;
    entry->identity = request.identity;
    entry->file = request.file;
    entry->minorTarget = minorTarget;
    entry->oneShot = (request.flags & KSEVENT_TYPE_ONESHOT) != 0;
    entry->event = request.event; // taken over on success
    port->Events().Insert(entry);
    const NTSTATUS status = CallHandler(port, entry, item, nodeId, minorTarget, PCEVENT_VERB_ADD, request.irp);
    if (!NT_SUCCESS(status)) {
        port->Events().Remove(entry);
        delete entry; // the caller still holds the event's reference
    }
    return status;
}

NTSTATUS DisableEventsFor(Port *port, PFILE_OBJECT file, const void *identity)
{
    std::vector<EventEntry *> taken = port->Events().Take(file, identity);
    if (identity != nullptr && taken.empty())
        return STATUS_UNSUCCESSFUL;
    for (EventEntry *entry : taken) {
        // The handler hears the removal; its answer changes nothing.
        CallHandler(port, entry, entry->item, entry->nodeId, entry->minorTarget, PCEVENT_VERB_REMOVE, nullptr);
        Free(entry);
    }
    return STATUS_SUCCESS;
}

} // namespace standin::portcls
