// The booted system's version, the kernel debugger flag, breakpoints and
// debug output.
#include "internal.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

static_assert(sizeof(WCHAR) == 2, "the kernel stand-in is built with 16-bit WCHAR");
static_assert(sizeof(RTL_OSVERSIONINFOW) == 276 && sizeof(RTL_OSVERSIONINFOEXW) == 284,
              "version structures have their Windows sizes");

// Declared extern "C" in wdm.h.
BOOLEAN KdDebuggerEnabled = FALSE;
BOOLEAN KdDebuggerNotPresent = TRUE;

namespace standin::kernel {

namespace {

struct SystemState {
    std::mutex lock;
    ULONG major = 10, minor = 0, build = 19045;
    std::vector<void *> breakPointCallers;
};

SystemState &State()
{
    static SystemState *state = new SystemState;
    return *state;
}

} // namespace

void SetVersion(ULONG major, ULONG minor, ULONG build)
{
    auto &s = State();
    std::lock_guard lk(s.lock);
    s.major = major;
    s.minor = minor;
    s.build = build;
}

void SetDebuggerEnabled(bool enabled)
{
    __atomic_store_n(&KdDebuggerEnabled, enabled ? TRUE : FALSE, __ATOMIC_SEQ_CST);
    __atomic_store_n(&KdDebuggerNotPresent, enabled ? FALSE : TRUE, __ATOMIC_SEQ_CST);
}

size_t BreakPointCount()
{
    auto &s = State();
    std::lock_guard lk(s.lock);
    return s.breakPointCallers.size();
}

std::vector<void *> BreakPointCallers()
{
    auto &s = State();
    std::lock_guard lk(s.lock);
    return s.breakPointCallers;
}

void ResetBreakPoints()
{
    auto &s = State();
    std::lock_guard lk(s.lock);
    s.breakPointCallers.clear();
}

namespace detail {

ULONG BootedVersion()
{
    auto &s = State();
    std::lock_guard lk(s.lock);
    return (s.major << 8) | (s.minor & 0xFF);
}

} // namespace detail
} // namespace standin::kernel

extern "C" NTSTATUS RtlGetVersion(PRTL_OSVERSIONINFOW info)
{
    using namespace standin::kernel;
    if (!info || (info->dwOSVersionInfoSize != sizeof(RTL_OSVERSIONINFOW) &&
                  info->dwOSVersionInfoSize != sizeof(RTL_OSVERSIONINFOEXW)))
        return STATUS_INVALID_PARAMETER;
    auto &s = State();
    std::lock_guard lk(s.lock);
    info->dwMajorVersion = s.major;
    info->dwMinorVersion = s.minor;
    info->dwBuildNumber = s.build;
    info->dwPlatformId = 2; // VER_PLATFORM_WIN32_NT
    std::memset(info->szCSDVersion, 0, sizeof(info->szCSDVersion));
    if (info->dwOSVersionInfoSize == sizeof(RTL_OSVERSIONINFOEXW)) {
        auto ex = reinterpret_cast<PRTL_OSVERSIONINFOEXW>(info);
        ex->wServicePackMajor = 0;
        ex->wServicePackMinor = 0;
        ex->wSuiteMask = 0;
        ex->wProductType = 1; // VER_NT_WORKSTATION
        ex->wReserved = 0;
    }
    return STATUS_SUCCESS;
}

// A breakpoint with no debugger attached would stop the machine; here it is
// recorded with its caller and execution goes on, so tests can count them.
extern "C" __attribute__((noinline)) void DbgBreakPoint(void)
{
    auto &s = standin::kernel::State();
    std::lock_guard lk(s.lock);
    s.breakPointCallers.push_back(__builtin_return_address(0));
}

extern "C" ULONG DbgPrint(PCSTR format, ...)
{
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    return STATUS_SUCCESS;
}

extern "C" SIZE_T RtlCompareMemory(const VOID *a, const VOID *b, SIZE_T length)
{
    auto p = static_cast<const unsigned char *>(a), q = static_cast<const unsigned char *>(b);
    SIZE_T same = 0;
    while (same < length && p[same] == q[same])
        ++same;
    return same;
}

extern "C" VOID RtlAssert(PVOID assertion, PVOID file, ULONG line, PCSTR message)
{
    std::fprintf(stderr, "*** Assertion failed: %s%s%s\n***   Source File: %s, line %u\n", message ? message : "",
                 message ? " " : "", static_cast<const char *>(assertion), static_cast<const char *>(file),
                 (unsigned)line);
    // The assertion's breakpoint with no debugger to take it is an unhandled
    // breakpoint exception (STATUS_BREAKPOINT).
    standin::kernel::BugCheck(kKmodeExceptionNotHandled, "RtlAssert", 0x80000003, (ULONG_PTR)assertion, (ULONG_PTR)file,
                              line);
}
