// Probes of a caller's buffer: misalignment and a range that wraps or cannot
// be read or written raise, so a driver's guard turns them into the
// request's status. Windows only checks the range here and lets the access
// fault later; this stand-in, whose guards do not catch hardware faults,
// checks the pages themselves (stricter than Windows).
#include <wdm.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <cstdint>

ULONG64 MmUserProbeAddress = ~0ull;

namespace {

constexpr NTSTATUS DatatypeMisalignment = static_cast<NTSTATUS>(0x80000002L);

// The kernel copies one byte of every page into a pipe (reading) or from one
// (writing) and reports EFAULT where it cannot.
bool PagesAccessible(uintptr_t start, SIZE_T length, bool write)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    const uintptr_t last = start + length - 1;
    bool accessible = true;
    for (uintptr_t at = start;; at = (at | (page - 1)) + 1) {
        char byte = 0;
        ssize_t n;
        if (write) {
            // Reads the byte through the kernel first, then writes it back the same way.
            n = syscall(SYS_write, fds[1], reinterpret_cast<const void *>(at), 1);
            if (n == 1)
                n = syscall(SYS_read, fds[0], reinterpret_cast<void *>(at), 1);
        } else {
            n = syscall(SYS_write, fds[1], reinterpret_cast<const void *>(at), 1);
            if (n == 1 && read(fds[0], &byte, 1) != 1)
                n = -1;
        }
        if (n != 1) {
            accessible = false;
            break;
        }
        if ((at | (page - 1)) >= last)
            break;
    }
    close(fds[0]);
    close(fds[1]);
    return accessible;
}

void Probe(const volatile VOID *address, SIZE_T length, ULONG alignment, bool write)
{
    if (length == 0)
        return;
    const uintptr_t start = reinterpret_cast<uintptr_t>(address);
    if (alignment != 0 && start % alignment != 0)
        ExRaiseStatus(DatatypeMisalignment);
    if (start + length < start || start + length > MmUserProbeAddress || !PagesAccessible(start, length, write))
        ExRaiseStatus(STATUS_ACCESS_VIOLATION);
}

} // namespace

extern "C" VOID ProbeForRead(const volatile VOID *address, SIZE_T length, ULONG alignment)
{
    Probe(address, length, alignment, false);
}

extern "C" VOID ProbeForWrite(volatile VOID *address, SIZE_T length, ULONG alignment)
{
    Probe(address, length, alignment, true);
}
