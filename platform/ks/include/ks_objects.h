// The kernel-streaming object layer of the stand-in, between the I/O manager
// and the port class driver: filter factories registered under a reference
// string, the filter and pin objects behind file objects, and the requests
// KS captures from the caller and hands to them. Platform-internal: the port
// class stand-in implements the objects, no driver sees this header.
#pragma once

#include <wdm.h>
#include <ks.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace standin::ks {

// ---- Requests as an object receives them ------------------------------------
// Every buffer here is a kernel copy: KS has probed and captured the caller's
// input, and copies value bytes back to the caller's buffer after the object
// returns (never more than the caller's length, only when the status is not
// an error).

struct PropertyCall {
    PIRP irp;
    bool is32Bit;          // the requestor is a 32-bit process
    const uint8_t *input;  // the KSPROPERTY and what follows it
    ULONG inputLength;     // at least sizeof(KSPROPERTY)
    uint8_t *value;        // valueLength bytes: the caller's data for a set,
    ULONG valueLength;     //   a poisoned buffer to fill for a get
    ULONG_PTR information; // out: bytes of value to return, or the size needed
};

// IOCTL_KS_ENABLE_EVENT with a KSEVENT (or KSE_PIN/KSE_NODE) and the caller's
// notification already turned into an event object referenced for it.
struct EventEnable {
    PIRP irp;
    const uint8_t *input; // the KSEVENT and what follows it
    ULONG inputLength;    // at least sizeof(KSEVENT)
    ULONG flags;          // KSEVENT_TYPE_* of the request
    PKEVENT event;        // referenced; the object takes the reference over on success
    const void *identity; // the caller's KSEVENTDATA address: what disable names
    PFILE_OBJECT file;
};

// ---- Objects ---------------------------------------------------------------

class Object {
public:
    virtual ~Object() = default;
    virtual NTSTATUS Property(PropertyCall &call) = 0;
    // flags KSEVENT_TYPE_BASICSUPPORT: event null, nothing enabled.
    virtual NTSTATUS EnableEvent(EventEnable &request) = 0;
    // identity null: every event the file object enabled.
    virtual NTSTATUS DisableEvent(PFILE_OBJECT file, const void *identity) = 0;
    // The sets whose events the object offers (the size query of an enable
    // without input).
    virtual ULONG EventSets(GUID *sets, ULONG capacity) = 0;
    // The file object's close: the object goes away after this returns.
    virtual void Close(PIRP irp) = 0;
};

// A pin create: the connection and data format after the pin's name, captured.
struct PinCreate {
    PIRP irp;
    bool is32Bit;
    KSPIN_CONNECT connect;      // PinToHandle widened for a 32-bit caller
    const KSDATAFORMAT *format; // FormatSize bytes (plus attributes when flagged)
    ULONG formatLength;         // bytes available at format
    ACCESS_MASK grantedAccess;
};

class Filter : public Object {
public:
    virtual NTSTATUS CreatePin(PinCreate &create, Object **pin) = 0;
};

// What a registered subdevice is to KS: the maker of its filters.
class FilterFactory {
public:
    virtual ~FilterFactory() = default;
    virtual NTSTATUS CreateFilter(PIRP irp, Filter **filter) = 0;
    // Held across a create, so that an unregistration meanwhile cannot free it.
    virtual void Retain() = 0;
    virtual void Drop() = 0;
};

// ---- The device's dispatch -------------------------------------------------
// A factory is known by its reference string on one device object (the
// functional device the creates arrive at); comparison ignores case.
NTSTATUS AddFactory(PDEVICE_OBJECT device, const std::u16string &reference, FilterFactory *factory);
void RemoveFactory(PDEVICE_OBJECT device, FilterFactory *factory);
// Forgets every factory of the device (it is being removed).
void RemoveDevice(PDEVICE_OBJECT device);

// The dispatch routines for create, close and device control; each completes
// the request.
NTSTATUS DispatchCreate(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS DispatchClose(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp);

// The KS object behind a file object, or null.
Object *ObjectOf(PFILE_OBJECT file);

// ---- Helpers for objects ---------------------------------------------------
// Size rules every property handler shares: a zero value length asks for the
// size (STATUS_BUFFER_OVERFLOW with information = needed); a nonzero one that
// is too small is STATUS_BUFFER_TOO_SMALL. Returns STATUS_SUCCESS when the
// value buffer holds `needed` bytes.
NTSTATUS CheckValueLength(PropertyCall &call, ULONG needed);

// The event behind a handle of the requestor's process, referenced: a user-mode
// requestor must have been granted EVENT_MODIFY_STATE on it.
NTSTATUS ReferenceEventHandle(KPROCESSOR_MODE mode, HANDLE handle, PKEVENT *event);

// The largest input or value a request may carry; larger ones are refused with
// STATUS_INSUFFICIENT_RESOURCES, as a pool allocation of that size would be.
constexpr ULONG MaximumCapture = 1u << 20;

} // namespace standin::ks
