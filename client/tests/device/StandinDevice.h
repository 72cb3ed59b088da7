// A stand-in for the driver's control channel, for the client library's
// tests: a small driver written with the kernel API that serves the control
// requests on two pipes and maps each pipe's block and buffer into the
// opener's process. Tests steer it through this header, which carries no
// wide text, so both sides of the tree can include it.
#pragma once

#include <stdint.h>
#include "CommonDataDesc.h"

namespace standin_device {

// Loads, adds and starts the device (its interface enabled), or unloads it
// and checks that it leaks nothing.
bool Load();
void Unload();
// A second device with an interface of the same class that serves nothing,
// its interface enabled or left disabled.
bool LoadQuietDevice(bool enableInterface);
void UnloadQuietDevice();

// The device's own view of a pipe's block and buffer (pipe 0 render, 1 capture).
CommonDataDesc &Block(int pipe);
uint8_t *Buffer(int pipe);
bool IsOpen(int pipe);
bool HasClientEvent(int pipe);

// Posts a driver request to the pipe's client and waits up to one second for
// the reply, as the driver does. Returns the reply status, 0xC00000A3 when the
// client has no event or does not answer in time.
int32_t Post(int pipe, uint32_t code);
// Sets the client's event without posting a request (RequestFlags clear).
void SignalClient(int pipe);
// Writes the stream fields of the block and announces them with code 3.
int32_t AnnounceStream(int pipe, bool attached, uint32_t state, uint32_t bufferFrames);

// Position notifications the pipe has received, and what the client had
// written into the block at the last one.
uint32_t PositionNotifications(int pipe);
uint32_t LastNotifiedFrames(int pipe);
uint32_t LastNotifiedBytes(int pipe);
// Requests with each code the pipe has seen (every code, accepted or not).
uint32_t RequestsSeen(int pipe, uint32_t code);

// Misbehaviour: answer requests with `code` by failing with `status` (0 to
// stop); hand out an unreadable block address, or an unreadable buffer address.
void RefuseRequest(int pipe, uint32_t code, int32_t status);
void HandOutUnreadableBlock(int pipe, bool on);
// Holds the next request with `code` in the driver, on its caller's thread,
// until released; then it is served as any other (refusal included).
void HoldNextRequest(int pipe, uint32_t code);
bool IsHoldingRequest(int pipe);
void ReleaseHeldRequest(int pipe);
// The handle value the client registered its event with (0 before).
uint64_t ClientEventHandle(int pipe);
void HandOutUnreadableBuffer(int pipe, bool on);

// Emulated client processes and the virtual clock of the platform.
uint64_t CreateClientProcess();
void EndClientProcess(uint64_t process);
class InProcess {
public:
    explicit InProcess(uint64_t process);
    ~InProcess();
    InProcess(const InProcess &) = delete;
    InProcess &operator=(const InProcess &) = delete;
};
void UseVirtualClock(bool on);
void AdvanceClock(int64_t hundredNs);
// Waits until `count` threads are blocked in timed waits; how many are.
void WaitForTimedWaiters(size_t count);
size_t TimedWaiters();
// Threads blocked in any kernel wait, with or without a time-out.
size_t Waiters();
uint32_t TimerPeriodsHeld();
// Handles open in an emulated process.
size_t HandleCount(uint64_t process);

} // namespace standin_device
