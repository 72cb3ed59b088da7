// What the port class stand-in's source files share: the per-device context,
// the ports, the event list, the automation-table plumbing and the user
// views. Built driver-side (16-bit WCHAR) over the kernel, I/O and KS
// stand-ins; the PortCls interfaces come from the project's headers.
#pragma once

#include <wdm.h>
#include <windef.h>
#define NOBITMAP
#include <mmreg.h>
#undef NOBITMAP
#include <ks.h>
#include <ksmedia.h>
#include <KsCompat.h>
#include <portcls.h>
#include <KsCompat.h>

#include <kernel_standin.h>
#include <ks_objects.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace standin::portcls {

class Port;
class WaveRTPin;

// ---- The functional device --------------------------------------------------

struct Subdevice {
    std::u16string name;
    Port *port;                        // referenced
    std::vector<UNICODE_STRING> links; // one per interface registered, first category first
};

// A physical connection: a port and pin on each side, or an external link.
struct PhysicalConnection {
    Port *from; // referenced, or null with fromLink set
    ULONG fromPin;
    Port *to;
    ULONG toPin;
    std::u16string fromLink, toLink;
};

struct DeviceContext {
    PDEVICE_OBJECT fdo = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    PDEVICE_OBJECT lower = nullptr;
    PCPFNSTARTDEVICE startDevice = nullptr;
    ULONG maxSubdevices = 0;
    // PortCls's device lock: every call into a miniport or stream that a
    // request causes runs under it, as the default dispatch serialises them.
    KMUTEX deviceLock;
    std::recursive_mutex lock; // the lists below
    std::vector<Subdevice> subdevices;
    std::vector<PhysicalConnection> connections;
    std::vector<WaveRTPin *> pins;              // open WaveRT pins, for power changes
    std::vector<Port *> ports;                  // every port initialised on the device (not referenced)
    IAdapterPowerManagement *power = nullptr;   // referenced
    IAdapterPowerManagement2 *power2 = nullptr; // referenced, when the adapter has it
    DEVICE_POWER_STATE devicePower = PowerDeviceD0;
    SYSTEM_POWER_STATE systemPower = PowerSystemWorking;
};

// The context of a PortCls functional device, or null for any other device.
DeviceContext *ContextOf(PDEVICE_OBJECT device);

// Holds the device lock for a scope.
class DeviceLockHold {
public:
    explicit DeviceLockHold(DeviceContext *context);
    ~DeviceLockHold();
    DeviceLockHold(const DeviceLockHold &) = delete;
    DeviceLockHold &operator=(const DeviceLockHold &) = delete;

private:
    DeviceContext *context_;
};

// Brings the device to D0 if it is in a lower state (before a new stream).
void EnsureDeviceD0(DeviceContext *context);

// ---- Events -----------------------------------------------------------------

// PortCls's event entry: the KS entry the miniport sees first.
struct EventEntry {
    KSEVENT_ENTRY ks;
    const PCEVENT_ITEM *item;
    ULONG pinId;   // ULONG(-1) when the event is not pin-wise
    ULONG nodeId;  // ULONG(-1) when not a node's
    PKEVENT event; // referenced
    const void *identity;
    PFILE_OBJECT file;
    PUNKNOWN minorTarget;
    bool oneShot;
    bool armed = false; // AddEventToEventList was called for it
};

class EventList {
public:
    ~EventList();
    void Insert(EventEntry *entry);
    void Arm(PKSEVENT_ENTRY entry);
    // Signals every armed entry that matches; null set matches any set.
    void Generate(const GUID *set, ULONG id, bool pinEvent, ULONG pinId, bool nodeEvent, ULONG nodeId);
    // Takes out the file object's entries (identity null: all of them).
    std::vector<EventEntry *> Take(PFILE_OBJECT file, const void *identity);
    void Remove(EventEntry *entry);
    // A generation above DISPATCH_LEVEL: deferred to the list's DPC (one
    // waiting at a time; another is lost meanwhile).
    void QueueDpc(const GUID *set, ULONG id, bool pinEvent, ULONG pinId, bool nodeEvent, ULONG nodeId);

private:
    struct Deferred {
        GUID set;
        bool anySet;
        ULONG id, pinId, nodeId;
        bool pinEvent, nodeEvent;
    };
    static void RunDpcs(void *context);

    std::mutex lock_;
    std::vector<EventEntry *> entries_;
    std::atomic<bool> dpcQueued_{false};
    Deferred deferred_{};   // written only by the one that queued the DPC
    std::mutex workerLock_; // starting the DPC thread
    PKTHREAD worker_ = nullptr;
    KEVENT wake_;
    std::atomic<bool> stopping_{false};
};

// ---- Automation tables --------------------------------------------------------

const PCPROPERTY_ITEM *FindProperty(const PCAUTOMATION_TABLE *table, const GUID &set, ULONG id);
bool HasPropertySet(const PCAUTOMATION_TABLE *table, const GUID &set);
const PCEVENT_ITEM *FindEvent(const PCAUTOMATION_TABLE *table, const GUID &set, ULONG id);
// Adds the event sets of the table not yet in the list.
void CollectEventSets(const PCAUTOMATION_TABLE *table, std::vector<GUID> &sets);

// The verb of a property request: one of GET, SET, BASICSUPPORT, SETSUPPORT
// (the topology flag aside), or 0 when the flags are not one of them.
ULONG VerbOf(ULONG flags);

// Calls the miniport's handler with a PCPROPERTY_REQUEST as PortCls builds it;
// headerSize is the descriptor the instance follows (KSPROPERTY or
// KSNODEPROPERTY). Answers a basic-support query itself when the item does
// not offer one.
NTSTATUS CallPropertyHandler(DeviceContext *device, const PCPROPERTY_ITEM *item, PUNKNOWN major, PUNKNOWN minor,
                             ULONG node, ULONG headerSize, ks::PropertyCall &call);

// The reply to a basic-support query that the port answers: the access flags
// alone (4 bytes) or a KSPROPERTY_DESCRIPTION without members.
NTSTATUS BasicSupportReply(ks::PropertyCall &call, ULONG accessFlags);

// A value the port answers with, under the size rules (a size query, a
// buffer too small).
NTSTATUS ReturnValue(ks::PropertyCall &call, const void *value, ULONG size);

// COM identity, reference count and QueryInterface of an object with one
// interface (the port's stream, the resource list).
template <class Interface>
class SingleInterface : public Interface {
public:
    explicit SingleInterface(const GUID &iid) : iid_(iid) {}
    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID iid, PVOID *object) override
    {
        if (object == nullptr)
            return STATUS_INVALID_PARAMETER;
        if (!IsEqualGUID(iid, IID_IUnknown) && !IsEqualGUID(iid, iid_)) {
            *object = nullptr;
            return STATUS_INVALID_PARAMETER;
        }
        *object = static_cast<Interface *>(this);
        AddRef();
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++references_; }
    STDMETHODIMP_(ULONG) Release() override
    {
        const ULONG left = --references_;
        if (left == 0)
            delete this;
        return left;
    }

protected:
    virtual ~SingleInterface() = default;

private:
    const GUID &iid_;
    std::atomic<ULONG> references_{1};
};

// ---- Ports --------------------------------------------------------------------

// The private interface through which PortCls finds its port object behind
// any of the port's interfaces.
extern const GUID IID_StandinPort;

enum class PortKind { WaveRT, Topology };

class Port : public ks::FilterFactory,
             public IPortEvents,
             public IUnregisterSubdevice,
             public IUnregisterPhysicalConnection {
public:
    explicit Port(PortKind kind);

    PortKind Kind() const { return kind_; }
    bool Initialised() const { return descriptor_ != nullptr; }
    const PCFILTER_DESCRIPTOR *Descriptor() const { return descriptor_; }
    DeviceContext *Device() const { return device_; }
    PUNKNOWN MiniportUnknown() const { return miniportUnknown_; }
    // The miniport interface the port needs (IMiniportWaveRT, IMiniportTopology),
    // seen as its IMiniport base; null once the children are released.
    IMiniport *Miniport() const { return reinterpret_cast<IMiniport *>(miniport_); }
    EventList &Events() { return events_; }

    // The instance counts of one pin factory over every filter of the port.
    bool TakeGlobalInstance(ULONG pin);
    void ReturnGlobalInstance(ULONG pin);
    ULONG GlobalInstances(ULONG pin);

    // One identity behind every interface of the port.
    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID iid, PVOID *object) override = 0;
    STDMETHODIMP_(ULONG) AddRef() override { return AddRefCommon(); }
    STDMETHODIMP_(ULONG) Release() override { return ReleaseCommon(); }

    // The port as the I/O side sees it; COM reference counting underneath.
    void Retain() override { AddRef(); }
    void Drop() override { Release(); }
    NTSTATUS CreateFilter(PIRP irp, ks::Filter **filter) override;

    // Called by the filter for a pin create that passed the common checks.
    virtual NTSTATUS NewPin(class FilterObject *filter, ks::PinCreate &create, ks::Object **pin) = 0;

    // Drops the miniport (device removal breaks the port-miniport cycle).
    void ReleaseChildren();
    // The device is removed: the port lets go of its miniport and its device.
    void Detach();

    // IPortEvents
    STDMETHODIMP_(void) AddEventToEventList(PKSEVENT_ENTRY EventEntry) override;
    STDMETHODIMP_(void)
    GenerateEventList(GUID *Set, ULONG EventId, BOOL PinEvent, ULONG PinId, BOOL NodeEvent, ULONG NodeId) override;
    // IUnregisterSubdevice
    STDMETHODIMP_(NTSTATUS) UnregisterSubdevice(PDEVICE_OBJECT DeviceObject, PUNKNOWN Unknown) override;
    // IUnregisterPhysicalConnection
    STDMETHODIMP_(NTSTATUS)
    UnregisterPhysicalConnection(PDEVICE_OBJECT DeviceObject, PUNKNOWN FromUnknown, ULONG FromPin, PUNKNOWN ToUnknown,
                                 ULONG ToPin) override;
    STDMETHODIMP_(NTSTATUS)
    UnregisterPhysicalConnectionToExternal(PDEVICE_OBJECT DeviceObject, PUNKNOWN FromUnknown, ULONG FromPin,
                                           PUNICODE_STRING ToString, ULONG ToPin) override;
    STDMETHODIMP_(NTSTATUS)
    UnregisterPhysicalConnectionFromExternal(PDEVICE_OBJECT DeviceObject, PUNICODE_STRING FromString, ULONG FromPin,
                                             PUNKNOWN ToUnknown, ULONG ToPin) override;

protected:
    virtual ~Port();
    // The common part of IPort::Init: finds the miniport interface the port
    // needs (miniportIid), lets initMiniport call its Init, takes and checks
    // the descriptor.
    using MiniportInit = NTSTATUS (*)(Port *port, PUNKNOWN miniport, PUNKNOWN adapter, PRESOURCELIST resources);
    NTSTATUS InitCommon(PDEVICE_OBJECT device, PUNKNOWN unknownMiniport, PUNKNOWN unknownAdapter,
                        PRESOURCELIST resources, const GUID &miniportIid, MiniportInit initMiniport);
    // QueryInterface for the interfaces every port has; primary is the port's
    // own IPort-derived interface.
    NTSTATUS QueryCommon(REFIID iid, PVOID *object, PUNKNOWN primary, const GUID &primaryIid);
    ULONG AddRefCommon() { return ++references_; }
    ULONG ReleaseCommon();

    PUNKNOWN miniport_ = nullptr; // the interface the port needs, referenced

private:
    const PortKind kind_;
    std::atomic<ULONG> references_{1};
    DeviceContext *device_ = nullptr;
    PUNKNOWN miniportUnknown_ = nullptr; // as given to Init, referenced
    const PCFILTER_DESCRIPTOR *descriptor_ = nullptr;
    std::mutex instanceLock_;
    std::vector<ULONG> globalInstances_;
    EventList events_;
};

// The port behind any of its interfaces, referenced; null for anything else.
Port *PortOf(PUNKNOWN unknown);

NTSTATUS NewWaveRTPort(PPORT *port);
NTSTATUS NewTopologyPort(PPORT *port);

// Checks a miniport's filter descriptor as a careful port does.
NTSTATUS CheckDescriptor(const PCFILTER_DESCRIPTOR *descriptor);

// The descriptors of a filter's pins and nodes, which lie PinSize and
// NodeSize bytes apart (at least the structure's size).
inline const PCPIN_DESCRIPTOR *PinDescriptor(const PCFILTER_DESCRIPTOR *filter, ULONG pin)
{
    return reinterpret_cast<const PCPIN_DESCRIPTOR *>(reinterpret_cast<const uint8_t *>(filter->Pins) +
                                                      size_t(pin) * filter->PinSize);
}
inline const PCNODE_DESCRIPTOR *NodeDescriptor(const PCFILTER_DESCRIPTOR *filter, ULONG node)
{
    return reinterpret_cast<const PCNODE_DESCRIPTOR *>(reinterpret_cast<const uint8_t *>(filter->Nodes) +
                                                       size_t(node) * filter->NodeSize);
}

// ---- Filter and pins ------------------------------------------------------------

class FilterObject final : public ks::Filter {
public:
    explicit FilterObject(Port *port);
    Port *GetPort() const { return port_; }

    NTSTATUS Property(ks::PropertyCall &call) override;
    NTSTATUS EnableEvent(ks::EventEnable &request) override;
    NTSTATUS DisableEvent(PFILE_OBJECT file, const void *identity) override;
    ULONG EventSets(GUID *sets, ULONG capacity) override;
    void Close(PIRP irp) override;
    NTSTATUS CreatePin(ks::PinCreate &create, ks::Object **pin) override;

    ULONG FilterInstances(ULONG pin);
    void ReturnInstance(ULONG pin);

private:
    ~FilterObject() override;
    Port *port_; // referenced
    std::mutex lock_;
    std::vector<ULONG> instances_;
};

// The properties the port answers from the descriptor on a filter handle: the
// pin set and the topology set. handled is false for anything else.
NTSTATUS FilterPropertyByPort(FilterObject &filter, ks::PropertyCall &call, bool &handled);
// KSPROPERTY_PIN_DATAINTERSECTION.
NTSTATUS DataIntersection(FilterObject &filter, ks::PropertyCall &call, ULONG pinId);
// The checks of a pin create against the pin descriptor: format against the
// static data ranges (STATUS_NO_MATCH when none holds it).
NTSTATUS MatchDataRanges(const KSPIN_DESCRIPTOR &pin, const KSDATAFORMAT *format, ULONG formatLength);
bool FormatInRange(const KSDATARANGE *range, const KSDATAFORMAT *format, ULONG formatLength);

// Event requests on a filter or pin: the item found in the tables, the entry
// made and handed to the miniport's handler.
NTSTATUS EnableEventFor(Port *port, ks::EventEnable &request, const PCEVENT_ITEM *item, ULONG pinId, ULONG nodeId,
                        PUNKNOWN minorTarget);
NTSTATUS DisableEventsFor(Port *port, PFILE_OBJECT file, const void *identity);

// ---- User views ---------------------------------------------------------------

// A view of pages in the requestor's process, made by the port for a pin
// (its buffer or a register); removed at the pin's close, or with the process
// if that ends first.
struct UserView {
    PEPROCESS process = nullptr;
    PVOID address = nullptr; // where the view begins (the MDL's first byte)
    PMDL mdl = nullptr;
    bool live = false;
};

NTSTATUS MapIntoRequestor(PMDL mdl, MEMORY_CACHING_TYPE cacheType, UserView &view);
void Unmap(UserView &view);

// The priority for the port's own mappings: no-execute where the system has it.
ULONG MappingPriority();

// ---- WaveRT ---------------------------------------------------------------------

NTSTATUS NewPortStream(IPortWaveRTStream **stream);

} // namespace standin::portcls
