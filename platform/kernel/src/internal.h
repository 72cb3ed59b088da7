// Shared internals of the kernel stand-in: the thread, process and object
// structures, and the hooks one area of the stand-in offers the others.
#pragma once

#include <kernel_standin.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

using namespace standin::kernel::stop;

struct _KTHREAD {
    DISPATCHER_HEADER Header; // signalled when the thread has ended
    PEPROCESS home = nullptr;     // system process for system threads
    PEPROCESS attached = nullptr; // set by a ProcessScope
    KIRQL irql = PASSIVE_LEVEL;   // touched only by the thread itself
    std::atomic<KPRIORITY> priority{8};
    ULONG id = 0;
    bool system = false;
    std::atomic<LONG> ownedMutexes{0};
};

struct _EPROCESS {
    struct HandleEntry {
        void *body;
        ACCESS_MASK granted;
        uint64_t serial;
        bool byDriver; // created through a driver-facing call
    };
    ULONG id = 0;
    bool is32Bit = false;
    bool system = false;
    std::string name;
    std::atomic<bool> ended{false};
    // Guarded by the object manager's lock.
    std::map<uintptr_t, HandleEntry> handles;
    uintptr_t nextHandle = 4;
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

// Every process created so far, the system process first.
std::vector<PEPROCESS> AllProcesses();

// Fault injection: counts one operation of `kind`; true when it must fail.
bool ShouldFail(Fault kind);

// Object manager internals.
NTSTATUS InsertHandleInternal(PEPROCESS process, void *body, ACCESS_MASK granted, bool kernelHandle, bool byDriver,
                              HANDLE *handle);
size_t DriverHandlesSince(uint64_t serial);
LONG_PTR DriverReferenceBalance();
void CloseAllHandles(PEPROCESS process);

// Memory internals.
void RemoveProcessMappings(PEPROCESS process);
struct PoolSummary {
    size_t blocks = 0;
    size_t bytes = 0;
    std::string detail; // "NonPagedPoolNx 'Tag1' x2 (64 bytes); ..."
};
PoolSummary PoolSince(uint64_t serial);
size_t MdlsSince(uint64_t serial);
size_t MappingsSince(uint64_t serial);
// True when p is a pages descriptor that ExFreePool may release.
bool FreeMdlThroughPool(void *p);

// The booted version as (major << 8) | minor.
ULONG BootedVersion();

// Checks that the calling thread is at or below `maximum`, else a bug check
// naming `call`.
void RequireIrqlAtMost(KIRQL maximum, const char *call);

} // namespace standin::kernel::detail
