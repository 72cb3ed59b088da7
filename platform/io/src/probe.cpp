// Real probes of user buffers: the kernel copies one byte of every page of
// the range into a pipe (and back, for a write probe) and reports EFAULT
// where a page cannot be read or written, so no fault is taken.
#include <io_boundary.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace standin::io::boundary {

namespace {

// One pipe per thread for the probes, kept for the thread's life: a probe
// passes each byte through it and takes it back out, so it stays empty.
struct ProbePipe {
    int fds[2] = {-1, -1};
    ProbePipe()
    {
        if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
            fds[0] = fds[1] = -1;
    }
    ~ProbePipe()
    {
        if (fds[0] >= 0) {
            close(fds[0]);
            close(fds[1]);
        }
    }
};

thread_local ProbePipe probePipe;

// Copies one byte at `from` into the pipe (the kernel reads it); false where
// it cannot be read.
bool ByteIn(uintptr_t from)
{
    ssize_t n;
    do {
        // The system call itself, not a sanitizer's wrapper that would look
        // at the byte first: the kernel is the one to say.
        n = syscall(SYS_write, probePipe.fds[1], reinterpret_cast<const void *>(from), 1);
    } while (n < 0 && errno == EINTR);
    return n == 1;
}

// Takes the byte back out of the pipe, into `to` when not null (the kernel
// writes it there); false where it cannot be written.
bool ByteOut(uintptr_t to)
{
    char sink;
    void *target = to != 0 ? reinterpret_cast<void *>(to) : &sink;
    ssize_t n;
    do {
        n = syscall(SYS_read, probePipe.fds[0], target, 1);
    } while (n < 0 && errno == EINTR);
    if (n != 1 && to != 0)
        ByteOut(0); // leave the pipe empty
    return n == 1;
}

// Probes the first byte of every page of the range.
bool ProbePages(const void *address, uint64_t length, bool write)
{
    if (length == 0)
        return true;
    const uintptr_t start = reinterpret_cast<uintptr_t>(address);
    if (address == nullptr || start + length < start || probePipe.fds[0] < 0)
        return false;
    const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    const uintptr_t last = start + length - 1;
    for (uintptr_t at = start;; at = (at | (page - 1)) + 1) {
        if (!ByteIn(at) || !ByteOut(write ? at : 0))
            return false;
        if ((at | (page - 1)) >= last)
            return true;
    }
}

} // namespace

bool ProbeRead(const void *address, uint64_t length)
{
    return ProbePages(address, length, false);
}

bool ProbeWrite(void *address, uint64_t length)
{
    // The byte goes into the pipe and back where it was: the kernel reads it,
    // then writes it, and says EFAULT where it cannot.
    return ProbePages(address, length, true);
}

} // namespace standin::io::boundary
