// The interposed platform calls and allocator. The program's own definitions
// come first in the dynamic linker's search, so libombapi's calls reach them;
// each forwards to the next definition (the stand-in's, the C library's).
#include "Probe.h"

#include <windows.h>

#include <dlfcn.h>
#include <errno.h>
#include <malloc.h>
#include <stdlib.h>
#include <time.h>

extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *block, size_t size);
void *__libc_memalign(size_t alignment, size_t size);
void __libc_free(void *block);
}

namespace ombbench {

namespace {

thread_local CallObserver *observer = nullptr;
thread_local uint64_t allocations = 0;

// The next definition of one of our own exported functions: its (mangled)
// name comes from the dynamic symbol table, so no name is spelled here.
template <typename Function>
Function Next(Function ours)
{
    Dl_info info = {};
    if (dladdr(reinterpret_cast<void *>(ours), &info) == 0 || info.dli_sname == nullptr)
        abort();
    void *next = dlsym(RTLD_NEXT, info.dli_sname);
    if (next == nullptr)
        abort();
    return reinterpret_cast<Function>(next);
}

int64_t Now(clockid_t clock)
{
    timespec t;
    clock_gettime(clock, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

} // namespace

void ObserveThread(CallObserver *o)
{
    observer = o;
}

uint64_t ThreadAllocations()
{
    return allocations;
}

int64_t ThreadCpuNs()
{
    return Now(CLOCK_THREAD_CPUTIME_ID);
}

int64_t RealNs()
{
    return Now(CLOCK_MONOTONIC);
}

} // namespace ombbench

using ombbench::observer;

BOOL WINAPI DeviceIoControl(HANDLE device, DWORD code, LPVOID input, DWORD inputLength, LPVOID output,
                            DWORD outputLength, LPDWORD returned, LPOVERLAPPED overlapped)
{
    static const auto next = ombbench::Next(&DeviceIoControl);
    if (observer != nullptr)
        observer->ControlEntered(code, input, inputLength);
    const BOOL result = next(device, code, input, inputLength, output, outputLength, returned, overlapped);
    if (observer != nullptr)
        observer->ControlReturned(code);
    return result;
}

DWORD WINAPI WaitForSingleObject(HANDLE object, DWORD milliseconds)
{
    static const auto next = ombbench::Next(&WaitForSingleObject);
    if (observer != nullptr)
        observer->WaitEntered();
    const DWORD result = next(object, milliseconds);
    if (observer != nullptr)
        observer->WaitReturned(result);
    return result;
}

extern "C" {

void *malloc(size_t size)
{
    ++ombbench::allocations;
    return __libc_malloc(size);
}

void *calloc(size_t count, size_t size)
{
    ++ombbench::allocations;
    return __libc_calloc(count, size);
}

void *realloc(void *block, size_t size)
{
    ++ombbench::allocations;
    return __libc_realloc(block, size);
}

void *memalign(size_t alignment, size_t size)
{
    ++ombbench::allocations;
    return __libc_memalign(alignment, size);
}

void *aligned_alloc(size_t alignment, size_t size)
{
    return memalign(alignment, size);
}

int posix_memalign(void **block, size_t alignment, size_t size)
{
    if (alignment < sizeof(void *) || (alignment & (alignment - 1)) != 0)
        return EINVAL;
    void *p = memalign(alignment, size);
    if (p == nullptr)
        return ENOMEM;
    *block = p;
    return 0;
}

void free(void *block)
{
    __libc_free(block);
}

} // extern "C"
