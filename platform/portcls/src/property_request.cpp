// The property-request plumbing every port shares: finding an item in an
// automation table, building the PCPROPERTY_REQUEST a miniport's handler
// receives (under the device lock), waiting for a handler that pends, the
// basic-support reply the port gives itself, and the event-table lookups.
#include "internal.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace standin::portcls {

namespace {

template <class Item>
const Item *ItemAt(const Item *items, ULONG size, ULONG index)
{
    return reinterpret_cast<const Item *>(reinterpret_cast<const uint8_t *>(items) + size_t(index) * size);
}

// A request as the handler sees it; when the handler returns STATUS_PENDING
// the dispatch waits until PcCompletePendingPropertyRequest. Both sides hold
// a reference, so neither frees it under the other.
struct PendingRequest {
    PCPROPERTY_REQUEST request;                 // first: the handler sees only this
    static constexpr uint32_t Tag = 0x646E6550; // "Pend"
    std::atomic<uint32_t> tag{Tag};
    std::atomic<int> references{2};
    KEVENT done;
    NTSTATUS status = STATUS_PENDING;

    void Drop(int count = 1)
    {
        if (references.fetch_sub(count) == count)
            delete this;
    }
};

} // namespace

const PCPROPERTY_ITEM *FindProperty(const PCAUTOMATION_TABLE *table, const GUID &set, ULONG id)
{
    if (table == nullptr)
        return nullptr;
    for (ULONG i = 0; i < table->PropertyCount; ++i) {
        const PCPROPERTY_ITEM *item = ItemAt(table->Properties, table->PropertyItemSize, i);
        if (item->Id == id && IsEqualGUID(*item->Set, set))
            return item;
    }
    return nullptr;
}

bool HasPropertySet(const PCAUTOMATION_TABLE *table, const GUID &set)
{
    if (table == nullptr)
        return false;
    for (ULONG i = 0; i < table->PropertyCount; ++i)
        if (IsEqualGUID(*ItemAt(table->Properties, table->PropertyItemSize, i)->Set, set))
            return true;
    return false;
}

const PCEVENT_ITEM *FindEvent(const PCAUTOMATION_TABLE *table, const GUID &set, ULONG id)
{
    if (table == nullptr)
        return nullptr;
    for (ULONG i = 0; i < table->EventCount; ++i) {
        const PCEVENT_ITEM *item = ItemAt(table->Events, table->EventItemSize, i);
        if (item->Id == id && IsEqualGUID(*item->Set, set))
            return item;
    }
    return nullptr;
}

void CollectEventSets(const PCAUTOMATION_TABLE *table, std::vector<GUID> &sets)
{
    if (table == nullptr)
        return;
    for (ULONG i = 0; i < table->EventCount; ++i) {
        const GUID &set = *ItemAt(table->Events, table->EventItemSize, i)->Set;
        if (std::none_of(sets.begin(), sets.end(), [&](const GUID &known) { return IsEqualGUID(known, set); }))
            sets.push_back(set);
    }
}

ULONG VerbOf(ULONG flags)
{
    const ULONG verb = flags & ~KSPROPERTY_TYPE_TOPOLOGY;
    switch (verb) {
    case KSPROPERTY_TYPE_GET:
    case KSPROPERTY_TYPE_SET:
    case KSPROPERTY_TYPE_BASICSUPPORT:
    case KSPROPERTY_TYPE_SETSUPPORT: return verb;
    default: return 0;
    }
}

NTSTATUS BasicSupportReply(ks::PropertyCall &call, ULONG accessFlags)
{
    if (call.valueLength == 0) {
        call.information = sizeof(KSPROPERTY_DESCRIPTION);
        return STATUS_BUFFER_OVERFLOW;
    }
    if (call.valueLength < sizeof(ULONG))
        return STATUS_BUFFER_TOO_SMALL;
    if (call.valueLength < sizeof(KSPROPERTY_DESCRIPTION)) {
        std::memcpy(call.value, &accessFlags, sizeof accessFlags);
        call.information = sizeof(ULONG);
        return STATUS_SUCCESS;
    }
    KSPROPERTY_DESCRIPTION description{};
    description.AccessFlags = accessFlags;
    description.DescriptionSize = sizeof description;
    description.PropTypeSet.Set = KSPROPTYPESETID_General;
    std::memcpy(call.value, &description, sizeof description);
    call.information = sizeof description;
    return STATUS_SUCCESS;
}

NTSTATUS ReturnValue(ks::PropertyCall &call, const void *value, ULONG size)
{
    const NTSTATUS status = ks::CheckValueLength(call, size);
    if (!NT_SUCCESS(status))
        return status;
    std::memcpy(call.value, value, size);
    call.information = size;
    return STATUS_SUCCESS;
}

NTSTATUS CallPropertyHandler(DeviceContext *device, const PCPROPERTY_ITEM *item, PUNKNOWN major, PUNKNOWN minor,
                             ULONG node, ULONG headerSize, ks::PropertyCall &call)
{
    KSPROPERTY property;
    std::memcpy(&property, call.input, sizeof property);
    const ULONG verb = VerbOf(property.Flags);
    if (verb == 0)
        return STATUS_INVALID_PARAMETER;
    if (call.inputLength < headerSize)
        return STATUS_INVALID_BUFFER_SIZE;
    if (verb == KSPROPERTY_TYPE_SETSUPPORT)
        return STATUS_SUCCESS; // the set is supported: the item was found
    const ULONG access = item->Flags & (KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET);
    if (verb == KSPROPERTY_TYPE_BASICSUPPORT && !(item->Flags & KSPROPERTY_TYPE_BASICSUPPORT))
        return BasicSupportReply(call, access);
    if (verb != KSPROPERTY_TYPE_BASICSUPPORT && !(access & verb))
        return STATUS_INVALID_DEVICE_REQUEST;
    if (major == nullptr)
        return STATUS_DEVICE_NOT_READY; // the device is going away

    auto *pending = new (std::nothrow) PendingRequest;
    if (pending == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    KeInitializeEvent(&pending->done, NotificationEvent, FALSE);
    PCPROPERTY_REQUEST &request = pending->request;
    request.MajorTarget = major;
    request.MinorTarget = minor;
    request.Node = node;
    request.PropertyItem = item;
    request.Verb = verb;
    request.InstanceSize = call.inputLength - headerSize;
    request.Instance = request.InstanceSize != 0 ? const_cast<uint8_t *>(call.input) + headerSize : nullptr;
    request.ValueSize = call.valueLength;
    request.Value = call.valueLength != 0 ? call.value : nullptr;
    request.Irp = call.irp;
    NTSTATUS status;
    {
        DeviceLockHold hold(device);
        status = item->Handler(&request);
    }
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&pending->done, Executive, KernelMode, FALSE, nullptr);
        status = pending->status;
    }
    // The value size the handler leaves is what returns: the bytes written,
    // or the size a size query asked for.
    if (NT_SUCCESS(status) || status == STATUS_BUFFER_OVERFLOW)
        call.information = (verb == KSPROPERTY_TYPE_SET && NT_SUCCESS(status)) ? 0 : request.ValueSize;
    // Without a pending answer no completion comes: both references go here.
    const bool pended = pending->status != STATUS_PENDING;
    pending->tag = 0;
    pending->Drop(pended ? 1 : 2);
    return status;
}

} // namespace standin::portcls

using namespace standin::portcls;

extern "C" NTSTATUS PcCompletePendingPropertyRequest(PPCPROPERTY_REQUEST PropertyRequest, NTSTATUS NtStatus)
{
    if (PropertyRequest == nullptr || NtStatus == STATUS_PENDING)
        return STATUS_INVALID_PARAMETER;
    auto *pending = reinterpret_cast<PendingRequest *>(PropertyRequest);
    if (pending->tag != PendingRequest::Tag)
        return STATUS_INVALID_PARAMETER;
    pending->status = NtStatus;
    KeSetEvent(&pending->done, IO_NO_INCREMENT, FALSE);
    pending->Drop();
    return STATUS_SUCCESS;
}
