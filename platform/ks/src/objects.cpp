// The kernel-streaming objects behind file objects: the factories registered
// by reference string, the filter create that opens one, the pin create
// relative to a filter handle, and the close that ends either.
#include "requests.h"

#include <ks_objects.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

namespace standin::ks {

namespace {

struct FactoryEntry {
    PDEVICE_OBJECT device;
    std::u16string reference;
    FilterFactory *factory;
};

std::mutex &FactoryLock()
{
    static std::mutex lock;
    return lock;
}

std::vector<FactoryEntry> &Factories()
{
    static std::vector<FactoryEntry> factories;
    return factories;
}

// What FsContext of a KS file object points at.
struct ObjectRecord {
    static constexpr uint32_t Tag = 0x4F6A734B; // "KsjO"
    uint32_t tag = Tag;
    bool isFilter;
    Object *object;
};

ObjectRecord *RecordOf(PFILE_OBJECT file)
{
    if (file == nullptr || file->FsContext == nullptr)
        return nullptr;
    auto *record = static_cast<ObjectRecord *>(file->FsContext);
    return record->tag == ObjectRecord::Tag ? record : nullptr;
}

char16_t Upper(char16_t c)
{
    return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - u'a' + u'A') : c;
}

bool EqualNoCase(const std::u16string &a, const std::u16string &b)
{
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char16_t x, char16_t y) { return Upper(x) == Upper(y); });
}

NTSTATUS Complete(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// The pin create name: the pin's name, a separator, then the connection.
const std::u16string PinName = u"{146F1A80-4791-11D0-A5D6-28DB04C10000}";

// KSPIN_CONNECT as a 32-bit process lays it out (the handle in 4 bytes).
struct KsPinConnect32 {
    KSPIN_INTERFACE Interface;
    KSPIN_MEDIUM Medium;
    ULONG PinId;
    ULONG PinToHandle;
    KSPRIORITY Priority;
};
static_assert(sizeof(KsPinConnect32) == 64, "the 32-bit connection is 64 bytes");

ULONG AlignUp8(ULONG value)
{
    return (value + 7u) & ~7u;
}

// Reads the connection and data format out of the create name and checks
// that their sizes hold together.
NTSTATUS ParsePinCreate(const std::u16string &name, bool is32Bit, PinCreate &create,
                        std::vector<uint64_t> &formatStorage)
{
    const size_t prefix = PinName.size() + 1;
    if (name.size() < prefix || !EqualNoCase(name.substr(0, PinName.size()), PinName) || name[PinName.size()] != u'\\')
        return STATUS_OBJECT_NAME_NOT_FOUND;
    const uint8_t *payload = reinterpret_cast<const uint8_t *>(name.data() + prefix);
    const size_t bytes = (name.size() - prefix) * sizeof(char16_t);
    const size_t connectSize = is32Bit ? sizeof(KsPinConnect32) : sizeof(KSPIN_CONNECT);
    if (bytes < connectSize + sizeof(KSDATAFORMAT))
        return STATUS_INVALID_PARAMETER;
    if (is32Bit) {
        KsPinConnect32 narrow;
        std::memcpy(&narrow, payload, sizeof narrow);
        create.connect.Interface = narrow.Interface;
        create.connect.Medium = narrow.Medium;
        create.connect.PinId = narrow.PinId;
        create.connect.PinToHandle = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(narrow.PinToHandle));
        create.connect.Priority = narrow.Priority;
    } else {
        std::memcpy(&create.connect, payload, sizeof(KSPIN_CONNECT));
    }
    const uint8_t *format = payload + connectSize;
    const size_t available = bytes - connectSize;
    KSDATAFORMAT head;
    std::memcpy(&head, format, sizeof head);
    if (head.FormatSize < sizeof(KSDATAFORMAT) || head.FormatSize > available)
        return STATUS_INVALID_PARAMETER;
    ULONG length = head.FormatSize;
    if (head.Flags & KSDATAFORMAT_ATTRIBUTES) {
        // The attribute list follows the format at the next 8-byte boundary.
        const ULONG at = AlignUp8(head.FormatSize);
        KSMULTIPLE_ITEM list;
        if (static_cast<size_t>(at) + sizeof list > available)
            return STATUS_INVALID_PARAMETER;
        std::memcpy(&list, format + at, sizeof list);
        if (list.Size < sizeof list || list.Size > available - at)
            return STATUS_INVALID_PARAMETER;
        length = at + list.Size;
    }
    formatStorage.assign((length + 7) / 8, 0);
    std::memcpy(formatStorage.data(), format, length);
    create.format = reinterpret_cast<const KSDATAFORMAT *>(formatStorage.data());
    create.formatLength = length;
    return STATUS_SUCCESS;
}

NTSTATUS Attach(PFILE_OBJECT file, Object *object, bool isFilter)
{
    auto *record = new (std::nothrow) ObjectRecord{ObjectRecord::Tag, isFilter, object};
    if (record == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    file->FsContext = record;
    return STATUS_SUCCESS;
}

NTSTATUS CreateFilter(PDEVICE_OBJECT device, PIRP irp, PFILE_OBJECT file)
{
    std::u16string name(reinterpret_cast<const char16_t *>(file->FileName.Buffer),
                        file->FileName.Length / sizeof(WCHAR));
    if (!name.empty() && name[0] == u'\\')
        name.erase(0, 1);
    FilterFactory *factory = nullptr;
    {
        std::lock_guard<std::mutex> hold(FactoryLock());
        for (const FactoryEntry &entry : Factories())
            if (entry.device == device && EqualNoCase(entry.reference, name)) {
                factory = entry.factory;
                factory->Retain();
                break;
            }
    }
    if (factory == nullptr)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    Filter *filter = nullptr;
    NTSTATUS status = factory->CreateFilter(irp, &filter);
    factory->Drop();
    if (!NT_SUCCESS(status))
        return status;
    status = Attach(file, filter, true);
    if (!NT_SUCCESS(status))
        filter->Close(irp);
    return status;
}

NTSTATUS CreatePin(PIRP irp, PFILE_OBJECT file, ObjectRecord *parent)
{
    if (!parent->isFilter)
        return STATUS_INVALID_DEVICE_REQUEST; // only a filter makes pins
    const std::u16string name(reinterpret_cast<const char16_t *>(file->FileName.Buffer),
                              file->FileName.Length / sizeof(WCHAR));
    PinCreate create{};
    create.irp = irp;
    create.is32Bit = IoIs32bitProcess(irp) != FALSE;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    create.grantedAccess = stack->Parameters.Create.SecurityContext != nullptr
                               ? stack->Parameters.Create.SecurityContext->DesiredAccess
                               : 0;
    std::vector<uint64_t> format;
    NTSTATUS status = ParsePinCreate(name, create.is32Bit, create, format);
    if (!NT_SUCCESS(status))
        return status;
    Object *pin = nullptr;
    status = static_cast<Filter *>(parent->object)->CreatePin(create, &pin);
    if (!NT_SUCCESS(status))
        return status;
    status = Attach(file, pin, false);
    if (!NT_SUCCESS(status))
        pin->Close(irp);
    return status;
}

} // namespace

NTSTATUS AddFactory(PDEVICE_OBJECT device, const std::u16string &reference, FilterFactory *factory)
{
    std::lock_guard<std::mutex> hold(FactoryLock());
    for (const FactoryEntry &entry : Factories())
        if (entry.device == device && EqualNoCase(entry.reference, reference))
            return STATUS_OBJECT_NAME_COLLISION;
    Factories().push_back({device, reference, factory});
    return STATUS_SUCCESS;
}

void RemoveFactory(PDEVICE_OBJECT device, FilterFactory *factory)
{
    std::lock_guard<std::mutex> hold(FactoryLock());
    std::erase_if(Factories(),
                  [&](const FactoryEntry &entry) { return entry.device == device && entry.factory == factory; });
}

void RemoveDevice(PDEVICE_OBJECT device)
{
    std::lock_guard<std::mutex> hold(FactoryLock());
    std::erase_if(Factories(), [&](const FactoryEntry &entry) { return entry.device == device; });
}

Object *ObjectOf(PFILE_OBJECT file)
{
    ObjectRecord *record = RecordOf(file);
    return record != nullptr ? record->object : nullptr;
}

NTSTATUS DispatchCreate(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PFILE_OBJECT file = stack->FileObject;
    NTSTATUS status;
    if (file == nullptr) {
        status = STATUS_INVALID_DEVICE_REQUEST;
    } else if (file->RelatedFileObject == nullptr) {
        status = CreateFilter(device, irp, file);
    } else {
        ObjectRecord *parent = RecordOf(file->RelatedFileObject);
        status = parent != nullptr ? CreatePin(irp, file, parent) : STATUS_INVALID_DEVICE_REQUEST;
    }
    return Complete(irp, status);
}

NTSTATUS DispatchClose(PDEVICE_OBJECT, PIRP irp)
{
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    ObjectRecord *record = RecordOf(file);
    if (record != nullptr) {
        file->FsContext = nullptr;
        record->tag = 0;
        record->object->Close(irp);
        delete record;
    }
    return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    Object *object = ObjectOf(stack->FileObject);
    NTSTATUS status;
    ULONG_PTR information = 0;
    if (object == nullptr) {
        status = STATUS_INVALID_DEVICE_REQUEST;
    } else {
        switch (stack->Parameters.DeviceIoControl.IoControlCode) {
        case IOCTL_KS_PROPERTY: status = HandleProperty(*object, irp, information); break;
        case IOCTL_KS_ENABLE_EVENT: status = HandleEnableEvent(*object, irp, information); break;
        case IOCTL_KS_DISABLE_EVENT: status = HandleDisableEvent(*object, irp); break;
        case IOCTL_KS_METHOD:
            status = STATUS_NOT_FOUND; // the objects here have no methods
            break;
        default: status = STATUS_INVALID_DEVICE_REQUEST; break;
        }
    }
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = NT_ERROR(status) ? 0 : information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS CheckValueLength(PropertyCall &call, ULONG needed)
{
    if (call.valueLength == 0) {
        call.information = needed;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (call.valueLength < needed)
        return STATUS_BUFFER_TOO_SMALL;
    return STATUS_SUCCESS;
}

} // namespace standin::ks
