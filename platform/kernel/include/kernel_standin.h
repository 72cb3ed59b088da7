// Control of the kernel stand-in for tests, tools and the I/O stand-in (Linux
// build only): booted version, debugger, virtual time, emulated processes, the
// object manager, fault injection, bug checks and the driver leak check.
// Its own declarations carry no wchar_t, so code built with either wchar_t
// size may call them (the kernel structures in wdm.h that hold WCHAR keep
// their Windows layout only with 16-bit wchar_t).
#pragma once

#include <wdm.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace standin::kernel {

// ---- Booted system ----------------------------------------------------------

// The version RtlGetVersion reports (default 10.0, build 19045).
void SetVersion(ULONG major, ULONG minor, ULONG build = 0);
// Sets KdDebuggerEnabled (and KdDebuggerNotPresent to the opposite).
void SetDebuggerEnabled(bool enabled);
// DbgBreakPoint calls since the last reset, and the return address of each.
size_t BreakPointCount();
std::vector<void *> BreakPointCallers();
void ResetBreakPoints();

// ---- Time -------------------------------------------------------------------
// One clock serves the performance counter (10 MHz), the interrupt and system
// time, and every time-out of a kernel wait or delay. Real time is the default;
// a test switches to virtual time and advances it by exact amounts. The Win32
// side builds Sleep, WaitForSingleObject and QueryPerformanceCounter on the same
// kernel services, so they follow the same clock.

constexpr LONGLONG kTicksPerSecond = 10'000'000; // 100-ns units

void UseVirtualClock(bool on);
bool IsVirtualClock();
// Moves virtual time forward; waits whose deadline is reached end with
// STATUS_TIMEOUT. Returns once each of those waits has left, so what the test
// checks next does not race the woken threads.
void AdvanceClock(LONGLONG hundredNs);
// Monotonic time since boot in 100-ns units (virtual or real).
LONGLONG Now();
// Blocks (really, not by polling) until at least `count` threads are blocked
// in kernel waits. timedOnly counts only waits with a deadline (time-outs and
// delays), which are the ones an advance can end. Aborts with a message if
// they have not come after a minute of real time (a test that would hang).
void WaitForBlockedWaiters(size_t count, bool timedOnly = true);
size_t BlockedWaiters(bool timedOnly = true);

// ---- Processes --------------------------------------------------------------
// Each emulated process has its own handle table, bitness and user mappings.
// A thread runs in the system process unless a ProcessScope says otherwise
// (system threads too: a scope attaches them to a process for a while).

PEPROCESS SystemProcess();
PEPROCESS CreateProcess(bool is32Bit, const char *name = "client");
PEPROCESS CurrentProcess();
bool Is32BitProcess(PEPROCESS process);
ULONG ProcessId(PEPROCESS process);
bool IsProcessEnded(PEPROCESS process);
// Ends a client process as Windows does: runs the process-end callbacks in the
// process's context, closes every handle left in its table (with the object
// types' close callbacks, also in its context), then removes its remaining
// user mappings, whose ranges fault from then on. The process structure stays
// valid (ended) for later queries.
void EndProcess(PEPROCESS process);

// Makes the current thread run in `process` until the scope ends.
class ProcessScope {
public:
    explicit ProcessScope(PEPROCESS process);
    ~ProcessScope();
    ProcessScope(const ProcessScope &) = delete;
    ProcessScope &operator=(const ProcessScope &) = delete;

private:
    PEPROCESS previous_;
};

using ProcessEndCallback = void (*)(PEPROCESS process, void *context);
// Returns a registration id for UnregisterProcessEndCallback.
int RegisterProcessEndCallback(ProcessEndCallback callback, void *context);
void UnregisterProcessEndCallback(int id);

// User-mode views currently mapped in a process.
size_t UserMappingCount(PEPROCESS process);

// ---- Object manager ---------------------------------------------------------
// Objects are bodies with a hidden header (type, reference count, handle
// count). A handle table entry holds one reference; the last reference runs
// the type's delete callback and frees the body.

struct ObjectTypeInfo {
    const char *name;
    ACCESS_MASK validAccess; // granted access is masked to this
    // A handle to the object was closed in `process`; lastInProcess tells
    // whether it was that process's last handle to it. Runs in the context of
    // `process`, before the handle's reference is dropped.
    void (*onHandleClosed)(void *body, PEPROCESS process, bool lastInProcess);
    // The last reference went; the body is freed after this returns.
    void (*onDelete)(void *body);
};

POBJECT_TYPE CreateObjectType(const ObjectTypeInfo &info);
const char *ObjectTypeName(POBJECT_TYPE type);
POBJECT_TYPE ObjectTypeOf(void *body);
// The body is zero-filled and holds one reference for the caller.
NTSTATUS CreateObject(POBJECT_TYPE type, size_t bodySize, void **body);
// Adds a handle to `process`'s table (a kernel handle in the system process's
// table when kernelHandle), taking a reference of its own.
NTSTATUS InsertHandle(PEPROCESS process, void *body, ACCESS_MASK granted, bool kernelHandle, HANDLE *handle);
// Looks a handle up in the current context (kernel handles in the system
// table, others in `process`'s) and returns the body with a new reference.
NTSTATUS ReferenceHandle(PEPROCESS process, HANDLE handle, POBJECT_TYPE type, void **body,
                         ACCESS_MASK *granted = nullptr);
// Closes a handle of `process` (STATUS_INVALID_HANDLE when there is none).
NTSTATUS CloseHandle(PEPROCESS process, HANDLE handle);
// Reference counting on behalf of the platform itself; the driver-facing
// ObReferenceObject/ObDereferenceObject are the same but count towards the
// driver's leak balance.
void ReferenceObject(void *body);
void DereferenceObject(void *body);
LONG_PTR ObjectReferenceCount(void *body);
size_t ObjectHandleCount(void *body);
size_t HandleCount(PEPROCESS process);
bool IsKernelHandle(HANDLE handle);

// ---- Threads ----------------------------------------------------------------

// The priority last set with KeSetPriorityThread (8 by default).
KPRIORITY RecordedPriority(PKTHREAD thread);
// True once the thread's start routine has returned or it terminated.
bool HasThreadEnded(PKTHREAD thread);
// System threads still running.
size_t RunningSystemThreads();

// ---- Fault injection --------------------------------------------------------

enum class Fault {
    PoolAllocation,  // Ex*Pool* returns null
    PageAllocation,  // MmAllocatePagesForMdl(Ex) returns null
    MdlAllocation,   // IoAllocateMdl returns null
    SystemMapping,   // kernel-mode MmMapLockedPagesSpecifyCache returns null
    UserMapping,     // user-mode mapping raises STATUS_INSUFFICIENT_RESOURCES
    ThreadCreation,  // PsCreateSystemThread fails with STATUS_INSUFFICIENT_RESOURCES
    ObjectReference, // ObReferenceObjectByHandle fails with STATUS_INVALID_HANDLE
    Count
};

// Makes the n-th operation of `kind` from now on (1 = the next) fail once.
void FailNth(Fault kind, size_t n);
// Operations of `kind` since the last ResetFaults (failed ones included), so a
// test can run a scenario once, read the count and sweep every point.
size_t OperationCount(Fault kind);
// Injected failures of `kind` since the last ResetFaults.
size_t InjectedFailures(Fault kind);
void ResetFaults();

// ---- Bug checks and the driver leak check -----------------------------------

namespace stop {
// Stop codes the stand-in raises (Windows values).
enum : ULONG {
    kIrqlNotGreaterOrEqual = 0x09,
    kIrqlNotLessOrEqual = 0x0A,
    kMaximumWaitObjectsExceeded = 0x0C,
    kSpinLockAlreadyOwned = 0x0F,
    kSpinLockNotOwned = 0x10,
    kThreadNotMutexOwner = 0x11,
    kReferenceByPointer = 0x18,
    kKmodeExceptionNotHandled = 0x1E,
    kNoMoreSystemPtes = 0x3F,
    kTargetMdlTooSmall = 0x40,
    kIrqlGtZeroAtSystemService = 0x4A,
    kInvalidKernelHandle = 0x93,
    kBadPoolCaller = 0xC2,
    kDriverVerifierDetectedViolation = 0xC4,
};

// Parameter 1 of a 0xC4 bug check: 0x62 is the unload leak report (as
// Windows has it); the others are this stand-in's own checks.
enum : ULONG_PTR {
    kViolationDriverLeaks = 0x62,
    kViolationPagesFreedWhileMapped = 0x1001,
    kViolationMdlWithoutPages = 0x1002,
    kViolationBadMappingPriority = 0x1003,
    kViolationAlreadyMappedToSystem = 0x1004,
    kViolationUnmapWrongMdl = 0x1005,
    kViolationUnmapNotMapped = 0x1006,
    kViolationUnmapWrongProcess = 0x1007,
    kViolationMdlFreedWithPages = 0x1008,
    kViolationMdlFreedWhileUserMapped = 0x1009,
    kViolationUnknownMdl = 0x100A,
    kViolationBadDispatcherObject = 0x100B,
    kViolationThreadExitHoldingMutex = 0x100C,
};

// Parameter 1 of BAD_POOL_CALLER (0xC2).
enum : ULONG_PTR {
    kPoolFreeUnknown = 0x07, // not a live block: never allocated, or freed already
    kPoolBadIrql = 0x08,     // allocation above the pool type's IRQL
    kPoolFreeBadIrql = 0x09, // free above the pool type's IRQL
    kPoolFreeWrongTag = 0x0A,
    kPoolBadType = 0x0D, // unknown pool type, or a no-execute type before 6.2
};
} // namespace stop

// Prints "*** STOP: 0x%08X (p1, p2, p3, p4) NAME" and the offending call on
// stderr, then aborts; death tests match on that text.
[[noreturn]] void BugCheck(ULONG code, const char *call, ULONG_PTR p1 = 0, ULONG_PTR p2 = 0,
                           ULONG_PTR p3 = 0, ULONG_PTR p4 = 0);

// What a driver holds: pool blocks, MDLs, mappings, object references taken
// through the driver-facing calls and not dropped, and handles it created.
struct Holdings {
    size_t poolBlocks = 0;
    size_t poolBytes = 0;
    size_t mdls = 0;
    size_t mappings = 0;
    LONG_PTR references = 0;
    size_t handles = 0;
    bool empty() const { return !poolBlocks && !mdls && !mappings && !references && !handles; }
};

// Begins a driver scope (at driver load); everything the driver-facing calls
// hand out from now on is counted against it.
class DriverScope {
public:
    DriverScope();
    // What is held now that was handed out since the scope began.
    Holdings Held() const;
    // Called at unload: when anything is still held, a bug check 0xC4 with
    // parameter 1 = 0x62 lists it by kind, pool blocks by pool type and tag.
    void CheckUnload(const char *driverName) const;

private:
    uint64_t startSerial_;
    LONG_PTR startReferences_;
};

} // namespace standin::kernel
