/* Stand-in: the port class driver's interface to an adapter driver, as the
   mingw-w64 header of that name declares it (same names, method order and
   x64 layouts) for what a WaveRT and topology adapter uses: descriptors and
   requests, resource lists, ports and miniports, the WaveRT stream
   interfaces, events, power management, registration and dispatch. The
   WaveCyclic, WavePci, MIDI, DirectMusic and DRM interfaces are left out.
   Like the mingw-w64 header it needs KSRTAUDIO_HWLATENCY and
   KSRTAUDIO_HWREGISTER declared first, and lacks the WaveRT packet
   interfaces; both come from the project's compatibility header. */
#pragma once
#ifndef PORTCLS_H
#define PORTCLS_H
#endif

#include <wdm.h>
#include <windef.h>
#include <mmreg.h>
#include <punknown.h>
#include <ks.h>
#include <ksmedia.h>

#ifndef PC_NO_IMPORTS
#define PORTCLASSAPI EXTERN_C __declspec(dllimport)
#else
#define PORTCLASSAPI EXTERN_C
#endif

#define PCFILTER_NODE ((ULONG)-1)
#define _100NS_UNITS_PER_SECOND 10000000L
#define PORT_CLASS_DEVICE_EXTENSION_SIZE (64 * sizeof(ULONG_PTR))

/* ---- Automation: properties, methods and events of filters, pins and nodes ---- */
#define PCEVENT_ITEM_FLAG_ENABLE KSEVENT_TYPE_ENABLE
#define PCEVENT_ITEM_FLAG_ONESHOT KSEVENT_TYPE_ONESHOT
#define PCEVENT_ITEM_FLAG_BASICSUPPORT KSEVENT_TYPE_BASICSUPPORT

#define PCEVENT_VERB_NONE 0
#define PCEVENT_VERB_ADD 1
#define PCEVENT_VERB_REMOVE 2
#define PCEVENT_VERB_SUPPORT 4

#define PCMETHOD_ITEM_FLAG_NONE KSMETHOD_TYPE_NONE
#define PCMETHOD_ITEM_FLAG_READ KSMETHOD_TYPE_READ
#define PCMETHOD_ITEM_FLAG_WRITE KSMETHOD_TYPE_WRITE
#define PCMETHOD_ITEM_FLAG_MODIFY KSMETHOD_TYPE_MODIFY
#define PCMETHOD_ITEM_FLAG_SOURCE KSMETHOD_TYPE_SOURCE
#define PCMETHOD_ITEM_FLAG_BASICSUPPORT KSMETHOD_TYPE_BASICSUPPORT

struct _PCPROPERTY_REQUEST;
typedef struct _PCPROPERTY_REQUEST PCPROPERTY_REQUEST, *PPCPROPERTY_REQUEST;
typedef NTSTATUS (NTAPI *PCPFNPROPERTY_HANDLER)(PPCPROPERTY_REQUEST PropertyRequest);

typedef struct {
    const GUID *Set;
    ULONG Id;
    ULONG Flags;
#define PCPROPERTY_ITEM_FLAG_GET KSPROPERTY_TYPE_GET
#define PCPROPERTY_ITEM_FLAG_SET KSPROPERTY_TYPE_SET
#define PCPROPERTY_ITEM_FLAG_BASICSUPPORT KSPROPERTY_TYPE_BASICSUPPORT
#define PCPROPERTY_ITEM_FLAG_SERIALIZERAW KSPROPERTY_TYPE_SERIALIZERAW
#define PCPROPERTY_ITEM_FLAG_UNSERIALIZERAW KSPROPERTY_TYPE_UNSERIALIZERAW
#define PCPROPERTY_ITEM_FLAG_SERIALIZESIZE KSPROPERTY_TYPE_SERIALIZESIZE
#define PCPROPERTY_ITEM_FLAG_SERIALIZE \
    (PCPROPERTY_ITEM_FLAG_SERIALIZERAW | PCPROPERTY_ITEM_FLAG_UNSERIALIZERAW | PCPROPERTY_ITEM_FLAG_SERIALIZESIZE)
#define PCPROPERTY_ITEM_FLAG_DEFAULTVALUES KSPROPERTY_TYPE_DEFAULTVALUES
    PCPFNPROPERTY_HANDLER Handler;
} PCPROPERTY_ITEM, *PPCPROPERTY_ITEM;

struct _PCPROPERTY_REQUEST {
    PUNKNOWN MajorTarget;
    PUNKNOWN MinorTarget;
    ULONG Node;
    const PCPROPERTY_ITEM *PropertyItem;
    ULONG Verb;
    ULONG InstanceSize;
    PVOID Instance;
    ULONG ValueSize;
    PVOID Value;
    PIRP Irp;
};

struct _PCEVENT_REQUEST;
typedef NTSTATUS (NTAPI *PCPFNEVENT_HANDLER)(struct _PCEVENT_REQUEST *EventRequest);

typedef struct _PCEVENT_ITEM {
    const GUID *Set;
    ULONG Id;
    ULONG Flags;
    PCPFNEVENT_HANDLER Handler;
} PCEVENT_ITEM, *PPCEVENT_ITEM;

typedef struct _PCEVENT_REQUEST {
    PUNKNOWN MajorTarget;
    PUNKNOWN MinorTarget;
    ULONG Node;
    const PCEVENT_ITEM *EventItem;
    PKSEVENT_ENTRY EventEntry;
    ULONG Verb;
    PIRP Irp;
} PCEVENT_REQUEST, *PPCEVENT_REQUEST;

struct _PCMETHOD_REQUEST;
typedef NTSTATUS (NTAPI *PCPFNMETHOD_HANDLER)(struct _PCMETHOD_REQUEST *MethodRequest);

typedef struct _PCMETHOD_ITEM {
    const GUID *Set;
    ULONG Id;
    ULONG Flags;
    PCPFNMETHOD_HANDLER Handler;
} PCMETHOD_ITEM, *PPCMETHOD_ITEM;

typedef struct _PCMETHOD_REQUEST {
    PUNKNOWN MajorTarget;
    PUNKNOWN MinorTarget;
    ULONG Node;
    const PCMETHOD_ITEM *MethodItem;
    ULONG Verb;
} PCMETHOD_REQUEST, *PPCMETHOD_REQUEST;

typedef struct {
    ULONG PropertyItemSize;
    ULONG PropertyCount;
    const PCPROPERTY_ITEM *Properties;
    ULONG MethodItemSize;
    ULONG MethodCount;
    const PCMETHOD_ITEM *Methods;
    ULONG EventItemSize;
    ULONG EventCount;
    const PCEVENT_ITEM *Events;
    ULONG Reserved;
} PCAUTOMATION_TABLE, *PPCAUTOMATION_TABLE;

/* ---- Filter descriptors ---- */
typedef struct {
    ULONG FromNode;
    ULONG FromNodePin;
    ULONG ToNode;
    ULONG ToNodePin;
} PCCONNECTION_DESCRIPTOR, *PPCCONNECTIONDESCRIPTOR;

typedef struct {
    ULONG MaxGlobalInstanceCount;
    ULONG MaxFilterInstanceCount;
    ULONG MinFilterInstanceCount;
    const PCAUTOMATION_TABLE *AutomationTable;
    KSPIN_DESCRIPTOR KsPinDescriptor;
} PCPIN_DESCRIPTOR, *PPCPIN_DESCRIPTOR;

typedef struct {
    ULONG Flags;
    const PCAUTOMATION_TABLE *AutomationTable;
    const GUID *Type;
    const GUID *Name;
} PCNODE_DESCRIPTOR, *PPCNODE_DESCRIPTOR;

typedef struct {
    ULONG Version;
    const PCAUTOMATION_TABLE *AutomationTable;
    ULONG PinSize;
    ULONG PinCount;
    const PCPIN_DESCRIPTOR *Pins;
    ULONG NodeSize;
    ULONG NodeCount;
    const PCNODE_DESCRIPTOR *Nodes;
    ULONG ConnectionCount;
    const PCCONNECTION_DESCRIPTOR *Connections;
    ULONG CategoryCount;
    const GUID *Categories;
} PCFILTER_DESCRIPTOR, *PPCFILTER_DESCRIPTOR;

#define DEFINE_PCAUTOMATION_TABLE_PROP(AutomationTable, PropertyTable) \
    const PCAUTOMATION_TABLE AutomationTable = {sizeof(PropertyTable[0]), SIZEOF_ARRAY(PropertyTable), \
                                                (const PCPROPERTY_ITEM *)PropertyTable, 0, 0, NULL, 0, 0, NULL, 0}

/* ---- IResourceList ---- */
DEFINE_GUID(IID_IResourceList, 0x22C6AC60L, 0x851B, 0x11D0, 0x9A, 0x7F, 0x00, 0xAA, 0x00, 0x38, 0xAC, 0xFE);

#undef INTERFACE
#define INTERFACE IResourceList
DECLARE_INTERFACE_(IResourceList, IUnknown)
{
    DEFINE_ABSTRACT_UNKNOWN()
    STDMETHOD_(ULONG, NumberOfEntries)(THIS) PURE;
    STDMETHOD_(ULONG, NumberOfEntriesOfType)(THIS_ CM_RESOURCE_TYPE Type) PURE;
    STDMETHOD_(PCM_PARTIAL_RESOURCE_DESCRIPTOR, FindTranslatedEntry)(THIS_ CM_RESOURCE_TYPE Type, ULONG Index) PURE;
    STDMETHOD_(PCM_PARTIAL_RESOURCE_DESCRIPTOR, FindUntranslatedEntry)(THIS_ CM_RESOURCE_TYPE Type, ULONG Index) PURE;
    STDMETHOD_(NTSTATUS, AddEntry)(THIS_ PCM_PARTIAL_RESOURCE_DESCRIPTOR Translated,
                                   PCM_PARTIAL_RESOURCE_DESCRIPTOR Untranslated) PURE;
    STDMETHOD_(NTSTATUS, AddEntryFromParent)(THIS_ IResourceList * Parent, CM_RESOURCE_TYPE Type, ULONG Index) PURE;
    STDMETHOD_(PCM_RESOURCE_LIST, TranslatedList)(THIS) PURE;
    STDMETHOD_(PCM_RESOURCE_LIST, UntranslatedList)(THIS) PURE;
};
typedef IResourceList *PRESOURCELIST;

#define NumberOfPorts() NumberOfEntriesOfType(CmResourceTypePort)
#define FindTranslatedPort(n) FindTranslatedEntry(CmResourceTypePort, (n))
#define FindUntranslatedPort(n) FindUntranslatedEntry(CmResourceTypePort, (n))
#define AddPortFromParent(p, n) AddEntryFromParent((p), CmResourceTypePort, (n))
#define NumberOfInterrupts() NumberOfEntriesOfType(CmResourceTypeInterrupt)
#define FindTranslatedInterrupt(n) FindTranslatedEntry(CmResourceTypeInterrupt, (n))
#define FindUntranslatedInterrupt(n) FindUntranslatedEntry(CmResourceTypeInterrupt, (n))
#define AddInterruptFromParent(p, n) AddEntryFromParent((p), CmResourceTypeInterrupt, (n))
#define NumberOfMemories() NumberOfEntriesOfType(CmResourceTypeMemory)
#define FindTranslatedMemory(n) FindTranslatedEntry(CmResourceTypeMemory, (n))
#define FindUntranslatedMemory(n) FindUntranslatedEntry(CmResourceTypeMemory, (n))
#define AddMemoryFromParent(p, n) AddEntryFromParent((p), CmResourceTypeMemory, (n))
#define NumberOfDmas() NumberOfEntriesOfType(CmResourceTypeDma)
#define FindTranslatedDma(n) FindTranslatedEntry(CmResourceTypeDma, (n))
#define FindUntranslatedDma(n) FindUntranslatedEntry(CmResourceTypeDma, (n))

/* ---- Unregistering subdevices and physical connections ---- */
DEFINE_GUID(IID_IUnregisterSubdevice, 0x16738177L, 0xe199, 0x41f9, 0x9a, 0x87, 0xab, 0xb2, 0xa5, 0x43, 0x2f, 0x21);

#undef INTERFACE
#define INTERFACE IUnregisterSubdevice
DECLARE_INTERFACE_(IUnregisterSubdevice, IUnknown)
{
    DEFINE_ABSTRACT_UNKNOWN()
    STDMETHOD_(NTSTATUS, UnregisterSubdevice)(THIS_ PDEVICE_OBJECT DeviceObject, PUNKNOWN Unknown) PURE;
};
typedef IUnregisterSubdevice *PUNREGISTERSUBDEVICE;

DEFINE_GUID(IID_IUnregisterPhysicalConnection, 0x6c38e231L, 0x2a0d, 0x428d, 0x81, 0xf8, 0x07, 0xcc, 0x42, 0x8b,
            0xb9, 0xa4);

#undef INTERFACE
#define INTERFACE IUnregisterPhysicalConnection
DECLARE_INTERFACE_(IUnregisterPhysicalConnection, IUnknown)
{
    DEFINE_ABSTRACT_UNKNOWN()
    STDMETHOD_(NTSTATUS, UnregisterPhysicalConnection)(THIS_ PDEVICE_OBJECT DeviceObject, PUNKNOWN FromUnknown,
                                                       ULONG FromPin, PUNKNOWN ToUnknown, ULONG ToPin) PURE;
    STDMETHOD_(NTSTATUS, UnregisterPhysicalConnectionToExternal)(THIS_ PDEVICE_OBJECT DeviceObject,
                                                                 PUNKNOWN FromUnknown, ULONG FromPin,
                                                                 PUNICODE_STRING ToString, ULONG ToPin) PURE;
    STDMETHOD_(NTSTATUS, UnregisterPhysicalConnectionFromExternal)(THIS_ PDEVICE_OBJECT DeviceObject,
                                                                   PUNICODE_STRING FromString, ULONG FromPin,
                                                                   PUNKNOWN ToUnknown, ULONG ToPin) PURE;
};
typedef IUnregisterPhysicalConnection *PUNREGISTERPHYSICALCONNECTION;

/* ---- IRegistryKey (declared for IPort's vtable; see the README) ---- */
enum { GeneralRegistryKey, DeviceRegistryKey, DriverRegistryKey, HwProfileRegistryKey, DeviceInterfaceRegistryKey };

DEFINE_GUID(IID_IRegistryKey, 0xE8DA4302L, 0xF304, 0x11D0, 0x95, 0x8B, 0x00, 0xC0, 0x4F, 0xB9, 0x25, 0xD3);

#undef INTERFACE
#define INTERFACE IRegistryKey
DECLARE_INTERFACE_(IRegistryKey, IUnknown)
{
    DEFINE_ABSTRACT_UNKNOWN()
    STDMETHOD_(NTSTATUS, QueryKey)(THIS_ KEY_INFORMATION_CLASS KeyInformationClass, PVOID KeyInformation,
                                   ULONG Length, PULONG ResultLength) PURE;
    STDMETHOD_(NTSTATUS, EnumerateKey)(THIS_ ULONG Index, KEY_INFORMATION_CLASS KeyInformationClass,
                                       PVOID KeyInformation, ULONG Length, PULONG ResultLength) PURE;
    STDMETHOD_(NTSTATUS, QueryValueKey)(THIS_ PUNICODE_STRING ValueName,
                                        KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                        PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) PURE;
    STDMETHOD_(NTSTATUS, EnumerateValueKey)(THIS_ ULONG Index, KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                            PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) PURE;
    STDMETHOD_(NTSTATUS, SetValueKey)(THIS_ PUNICODE_STRING ValueName, ULONG Type, PVOID Data, ULONG DataSize) PURE;
    STDMETHOD_(NTSTATUS, QueryRegistryValues)(THIS_ PRTL_QUERY_REGISTRY_TABLE QueryTable, PVOID Context) PURE;
    STDMETHOD_(NTSTATUS, NewSubKey)(THIS_ IRegistryKey * *RegistrySubKey, PUNKNOWN OuterUnknown,
                                    ACCESS_MASK DesiredAccess, PUNICODE_STRING SubKeyName, ULONG CreateOptions,
                                    PULONG Disposition) PURE;
    STDMETHOD_(NTSTATUS, DeleteKey)(THIS) PURE;
};
typedef IRegistryKey *PREGISTRYKEY;

/* ---- Ports and miniports ---- */
DEFINE_GUID(IID_IMiniport, 0xb4c90a24L, 0x5791, 0x11d0, 0x86, 0xf9, 0x00, 0xa0, 0xc9, 0x11, 0xb5, 0x44);
DEFINE_GUID(IID_IPort, 0xb4c90a25L, 0x5791, 0x11d0, 0x86, 0xf9, 0x00, 0xa0, 0xc9, 0x11, 0xb5, 0x44);

#define DEFINE_ABSTRACT_PORT() \
    STDMETHOD_(NTSTATUS, Init)(THIS_ PDEVICE_OBJECT DeviceObject, PIRP Irp, PUNKNOWN UnknownMiniport, \
                               PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList) PURE; \
    STDMETHOD_(NTSTATUS, GetDeviceProperty)(THIS_ DEVICE_REGISTRY_PROPERTY DeviceProperty, ULONG BufferLength, \
                                            PVOID PropertyBuffer, PULONG ResultLength) PURE; \
    STDMETHOD_(NTSTATUS, NewRegistryKey)(THIS_ PREGISTRYKEY * OutRegistryKey, PUNKNOWN OuterUnknown, \
                                         ULONG RegistryKeyType, ACCESS_MASK DesiredAccess, \
                                         POBJECT_ATTRIBUTES ObjectAttributes, ULONG CreateOptiona, \
                                         PULONG Disposition) PURE;

#undef INTERFACE
#define INTERFACE IPort
DECLARE_INTERFACE_(IPort, IUnknown)
{
    DEFINE_ABSTRACT_UNKNOWN()
    DEFINE_ABSTRACT_PORT()
};
typedef IPort *PPORT;

#define DEFINE_ABSTRACT_MINIPORT() \
    STDMETHOD_(NTSTATUS, GetDescription)(THIS_ PPCFILTER_DESCRIPTOR * Description) PURE; \
    STDMETHOD_(NTSTATUS, DataRangeIntersection)(THIS_ ULONG PinId, PKSDATARANGE DataRange, \
                                                PKSDATARANGE MatchingDataRange, ULONG OutputBufferLength, \
                                                PVOID ResultantFormat, PULONG ResultantFormatLength) PURE;

#define IMP_IMiniport \
    STDMETHODIMP_(NTSTATUS) GetDescription(PPCFILTER_DESCRIPTOR *Description); \
    STDMETHODIMP_(NTSTATUS) DataRangeIntersection(ULONG PinId, PKSDATARANGE DataRange, \
                                                  PKSDATARANGE MatchingDataRange, ULONG OutputBufferLength, \
                                                  PVOID ResultantFormat, PULONG ResultantFormatLength)

#undef INTERFACE
#define INTERFACE IMiniport
DECLARE_INTERFACE_(IMiniport, IUnknown)
{
    DEFINE_ABSTRACT_UNKNOWN()
    DEFINE_ABSTRACT_MINIPORT()
};
typedef IMiniport *PMINIPORT;

/* Topology. */
DEFINE_GUID(IID_IPortTopology, 0xb4c90a30L, 0x5791, 0x11d0, 0x86, 0xf9, 0x00, 0xa0, 0xc9, 0x11, 0xb5, 0x44);
DEFINE_GUID(CLSID_PortTopology, 0xb4c90a32L, 0x5791, 0x11d0, 0x86, 0xf9, 0x00, 0xa0, 0xc9, 0x11, 0xb5, 0x44);

#undef INTERFACE
#define INTERFACE IPortTopology
DECLARE_INTERFACE_(IPortTopology, IPort)
{
    DEFINE_ABSTRACT_UNKNOWN()
    DEFINE_ABSTRACT_PORT()
};
typedef IPortTopology *PPORTTOPOLOGY;

DEFINE_GUID(IID_IMiniportTopology, 0xb4c90a31L, 0x5791, 0x11d0, 0x86, 0xf9, 0x00, 0xa0, 0xc9, 0x11, 0xb5, 0x44);

#undef INTERFACE
#define INTERFACE IMiniportTopology
DECLARE_INTERFACE_(IMiniportTopology, IMiniport)
{
    DEFINE_ABSTRACT_UNKNOWN()
    DEFINE_ABSTRACT_MINIPORT()
    STDMETHOD_(NTSTATUS, Init)(THIS_ PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList, PPORTTOPOLOGY Port) PURE;
};
typedef IMiniportTopology *PMINIPORTTOPOLOGY;

/* WaveRT. */
#define DEFINE_ABSTRACT_MINIPORTWAVERTSTREAM() \
    STDMETHOD_(NTSTATUS, SetFormat)(THIS_ PKSDATAFORMAT DataFormat) PURE; \
    STDMETHOD_(NTSTATUS, SetState)(THIS_ KSSTATE State) PURE; \
    STDMETHOD_(NTSTATUS, GetPosition)(THIS_ PKSAUDIO_POSITION Position) PURE; \
    STDMETHOD_(NTSTATUS, AllocateAudioBuffer)(THIS_ ULONG RequestedSize, PMDL * AudioBufferMdl, ULONG * ActualSize, \
                                              ULONG * OffsetFromFirstPage, MEMORY_CACHING_TYPE * CacheType) PURE; \
    STDMETHOD_(VOID, FreeAudioBuffer)(THIS_ PMDL AudioBufferMdl, ULONG BufferSize) PURE; \
    STDMETHOD_(VOID, GetHWLatency)(THIS_ KSRTAUDIO_HWLATENCY * hwLatency) PURE; \
    STDMETHOD_(NTSTATUS, GetPositionRegister)(THIS_ KSRTAUDIO_HWREGISTER * Register) PURE; \
    STDMETHOD_(NTSTATUS, GetClockRegister)(THIS_ KSRTAUDIO_HWREGISTER * Register) PURE;

DEFINE_GUID(CLSID_PortWaveRT, 0xcc9be57aL, 0xeb9e, 0x42b4, 0x94, 0xfc, 0x0c, 0xad, 0x3d, 0xbc, 0xe7, 0xfa);
DEFINE_GUID(IID_IPortWaveRT, 0x339ff909L, 0x68a9, 0x4310, 0xb0, 0x9b, 0x27, 0x4e, 0x96, 0xee, 0x4c, 0xbd);

#undef INTERFACE
#define INTERFACE IPortWaveRT
DECLARE_INTERFACE_(IPortWaveRT, IPort)
{
    DEFINE_ABSTRACT_UNKNOWN()
    DEFINE_ABSTRACT_PORT()
};
typedef IPortWaveRT *PPORTWAVERT;

DEFINE_GUID(IID_IPortWaveRTStream, 0x1809ce5aL, 0x64bc, 0x4e62, 0xbd, 0x7d, 0x95, 0xbc, 0xe4, 0x3d, 0xe3, 0x93);

#undef INTERFACE
#define INTERFACE IPortWaveRTStream
DECLARE_INTERFACE_(IPortWaveRTStream, IUnknown)
{
    DEFINE_ABSTRACT_UNKNOWN()
    STDMETHOD_(PMDL, AllocatePagesForMdl)(THIS_ PHYSICAL_ADDRESS HighAddress, SIZE_T TotalBytes) PURE;
    STDMETHOD_(PMDL, AllocateContiguousPagesForMdl)(THIS_ PHYSICAL_ADDRESS LowAddress, PHYSICAL_ADDRESS HighAddress,
                                                    SIZE_T TotalBytes) PURE;
    STDMETHOD_(PVOID, MapAllocatedPages)(THIS_ PMDL MemoryDescriptorList, MEMORY_CACHING_TYPE CacheType) PURE;
    STDMETHOD_(VOID, UnmapAllocatedPages)(THIS_ PVOID BaseAddress, PMDL MemoryDescriptorList) PURE;
    STDMETHOD_(VOID, FreePagesFromMdl)(THIS_ PMDL MemoryDescriptorList) PURE;
    STDMETHOD_(ULONG, GetPhysicalPagesCount)(THIS_ PMDL MemoryDescriptorList) PURE;
    STDMETHOD_(PHYSICAL_ADDRESS, GetPhysicalPageAddress)(THIS_ PMDL MemoryDescriptorList, ULONG Index) PURE;
};
typedef IPortWaveRTStream *PPORTWAVERTSTREAM;

DEFINE_GUID(IID_IMiniportWaveRTStream, 0x000ac9abL, 0xfaab, 0x4f3d, 0x94, 0x55, 0x6f, 0xf8, 0x30, 0x6a, 0x74, 0xa0);

#undef INTERFACE
#define INTERFACE IMiniportWaveRTStream
DECLARE_INTERFACE_(IMiniportWaveRTStream, IUnknown)
{
    DEFINE_ABSTRACT_UNKNOWN()
    DEFINE_ABSTRACT_MINIPORTWAVERTSTREAM()
};
typedef IMiniportWaveRTStream *PMINIPORTWAVERTSTREAM;

#define IMP_IMiniportWaveRTStream \
    STDMETHODIMP_(NTSTATUS) SetFormat(PKSDATAFORMAT DataFormat); \
    STDMETHODIMP_(NTSTATUS) SetState(KSSTATE State); \
    STDMETHODIMP_(NTSTATUS) GetPosition(PKSAUDIO_POSITION Position); \
    STDMETHODIMP_(NTSTATUS) AllocateAudioBuffer(ULONG RequestedSize, PMDL *AudioBufferMdl, ULONG *ActualSize, \
                                                ULONG *OffsetFromFirstPage, MEMORY_CACHING_TYPE *CacheType); \
    STDMETHODIMP_(VOID) FreeAudioBuffer(PMDL AudioBufferMdl, ULONG BufferSize); \
    STDMETHODIMP_(VOID) GetHWLatency(KSRTAUDIO_HWLATENCY *hwLatency); \
    STDMETHODIMP_(NTSTATUS) GetPositionRegister(KSRTAUDIO_HWREGISTER *Register); \
    STDMETHODIMP_(NTSTATUS) GetClockRegister(KSRTAUDIO_HWREGISTER *Register)

DEFINE_GUID(IID_IMiniportWaveRTStreamNotification, 0x23759128L, 0x96f1, 0x423b, 0xab, 0x4d, 0x81, 0x63, 0x5b,
            0xcf, 0x8c, 0xa1);

#undef INTERFACE
#define INTERFACE IMiniportWaveRTStreamNotification
DECLARE_INTERFACE_(IMiniportWaveRTStreamNotification, IMiniportWaveRTStream)
{
    DEFINE_ABSTRACT_UNKNOWN()
    DEFINE_ABSTRACT_MINIPORTWAVERTSTREAM()
    STDMETHOD_(NTSTATUS, AllocateBufferWithNotification)(THIS_ ULONG NotificationCount, ULONG RequestedSize,
                                                         PMDL * AudioBufferMdl, ULONG * ActualSize,
                                                         ULONG * OffsetFromFirstPage,
                                                         MEMORY_CACHING_TYPE * CacheType) PURE;
    STDMETHOD_(VOID, FreeBufferWithNotification)(THIS_ PMDL AudioBufferMdl, ULONG BufferSize) PURE;
    STDMETHOD_(NTSTATUS, RegisterNotificationEvent)(THIS_ PKEVENT NotificationEvent) PURE;
    STDMETHOD_(NTSTATUS, UnregisterNotificationEvent)(THIS_ PKEVENT NotificationEvent) PURE;
};
typedef IMiniportWaveRTStreamNotification *PMINIPORTWAVERTSTREAMNOTIFICATION;

DEFINE_GUID(IID_IMiniportWaveRT, 0x0f9fc4d6L, 0x6061, 0x4f3c, 0xb1, 0xfc, 0x07, 0x5e, 0x35, 0xf7, 0x96, 0x0a);

#undef INTERFACE
#define INTERFACE IMiniportWaveRT
DECLARE_INTERFACE_(IMiniportWaveRT, IMiniport)
{
    DEFINE_ABSTRACT_UNKNOWN()
    DEFINE_ABSTRACT_MINIPORT()
    STDMETHOD_(NTSTATUS, Init)(THIS_ PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList, PPORTWAVERT Port) PURE;
    STDMETHOD_(NTSTATUS, NewStream)(THIS_ PMINIPORTWAVERTSTREAM * Stream, PPORTWAVERTSTREAM PortStream, ULONG Pin,
                                    BOOLEAN Capture, PKSDATAFORMAT DataFormat) PURE;
    STDMETHOD_(NTSTATUS, GetDeviceDescription)(THIS_ PDEVICE_DESCRIPTION DeviceDescription) PURE;
};
typedef IMiniportWaveRT *PMINIPORTWAVERT;

#define IMP_IMiniportWaveRT \
    IMP_IMiniport; \
    STDMETHODIMP_(NTSTATUS) Init(PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList, PPORTWAVERT Port); \
    STDMETHODIMP_(NTSTATUS) NewStream(PMINIPORTWAVERTSTREAM *Stream, PPORTWAVERTSTREAM PortStream, ULONG Pin, \
                                      BOOLEAN Capture, PKSDATAFORMAT DataFormat); \
    STDMETHODIMP_(NTSTATUS) GetDeviceDescription(PDEVICE_DESCRIPTION DeviceDescription)

/* ---- Power management ---- */
DEFINE_GUID(IID_IAdapterPowerManagement, 0x793417D0L, 0x35FE, 0x11D1, 0xAD, 0x08, 0x00, 0xA0, 0xC9, 0x0A, 0xB1, 0xB0);

#undef INTERFACE
#define INTERFACE IAdapterPowerManagement
DECLARE_INTERFACE_(IAdapterPowerManagement, IUnknown)
{
    DEFINE_ABSTRACT_UNKNOWN()
    STDMETHOD_(void, PowerChangeState)(THIS_ POWER_STATE NewState) PURE;
    STDMETHOD_(NTSTATUS, QueryPowerChangeState)(THIS_ POWER_STATE NewStateQuery) PURE;
    STDMETHOD_(NTSTATUS, QueryDeviceCapabilities)(THIS_ PDEVICE_CAPABILITIES PowerDeviceCaps) PURE;
};
typedef IAdapterPowerManagement *PADAPTERPOWERMANAGEMENT;

#define IMP_IAdapterPowerManagement \
    STDMETHODIMP_(void) PowerChangeState(POWER_STATE NewState); \
    STDMETHODIMP_(NTSTATUS) QueryPowerChangeState(POWER_STATE NewStateQuery); \
    STDMETHODIMP_(NTSTATUS) QueryDeviceCapabilities(PDEVICE_CAPABILITIES PowerDeviceCaps)

DEFINE_GUID(IID_IPowerNotify, 0x3DD648B8L, 0x969F, 0x11D1, 0x95, 0xA9, 0x00, 0xC0, 0x4F, 0xB9, 0x25, 0xD3);

#undef INTERFACE
#define INTERFACE IPowerNotify
DECLARE_INTERFACE_(IPowerNotify, IUnknown)
{
    DEFINE_ABSTRACT_UNKNOWN()
    STDMETHOD_(void, PowerChangeNotify)(THIS_ POWER_STATE PowerState) PURE;
};
typedef IPowerNotify *PPOWERNOTIFY;

/* ---- Pin counts, events, version ---- */
DEFINE_GUID(IID_IPinCount, 0x5dadb7dcL, 0xa2cb, 0x4540, 0xa4, 0xa8, 0x42, 0x5e, 0xe4, 0xae, 0x90, 0x51);

#undef INTERFACE
#define INTERFACE IPinCount
DECLARE_INTERFACE_(IPinCount, IUnknown)
{
    DEFINE_ABSTRACT_UNKNOWN()
    STDMETHOD_(void, PinCount)(THIS_ ULONG PinId, PULONG FilterNecessary, PULONG FilterCurrent,
                               PULONG FilterPossible, PULONG GlobalCurrent, PULONG GlobalPossible) PURE;
};
typedef IPinCount *PPINCOUNT;

DEFINE_GUID(IID_IPortEvents, 0xA80F29C4L, 0x5498, 0x11D2, 0x95, 0xD9, 0x00, 0xC0, 0x4F, 0xB9, 0x25, 0xD3);

#undef INTERFACE
#define INTERFACE IPortEvents
DECLARE_INTERFACE_(IPortEvents, IUnknown)
{
    DEFINE_ABSTRACT_UNKNOWN()
    STDMETHOD_(void, AddEventToEventList)(THIS_ PKSEVENT_ENTRY EventEntry) PURE;
    STDMETHOD_(void, GenerateEventList)(THIS_ GUID * Set, ULONG EventId, BOOL PinEvent, ULONG PinId,
                                        BOOL NodeEvent, ULONG NodeId) PURE;
};
typedef IPortEvents *PPORTEVENTS;

DEFINE_GUID(IID_IPortClsVersion, 0x7D89A7BBL, 0x869B, 0x4567, 0x8D, 0xBE, 0x1E, 0x16, 0x8C, 0xC8, 0x53, 0xDE);

#undef INTERFACE
#define INTERFACE IPortClsVersion
DECLARE_INTERFACE_(IPortClsVersion, IUnknown)
{
    DEFINE_ABSTRACT_UNKNOWN()
    STDMETHOD_(DWORD, GetVersion)(THIS) PURE;
};
typedef IPortClsVersion *PPORTCLSVERSION;
#undef INTERFACE

/* ---- Functions ---- */
typedef NTSTATUS (NTAPI *PCPFNSTARTDEVICE)(PDEVICE_OBJECT DeviceObject, PIRP Irp, PRESOURCELIST ResourceList);

PORTCLASSAPI NTSTATUS NTAPI PcAddAdapterDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject,
                                               PCPFNSTARTDEVICE StartDevice, ULONG MaxObjects,
                                               ULONG DeviceExtensionSize);
PORTCLASSAPI NTSTATUS NTAPI PcInitializeAdapterDriver(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPathName,
                                                      PDRIVER_ADD_DEVICE AddDevice);

PORTCLASSAPI NTSTATUS NTAPI PcNewMiniport(PMINIPORT *OutMiniport, REFCLSID ClassId);
PORTCLASSAPI NTSTATUS NTAPI PcNewPort(PPORT *OutPort, REFCLSID ClassId);
PORTCLASSAPI NTSTATUS NTAPI PcNewRegistryKey(PREGISTRYKEY *OutRegistryKey, PUNKNOWN OuterUnknown,
                                             ULONG RegistryKeyType, ACCESS_MASK DesiredAccess, PVOID DeviceObject,
                                             PVOID SubDevice, POBJECT_ATTRIBUTES ObjectAttributes,
                                             ULONG CreateOptions, PULONG Disposition);
PORTCLASSAPI NTSTATUS NTAPI PcNewResourceList(PRESOURCELIST *OutResourceList, PUNKNOWN OuterUnknown,
                                              POOL_TYPE PoolType, PCM_RESOURCE_LIST TranslatedResources,
                                              PCM_RESOURCE_LIST UntranslatedResources);
PORTCLASSAPI NTSTATUS NTAPI PcNewResourceSublist(PRESOURCELIST *OutResourceList, PUNKNOWN OuterUnknown,
                                                 POOL_TYPE PoolType, PRESOURCELIST ParentList,
                                                 ULONG MaximumEntries);

PORTCLASSAPI NTSTATUS NTAPI PcDispatchIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
PORTCLASSAPI NTSTATUS NTAPI PcCompleteIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status);
PORTCLASSAPI NTSTATUS NTAPI PcForwardIrpSynchronous(PDEVICE_OBJECT DeviceObject, PIRP Irp);

PORTCLASSAPI NTSTATUS NTAPI PcRegisterAdapterPowerManagement(PUNKNOWN pUnknown, PVOID pvContext1);
PORTCLASSAPI NTSTATUS NTAPI PcRequestNewPowerState(PDEVICE_OBJECT pDeviceObject,
                                                   DEVICE_POWER_STATE RequestedNewState);

PORTCLASSAPI NTSTATUS NTAPI PcGetDeviceProperty(PVOID DeviceObject, DEVICE_REGISTRY_PROPERTY DeviceProperty,
                                                ULONG BufferLength, PVOID PropertyBuffer, PULONG ResultLength);
PORTCLASSAPI NTSTATUS NTAPI PcCompletePendingPropertyRequest(PPCPROPERTY_REQUEST PropertyRequest,
                                                             NTSTATUS NtStatus);

PORTCLASSAPI NTSTATUS NTAPI PcRegisterIoTimeout(PDEVICE_OBJECT pDeviceObject, PIO_TIMER_ROUTINE pTimerRoutine,
                                                PVOID pContext);
PORTCLASSAPI NTSTATUS NTAPI PcUnregisterIoTimeout(PDEVICE_OBJECT pDeviceObject, PIO_TIMER_ROUTINE pTimerRoutine,
                                                  PVOID pContext);

PORTCLASSAPI NTSTATUS NTAPI PcRegisterPhysicalConnection(PDEVICE_OBJECT DeviceObject, PUNKNOWN FromUnknown,
                                                         ULONG FromPin, PUNKNOWN ToUnknown, ULONG ToPin);
PORTCLASSAPI NTSTATUS NTAPI PcRegisterPhysicalConnectionFromExternal(PDEVICE_OBJECT DeviceObject,
                                                                     PUNICODE_STRING FromString, ULONG FromPin,
                                                                     PUNKNOWN ToUnknown, ULONG ToPin);
PORTCLASSAPI NTSTATUS NTAPI PcRegisterPhysicalConnectionToExternal(PDEVICE_OBJECT DeviceObject,
                                                                   PUNKNOWN FromUnknown, ULONG FromPin,
                                                                   PUNICODE_STRING ToString, ULONG ToPin);

PORTCLASSAPI ULONGLONG NTAPI PcGetTimeInterval(ULONGLONG Since);
PORTCLASSAPI NTSTATUS NTAPI PcRegisterSubdevice(PDEVICE_OBJECT DeviceObject, PWCHAR Name, PUNKNOWN Unknown);
