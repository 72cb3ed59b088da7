// Loading, starting and inspecting the real driver in a test process.
#include "DriverUnderTest.h"
#include <DriverLoader.h>
#include <io_boundary.h>
#include <io_standin.h>
#include <kernel_standin.h>
#include <vector>
#include "DriverInternals.h"
#include "ControlProtocol.h"

namespace driver_under_test {
namespace {

namespace boundary = standin::io::boundary;

std::u16string Text(const WCHAR *text) { return std::u16string(reinterpret_cast<const char16_t *>(text)); }

bool EndsWith(const std::u16string &text, const std::u16string &end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

std::vector<std::u16string> EnabledPaths(const char16_t *subdevice)
{
    std::vector<std::u16string> paths;
    const std::u16string suffix = u"\\" + std::u16string(subdevice);
    for (const auto &record : boundary::PresentInterfaces(nullptr))
        if (record.enabled && EndsWith(record.devicePath, suffix))
            paths.push_back(record.devicePath);
    return paths;
}

Adapter &Started()
{
    Adapter *adapter = StartedAdapter();
    if (adapter == nullptr)
        standin::kernel::BugCheck(0xDEADDEAD, "driver_under_test: no started adapter to inspect");
    return *adapter;
}

} // namespace

int32_t LoadDriver(uint32_t major, uint32_t minor) { return ombemu::loader::LoadDriver(major, minor); }

int32_t AddDevice() { return ombemu::loader::AddDevice(); }

int32_t StartDevice() { return ombemu::loader::StartDevice(); }

bool Load() { return LoadDriver() == STATUS_SUCCESS && AddDevice() == STATUS_SUCCESS && StartDevice() == STATUS_SUCCESS; }

void Unload() { ombemu::loader::Unload(); }

bool IsLoaded() { return ombemu::loader::IsLoaded(); }

uint32_t Owner() { return ombemu::loader::Owner(); }

std::u16string InterfacePath()
{
    for (const auto &record : boundary::PresentInterfaces(&ControlInterfaceClass))
        if (record.enabled)
            return record.devicePath;
    return std::u16string();
}

std::u16string PipePath(int pipe)
{
    const std::u16string base = InterfacePath();
    if (base.empty())
        return base;
    return base + Text(pipe == PipeRender ? PIPE_REFSTRING_RENDER : PIPE_REFSTRING_CAPTURE);
}

int32_t OpenAsClient(const std::u16string &path, boundary::Handle *handle)
{
    constexpr uint32_t access = 0x80000000u | 0x40000000u | 0x00100000u; // read, write, synchronize
    constexpr uint32_t openExisting = 1;
    constexpr uint32_t synchronousNonDirectory = 0x20 | 0x40;
    return boundary::OpenFile(path.c_str(), access, 0, openExisting, synchronousNonDirectory, handle);
}

std::u16string FilterPath(const char16_t *subdevice)
{
    const auto paths = EnabledPaths(subdevice);
    return paths.empty() ? std::u16string() : paths.front();
}

size_t FilterInterfaceCount(const char16_t *subdevice) { return EnabledPaths(subdevice).size(); }

ControlPipe &PipeObject(int pipe) { return Started().Pipe(static_cast<PipeKind>(pipe)); }

EndpointLink &LinkObject(int pipe) { return *PipeObject(pipe).Link(); }

const CommonDataDesc &Block(int pipe) { return *PipeObject(pipe).Block(); }

const uint8_t *Buffer(int pipe)
{
    return static_cast<const uint8_t *>(Started().Pipe(static_cast<PipeKind>(pipe)).BufferSystemView());
}

bool PipeIsReady(int pipe) { return Started().Pipe(static_cast<PipeKind>(pipe)).IsReady(); }

uint32_t FilterHandleCount() { return Started().FilterHandleCount(); }

int32_t DevicePowerState() { return Started().PowerState(); }

void WaitUntilBlocked(size_t threads) { standin::kernel::WaitForBlockedWaiters(threads, false); }

size_t PoolAllocations() { return standin::kernel::OperationCount(standin::kernel::Fault::PoolAllocation); }

} // namespace driver_under_test
