// A real probe of memory: the kernel copies one byte of every page of the
// range into a pipe (and, to probe for writing, back into place) and reports
// EFAULT where a page cannot be read or written, so no signal handler has to
// be installed over the process's own.
#include <io_boundary.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace standin::io::boundary {

namespace {

// The system call itself, not a sanitizer's wrapper that would look at the
// byte first: the kernel is the one to say.
bool Through(long call, int fd, uintptr_t at)
{
    ssize_t n;
    do {
        n = syscall(call, fd, reinterpret_cast<void *>(at), 1);
    } while (n < 0 && errno == EINTR);
    return n == 1;
}

bool Probe(const void *address, uint64_t length, bool write)
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
    bool good = true;
    for (uintptr_t at = start;; at = (at | (page - 1)) + 1) {
        char sink;
        good = Through(SYS_write, fds[1], at) &&
               (write ? Through(SYS_read, fds[0], at) : read(fds[0], &sink, 1) == 1);
        if (!good || (at | (page - 1)) >= last)
            break;
    }
    close(fds[0]);
    close(fds[1]);
    return good;
}

} // namespace

bool ProbeRead(const void *address, uint64_t length)
{
    return Probe(address, length, false);
}

bool ProbeWrite(void *address, uint64_t length)
{
    return Probe(address, length, true);
}

} // namespace standin::io::boundary
