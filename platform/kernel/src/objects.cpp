// The object manager: bodies with hidden headers and reference counts, per-
// process handle tables (kernel handles in the system process's table) and
// the driver-facing reference calls.
#include "dispatcher.h"

#include <ntifs.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_set>
#include <vector>

namespace standin::kernel {

namespace {

struct alignas(16) ObjectHeader {
    POBJECT_TYPE type;
    std::atomic<LONG_PTR> references;
    size_t handles; // guarded by the object manager's lock
};

void *BodyOf(ObjectHeader *h)
{
    return h + 1;
}
ObjectHeader *HeaderOf(void *body)
{
    return static_cast<ObjectHeader *>(body) - 1;
}

// Kernel handles carry the top bits, as on 64-bit Windows.
constexpr uintptr_t kKernelHandleBits = 0xFFFFFFFF80000000ull;

constexpr size_t kMaxOwners = 1024;

struct ObjectManager {
    std::mutex lock;
    std::unordered_set<ObjectHeader *> live;
    // References taken through the driver-facing calls and not dropped, by owner.
    std::atomic<LONG_PTR> references[kMaxOwners] = {};
};

ObjectManager &Manager()
{
    static ObjectManager *m = new ObjectManager;
    return *m;
}

ObjectHeader *Validate(void *body, const char *call)
{
    auto &m = Manager();
    ObjectHeader *h = body ? HeaderOf(body) : nullptr;
    std::lock_guard lk(m.lock);
    if (!h || !m.live.count(h))
        BugCheck(kReferenceByPointer, call, (ULONG_PTR)body);
    return h;
}

PEPROCESS TableFor(PEPROCESS process, HANDLE handle)
{
    return IsKernelHandle(handle) ? SystemProcess() : process;
}

void ReleaseReference(void *body, const char *call)
{
    ObjectHeader *h = Validate(body, call);
    LONG_PTR left = h->references.fetch_sub(1) - 1;
    if (left < 0)
        BugCheck(kReferenceByPointer, call, (ULONG_PTR)body, (ULONG_PTR)left);
    if (left > 0)
        return;
    {
        auto &m = Manager();
        std::lock_guard lk(m.lock);
        m.live.erase(h);
    }
    if (h->type->info.onDelete)
        h->type->info.onDelete(body);
    h->~ObjectHeader();
    std::free(h);
}

} // namespace

POBJECT_TYPE CreateObjectType(const ObjectTypeInfo &info)
{
    return new _OBJECT_TYPE{info};
}

const char *ObjectTypeName(POBJECT_TYPE type)
{
    return type->info.name;
}

POBJECT_TYPE ObjectTypeOf(void *body)
{
    return Validate(body, "ObjectTypeOf")->type;
}

NTSTATUS CreateObject(POBJECT_TYPE type, size_t bodySize, void **body)
{
    void *memory = std::aligned_alloc(alignof(ObjectHeader), (sizeof(ObjectHeader) + bodySize + 15) / 16 * 16);
    if (!memory)
        return STATUS_INSUFFICIENT_RESOURCES;
    auto h = new (memory) ObjectHeader{type, {1}, 0};
    std::memset(BodyOf(h), 0, bodySize);
    {
        auto &m = Manager();
        std::lock_guard lk(m.lock);
        m.live.insert(h);
    }
    *body = BodyOf(h);
    return STATUS_SUCCESS;
}

NTSTATUS InsertHandle(PEPROCESS process, void *body, ACCESS_MASK granted, bool kernelHandle, HANDLE *handle)
{
    return detail::InsertHandleInternal(process, body, granted, kernelHandle, kPlatform, handle);
}

NTSTATUS ReferenceHandle(PEPROCESS process, HANDLE handle, POBJECT_TYPE type, void **body, ACCESS_MASK *granted)
{
    auto &m = Manager();
    PEPROCESS table = TableFor(process, handle);
    std::lock_guard lk(m.lock);
    auto it = table->handles.find((uintptr_t)handle);
    if (it == table->handles.end())
        return STATUS_INVALID_HANDLE;
    ObjectHeader *h = HeaderOf(it->second.body);
    if (type && h->type != type)
        return STATUS_OBJECT_TYPE_MISMATCH;
    h->references.fetch_add(1);
    *body = it->second.body;
    if (granted)
        *granted = it->second.granted;
    return STATUS_SUCCESS;
}

NTSTATUS CloseHandle(PEPROCESS process, HANDLE handle)
{
    auto &m = Manager();
    PEPROCESS table = TableFor(process, handle);
    void *body;
    bool last;
    {
        std::lock_guard lk(m.lock);
        auto it = table->handles.find((uintptr_t)handle);
        if (it == table->handles.end())
            return STATUS_INVALID_HANDLE;
        body = it->second.body;
        table->handles.erase(it);
        last = true;
        for (auto &entry : table->handles)
            if (entry.second.body == body) {
                last = false;
                break;
            }
        HeaderOf(body)->handles -= 1;
    }
    ObjectHeader *h = HeaderOf(body);
    if (h->type->info.onHandleClosed) {
        ProcessScope scope(table);
        h->type->info.onHandleClosed(body, table, last);
    }
    ReleaseReference(body, "CloseHandle");
    return STATUS_SUCCESS;
}

NTSTATUS DuplicateHandle(PEPROCESS source, HANDLE handle, PEPROCESS target, HANDLE *duplicate, ACCESS_MASK access,
                         bool sameAccess, bool closeSource)
{
    *duplicate = nullptr;
    if (IsKernelHandle(handle) && source != SystemProcess())
        return STATUS_INVALID_HANDLE;
    void *body;
    ACCESS_MASK granted;
    NTSTATUS status = ReferenceHandle(source, handle, nullptr, &body, &granted);
    if (!NT_SUCCESS(status))
        return status;
    // A duplicate has at most the access of its source.
    ACCESS_MASK wanted = sameAccess ? granted : access;
    if (!sameAccess && (wanted & ~granted))
        status = STATUS_ACCESS_DENIED;
    if (NT_SUCCESS(status))
        status = detail::InsertHandleInternal(target, body, wanted, false, kPlatform, duplicate);
    DereferenceObject(body);
    // The source goes whether or not the duplicate was made, as on Windows.
    if (closeSource)
        CloseHandle(source, handle);
    return status;
}

void ReferenceObject(void *body)
{
    Validate(body, "ReferenceObject")->references.fetch_add(1);
}

void DereferenceObject(void *body)
{
    ReleaseReference(body, "DereferenceObject");
}

LONG_PTR ObjectReferenceCount(void *body)
{
    return Validate(body, "ObjectReferenceCount")->references.load();
}

size_t ObjectHandleCount(void *body)
{
    ObjectHeader *h = Validate(body, "ObjectHandleCount");
    std::lock_guard lk(Manager().lock);
    return h->handles;
}

size_t HandleCount(PEPROCESS process)
{
    std::lock_guard lk(Manager().lock);
    return process->handles.size();
}

bool IsKernelHandle(HANDLE handle)
{
    return ((uintptr_t)handle & kKernelHandleBits) == kKernelHandleBits;
}

namespace detail {

NTSTATUS InsertHandleInternal(PEPROCESS process, void *body, ACCESS_MASK granted, bool kernelHandle, Owner owner,
                              HANDLE *handle)
{
    ObjectHeader *h = Validate(body, "InsertHandle");
    PEPROCESS table = kernelHandle ? SystemProcess() : process;
    auto &m = Manager();
    std::lock_guard lk(m.lock);
    // Checked under the lock: process end sets the flag before its handle
    // rundown, so no handle slips in behind the rundown.
    if (table->ended.load())
        return STATUS_PROCESS_IS_TERMINATING;
    uintptr_t value = table->nextHandle;
    table->nextHandle += 4;
    if (kernelHandle)
        value |= kKernelHandleBits;
    table->handles[value] = {body, granted & h->type->info.validAccess, NextSerial(), owner};
    h->handles += 1;
    h->references.fetch_add(1);
    *handle = (HANDLE)value;
    return STATUS_SUCCESS;
}

size_t HandlesOf(Owner owner)
{
    auto processes = AllProcesses();
    auto &m = Manager();
    std::lock_guard lk(m.lock);
    size_t n = 0;
    for (PEPROCESS p : processes)
        for (auto &entry : p->handles)
            n += entry.second.owner == owner;
    return n;
}

LONG_PTR ReferenceBalance(Owner owner)
{
    return owner < kMaxOwners ? Manager().references[owner].load() : 0;
}

void ChargeReference(Owner owner, LONG_PTR delta)
{
    if (owner < kMaxOwners)
        Manager().references[owner].fetch_add(delta);
}

void CloseAllHandles(PEPROCESS process)
{
    for (;;) {
        HANDLE next;
        {
            std::lock_guard lk(Manager().lock);
            if (process->handles.empty())
                return;
            next = (HANDLE)process->handles.begin()->first;
        }
        CloseHandle(process, next);
    }
}

} // namespace detail
} // namespace standin::kernel

using namespace standin::kernel;

namespace {
_OBJECT_TYPE g_eventType{{"Event", EVENT_ALL_ACCESS, nullptr, nullptr}};
POBJECT_TYPE g_eventTypePointer = &g_eventType;
} // namespace

POBJECT_TYPE *ExEventObjectType = &g_eventTypePointer;

extern "C" NTSTATUS ObReferenceObjectByHandle(HANDLE handle, ACCESS_MASK desired, POBJECT_TYPE type,
                                              KPROCESSOR_MODE mode, PVOID *object, POBJECT_HANDLE_INFORMATION info)
{
    detail::RequireIrqlAtMost(APC_LEVEL, "ObReferenceObjectByHandle");
    if (detail::ShouldFail(Fault::ObjectReference, 0, __builtin_return_address(0)))
        return STATUS_INVALID_HANDLE;
    // A user-mode caller cannot name the kernel's own handles.
    if (mode == UserMode && IsKernelHandle(handle))
        return STATUS_INVALID_HANDLE;
    void *body;
    ACCESS_MASK granted;
    NTSTATUS status = ReferenceHandle(CurrentProcess(), handle, type, &body, &granted);
    if (!NT_SUCCESS(status))
        return status;
    // Kernel-mode requests are trusted with any access, as on Windows.
    if (mode == UserMode && (desired & ~granted)) {
        ReleaseReference(body, "ObReferenceObjectByHandle");
        return STATUS_ACCESS_DENIED;
    }
    detail::ChargeReference(detail::CurrentOwner(), 1);
    *object = body;
    if (info) {
        info->HandleAttributes = 0;
        info->GrantedAccess = granted;
    }
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS ObReferenceObjectByPointer(PVOID object, ACCESS_MASK, POBJECT_TYPE type, KPROCESSOR_MODE)
{
    ObjectHeader *h = Validate(object, "ObReferenceObjectByPointer");
    if (type && h->type != type)
        return STATUS_OBJECT_TYPE_MISMATCH;
    h->references.fetch_add(1);
    detail::ChargeReference(detail::CurrentOwner(), 1);
    return STATUS_SUCCESS;
}

extern "C" LONG_PTR ObfReferenceObject(PVOID object)
{
    LONG_PTR now = Validate(object, "ObReferenceObject")->references.fetch_add(1) + 1;
    detail::ChargeReference(detail::CurrentOwner(), 1);
    return now;
}

extern "C" LONG_PTR ObfDereferenceObject(PVOID object)
{
    LONG_PTR left = Validate(object, "ObDereferenceObject")->references.load() - 1;
    detail::ChargeReference(detail::CurrentOwner(), -1);
    ReleaseReference(object, "ObDereferenceObject");
    return left;
}

extern "C" NTSTATUS ZwClose(HANDLE handle)
{
    detail::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwClose");
    NTSTATUS status = CloseHandle(CurrentProcess(), handle);
    // Closing a kernel handle that does not exist is fatal on Windows.
    if (status == STATUS_INVALID_HANDLE && IsKernelHandle(handle))
        BugCheck(kInvalidKernelHandle, "ZwClose", (ULONG_PTR)handle, 1);
    return status;
}

extern "C" NTSTATUS ZwWaitForSingleObject(HANDLE handle, BOOLEAN, PLARGE_INTEGER timeout)
{
    detail::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwWaitForSingleObject");
    void *body;
    NTSTATUS status = ReferenceHandle(CurrentProcess(), handle, nullptr, &body);
    if (!NT_SUCCESS(status))
        return status;
    POBJECT_TYPE type = HeaderOf(body)->type;
    if (type != *ExEventObjectType && type != *PsThreadType && type != *PsProcessType) {
        DereferenceObject(body);
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    auto h = static_cast<DISPATCHER_HEADER *>(body);
    status = detail::Wait(&h, 1, false, timeout, KernelMode, "ZwWaitForSingleObject");
    DereferenceObject(body);
    return status;
}
