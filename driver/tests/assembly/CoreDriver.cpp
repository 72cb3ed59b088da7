// The test driver around the driver core: entry, add-device, start, request
// routing to the pipes and unload, with counting stand-ins for the miniports.
#include <ntddk.h>
#include <new>
#include "ControlProtocol.h"
#include "CoreDevice.h"
#include "CoreDriverInternals.h"
#include "TestDeviceStack.h"
#include "EndpointLink.h"
#include "PipeRouting.h"
#include "Requests.h"
#include "Startup.h"

namespace {

// A WaveRT miniport as far as the link sees it.
class TestWave : public EndpointWave {
public:
    TestWave()
    {
        KeInitializeEvent(&gate, SynchronizationEvent, FALSE);
        KeInitializeEvent(&started, SynchronizationEvent, FALSE);
    }
    bool HasCurrentStream() override { return InterlockedCompareExchange(&attached, 0, 0) != 0; }
    void RaiseFormatChange() override { InterlockedIncrement(&formatChanges); }
    void UpdateCurrentStream() override
    {
        if (!link->HeldByCaller())
            InterlockedIncrement(&unlockedUpdates);
        PKTHREAD self = KeGetCurrentThread();
        updaterPriority = KeQueryPriorityThread(self);
        if (updateCount < MaxUpdates)
            updates[updateCount++] = link->Block()->DevicePositionFrames;
        KeSetEvent(&started, IO_NO_INCREMENT, FALSE);
        if (InterlockedCompareExchange(&hold, 0, 0) != 0)
            KeWaitForSingleObject(&gate, Executive, KernelMode, FALSE, nullptr);
    }
    void ReleaseFromLink() override {}

    static constexpr ULONG MaxUpdates = 256;
    EndpointLink *link = nullptr;
    volatile LONG attached = 0;
    volatile LONG formatChanges = 0;
    volatile LONG unlockedUpdates = 0;
    volatile LONG hold = 0;
    // Written by the worker while it holds the link lock, read by tests the
    // same way.
    ULONG updates[MaxUpdates] = {};
    ULONG updateCount = 0;
    KPRIORITY updaterPriority = 0;
    KEVENT gate;
    KEVENT started;
};

class TestTopology : public EndpointTopology {
public:
    void RaiseJackInfoChange() override { InterlockedIncrement(&jackChanges); }
    void ReleaseFromLink() override {}
    volatile LONG jackChanges = 0;
};

// What the adapter owns, in its order of construction; destruction runs the
// other way: pipes (capture, render), then links (render, capture).
struct Assembly {
    TestWave waves[2];         // by pipe
    TestTopology topologies[2];
    EndpointLink captureLink{CaptureEndpoint, &pipeRender};
    EndpointLink renderLink{RenderEndpoint, &pipeCapture};
    ControlPipe pipeRender{PipeRender, &captureLink};
    ControlPipe pipeCapture{PipeCapture, &renderLink};

    PipePair Pipes() { return {&pipeRender, &pipeCapture}; }
    ControlPipe &PipeOf(int pipe) { return pipe == PipeRender ? pipeRender : pipeCapture; }
};

struct Device {
    TestDeviceStack stack = {};
    Assembly *assembly = nullptr;
    volatile LONG passedOn = 0;
} device;

// What the rest of the driver would do with a request that is not a pipe's.
NTSTATUS PassOn(PIRP irp, NTSTATUS status)
{
    InterlockedIncrement(&device.passedOn);
    return CompleteRequest(irp, status, 0);
}

NTSTATUS OnCreate(PDEVICE_OBJECT, PIRP irp)
{
    if (device.assembly != nullptr) {
        const NTSTATUS status = RoutePipeCreate(device.assembly->Pipes(), irp);
        if (status != STATUS_MORE_PROCESSING_REQUIRED)
            return status;
    }
    return PassOn(irp, STATUS_SUCCESS);
}

NTSTATUS OnClose(PDEVICE_OBJECT, PIRP irp)
{
    if (device.assembly != nullptr) {
        const NTSTATUS status = RoutePipeClose(device.assembly->Pipes(), irp);
        if (status != STATUS_MORE_PROCESSING_REQUIRED)
            return status;
    }
    return PassOn(irp, STATUS_SUCCESS);
}

NTSTATUS OnCleanup(PDEVICE_OBJECT, PIRP irp) { return CompleteRequest(irp, STATUS_SUCCESS, 0); }

NTSTATUS OnDeviceControl(PDEVICE_OBJECT, PIRP irp)
{
    if (device.assembly != nullptr) {
        const NTSTATUS status = RoutePipeControl(device.assembly->Pipes(), irp);
        if (status != STATUS_MORE_PROCESSING_REQUIRED)
            return status;
    }
    return PassOn(irp, STATUS_INVALID_DEVICE_REQUEST);
}

NTSTATUS StartAssembly()
{
    void *memory = Mosaik::MemAlloc(sizeof(Assembly));
    if (memory == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    Assembly *assembly = new (memory) Assembly;
    device.assembly = assembly;
    assembly->waves[PipeRender].link = &assembly->captureLink;
    assembly->waves[PipeCapture].link = &assembly->renderLink;
    NTSTATUS status = assembly->pipeRender.Start();
    if (NT_SUCCESS(status))
        status = assembly->pipeCapture.Start();
    if (!NT_SUCCESS(status))
        return status; // torn down at unload, as the adapter is
    assembly->captureLink.BindBlock();
    assembly->captureLink.AttachMiniports(&assembly->waves[PipeRender], &assembly->topologies[PipeRender]);
    assembly->renderLink.BindBlock();
    assembly->renderLink.AttachMiniports(&assembly->waves[PipeCapture], &assembly->topologies[PipeCapture]);
    IoSetDeviceInterfaceState(&device.stack.link, TRUE);
    return STATUS_SUCCESS;
}

void DestroyAssembly()
{
    if (device.assembly == nullptr)
        return;
    device.assembly->~Assembly();
    Mosaik::MemFree(device.assembly);
    device.assembly = nullptr;
}

NTSTATUS OnPnp(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MinorFunction == IRP_MN_START_DEVICE) {
        const NTSTATUS status = StartAssembly();
        if (!NT_SUCCESS(status))
            return CompleteRequest(irp, status, 0);
    } else if (stack->MinorFunction == IRP_MN_REMOVE_DEVICE) {
        return RemoveTestDeviceStack(device.stack, irp);
    }
    return PassDown(device.stack, irp);
}

NTSTATUS OnAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    return AddTestDeviceStack(driver, pdo, ControlInterfaceClass, device.stack);
}

void OnUnload(PDRIVER_OBJECT)
{
    DestroyAssembly();
    if (device.stack.link.Buffer != nullptr) {
        IoSetDeviceInterfaceState(&device.stack.link, FALSE);
        RtlFreeUnicodeString(&device.stack.link);
    }
    device.stack.link = UNICODE_STRING{};
    Mosaik::LibraryShutdown();
}

TestWave &WaveOf(int pipe) { return device.assembly->waves[pipe]; }

} // namespace

extern "C" NTSTATUS CoreDeviceEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    if (!Mosaik::LibraryStartup())
        return STATUS_UNSUCCESSFUL;
    device.passedOn = 0;
    driver->MajorFunction[IRP_MJ_CREATE] = OnCreate;
    driver->MajorFunction[IRP_MJ_CLEANUP] = OnCleanup;
    driver->MajorFunction[IRP_MJ_CLOSE] = OnClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = OnDeviceControl;
    driver->MajorFunction[IRP_MJ_PNP] = OnPnp;
    driver->DriverExtension->AddDevice = OnAddDevice;
    driver->DriverUnload = OnUnload;
    return STATUS_SUCCESS;
}

// ---- Steering, for the tests ------------------------------------------------

namespace core_device {

ControlPipe &PipeObject(int pipe) { return device.assembly->PipeOf(pipe); }
EndpointLink &LinkObject(int pipe) { return *device.assembly->PipeOf(pipe).Link(); }

std::u16string InterfaceLinkName()
{
    return std::u16string(reinterpret_cast<const char16_t *>(device.stack.link.Buffer), device.stack.link.Length / 2);
}

std::u16string PipeSuffix(int pipe)
{
    const WCHAR *text = pipe == PipeRender ? PIPE_REFSTRING_RENDER : PIPE_REFSTRING_CAPTURE;
    return std::u16string(reinterpret_cast<const char16_t *>(text));
}

CommonDataDesc &Block(int pipe) { return *PipeObject(pipe).Block(); }
uint8_t *Buffer(int pipe) { return static_cast<uint8_t *>(PipeObject(pipe).BufferSystemView()); }
bool PipeIsReady(int pipe) { return PipeObject(pipe).IsReady(); }
int32_t RequestClient(int pipe, uint32_t code) { return LinkObject(pipe).RequestClient(code); }

void AttachStream(int pipe)
{
    EndpointLink &link = LinkObject(pipe);
    link.Lock();
    InterlockedExchange(&WaveOf(pipe).attached, 1);
    link.Block()->StreamAttached = 1;
    link.Unlock();
}

void DetachStream(int pipe)
{
    EndpointLink &link = LinkObject(pipe);
    link.Lock();
    InterlockedExchange(&WaveOf(pipe).attached, 0);
    link.Block()->StreamAttached = 0;
    link.ApplyPending();
    link.Unlock();
}

uint32_t FormatChanges(int pipe) { return static_cast<uint32_t>(WaveOf(pipe).formatChanges); }
uint32_t JackChanges(int pipe) { return static_cast<uint32_t>(device.assembly->topologies[pipe].jackChanges); }

std::vector<uint32_t> PositionUpdates(int pipe)
{
    EndpointLink &link = LinkObject(pipe);
    link.Lock();
    const TestWave &wave = WaveOf(pipe);
    std::vector<uint32_t> result(wave.updates, wave.updates + wave.updateCount);
    link.Unlock();
    return result;
}

uint32_t UnlockedUpdates(int pipe) { return static_cast<uint32_t>(WaveOf(pipe).unlockedUpdates); }

int32_t UpdaterPriority(int pipe)
{
    EndpointLink &link = LinkObject(pipe);
    link.Lock();
    const int32_t priority = WaveOf(pipe).updaterPriority;
    link.Unlock();
    return priority;
}

void HoldUpdates(int pipe, bool hold) { InterlockedExchange(&WaveOf(pipe).hold, hold ? 1 : 0); }
void ReleaseUpdate(int pipe) { KeSetEvent(&WaveOf(pipe).gate, IO_NO_INCREMENT, FALSE); }
void WaitForUpdateStart(int pipe)
{
    KeWaitForSingleObject(&WaveOf(pipe).started, Executive, KernelMode, FALSE, nullptr);
}

uint32_t PassedOnRequests() { return static_cast<uint32_t>(device.passedOn); }

} // namespace core_device
