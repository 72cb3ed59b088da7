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
#include <string>
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

// ---- Owners -----------------------------------------------------------------
// Everything handed out through the driver-facing calls (pool, memory
// descriptor lists, mappings, object references, handles, system threads) is
// charged to the owner whose code made the call: the driver the I/O manager
// or PnP manager called into (or whose system thread runs), or the platform.
// Platform components that run beside drivers (the I/O manager, PortCls, the
// audio engine) run as kPlatform; a component that calls into a driver runs
// that call under the driver's OwnerScope.

using Owner = uint32_t;
constexpr Owner kPlatform = 0;

// A new owner (a loaded driver); names appear in leak reports.
Owner RegisterOwner(const char *name);
const char *OwnerName(Owner owner);
// The owner of the calling thread's calls.
Owner CurrentOwner();

// Makes the calling thread's calls count against `owner` until the scope ends.
class OwnerScope {
public:
    explicit OwnerScope(Owner owner);
    ~OwnerScope();
    OwnerScope(const OwnerScope &) = delete;
    OwnerScope &operator=(const OwnerScope &) = delete;

private:
    Owner previous_;
};

// ---- Time -------------------------------------------------------------------
// One clock serves the performance counter, the interrupt and system time and
// every time-out of a kernel wait or delay; the Win32 side builds Sleep, the
// waits and QueryPerformanceCounter on the same kernel services.
//
// Real:      real time; time-outs expire on ticks of the timer resolution the
//            waiting process asked for (timeBeginPeriod), 15.625 ms by default.
// Manual:    virtual time that moves only when a test calls AdvanceClock.
// Simulated: virtual time that advances itself: when every thread of the
//            machine is blocked in a wait of the stand-in, the clock jumps to
//            the earliest deadline and wakes exactly the waits due then. When
//            every thread is blocked and none has a deadline, the machine
//            reports a deadlock listing each thread's wait and ends.
// Virtual time-outs are exact (no tick rounding).

constexpr LONGLONG kTicksPerSecond = 10'000'000; // 100-ns units

enum class ClockMode { Real, Manual, Simulated };
void SetClockMode(ClockMode mode);
ClockMode GetClockMode();
// Manual (true) or Real (false); kept for the tests written before the modes.
void UseVirtualClock(bool on);
bool IsVirtualClock();
// Moves virtual time forward (Manual or Simulated); waits whose deadline is
// reached end with STATUS_TIMEOUT. Returns once each of those waits has left,
// so what the test checks next does not race the woken threads.
void AdvanceClock(LONGLONG hundredNs);
// Monotonic time since boot in 100-ns units (virtual or real), read without a lock.
LONGLONG Now();
// The performance counter's frequency (10 MHz unless set; real machines
// report others, such as 3,579,545 Hz). The counter is Now() scaled to it.
void SetPerformanceFrequency(LONGLONG hertz);
LONGLONG PerformanceFrequency();
// Blocks (really, not by polling) until at least `count` threads are blocked
// in kernel waits. timedOnly counts only waits with a deadline (time-outs and
// delays), which are the ones an advance can end. Aborts with a message if
// they have not come after a minute of real time (a test that would hang).
void WaitForBlockedWaiters(size_t count, bool timedOnly = true);
size_t BlockedWaiters(bool timedOnly = true);
// Timer resolution requests of a process (timeBeginPeriod/timeEndPeriod), in
// 100-ns units; the resolution its real-time waits get is the finest it asked
// for, the system process's the finest any process asked for.
void RequestTimerResolution(PEPROCESS process, LONGLONG period);
void ReleaseTimerResolution(PEPROCESS process, LONGLONG period);
LONGLONG TimerResolution(PEPROCESS process);

// ---- The machine's threads --------------------------------------------------
// Threads the stand-in starts belong to an emulated process and are counted
// by the self-advancing clock from their start; a thread the test created
// itself counts from its first call into the stand-in until it ends. A thread
// must wait through the stand-in (kernel or Win32 waits, JoinThread) or say
// that it waits elsewhere (OutsideWait), or the clock cannot know it is idle.

// Starts a thread in `process` running body(context); it is a user thread of
// that process (the system process: a system thread). Returns a referenced
// thread object: JoinThread waits for it and drops the reference.
PKTHREAD StartThread(PEPROCESS process, const char *name, void (*body)(void *context), void *context);
// Waits (a visible wait) until the thread has ended, then drops the reference.
void JoinThread(PKTHREAD thread);
// The calling thread is blocked outside the stand-in (a join, a lock of the
// test's own) for the length of the scope: it counts as waiting without a
// deadline and shows in a deadlock report under `what`.
class OutsideWait {
public:
    explicit OutsideWait(const char *what);
    ~OutsideWait();
    OutsideWait(const OutsideWait &) = delete;
    OutsideWait &operator=(const OutsideWait &) = delete;
};
// A wait with no object and no deadline (Sleep(INFINITE)): it ends only when
// the thread's process terminates (a user-mode wait), with STATUS_USER_APC.
NTSTATUS WaitForever(KPROCESSOR_MODE mode, const char *call);
// Entry points of the platform that user code calls (the Win32 side) call
// this first: a stand-in thread of a terminating process ends here.
void EndThreadIfTerminating();
// Names the calling thread in reports.
void SetThreadName(const char *name);
// While on, a system thread whose routine has returned does not end until the
// machine has nothing else to do: code that waited for an event the thread set
// on its way out, instead of for the thread itself, then runs ahead of the
// thread's exit (a driver unloaded under it is stopped with 0xCE).
void DeferThreadExits(bool on);
// The deadlock report: every live thread with its process and its wait.
std::string DescribeThreads();

// ---- Processes --------------------------------------------------------------
// Each emulated process has its own handle table, bitness, threads and user
// mappings, and is an object of the object manager (ObReferenceObject works).
// A thread runs in its own process unless a ProcessScope or an attach says
// otherwise (threads the test created belong to the system process).

PEPROCESS SystemProcess();
PEPROCESS CreateProcess(bool is32Bit, const char *name = "client");
PEPROCESS CurrentProcess();
bool Is32BitProcess(PEPROCESS process);
ULONG ProcessId(PEPROCESS process);
bool IsProcessEnded(PEPROCESS process);
// Ends a client process as Windows does when its last thread exits or it is
// terminated: its threads are ended first (a thread blocked in a user-mode
// wait is released and ends; a thread inside a request has the request
// cancelled and waits for its completion; a thread running in the driver goes
// on until it returns to the platform; a stand-in thread of the process ends
// at its next call into the platform), then the process-end callbacks run in
// the process's context, every handle left in its table is closed (with the
// object types' close callbacks, also in its context), then the user mappings
// left in it are removed, whose ranges fault from then on. The process object
// is signalled and stays valid (ended) for later queries.
void EndProcess(PEPROCESS process);
// The same from any thread, the calling thread included when it belongs to
// the process (it then ends as well).
void TerminateProcess(PEPROCESS process);

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
// Duplicates a handle of `source` into `target`'s table (DuplicateHandle):
// the same object with `access` (or the source's access when sameAccess);
// closeSource closes the source handle as well (DUPLICATE_CLOSE_SOURCE), even
// when the duplicate cannot be made.
NTSTATUS DuplicateHandle(PEPROCESS source, HANDLE handle, PEPROCESS target, HANDLE *duplicate, ACCESS_MASK access,
                         bool sameAccess, bool closeSource);
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
    ShortPages,      // MmAllocatePagesForMdl(Ex) returns fewer pages than asked (not with MM_ALLOCATE_FULLY_REQUIRED)
    Count
};

// Which operations a rule counts: all fields are optional filters. Counting
// only the operations of one owner (or tag, thread, call site) keeps a sweep
// deterministic while other threads of the machine make their own calls.
struct FaultFilter {
    bool anyOwner = true;
    Owner owner = kPlatform;
    ULONG tag = 0;             // pool operations with this tag (0: any)
    PKTHREAD thread = nullptr; // calls of this thread (null: any)
    void *site = nullptr;      // calls from this return address (null: any); see LastCallSite
    static FaultFilter ForOwner(Owner o)
    {
        FaultFilter f;
        f.anyOwner = false;
        f.owner = o;
        return f;
    }
};

// Makes the n-th operation of `kind` from now on (1 = the next) that matches
// the filter fail once.
void FailNth(Fault kind, size_t n, const FaultFilter &filter = {});
// Operations of `kind` since the last ResetFaults (failed ones included), so
// a test can run a scenario once, read the count and sweep every point. A
// filtered count starts when it is first asked for after ResetFaults: ask
// once (0) before the scenario.
size_t OperationCount(Fault kind);
size_t OperationCount(Fault kind, const FaultFilter &filter);
// Injected failures of `kind` since the last ResetFaults.
size_t InjectedFailures(Fault kind);
// The return address of the last operation of `kind` (for a call-site filter).
void *LastCallSite(Fault kind);
void ResetFaults();

// ---- Guards, probes and faults ----------------------------------------------
// An access fault (SIGSEGV/SIGBUS) inside a guard (GuardedCall, and so
// ProbeForRead/ProbeForWrite and the driver's exception guard) becomes
// STATUS_ACCESS_VIOLATION for that thread, as structured exception handling
// gives it; outside a guard it is an emulated bug check naming the address
// and the code's location. A stand-in thread of a terminating process that
// faults on a retired view ends instead.

// Installs the fault handler (done at load; again after a sanitizer or test
// replaced it).
void InstallFaultHandler();
// The address of the last fault a guard caught on this thread.
void *LastGuardedFaultAddress();

// ---- Bug checks and the driver leak check -----------------------------------

namespace stop {
// Stop codes the stand-in raises (Windows values); StopCodeName gives each
// its name and kStopCodes lists them all.
enum : ULONG {
    kInvalidProcessAttachAttempt = 0x05,
    kInvalidProcessDetachAttempt = 0x06,
    kIrqlNotGreaterOrEqual = 0x09,
    kIrqlNotLessOrEqual = 0x0A,
    kMaximumWaitObjectsExceeded = 0x0C,
    kSpinLockAlreadyOwned = 0x0F,
    kSpinLockNotOwned = 0x10,
    kThreadNotMutexOwner = 0x11,
    kReferenceByPointer = 0x18,
    kKmodeExceptionNotHandled = 0x1E,
    kNoMoreIrpStackLocations = 0x35,
    kNoMoreSystemPtes = 0x3F,
    kTargetMdlTooSmall = 0x40,
    kMultipleIrpCompleteRequests = 0x44,
    kIrqlGtZeroAtSystemService = 0x4A,
    kInvalidKernelHandle = 0x93,
    kBadPoolCaller = 0xC2,
    kDriverVerifierDetectedViolation = 0xC4,
    kDriverVerifierIoManagerViolation = 0xC9,
    kDriverUnloadedWithoutCancellingPendingOperations = 0xCE,
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
    kViolationWaitDidNotFollowSetEvent = 0x100D,
    kViolationDelayWithoutInterval = 0x100E,
    kViolationBadPriority = 0x100F,
    kViolationTerminateNotSystemThread = 0x1010,
    kViolationMdlChainedOnIrp = 0x1011,
};

// Parameter 1 of BAD_POOL_CALLER (0xC2).
enum : ULONG_PTR {
    kPoolFreeUnknown = 0x07, // not a live block: never allocated, or freed already
    kPoolBadIrql = 0x08,     // allocation above the pool type's IRQL
    kPoolFreeBadIrql = 0x09, // free above the pool type's IRQL
    kPoolFreeWrongTag = 0x0A,
    kPoolBadType = 0x0D, // unknown pool type, or a no-execute type before 6.2
};

// Parameter 1 of DRIVER_VERIFIER_IOMANAGER_VIOLATION (0xC9): Windows' values
// below 0x100, the stand-in's own checks from 0x100.
enum : ULONG_PTR {
    kIoIrqlChangedInDispatch = 0x05, // a dispatch routine returned at another IRQL
    kIoCompletedWithCancelRoutine = 0x07,
    kIoPendingNotMarked = 0x100,      // STATUS_PENDING returned without IoMarkIrpPending
    kIoMarkedNotPending = 0x101,      // IoMarkIrpPending, then a status other than STATUS_PENDING
    kIoReturnedNotComplete = 0x102,   // a status returned for a request never completed
    kIoDeviceStillAttached = 0x103,   // IoDeleteDevice on a device still attached to a lower one
    kIoInformationTooLarge = 0x104,   // a buffered request's Information above its output length
    kIoOpenWhileInitializing = 0x105, // a create sent to a device with DO_DEVICE_INITIALIZING set
};

// The one table of the stop codes above with their names.
struct StopCodeInfo {
    ULONG code;
    const char *name;
};
extern const StopCodeInfo kStopCodes[];
extern const size_t kStopCodeCount;
} // namespace stop

// The name of a stop code ("IRQL_NOT_LESS_OR_EQUAL"), "" for an unknown one.
const char *StopCodeName(ULONG code);

// Prints "*** STOP: 0x%08X (p1, p2, p3, p4) NAME" and the offending call on
// stderr, then aborts; death tests match on that text.
[[noreturn]] void BugCheck(ULONG code, const char *call, ULONG_PTR p1 = 0, ULONG_PTR p2 = 0, ULONG_PTR p3 = 0,
                           ULONG_PTR p4 = 0);

// What an owner holds: pool blocks, MDLs, mappings, object references taken
// through the driver-facing calls and not dropped, handles it created and
// system threads of its that still run.
struct Holdings {
    size_t poolBlocks = 0;
    size_t poolBytes = 0;
    size_t mdls = 0;
    size_t mappings = 0;
    LONG_PTR references = 0;
    size_t handles = 0;
    size_t threads = 0;
    bool empty() const { return !poolBlocks && !mdls && !mappings && !references && !handles && !threads; }
};

Holdings HeldBy(Owner owner);

// A driver's owner for the length of its life (registered at driver load);
// everything the driver's code is handed counts against it.
class DriverScope {
public:
    // A driver of the PnP manager: it runs its calls under OwnerScope.
    explicit DriverScope(const char *name);
    // A test standing in for a driver: the constructing thread's calls count
    // against the scope while it lives.
    DriverScope();
    ~DriverScope();
    DriverScope(const DriverScope &) = delete;
    DriverScope &operator=(const DriverScope &) = delete;
    Owner Id() const { return owner_; }
    // What the driver holds now.
    Holdings Held() const;
    // Called at unload: a system thread of the driver still running is a
    // bug check 0xCE; anything else still held is a bug check 0xC4 with
    // parameter 1 = 0x62 listing it by kind, pool blocks by pool type and tag.
    void CheckUnload(const char *driverName) const;
    // The same report for a bench that goes on after a leak: a running
    // thread still stops (its code would run on in an unloaded image); what
    // else is held is printed and returned instead of stopping the system.
    Holdings ReportUnload(const char *driverName) const;

private:
    Owner owner_;
    bool adopted_ = false;
    Owner previous_ = kPlatform;
};

} // namespace standin::kernel
