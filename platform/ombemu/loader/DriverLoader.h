// Ombrivo in the emulated machine: loaded through DriverEntry and the PnP
// manager as Windows loads it, its device added and started, and unloaded
// under the kernel's leak check. One driver at a time. This header carries
// no wide text, so code of either side (16-bit or 4-byte wchar_t) calls it.
#pragma once

#include <stdint.h>

namespace ombemu::loader {

// Each step returns its NTSTATUS. LoadDriver sets the booted Windows version
// first; a failed load leaves nothing loaded.
int32_t LoadDriver(uint32_t major, uint32_t minor);
int32_t AddDevice();
int32_t StartDevice();
// The three steps; the first failing status (a failed add or start unloads
// again), 0 when all succeeded.
int32_t Load(uint32_t major, uint32_t minor);
// Removes the device and unloads. With `leaked` null, a leak stops the
// machine (the kernel's check); otherwise what the driver still held is
// printed and *leaked tells whether it held anything. STATUS_DEVICE_BUSY
// (nothing done) while a client still has a handle open on the device.
int32_t Unload(bool *leaked = nullptr);
bool IsLoaded();
// The kernel's owner of what the loaded driver's code holds (0, the
// platform's, when nothing is loaded).
uint32_t Owner();

} // namespace ombemu::loader
