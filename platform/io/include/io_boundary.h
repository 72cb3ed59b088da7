// What the Win32 stand-in calls in the kernel and I/O stand-in. Both sides
// compile this header: text crosses as char16_t (UTF-16, as the kernel side
// holds it) and numbers as fixed-width types, so the Win32 side's 4-byte
// wchar_t never meets the kernel side's 16-bit one. Status results are
// NTSTATUS values; the Win32 side turns failures into Win32 errors with
// StatusToWin32, the one translation of the platform.
#pragma once

#include <guiddef.h>
#include <stdint.h>
#include <string>
#include <vector>

namespace standin::io::boundary {

using Status = int32_t;
using Handle = void *;

// RtlNtStatusToDosError's table.
uint32_t StatusToWin32(Status status);

// True when every byte of the range can be read (an empty range can).
bool ProbeRead(const void *address, uint64_t length);
// True when every byte of the range can be written (an empty range can);
// the bytes keep their values.
bool ProbeWrite(void *address, uint64_t length);

// --- Device interfaces, as the Win32 side enumerates them ---------------
struct InterfaceRecord {
    GUID interfaceClass;
    std::u16string devicePath;     // the user-mode path: \\?\<instance>#{class}[\<reference>]
    std::u16string deviceInstance; // e.g. ROOT\MEDIA\0000
    bool enabled;                  // the interface state the driver set
};

// Interfaces of the class (every class when classGuid is null) whose device
// is present, enabled or not, in the order they were registered.
std::vector<InterfaceRecord> PresentInterfaces(const GUID *classGuid);

// The device setup class every root-enumerated device of the stand-in has
// (the media class).
GUID DeviceSetupClass();

// --- Files ---------------------------------------------------------------
// Opens a device path (\\?\... or \\.\...) in the current process: resolves
// it through the enabled device interfaces, sends the create request and
// inserts a handle with the access granted. desiredAccess is a Win32 access
// mask (GENERIC_* bits are mapped as for files).
Status OpenFile(const char16_t *path, uint32_t desiredAccess, uint32_t shareAccess, uint32_t createDisposition,
                uint32_t createOptions, Handle *handle);

// Opens an object relative to an open file handle of the current process, as
// kernel streaming creates a pin on a filter: name (length UTF-16 units,
// binary data allowed) becomes the create's file name, the parent its related
// file object. desiredAccess is a Win32 access mask.
Status OpenRelative(Handle parent, const char16_t *name, size_t length, uint32_t desiredAccess, Handle *handle);

// A synchronous device-control request on a file handle of the current
// process. information receives the bytes returned (0 on failure).
Status DeviceControl(Handle file, uint32_t controlCode, const void *input, uint32_t inputLength, void *output,
                     uint32_t outputLength, uint64_t *information);

// --- Handles, events, waits, time ------------------------------------------
Status CloseHandle(Handle handle);
Status CreateEvent(bool manualReset, bool initialState, Handle *handle);
Status SetEvent(Handle event);
Status ResetEvent(Handle event);
// timeout100ns null: no time-out; otherwise a relative time-out (<= 0, in
// 100-ns units). Returns STATUS_SUCCESS (signalled), STATUS_TIMEOUT or the
// failure of the handle lookup.
Status WaitForObject(Handle object, const int64_t *timeout100ns);
// WaitForMultipleObjects: 1 to 64 handles, any or all of them; returns
// STATUS_WAIT_0 + the index of the object that ended a wait for any,
// STATUS_SUCCESS for all, STATUS_TIMEOUT or the failure of a handle lookup.
Status WaitForObjects(uint32_t count, const Handle *objects, bool waitAll, const int64_t *timeout100ns);
// relative100ns null: no end (the thread ends when its process terminates).
Status Delay(const int64_t *relative100ns);
int64_t PerformanceCounter();
int64_t PerformanceFrequency();

// Duplicates a handle of one process into another (DuplicateHandle);
// closeSource closes the source handle even when no duplicate is made.
Status DuplicateHandle(uint64_t source, Handle handle, uint64_t target, Handle *duplicate, uint32_t access,
                       bool sameAccess, bool closeSource);
// Closes a handle of another process (DUPLICATE_CLOSE_SOURCE on its own).
Status CloseHandleOf(uint64_t process, Handle handle);
// timeBeginPeriod (begin) and timeEndPeriod of the current process.
void TimerPeriod(bool begin, uint32_t milliseconds);

// --- Emulated client processes (for tests and tools) -----------------------
// A thread that has not entered a process runs its Win32 calls in one
// default 64-bit client process, as a plain program would.
using ProcessId = uint64_t;
ProcessId CreateClientProcess(bool is32Bit);
// Ends the process as Windows terminates one: its threads end, then its
// handles are closed (cleanup and close requests run in it) and its mappings
// removed.
void EndClientProcess(ProcessId process);
bool IsProcessEnded(ProcessId process);
bool IsProcess32Bit(ProcessId process);
size_t ProcessHandleCount(ProcessId process);
// Makes the calling thread run in the process until the matching
// LeaveProcess; entries nest.
void EnterProcess(ProcessId process);
void LeaveProcess();
// The process the calling thread's Win32 calls run in.
ProcessId CurrentProcess();
// Its Win32 id (GetProcessId).
uint32_t ProcessNumber(ProcessId process);
// The process with the Win32 id, ended or not (STATUS_INVALID_CID when none).
Status FindProcess(uint32_t number, ProcessId *process);
// The process a process handle of the current process refers to, and the
// access the handle grants.
Status ProcessOfHandle(Handle handle, ProcessId *process, uint32_t *granted);
// A handle in `table`'s handle table to the process `process` (OpenProcess,
// or duplicating a process's pseudo handle); access is a process access mask.
Status InsertProcessHandle(ProcessId table, ProcessId process, uint32_t access, Handle *handle);

// Starts a thread of the process (a stand-in thread: it ends at its next
// platform call once its process terminates); JoinThread waits for it.
using Thread = void *;
Thread StartThread(ProcessId process, const char *name, void (*body)(void *), void *context);
void JoinThread(Thread thread);
// CreateThread: a thread of the current process running body(argument), and
// a handle to it in that process, signalled when the thread has ended. On
// failure the body never runs.
Status CreateThread(const char *name, void (*body)(void *), void *context, Handle *handle);
// The resolution (100-ns units) the process's real-time waits get.
int64_t TimerResolution(ProcessId process);

// --- The kernel's clock (for tests) -----------------------------------------
// 0 real time, 1 virtual time a test advances, 2 virtual time that advances
// itself whenever every thread of the machine waits.
void SetClockMode(int mode);
void SetPerformanceFrequency(int64_t hertz);
void UseVirtualClock(bool on);
void AdvanceClock(int64_t hundredNs);
// Blocks until at least count threads wait with a time-out on the clock.
void WaitForBlockedWaiters(size_t count);

} // namespace standin::io::boundary
