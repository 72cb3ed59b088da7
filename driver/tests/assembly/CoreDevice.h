// The driver core as the adapter will own it, assembled into a small test
// driver: the two pipes tied to the two endpoint links, started at device
// start, the control channel's interface registered and enabled, and create,
// close and device-control requests routed to the pipes. The endpoints'
// miniports are test doubles that count what reaches them. This header
// carries no wide text, so client-side tests can include it.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string>
#include <vector>
#include "CommonDataDesc.h"

namespace core_device {

// Loads the driver and adds its device; then starts it. Statuses are
// NTSTATUS values.
int32_t LoadAndAdd();
int32_t Start();
// Both, and true when both succeeded.
bool Load();
// Unloads the driver; the platform's leak check stops the test process when
// the driver still holds anything. Every client handle must be closed first.
void Unload();

// The device's interface path (UTF-16) and a pipe's full path.
std::u16string InterfacePath();
std::u16string PipePath(int pipe); // PipeRender 0, PipeCapture 1

// The driver's own views of a pipe's block and audio buffer.
CommonDataDesc &Block(int pipe);
uint8_t *Buffer(int pipe);
bool PipeIsReady(int pipe);

// Posts a driver request to the pipe's client, as a stream does.
int32_t RequestClient(int pipe, uint32_t code);

// The endpoint served by a pipe, through its test miniports.
void AttachStream(int pipe); // a stream appears: StreamAttached 1
void DetachStream(int pipe); // it goes: StreamAttached 0, then what was deferred applies
uint32_t FormatChanges(int pipe);
uint32_t JackChanges(int pipe);
// Each position update the worker ran, with the DevicePositionFrames it read.
std::vector<uint32_t> PositionUpdates(int pipe);
// Updates that ran without the link lock held by their thread.
uint32_t UnlockedUpdates(int pipe);
// The priority of the thread that ran the last update.
int32_t UpdaterPriority(int pipe);
// While held, each update waits for ReleaseUpdate before it returns.
void HoldUpdates(int pipe, bool hold);
void ReleaseUpdate(int pipe);
// Waits until an update has begun since the last call.
void WaitForUpdateStart(int pipe);

// Requests that were not for a pipe and went on to the rest of the driver.
uint32_t PassedOnRequests();

} // namespace core_device
