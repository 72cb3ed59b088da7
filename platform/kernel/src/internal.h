// Shared internals of the kernel stand-in: the thread, process and object
// structures, and the hooks one area of the stand-in offers the others.
#pragma once

#include <kernel_standin.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

using namespace standin::kernel::stop;

namespace standin::kernel::detail {
struct Waiter;
}

struct _KTHREAD {
    DISPATCHER_HEADER Header;                 // signalled when the thread has ended
    PEPROCESS home = nullptr;                 // the process the thread belongs to
    std::atomic<PEPROCESS> attached{nullptr}; // set by a ProcessScope or KeStackAttachProcess
    KIRQL irql = PASSIVE_LEVEL;               // touched only by the thread itself
    std::atomic<KPRIORITY> priority{8};
    ULONG id = 0;
    bool system = false;  // a system thread (PsCreateSystemThread)
    bool started = false; // started by the stand-in: it can be ended at a platform call
    std::atomic<LONG> ownedMutexes{0};
    std::string name;
    // The wait the thread is blocked in, for claimers that do not hold the
    // objects' locks (time-outs, termination) and for the deadlock report.
    std::mutex waitLock;
    standin::kernel::detail::Waiter *wait = nullptr;
    std::atomic<bool> terminating{false};
    bool counted = false;                                        // among the machine's live threads
    standin::kernel::Owner owner = standin::kernel::kPlatform;   // whose code the thread runs now
    standin::kernel::Owner creator = standin::kernel::kPlatform; // the driver that created a system thread
    // KeSetEvent with Wait TRUE: the next call must be a wait.
    bool waitMustFollow = false;
    // KeStackAttachProcess states, innermost last.
    std::vector<void *> attachStack;
};

struct _EPROCESS {
    DISPATCHER_HEADER Header; // signalled when the process has ended
    struct HandleEntry {
        void *body;
        ACCESS_MASK granted;
        uint64_t serial;
        standin::kernel::Owner owner; // the driver that made it, or the platform
    };
    ULONG id = 0;
    bool is32Bit = false;
    bool system = false;
    std::string name;
    std::atomic<bool> ended{false};       // handle rundown has begun: no new handles
    std::atomic<bool> terminating{false}; // its threads are being ended
    // Guarded by the object manager's lock.
    std::map<uintptr_t, HandleEntry> handles;
    uintptr_t nextHandle = 4;
    // Timer resolution requests (timeBeginPeriod), in 100-ns units: count by period.
    std::map<LONGLONG, long> timerPeriods; // guarded by the clock's lock
};

struct _OBJECT_TYPE {
    standin::kernel::ObjectTypeInfo info;
};

namespace standin::kernel::detail {

// A serial number stamped on everything handed out, so that a driver scope
// can tell what it handed out itself.
uint64_t NextSerial();

// The calling thread's kernel thread (created on first use for threads the
// stand-in did not start).
_KTHREAD *CurrentThread();
void InitializeThreadHeader(_KTHREAD *thread);
// Signals a thread object as ended and wakes its waiters.
void SignalThreadEnded(_KTHREAD *thread);
// Live threads, for the deadlock report and process termination; each stays
// referenced while the list lives, since a thread may end meanwhile.
class LiveThreadList {
public:
    LiveThreadList();
    ~LiveThreadList();
    LiveThreadList(const LiveThreadList &) = delete;
    LiveThreadList &operator=(const LiveThreadList &) = delete;
    std::vector<_KTHREAD *>::const_iterator begin() const { return threads.begin(); }
    std::vector<_KTHREAD *>::const_iterator end() const { return threads.end(); }

private:
    std::vector<_KTHREAD *> threads;
};
inline LiveThreadList LiveThreads() { return LiveThreadList(); }
// Ends the calling thread when its process is being terminated and the
// thread is one the stand-in started (else returns): the point where a
// thread of a dying process that calls the platform stops.
void EndThreadIfTerminating(const char *where);
// Marks the threads of a terminating process and releases their user-mode
// waits; returns the ones the stand-in started, referenced, to wait for.
std::vector<_KTHREAD *> StopProcessThreads(PEPROCESS process);

// Every process created so far, the system process first.
std::vector<PEPROCESS> AllProcesses();

// Fault injection: counts one operation of `kind`; true when it must fail.
// `tag` is the pool tag of a pool operation, `site` the caller's address.
bool ShouldFail(Fault kind, ULONG tag = 0, void *site = nullptr);

// The owner that calls made by the current thread are charged to.
Owner CurrentOwner();

// Object manager internals.
NTSTATUS InsertHandleInternal(PEPROCESS process, void *body, ACCESS_MASK granted, bool kernelHandle, Owner owner,
                              HANDLE *handle);
size_t HandlesOf(Owner owner);
LONG_PTR ReferenceBalance(Owner owner);
void ChargeReference(Owner owner, LONG_PTR delta);
void CloseAllHandles(PEPROCESS process);

// Memory internals.
void RemoveProcessMappings(PEPROCESS process);
struct PoolSummary {
    size_t blocks = 0;
    size_t bytes = 0;
    std::string detail; // "NonPagedPoolNx 'Tag1' x2 (64 bytes); ..."
};
PoolSummary PoolOf(Owner owner);
size_t MdlsOf(Owner owner);
size_t MappingsOf(Owner owner);
// True when p is a pages descriptor that ExFreePool may release.
bool FreeMdlThroughPool(void *p);
// System threads a driver created that have not ended.
size_t RunningThreadsOf(Owner owner);

// The booted version as (major << 8) | minor.
ULONG BootedVersion();

// Checks that the calling thread is at or below `maximum`, else a bug check
// naming `call`.
void RequireIrqlAtMost(KIRQL maximum, const char *call);

// The fill of memory handed out uninitialised (pool, pages without zeroing).
constexpr unsigned char kPoisonFill = 0xCD;

} // namespace standin::kernel::detail
