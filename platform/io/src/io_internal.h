// What the I/O manager's source files share: the hidden parts of device
// objects, file objects and IRPs, and the internal entry points for sending
// requests on behalf of the platform.
#pragma once

#include <wdm.h>
#include <kernel_standin.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>

// The I/O manager's hidden part of every device object.
struct _DEVOBJ_EXTENSION {
    CSHORT Type;
    USHORT Size;
    PDEVICE_OBJECT DeviceObject;
    PDEVICE_OBJECT AttachedTo; // the lower device this one is attached on
    bool physical;             // created by the PnP manager
    bool deleted;              // IoDeleteDevice was called; freed once unreferenced
    size_t openFiles;          // file objects open on this device (under DeviceLock)
    char instanceId[32];       // physical devices: ROOT\MEDIA\nnnn
};

namespace standin::io {

// A file object as the object manager holds it: the FILE_OBJECT first, so
// the body's address is the PFILE_OBJECT drivers see.
struct FileBody {
    FILE_OBJECT file;
    std::u16string *name;        // storage of file.FileName
    std::atomic<size_t> handles; // handles open to the file object, over all processes
    bool created;                // the create request succeeded
    bool cleanedUp;
};

POBJECT_TYPE FileObjectType();

// Sends a request the I/O manager built to the top of the device's stack and
// waits until it is complete; returns the final IoStatus.Status.
// The IRP is freed by the caller (FreeRequest) after it read the results.
PIRP BuildRequest(PDEVICE_OBJECT target, UCHAR major, UCHAR minor, KPROCESSOR_MODE mode, PFILE_OBJECT file);
NTSTATUS SendAndWait(PDEVICE_OBJECT target, PIRP irp);
void FreeRequest(PIRP irp);

// The process a request was issued in.
PEPROCESS RequestorProcess(PIRP irp);

// The physical device at the bottom of the stack the device belongs to.
PDEVICE_OBJECT BottomOfStack(PDEVICE_OBJECT device);

// Guards the open-file counts and deleted flags of device objects.
std::mutex &DeviceLock();
// Frees a deleted device object (call with DeviceLock held, no file open).
void FreeDeviceObject(PDEVICE_OBJECT device);
// A physical device object of the PnP manager's root bus.
PDEVICE_OBJECT CreatePhysicalDevice(const char *instanceId);

// Makes a Win32 call of a thread that runs in the system process run in the
// default client process instead, for the length of the call.
class ClientContext {
public:
    ClientContext();
    ~ClientContext();
    ClientContext(const ClientContext &) = delete;
    ClientContext &operator=(const ClientContext &) = delete;

private:
    standin::kernel::ProcessScope *scope_;
};

// UTF-16 text of a counted string.
std::u16string TextOf(PCUNICODE_STRING string);

} // namespace standin::io
