// The worker's priority, and KeSetEvent interposed: the program's definition
// comes first for the driver's calls (linked into it) and the stand-ins'
// (through the dynamic linker); it notes the two moments and forwards.
#include "KernelSide.h"

#include <wdm.h>

#include <dlfcn.h>
#include <stdlib.h>
#include <time.h>
#include <atomic>

namespace ombbench {

namespace {

thread_local bool insideNotify = false;
std::atomic<void *> engineEvent{nullptr};
std::atomic<int64_t> workerWoken{0}, engineSignalled{0};

int64_t Now()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

} // namespace

void RaiseToWorkerPriority()
{
    KeSetPriorityThread(KeGetCurrentThread(), HIGH_PRIORITY);
}

void MarkPositionNotify(bool inside)
{
    insideNotify = inside;
}

void WatchEngineEvent(void *handle)
{
    PVOID object = nullptr;
    if (handle != nullptr && NT_SUCCESS(ObReferenceObjectByHandle(handle, EVENT_MODIFY_STATE, *ExEventObjectType,
                                                                  UserMode, &object, nullptr))) {
        ObDereferenceObject(object); // the handle keeps it; only its address is compared
    }
    engineEvent.store(object);
}

int64_t WorkerWokenAt()
{
    return workerWoken.load(std::memory_order_acquire);
}

int64_t EngineSignalledAt()
{
    return engineSignalled.load(std::memory_order_acquire);
}

} // namespace ombbench

extern "C" LONG KeSetEvent(PRKEVENT event, KPRIORITY increment, BOOLEAN wait)
{
    using Next = LONG (*)(PRKEVENT, KPRIORITY, BOOLEAN);
    static const Next next = [] {
        auto found = reinterpret_cast<Next>(dlsym(RTLD_NEXT, "KeSetEvent"));
        if (found == nullptr)
            abort();
        return found;
    }();
    if (ombbench::insideNotify) { // the request's first event: the driver's, for its worker
        ombbench::insideNotify = false;
        ombbench::workerWoken.store(ombbench::Now(), std::memory_order_release);
    } else if (event != nullptr && event == ombbench::engineEvent.load(std::memory_order_relaxed))
        ombbench::engineSignalled.store(ombbench::Now(), std::memory_order_release);
    return next(event, increment, wait);
}
