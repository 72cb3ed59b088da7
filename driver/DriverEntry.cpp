// The driver's entry, its one device's add and start, the request handlers
// it puts in front of PortCls's, and unload.
#include "Adapter.h"
#include "Atomics.h"
#include "ControlProtocol.h"
#include "ImageInitializers.h"
#include "Startup.h"

namespace {

// The driver's own state from load to unload.
struct DriverContext {
    bool deviceAdded;
    PDEVICE_OBJECT physicalDevice;
    UNICODE_STRING interfaceLink; // the control channel's, empty until registered
};

constexpr ULONG MaxSubdevices = 4; // two filters per endpoint

DriverContext *context = nullptr;
PDRIVER_UNLOAD portClsUnload = nullptr;
// Holds one reference; read by the request handlers on any thread.
Adapter *volatile adapter = nullptr;

void UnloadCleanup()
{
    if (Adapter *held = LoadPointer(adapter)) {
        StorePointer(adapter, static_cast<Adapter *>(nullptr));
        held->Release();
    }
    if (context != nullptr) {
        if (context->interfaceLink.Buffer != nullptr) {
            IoSetDeviceInterfaceState(&context->interfaceLink, FALSE);
            RtlFreeUnicodeString(&context->interfaceLink);
        }
        Mosaik::MemFree(context);
        context = nullptr;
    }
    Mosaik::LibraryShutdown();
}

NTSTATUS StartDevice(PDEVICE_OBJECT device, PIRP irp, PRESOURCELIST resources)
{
    // A start after a stop finds the adapter of the first: its pipes, their
    // clients and the subdevices PortCls kept go on as they were.
    if (Adapter *existing = LoadPointer(adapter))
        return existing->Restart(device);
    auto *created = new Adapter;
    if (created == nullptr) {
        StorePointer(adapter, static_cast<Adapter *>(nullptr));
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    created->AddRef(); // the global's
    StorePointer(adapter, created);
    const NTSTATUS status = created->Start(device, irp, resources);
    if (NT_SUCCESS(status))
        IoSetDeviceInterfaceState(&context->interfaceLink, TRUE); // clients may come now
    return status;
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice)
{
    if (context->deviceAdded)
        return STATUS_DEVICE_ALREADY_ATTACHED; // one device per driver
    context->physicalDevice = physicalDevice;
    NTSTATUS status = IoRegisterDeviceInterface(physicalDevice, &ControlInterfaceClass, nullptr,
                                                &context->interfaceLink);
    if (!NT_SUCCESS(status))
        return status;
    status = PcAddAdapterDevice(driver, physicalDevice, StartDevice, MaxSubdevices, 0);
    if (NT_SUCCESS(status)) {
        context->deviceAdded = true;
    } else {
        // A later add registers afresh.
        RtlFreeUnicodeString(&context->interfaceLink);
        context->interfaceLink = UNICODE_STRING{};
        context->physicalDevice = nullptr;
    }
    return status;
}

NTSTATUS OnCreate(PDEVICE_OBJECT device, PIRP irp)
{
    Adapter *current = LoadPointer(adapter);
    return current != nullptr ? current->Create(device, irp) : PcDispatchIrp(device, irp);
}

NTSTATUS OnClose(PDEVICE_OBJECT device, PIRP irp)
{
    Adapter *current = LoadPointer(adapter);
    return current != nullptr ? current->Close(device, irp) : PcDispatchIrp(device, irp);
}

NTSTATUS OnDeviceControl(PDEVICE_OBJECT device, PIRP irp)
{
    Adapter *current = LoadPointer(adapter);
    return current != nullptr ? current->DeviceControl(device, irp) : PcDispatchIrp(device, irp);
}

void OnUnload(PDRIVER_OBJECT driver)
{
    if (portClsUnload != nullptr)
        portClsUnload(driver);
    portClsUnload = nullptr;
    UnloadCleanup();
}

} // namespace

Adapter *StartedAdapter() { return LoadPointer(adapter); }

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    if (!Mosaik::LibraryStartup() || Mosaik::GetOsVersion() < Mosaik::OsVersion60) {
        UnloadCleanup();
        return STATUS_UNSUCCESSFUL;
    }
    RunImageInitializers();
    context = static_cast<DriverContext *>(Mosaik::MemAlloc(sizeof(DriverContext)));
    if (context == nullptr) {
        UnloadCleanup();
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *context = DriverContext{false, nullptr, UNICODE_STRING{}};
    const NTSTATUS status = PcInitializeAdapterDriver(driver, registryPath, AddDevice);
    if (NT_SUCCESS(status)) {
        // In front of PortCls's; everything else stays PortCls's.
        portClsUnload = driver->DriverUnload;
        driver->MajorFunction[IRP_MJ_CREATE] = OnCreate;
        driver->MajorFunction[IRP_MJ_CLOSE] = OnClose;
        driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = OnDeviceControl;
        driver->DriverUnload = OnUnload;
    }
    if (!NT_SUCCESS(status))
        UnloadCleanup(); // a success of any kind installed the handlers, which need the context
    return status;
}
