// Kernel-streaming events through a port: an enable request becomes an entry
// that the miniport's handler adds to the port's list (IPortEvents), the
// miniport generates the list to signal the matching entries, and a disable
// or the file object's close takes the entries out again.
#include "internal.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <new>
#include <thread>

namespace standin::portcls {

namespace {

void Free(EventEntry *entry)
{
    if (entry->event != nullptr)
        standin::kernel::DereferenceObject(entry->event);
    delete entry;
}

NTSTATUS CallHandler(Port *port, EventEntry *entry, const PCEVENT_ITEM *item, ULONG node, PUNKNOWN minor,
                     ULONG verb, PIRP irp)
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

// Above DISPATCH_LEVEL an event cannot be set: the generation waits for a
// DPC, one per port at a time, so that a second generation while one waits
// is lost, as the documentation warns.
struct Deferred {
    Port *port; // referenced
    GUID set;
    bool anySet;
    ULONG id, pinId, nodeId;
    bool pinEvent, nodeEvent;
};

class DpcQueue {
public:
    static DpcQueue &Instance()
    {
        static DpcQueue *queue = new DpcQueue;
        return *queue;
    }

    void Queue(const Deferred &item)
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (!worker_) {
            std::thread(&DpcQueue::Run, this).detach();
            worker_ = true;
        }
        items_.push_back(item);
        ready_.notify_one();
    }

private:
    void Run()
    {
        for (;;) {
            Deferred item;
            {
                std::unique_lock<std::mutex> hold(lock_);
                ready_.wait(hold, [this] { return !items_.empty(); });
                item = items_.front();
                items_.pop_front();
            }
            KIRQL previous;
            KeRaiseIrql(DISPATCH_LEVEL, &previous);
            item.port->Events().Generate(item.anySet ? nullptr : &item.set, item.id, item.pinEvent, item.pinId,
                                         item.nodeEvent, item.nodeId);
            KeLowerIrql(previous);
            item.port->Events().DpcDone();
            item.port->Release();
        }
    }

    std::mutex lock_;
    std::condition_variable ready_;
    std::deque<Deferred> items_;
    bool worker_ = false;
};

} // namespace

bool EventList::TakeDpc()
{
    return !dpcQueued_.exchange(true);
}

void EventList::DpcDone()
{
    dpcQueued_ = false;
}

void Port::GenerateEventList(GUID *Set, ULONG EventId, BOOL PinEvent, ULONG PinId, BOOL NodeEvent, ULONG NodeId)
{
    if (KeGetCurrentIrql() <= DISPATCH_LEVEL) {
        events_.Generate(Set, EventId, PinEvent != FALSE, PinId, NodeEvent != FALSE, NodeId);
        return;
    }
    if (!events_.TakeDpc())
        return; // one DPC is queued already: this generation is lost
    AddRefCommon();
    Deferred item{this, Set != nullptr ? *Set : GUID{}, Set == nullptr, EventId, PinId, NodeId,
                  PinEvent != FALSE, NodeEvent != FALSE};
    DpcQueue::Instance().Queue(item);
}

EventList::~EventList()
{
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
    std::erase_if(entries_, [&](EventEntry *entry) {
        return std::find(taken.begin(), taken.end(), entry) != taken.end();
    });
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
    const NTSTATUS status =
        CallHandler(port, entry, item, nodeId, minorTarget, PCEVENT_VERB_ADD, request.irp);
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
