// Probing the requestor's memory as the kernel would: each page of a range is
// read (and for writing, read and written back) through a pipe, so the host
// kernel reports an unmapped or read-only page as EFAULT instead of the test
// process taking a fault.
#include "user_buffers.h"

#include <io_boundary.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace standin::ks {

namespace {

bool ProbeWritable(void *address, uint64_t length)
{
    if (length == 0)
        return true;
    const uintptr_t start = reinterpret_cast<uintptr_t>(address);
    if (address == nullptr || start + length < start)
        return false;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    const uintptr_t last = start + length - 1;
    bool writable = true;
    for (uintptr_t at = start;; at = (at | (page - 1)) + 1) {
        // The byte goes out through the pipe and comes back into place: a
        // page that cannot be read or written fails one of the two calls.
        ssize_t n;
        do {
            n = syscall(SYS_write, fds[1], reinterpret_cast<const void *>(at), 1);
        } while (n < 0 && errno == EINTR);
        if (n == 1) {
            do {
                n = syscall(SYS_read, fds[0], reinterpret_cast<void *>(at), 1);
            } while (n < 0 && errno == EINTR);
        }
        if (n != 1) {
            writable = false;
            break;
        }
        if ((at | (page - 1)) >= last)
            break;
    }
    close(fds[0]);
    close(fds[1]);
    return writable;
}

} // namespace

NTSTATUS CaptureInput(KPROCESSOR_MODE mode, const void *source, ULONG length, std::vector<uint8_t> &copy)
{
    copy.assign(length, 0);
    if (length == 0)
        return STATUS_SUCCESS;
    if (mode == UserMode && !standin::io::boundary::ProbeRead(source, length))
        return STATUS_ACCESS_VIOLATION;
    if (source == nullptr)
        return STATUS_ACCESS_VIOLATION;
    std::memcpy(copy.data(), source, length);
    return STATUS_SUCCESS;
}

NTSTATUS ProbeOutput(KPROCESSOR_MODE mode, void *target, ULONG length)
{
    if (length == 0)
        return STATUS_SUCCESS;
    if (target == nullptr || (mode == UserMode && !ProbeWritable(target, length)))
        return STATUS_ACCESS_VIOLATION;
    return STATUS_SUCCESS;
}

NTSTATUS ReturnOutput(KPROCESSOR_MODE mode, void *target, const void *source, ULONG length)
{
    const NTSTATUS status = ProbeOutput(mode, target, length);
    if (NT_SUCCESS(status) && length != 0)
        std::memcpy(target, source, length);
    return status;
}

} // namespace standin::ks
