// What ombbench sees of a thread's calls into the platform, without touching
// the library under measurement: the program interposes DeviceIoControl and
// WaitForSingleObject (the library calls them through the dynamic linker) and
// the C allocator, and tells the observer of the calling thread, if any.
#pragma once

#include <stdint.h>

namespace ombbench {

class CallObserver {
public:
    // `code` is the control code; `input` the request's first bytes.
    virtual void ControlEntered(uint32_t code, const void *input, uint32_t inputLength) {}
    virtual void ControlReturned(uint32_t code) {}
    virtual void WaitEntered() {}
    virtual void WaitReturned(uint32_t result) {}

protected:
    ~CallObserver() = default;
};

// The observer of the calling thread's calls (null: none).
void ObserveThread(CallObserver *observer);

// Blocks the C allocator handed out to the calling thread since it began
// (malloc, calloc, realloc, the aligned forms, and so operator new).
uint64_t ThreadAllocations();

// The calling thread's CPU time, and real time, in nanoseconds.
int64_t ThreadCpuNs();
int64_t RealNs();

} // namespace ombbench
