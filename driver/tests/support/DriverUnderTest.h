// The real driver in a test process: loaded through its entry and the PnP
// manager as Windows loads it, its device added and started, unloaded under
// the platform's leak check; the paths clients open; and read-only views of
// what the driver holds, for checks no request can make. This header
// carries no wide text, so client-side tests can include it.
#pragma once

#include <io_boundary.h>
#include <stdint.h>
#include <string>
#include "CommonDataDesc.h"

namespace driver_under_test {

// Each step returns its NTSTATUS. LoadDriver boots the platform at the
// given version first; a failed load leaves nothing loaded.
int32_t LoadDriver(uint32_t major = 10, uint32_t minor = 0);
int32_t AddDevice();
int32_t StartDevice();
// All three on version 10.0; true when each succeeded.
bool Load();
// Removes the device and unloads; the platform's leak check stops the test
// process when the driver still holds anything. Client handles must be
// closed first.
void Unload();
bool IsLoaded();
// The kernel's owner of what the loaded driver's code holds and calls (0,
// the platform's, when nothing is loaded).
uint32_t Owner();

// What clients open (UTF-16): the control channel's interface, a pipe
// (PipeRender 0, PipeCapture 1), and the filter of an endpoint's subdevice
// ("wave_r", "topo_c", ...) through its first enabled interface.
std::u16string InterfacePath();
std::u16string PipePath(int pipe);
std::u16string FilterPath(const char16_t *subdevice);
// Opens a path as a client process opens a device (read, write and
// synchronize; synchronous I/O) in the calling thread's process.
int32_t OpenAsClient(const std::u16string &path, standin::io::boundary::Handle *handle);
// Every enabled interface path of a subdevice, one per category.
size_t FilterInterfaceCount(const char16_t *subdevice);

// Read-only views of the started driver.
const CommonDataDesc &Block(int pipe);
const uint8_t *Buffer(int pipe);
bool PipeIsReady(int pipe);
uint32_t FilterHandleCount();
int32_t DevicePowerState(); // DEVICE_POWER_STATE: 1 is D0

// Blocks until at least `threads` threads wait in the kernel (with or
// without a time-out): with the pipes' two workers and each host's
// responder counted, the driver has finished what the last request woke.
void WaitUntilBlocked(size_t threads);

// Pool allocations made through the kernel since the process started.
size_t PoolAllocations();

} // namespace driver_under_test
