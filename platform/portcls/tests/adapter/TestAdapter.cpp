// The test adapter driver: entry, add-device and start through PortCls, the
// adapter's power interfaces, and the control the tests have over it.
#define INITGUID
#include "TestShared.h"

#include <io_standin.h>
#include <kernel_standin.h>

#include <new>

namespace testadapter {

Shared &State()
{
    static Shared *shared = new Shared;
    return *shared;
}

CallProbe::CallProbe()
{
    const int inside = ++State().callsInside;
    std::lock_guard<std::mutex> hold(State().lock);
    if (inside > State().observed.maxConcurrentCalls)
        State().observed.maxConcurrentCalls = inside;
}

CallProbe::~CallProbe()
{
    --State().callsInside;
}

NTSTATUS HandleEventRequest(PPCEVENT_REQUEST request, IPortEvents *events)
{
    CallProbe probe;
    std::lock_guard<std::mutex> hold(State().lock);
    Observed &o = State().observed;
    switch (request->Verb) {
    case PCEVENT_VERB_ADD:
        ++o.eventAdds;
        if (events == nullptr || request->EventEntry == nullptr)
            return STATUS_UNSUCCESSFUL;
        events->AddEventToEventList(request->EventEntry);
        return STATUS_SUCCESS;
    case PCEVENT_VERB_REMOVE: ++o.eventRemoves; return STATUS_SUCCESS;
    case PCEVENT_VERB_SUPPORT: ++o.eventSupports; return STATUS_SUCCESS;
    default: return STATUS_INVALID_PARAMETER;
    }
}

NTSTATUS AccessFlagsReply(PPCPROPERTY_REQUEST request)
{
    if (request->ValueSize < sizeof(ULONG))
        return STATUS_BUFFER_TOO_SMALL;
    *static_cast<ULONG *>(request->Value) = request->PropertyItem->Flags;
    request->ValueSize = sizeof(ULONG);
    return STATUS_SUCCESS;
}

namespace {

// The adapter object: what PcRegisterAdapterPowerManagement is given.
class Adapter final : public IAdapterPowerManagement2, public RefCounted {
public:
    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID iid, PVOID *object) override
    {
        const bool known = IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IAdapterPowerManagement) ||
                           IsEqualGUID(iid, IID_IAdapterPowerManagement2);
        return Answer(object, known ? static_cast<IAdapterPowerManagement2 *>(this) : nullptr);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return AddRefBase(); }
    STDMETHODIMP_(ULONG) Release() override { return ReleaseBase(); }
    STDMETHODIMP_(void) PowerChangeState(POWER_STATE NewState) override
    {
        PowerChangeState2(NewState.DeviceState, PowerSystemUnspecified);
    }
    STDMETHODIMP_(NTSTATUS) QueryPowerChangeState(POWER_STATE) override { return STATUS_SUCCESS; }
    STDMETHODIMP_(NTSTATUS) QueryDeviceCapabilities(PDEVICE_CAPABILITIES) override { return STATUS_SUCCESS; }
    STDMETHODIMP_(void) PowerChangeState2(DEVICE_POWER_STATE device, SYSTEM_POWER_STATE system) override
    {
        std::lock_guard<std::mutex> hold(State().lock);
        State().observed.adapterDeviceStates.push_back(device);
        State().observed.adapterSystemStates.push_back(system);
        State().devicePower = device;
    }
};

NTSTATUS RegisterFilter(PDEVICE_OBJECT fdo, PIRP irp, PRESOURCELIST resources, PUNKNOWN adapter, REFCLSID portClass,
                        NTSTATUS (*newMiniport)(PUNKNOWN *), const wchar_t *name, PUNKNOWN *port, int32_t *initStatus,
                        int32_t *registerStatus)
{
    PUNKNOWN miniport = nullptr;
    PPORT newPort = nullptr;
    NTSTATUS status = newMiniport(&miniport);
    if (NT_SUCCESS(status))
        status = PcNewPort(&newPort, portClass);
    if (NT_SUCCESS(status)) {
        status = newPort->Init(fdo, irp, miniport, adapter, resources);
        if (initStatus != nullptr)
            *initStatus = status;
    }
    if (NT_SUCCESS(status)) {
        status = PcRegisterSubdevice(fdo, const_cast<PWCHAR>(name), newPort);
        if (registerStatus != nullptr)
            *registerStatus = status;
    }
    if (NT_SUCCESS(status))
        *port = newPort;
    else if (newPort != nullptr)
        newPort->Release();
    if (miniport != nullptr)
        miniport->Release();
    return status;
}

NTSTATUS StartDevice(PDEVICE_OBJECT fdo, PIRP irp, PRESOURCELIST resources)
{
    Shared &s = State();
    auto *adapter = new (std::nothrow) Adapter;
    if (adapter == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    s.fdo = fdo;
    NTSTATUS status = PcRegisterAdapterPowerManagement(static_cast<IAdapterPowerManagement2 *>(adapter), fdo);
    if (NT_SUCCESS(status))
        status = RegisterFilter(fdo, irp, resources, static_cast<IAdapterPowerManagement2 *>(adapter),
                                CLSID_PortTopology, &NewTopologyMiniport, L"topo", &s.topologyPort, nullptr, nullptr);
    int32_t initStatus = 0, registerStatus = 0;
    if (NT_SUCCESS(status))
        status = RegisterFilter(fdo, irp, resources, static_cast<IAdapterPowerManagement2 *>(adapter), CLSID_PortWaveRT,
                                &NewWaveMiniport, L"wave", &s.wavePort, &initStatus, &registerStatus);
    {
        std::lock_guard<std::mutex> hold(s.lock);
        s.observed.waveInitStatus = initStatus;
        s.observed.waveRegisterStatus = registerStatus;
    }
    if (NT_SUCCESS(status)) {
        status = PcRegisterPhysicalConnection(fdo, s.wavePort, WaveBridgePin, s.topologyPort, TopologyBridgePin);
        std::lock_guard<std::mutex> hold(s.lock);
        s.observed.connectionStatus = status;
    }
    adapter->Release(); // PortCls holds it for power management
    std::lock_guard<std::mutex> hold(s.lock);
    s.observed.startStatus = status;
    return status;
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    const NTSTATUS status =
        PcAddAdapterDevice(driver, pdo, &StartDevice, State().config.maxSubdevices, State().config.extensionSize);
    std::lock_guard<std::mutex> hold(State().lock);
    State().observed.addDeviceStatus = status;
    return status;
}

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    return PcInitializeAdapterDriver(driver, registryPath, &AddDevice);
}

void ReleasePorts()
{
    Shared &s = State();
    if (s.wavePort != nullptr)
        s.wavePort->Release();
    if (s.topologyPort != nullptr)
        s.topologyPort->Release();
    s.wavePort = s.topologyPort = nullptr;
}

} // namespace

int32_t Load(const Config &config)
{
    Shared &s = State();
    {
        std::lock_guard<std::mutex> hold(s.lock);
        s.config = config;
        s.observed = Observed{};
        s.devicePower = 1;
        s.jackConnected = true;
        KeInitializeEvent(&s.pendedArrived, SynchronizationEvent, FALSE);
        KeInitializeEvent(&s.pendedRelease, NotificationEvent, FALSE);
    }
    NTSTATUS status = standin::io::LoadDriver(&DriverEntry, "TestAdapter", &s.driver);
    if (NT_SUCCESS(status))
        status = standin::io::AddDevice(s.driver, &s.pdo);
    if (NT_SUCCESS(status))
        status = standin::io::StartDevice(s.pdo);
    return status;
}

int32_t Unload()
{
    Shared &s = State();
    if (s.driver == nullptr)
        return STATUS_INVALID_DEVICE_STATE;
    // The device goes first, so that the ports release the miniports; the
    // test's port references go before the leak check.
    NTSTATUS status = s.pdo != nullptr ? standin::io::RemoveDevice(s.pdo) : STATUS_SUCCESS;
    if (!NT_SUCCESS(status))
        return status;
    s.pdo = nullptr;
    ReleasePorts();
    status = standin::io::UnloadDriver(s.driver);
    s.driver = nullptr;
    return status;
}

Observed Snapshot()
{
    std::lock_guard<std::mutex> hold(State().lock);
    return State().observed;
}

int32_t SetDevicePower(int state)
{
    POWER_STATE power;
    power.DeviceState = static_cast<DEVICE_POWER_STATE>(state);
    return standin::io::SetPower(State().pdo, DevicePowerState, power);
}

int32_t SetSystemPower(int state)
{
    POWER_STATE power;
    power.SystemState = static_cast<SYSTEM_POWER_STATE>(state);
    return standin::io::SetPower(State().pdo, SystemPowerState, power);
}

int32_t UnplugWave()
{
    Shared &s = State();
    PUNREGISTERPHYSICALCONNECTION connections = nullptr;
    PUNREGISTERSUBDEVICE subdevices = nullptr;
    NTSTATUS status =
        s.wavePort->QueryInterface(IID_IUnregisterPhysicalConnection, reinterpret_cast<PVOID *>(&connections));
    if (NT_SUCCESS(status)) {
        status = connections->UnregisterPhysicalConnection(s.fdo, s.wavePort, WaveBridgePin, s.topologyPort,
                                                           TopologyBridgePin);
        connections->Release();
    }
    if (NT_SUCCESS(status))
        status = s.wavePort->QueryInterface(IID_IUnregisterSubdevice, reinterpret_cast<PVOID *>(&subdevices));
    if (NT_SUCCESS(status)) {
        status = subdevices->UnregisterSubdevice(s.fdo, s.wavePort);
        subdevices->Release();
    }
    return status;
}

int32_t PlugWave()
{
    Shared &s = State();
    NTSTATUS status = PcRegisterSubdevice(s.fdo, const_cast<PWCHAR>(L"wave"), s.wavePort);
    if (NT_SUCCESS(status))
        status = PcRegisterPhysicalConnection(s.fdo, s.wavePort, WaveBridgePin, s.topologyPort, TopologyBridgePin);
    return status;
}

bool WaitForPendedCall()
{
    LARGE_INTEGER timeout{.QuadPart = -10 * standin::kernel::kTicksPerSecond};
    return KeWaitForSingleObject(&State().pendedArrived, Executive, KernelMode, FALSE, &timeout) == STATUS_SUCCESS;
}

void ReleasePended()
{
    KeSetEvent(&State().pendedRelease, IO_NO_INCREMENT, FALSE);
}

namespace {

standin::kernel::Fault KernelFault(PortFault kind)
{
    return kind == PortFault::Mdl ? standin::kernel::Fault::MdlAllocation : standin::kernel::Fault::UserMapping;
}

Holdings HoldingsOf(standin::kernel::Owner owner)
{
    const standin::kernel::Holdings held = standin::kernel::HeldBy(owner);
    return Holdings{held.mdls, held.mappings};
}

} // namespace

void CountPortOperations()
{
    standin::kernel::ResetFaults();
    for (PortFault kind : {PortFault::Mdl, PortFault::UserMapping})
        standin::kernel::OperationCount(KernelFault(kind),
                                        standin::kernel::FaultFilter::ForOwner(standin::kernel::kPlatform));
}

size_t PortOperations(PortFault kind)
{
    return standin::kernel::OperationCount(KernelFault(kind),
                                           standin::kernel::FaultFilter::ForOwner(standin::kernel::kPlatform));
}

void FailPortOperation(PortFault kind, size_t n)
{
    standin::kernel::ResetFaults();
    standin::kernel::FailNth(KernelFault(kind), n, standin::kernel::FaultFilter::ForOwner(standin::kernel::kPlatform));
}

size_t InjectedPortFailures(PortFault kind)
{
    return standin::kernel::InjectedFailures(KernelFault(kind));
}

Holdings DriverHoldings()
{
    return HoldingsOf(standin::io::DriverOwner(State().driver));
}

Holdings PlatformHoldings()
{
    return HoldingsOf(standin::kernel::kPlatform);
}

void *RestrictedHandle(void *handle, uint32_t access)
{
    void *body = nullptr;
    PEPROCESS process = standin::kernel::CurrentProcess();
    if (!NT_SUCCESS(standin::kernel::ReferenceHandle(process, handle, nullptr, &body)))
        return nullptr;
    HANDLE restricted = nullptr;
    standin::kernel::InsertHandle(process, body, access, false, &restricted);
    standin::kernel::DereferenceObject(body);
    return restricted;
}

} // namespace testadapter

// The one definition of the compatibility header's GUIDs in the tests.
#define TEST_COMPAT_GUID(name) EXTERN_C const GUID name = {STATIC_##name};
OMB_KSCOMPAT_GUIDS(TEST_COMPAT_GUID)
