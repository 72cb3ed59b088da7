// File objects and the requests that follow their handles: create when a
// device path is opened, device control on the handle, cleanup when the last
// handle goes and close when the last reference goes, each in the context of
// the process that caused it (also when that process ends without closing).
#include "interface_registry.h"
#include "io_internal.h"

#include <io_boundary.h>
#include <io_standin.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <optional>

namespace standin::io {

namespace {

std::atomic<size_t> openFileObjects{0};

// What a buffered request's system buffer holds beyond the input bytes.
constexpr unsigned char SystemBufferPoison = 0xCD;

// The file object whose last handle this thread closed just now, and in which
// process: when that drops the last reference too, the object manager
// deletes the object right after the handle callback, and the close request
// belongs to the same process as the cleanup.
struct LastClosed {
    void *body = nullptr;
    PEPROCESS process = nullptr;
};
thread_local LastClosed lastClosed;

void SendFileRequest(FileBody *body, UCHAR major)
{
    PFILE_OBJECT file = &body->file;
    PIRP irp = BuildRequest(file->DeviceObject, major, 0, KernelMode, file);
    if (irp == nullptr)
        return; // the platform's own allocation; nothing a driver could do about it
    if (major == IRP_MJ_CLOSE)
        irp->Flags |= IRP_CLOSE_OPERATION;
    SendAndWait(file->DeviceObject, irp);
    FreeRequest(irp);
}

void OnHandleClosed(void *object, PEPROCESS process, bool lastInProcess)
{
    FileBody *body = static_cast<FileBody *>(object);
    lastClosed = {};
    if (body->handles.fetch_sub(1) != 1 || !body->created)
        return;
    lastClosed = {object, process};
    body->cleanedUp = true;
    SendFileRequest(body, IRP_MJ_CLEANUP);
}

void OnDelete(void *object)
{
    FileBody *body = static_cast<FileBody *>(object);
    PEPROCESS closer = lastClosed.body == object ? lastClosed.process : nullptr;
    lastClosed = {};
    if (body->created) {
        std::optional<standin::kernel::ProcessScope> scope;
        if (closer != nullptr && closer != standin::kernel::CurrentProcess())
            scope.emplace(closer);
        if (!body->cleanedUp) // a file object that never had a handle
            SendFileRequest(body, IRP_MJ_CLEANUP);
        SendFileRequest(body, IRP_MJ_CLOSE);
        openFileObjects.fetch_sub(1);
    }
    PDEVICE_OBJECT device = body->file.DeviceObject;
    if (device == nullptr)
        return;
    _DEVOBJ_EXTENSION *hidden = device->DeviceObjectExtension;
    {
        std::lock_guard<std::mutex> hold(DeviceLock());
        if (--hidden->openFiles == 0 && hidden->deleted)
            FreeDeviceObject(device);
    }
    if (body->file.RelatedFileObject != nullptr)
        standin::kernel::DereferenceObject(body->file.RelatedFileObject);
    delete body->name;
}

// Generic rights as the file object type maps them.
ACCESS_MASK MapGeneric(ACCESS_MASK desired)
{
    ACCESS_MASK mapped = desired & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
    if (desired & GENERIC_READ)
        mapped |= FILE_GENERIC_READ;
    if (desired & GENERIC_WRITE)
        mapped |= FILE_GENERIC_WRITE;
    if (desired & GENERIC_EXECUTE)
        mapped |= FILE_GENERIC_EXECUTE;
    if (desired & GENERIC_ALL)
        mapped |= FILE_ALL_ACCESS;
    return mapped;
}

// The NT name of a Win32 device path: \\?\x and \\.\x both name \??\x.
bool StripDevicePrefix(const std::u16string &path, std::u16string &rest)
{
    static const char16_t *const prefixes[] = {u"\\\\?\\", u"\\\\.\\", u"\\??\\"};
    for (const char16_t *prefix : prefixes) {
        const std::u16string p(prefix);
        if (path.compare(0, p.size(), p) == 0) {
            rest = path.substr(p.size());
            return true;
        }
    }
    return false;
}

} // namespace

POBJECT_TYPE FileObjectType()
{
    static POBJECT_TYPE type = standin::kernel::CreateObjectType({"File", FILE_ALL_ACCESS, &OnHandleClosed, &OnDelete});
    return type;
}

size_t OpenFileObjects()
{
    return openFileObjects.load();
}

} // namespace standin::io

namespace standin::io {

namespace {

// What a create needs besides the device and the name.
struct CreateRequest {
    KPROCESSOR_MODE mode;
    ACCESS_MASK desiredAccess;
    uint32_t shareAccess;
    uint32_t createDisposition;
    uint32_t createOptions;
    PFILE_OBJECT related;
};

// Makes a file object on the device, sends the create request and, when the
// driver accepts it, inserts a handle: in the current process for user mode,
// a kernel handle for kernel mode.
NTSTATUS CreateFileObject(PDEVICE_OBJECT device, const std::u16string &fileName, const CreateRequest &request,
                          HANDLE *handle)
{
    *handle = nullptr;
    _DEVOBJ_EXTENSION *hidden = device->DeviceObjectExtension;
    // A device is opened only once its driver has finished initialising it.
    PDEVICE_OBJECT top = IoGetAttachedDevice(device);
    if (top->Flags & DO_DEVICE_INITIALIZING)
        standin::kernel::BugCheck(standin::kernel::stop::kDriverVerifierIoManagerViolation, "IoCreateFile",
                                  standin::kernel::stop::kIoOpenWhileInitializing, reinterpret_cast<ULONG_PTR>(top));
    void *object;
    NTSTATUS status = standin::kernel::CreateObject(FileObjectType(), sizeof(FileBody), &object);
    if (!NT_SUCCESS(status))
        return status;
    {
        std::lock_guard<std::mutex> hold(DeviceLock());
        if (hidden->deleted)
            status = STATUS_NO_SUCH_DEVICE;
        else if ((IoGetAttachedDevice(device)->Flags & DO_EXCLUSIVE) && hidden->openFiles != 0)
            status = STATUS_ACCESS_DENIED;
        else
            ++hidden->openFiles;
    }
    if (!NT_SUCCESS(status)) {
        standin::kernel::DereferenceObject(object); // not yet tied to the device
        return status;
    }
    FileBody *body = static_cast<FileBody *>(object);
    const ACCESS_MASK granted = MapGeneric(request.desiredAccess);
    PFILE_OBJECT file = &body->file;
    file->Type = IO_TYPE_FILE;
    file->Size = sizeof(FILE_OBJECT);
    file->DeviceObject = device;
    file->ReadAccess = (granted & FILE_READ_DATA) != 0;
    file->WriteAccess = (granted & (FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0;
    file->SharedRead = (request.shareAccess & FILE_SHARE_READ) != 0;
    file->SharedWrite = (request.shareAccess & FILE_SHARE_WRITE) != 0;
    file->SharedDelete = (request.shareAccess & FILE_SHARE_DELETE) != 0;
    file->Flags = 0x2; // FO_SYNCHRONOUS_IO: every handle of the stand-in is synchronous
    // The child holds its parent for as long as it exists.
    if (request.related != nullptr) {
        standin::kernel::ReferenceObject(request.related);
        file->RelatedFileObject = request.related;
    }
    body->name = new std::u16string(fileName);
    file->FileName.Buffer = reinterpret_cast<PWCH>(body->name->data());
    file->FileName.Length = static_cast<USHORT>(body->name->size() * sizeof(WCHAR));
    file->FileName.MaximumLength = static_cast<USHORT>((body->name->size() + 1) * sizeof(WCHAR));

    PIRP irp = BuildRequest(device, IRP_MJ_CREATE, 0, request.mode, file);
    if (irp == nullptr) {
        standin::kernel::DereferenceObject(object);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IO_SECURITY_CONTEXT security{};
    security.DesiredAccess = granted;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->Parameters.Create.SecurityContext = &security;
    stack->Parameters.Create.Options = (request.createDisposition << 24) | (request.createOptions & 0x00FFFFFF);
    stack->Parameters.Create.ShareAccess = static_cast<USHORT>(request.shareAccess);
    irp->Flags |= IRP_CREATE_OPERATION | IRP_SYNCHRONOUS_API;
    status = SendAndWait(device, irp);
    FreeRequest(irp);
    if (!NT_SUCCESS(status)) {
        // A refused create sends neither cleanup nor close.
        standin::kernel::DereferenceObject(object);
        return status;
    }
    body->created = true;
    openFileObjects.fetch_add(1);
    body->handles = 1;
    const bool kernelHandle = request.mode == KernelMode;
    status = standin::kernel::InsertHandle(kernelHandle ? standin::kernel::SystemProcess()
                                                        : standin::kernel::CurrentProcess(),
                                           object, granted, kernelHandle, handle);
    if (!NT_SUCCESS(status))
        body->handles = 0; // the creator's reference going sends cleanup and close
    standin::kernel::DereferenceObject(object);
    return status;
}

NTSTATUS OpenPath(const char16_t *path, const CreateRequest &request, HANDLE *handle)
{
    *handle = nullptr;
    if (path == nullptr)
        return STATUS_OBJECT_NAME_INVALID;
    std::u16string rest;
    if (!StripDevicePrefix(path, rest))
        return STATUS_OBJECT_PATH_NOT_FOUND; // the stand-in has devices, no file system
    ResolvedPath target;
    NTSTATUS status = InterfaceRegistry::Instance().Resolve(rest, target);
    if (!NT_SUCCESS(status))
        return status;
    return CreateFileObject(static_cast<PDEVICE_OBJECT>(target.device), target.fileName, request, handle);
}

// Looks the handle up as a caller of the mode may: user mode only in its own
// process's table and within the access the handle was opened with.
NTSTATUS ReferenceFile(HANDLE handle, KPROCESSOR_MODE mode, FileBody **body, ACCESS_MASK *granted)
{
    if (mode == UserMode && standin::kernel::IsKernelHandle(handle))
        return STATUS_INVALID_HANDLE; // user mode cannot name the kernel's handles
    void *object;
    NTSTATUS status =
        standin::kernel::ReferenceHandle(standin::kernel::CurrentProcess(), handle, FileObjectType(), &object, granted);
    if (NT_SUCCESS(status))
        *body = static_cast<FileBody *>(object);
    return status;
}

NTSTATUS Control(HANDLE handle, KPROCESSOR_MODE mode, uint32_t controlCode, const void *input, uint32_t inputLength,
                 void *output, uint32_t outputLength, uint64_t *information)
{
    *information = 0;
    FileBody *body;
    ACCESS_MASK granted = 0;
    NTSTATUS status = ReferenceFile(handle, mode, &body, &granted);
    if (!NT_SUCCESS(status))
        return status;
    void *object = body;
    PFILE_OBJECT file = &body->file;

    // The access bits of the code say what the handle must have been opened
    // for; kernel-mode callers are trusted, as on Windows.
    const ULONG access = (controlCode >> 14) & 3;
    const ULONG method = METHOD_FROM_CTL_CODE(controlCode);
    if (mode == UserMode && (((access & FILE_READ_ACCESS) && !(granted & FILE_READ_DATA)) ||
                             ((access & FILE_WRITE_ACCESS) && !(granted & FILE_WRITE_DATA))))
        status = STATUS_ACCESS_DENIED;
    else if (method == METHOD_IN_DIRECT || method == METHOD_OUT_DIRECT)
        status = STATUS_NOT_IMPLEMENTED; // no driver of this system uses direct I/O
    // The I/O manager probes both buffers of a buffered request from user
    // mode before the driver sees it.
    else if (method == METHOD_BUFFERED && mode == UserMode &&
             (!boundary::ProbeRead(input, inputLength) || !boundary::ProbeWrite(output, outputLength)))
        status = STATUS_ACCESS_VIOLATION;
    if (!NT_SUCCESS(status)) {
        standin::kernel::DereferenceObject(object);
        return status;
    }

    PIRP irp = BuildRequest(file->DeviceObject, IRP_MJ_DEVICE_CONTROL, 0, mode, file);
    void *systemBuffer = nullptr;
    const uint32_t systemLength = inputLength > outputLength ? inputLength : outputLength;
    if (irp != nullptr && method == METHOD_BUFFERED && systemLength != 0) {
        // One buffer of max(input, output) bytes holds the input; the rest
        // holds a pattern, as under the verifier, so that a driver that
        // returns bytes it never wrote is seen.
        systemBuffer = std::malloc(systemLength);
        if (systemBuffer == nullptr) {
            FreeRequest(irp);
            irp = nullptr;
        } else {
            std::memset(systemBuffer, SystemBufferPoison, systemLength);
            if (inputLength != 0)
                std::memcpy(systemBuffer, input, inputLength);
        }
    }
    if (irp == nullptr) {
        standin::kernel::DereferenceObject(object);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->Parameters.DeviceIoControl.IoControlCode = controlCode;
    stack->Parameters.DeviceIoControl.InputBufferLength = inputLength;
    stack->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
    irp->UserBuffer = output;
    if (method == METHOD_BUFFERED) {
        irp->AssociatedIrp.SystemBuffer = systemBuffer;
        if (systemBuffer != nullptr)
            irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | (outputLength ? IRP_INPUT_OPERATION : 0);
    } else {
        stack->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void *>(input);
    }
    irp->Flags |= IRP_SYNCHRONOUS_API;

    status = SendAndWait(file->DeviceObject, irp);
    if (!NT_ERROR(status)) {
        ULONG_PTR returned = irp->IoStatus.Information;
        if (method == METHOD_BUFFERED) {
            // More than the caller's output buffer holds is the driver's
            // fault, caught as the verifier catches it.
            if (returned > outputLength)
                standin::kernel::BugCheck(standin::kernel::stop::kDriverVerifierIoManagerViolation,
                                          "IoCompleteRequest (buffered)", standin::kernel::stop::kIoInformationTooLarge,
                                          reinterpret_cast<ULONG_PTR>(irp), returned, outputLength);
            if (returned != 0)
                std::memcpy(output, systemBuffer, returned);
        }
        *information = returned;
    }
    FreeRequest(irp);
    std::free(systemBuffer);
    standin::kernel::DereferenceObject(object);
    return status;
}

} // namespace

NTSTATUS OpenDevicePath(const char16_t *path, ACCESS_MASK desiredAccess, KPROCESSOR_MODE mode, HANDLE *handle)
{
    return OpenPath(path, {mode, desiredAccess, 0, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, nullptr}, handle);
}

NTSTATUS OpenRelative(HANDLE parent, const char16_t *name, size_t length, ACCESS_MASK desiredAccess,
                      KPROCESSOR_MODE mode, HANDLE *handle)
{
    *handle = nullptr;
    if (length > 0x7FFE)
        return STATUS_OBJECT_NAME_INVALID;
    FileBody *body;
    NTSTATUS status = ReferenceFile(parent, mode, &body, nullptr);
    if (!NT_SUCCESS(status))
        return status;
    status = CreateFileObject(body->file.DeviceObject, std::u16string(name, length),
                              {mode, desiredAccess, 0, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, &body->file}, handle);
    standin::kernel::DereferenceObject(body);
    return status;
}

NTSTATUS DeviceControl(HANDLE file, KPROCESSOR_MODE mode, ULONG controlCode, const void *input, ULONG inputLength,
                       void *output, ULONG outputLength, ULONG_PTR *information)
{
    uint64_t returned = 0;
    const NTSTATUS status = Control(file, mode, controlCode, input, inputLength, output, outputLength, &returned);
    *information = static_cast<ULONG_PTR>(returned);
    return status;
}

} // namespace standin::io

namespace standin::io::boundary {

Status OpenFile(const char16_t *path, uint32_t desiredAccess, uint32_t shareAccess, uint32_t createDisposition,
                uint32_t createOptions, Handle *handle)
{
    ClientContext context;
    return OpenPath(path, {UserMode, desiredAccess, shareAccess, createDisposition, createOptions, nullptr}, handle);
}

Status OpenRelative(Handle parent, const char16_t *name, size_t length, uint32_t desiredAccess, Handle *handle)
{
    ClientContext context;
    return standin::io::OpenRelative(parent, name, length, desiredAccess | SYNCHRONIZE, UserMode, handle);
}

Status DeviceControl(Handle handle, uint32_t controlCode, const void *input, uint32_t inputLength, void *output,
                     uint32_t outputLength, uint64_t *information)
{
    ClientContext context;
    return Control(handle, UserMode, controlCode, input, inputLength, output, outputLength, information);
}

} // namespace standin::io::boundary
