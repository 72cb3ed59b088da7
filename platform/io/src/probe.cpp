// A real probe of memory readability: the kernel copies one byte of every
// page of the range into a pipe and reports EFAULT where a page cannot be
// read, so no signal handler has to be installed over the process's own.
#include <io_boundary.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace standin::io::boundary {

bool ProbeRead(const void *address, uint64_t length)
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
    bool readable = true;
    for (uintptr_t at = start;; at = (at | (page - 1)) + 1) {
        ssize_t n;
        do {
            // The system call itself, not a sanitizer's wrapper that would
            // look at the byte first: the kernel is the one to say.
            n = syscall(SYS_write, fds[1], reinterpret_cast<const void *>(at), 1);
        } while (n < 0 && errno == EINTR);
        char sink;
        if (n != 1 || read(fds[0], &sink, 1) != 1) {
            readable = false;
            break;
        }
        if ((at | (page - 1)) >= last)
            break;
    }
    close(fds[0]);
    close(fds[1]);
    return readable;
}

bool ProbeWrite(void *address, uint64_t length)
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
        // The byte goes into the pipe and back to where it was: the kernel
        // reads it, then writes it, and says EFAULT where it cannot.
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

} // namespace standin::io::boundary
