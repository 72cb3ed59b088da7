// Structured exception handling as the stand-in models it: a stack of guard
// frames per thread, innermost first. Raised exceptions and access faults
// (SIGSEGV, SIGBUS) inside a guard unwind to it with their code; outside one
// a fault is an emulated bug check naming the address and the code. The
// probes of user buffers raise as Windows' do.
#include <guarded_call.h>

#include "dispatcher.h"

#include <csetjmp>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <pthread.h>
#include <ucontext.h>
#include <unistd.h>

// The highest user address plus one on 64-bit Windows.
ULONG64 MmUserProbeAddress = 0x00007FFFFFFF0000ull;

namespace {

struct GuardFrame {
    sigjmp_buf target;
    GuardFrame *outer;
    NTSTATUS code;
};

// Initial-exec: read from the fault handler, which must not allocate.
__attribute__((tls_model("initial-exec"))) thread_local GuardFrame *t_innermost = nullptr;
__attribute__((tls_model("initial-exec"))) thread_local void *t_lastFault = nullptr;

void Write(const char *text)
{
    size_t n = 0;
    while (text[n])
        ++n;
    ssize_t ignored = write(STDERR_FILENO, text, n);
    (void)ignored;
}

void OnFault(int signal, siginfo_t *info, void *context)
{
    if (GuardFrame *frame = t_innermost) {
        // The fault signals stay deliverable after the jump (a sanitizer's
        // own handler may have blocked them around ours).
        sigset_t faults;
        sigemptyset(&faults);
        sigaddset(&faults, SIGSEGV);
        sigaddset(&faults, SIGBUS);
        pthread_sigmask(SIG_UNBLOCK, &faults, nullptr);
        t_innermost = frame->outer;
        frame->code = STATUS_ACCESS_VIOLATION;
        t_lastFault = info->si_addr;
        siglongjmp(frame->target, 1);
    }
    // A thread of a terminating process ends where it touched what its
    // process no longer has.
    standin::kernel::detail::EndThreadIfTerminating("access fault");

    auto uc = static_cast<ucontext_t *>(context);
    void *pc = reinterpret_cast<void *>(uc->uc_mcontext.gregs[REG_RIP]);
    const bool write = (uc->uc_mcontext.gregs[REG_ERR] & 2) != 0;
    Dl_info where{};
    dladdr(pc, &where);
    char line[768];
    const unsigned long offset = where.dli_saddr   ? (unsigned long)((char *)pc - (char *)where.dli_saddr)
                                 : where.dli_fbase ? (unsigned long)((char *)pc - (char *)where.dli_fbase)
                                                   : 0;
    std::snprintf(line, sizeof line,
                  "*** STOP: 0x0000001E (0x00000000C0000005, 0x%016llX, 0x%016llX, 0x%016llX) "
                  "KMODE_EXCEPTION_NOT_HANDLED\n"
                  "*** access violation (%s of address %p, signal %d) at %p in %s (%s+0x%lx), outside any guard\n",
                  (unsigned long long)(uintptr_t)pc, (unsigned long long)write,
                  (unsigned long long)(uintptr_t)info->si_addr, write ? "write" : "read", info->si_addr, signal, pc,
                  where.dli_fname ? where.dli_fname : "?", where.dli_sname ? where.dli_sname : "?", offset);
    Write(line);
    std::abort();
}

pthread_once_t g_installed = PTHREAD_ONCE_INIT;

void Install()
{
    struct sigaction action {};
    action.sa_sigaction = OnFault;
    action.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    sigaction(SIGSEGV, &action, nullptr);
    sigaction(SIGBUS, &action, nullptr);
}

// Installed when the stand-in is loaded: a fault anywhere is reported as the
// stop screen.
__attribute__((constructor)) void InstallAtLoad()
{
    pthread_once(&g_installed, Install);
}

[[noreturn]] void Raise(NTSTATUS status)
{
    GuardFrame *frame = t_innermost;
    if (!frame)
        standin::kernel::BugCheck(kKmodeExceptionNotHandled, "ExRaiseStatus", (ULONG)status);
    t_innermost = frame->outer;
    frame->code = status;
    siglongjmp(frame->target, 1);
}

bool AlignmentValid(ULONG alignment)
{
    return alignment == 1 || alignment == 2 || alignment == 4 || alignment == 8 || alignment == 16;
}

void CheckRange(const volatile void *address, SIZE_T length, ULONG alignment)
{
    const uintptr_t start = reinterpret_cast<uintptr_t>(address);
    if (!AlignmentValid(alignment) || (start & (alignment - 1)) != 0)
        Raise(STATUS_DATATYPE_MISALIGNMENT);
    const uintptr_t end = start + length;
    if (end < start || end > MmUserProbeAddress)
        Raise(STATUS_ACCESS_VIOLATION);
}

} // namespace

namespace standin::kernel {

void InstallFaultHandler()
{
    Install();
}

void *LastGuardedFaultAddress()
{
    return t_lastFault;
}

} // namespace standin::kernel

extern "C" NTSTATUS GuardedCall(GUARDED_ROUTINE routine, PVOID context)
{
    GuardFrame frame;
    frame.outer = t_innermost;
    frame.code = STATUS_SUCCESS;
    t_innermost = &frame;
    if (sigsetjmp(frame.target, 0) == 0) {
        NTSTATUS status = routine(context);
        t_innermost = frame.outer;
        return status;
    }
    // Reached through a raise or a fault, which already popped this frame.
    return frame.code;
}

extern "C" void ExRaiseStatus(NTSTATUS status)
{
    Raise(status);
}

extern "C" VOID ProbeForRead(const volatile VOID *address, SIZE_T length, ULONG alignment)
{
    if (length == 0)
        return;
    CheckRange(address, length, alignment);
}

extern "C" VOID ProbeForWrite(volatile VOID *address, SIZE_T length, ULONG alignment)
{
    if (length == 0)
        return;
    CheckRange(address, length, alignment);
    // Every page is touched for writing: one that cannot be written faults
    // here, inside the caller's guard.
    auto p = static_cast<volatile char *>(address);
    const uintptr_t start = reinterpret_cast<uintptr_t>(address);
    for (uintptr_t at = start; at < start + length; at = (at | (PAGE_SIZE - 1)) + 1) {
        volatile char *byte = p + (at - start);
        *byte = *byte;
    }
    volatile char *last = p + length - 1;
    *last = *last;
}
