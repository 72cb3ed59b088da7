// Real probes of user buffers: one byte of every page of the range is read
// (or atomically rewritten with its own value) under an exception guard, as
// the kernel touches a user buffer inside __try; a page that cannot be read or
// written faults into the guard and the probe fails. A valid range costs no
// system call.
#include <io_boundary.h>

#include <guarded_call.h>

#include <unistd.h>

namespace standin::io::boundary {

namespace {

struct Range {
    uintptr_t start;
    uintptr_t last; // the last byte
    bool write;
};

// The touches are the kernel's own accesses to the caller's memory, made for
// their fault alone: the sanitizers are not to look at them (a write probe's
// atomic add of zero keeps the value whatever another thread does).
__attribute__((no_sanitize("address", "thread"))) NTSTATUS TouchPages(PVOID context)
{
    const Range &range = *static_cast<const Range *>(context);
    static const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    for (uintptr_t at = range.start;; at = (at | (page - 1)) + 1) {
        auto *byte = reinterpret_cast<unsigned char *>(at);
        if (range.write)
            __atomic_fetch_add(byte, 0, __ATOMIC_RELAXED);
        else
            (void)__atomic_load_n(byte, __ATOMIC_RELAXED);
        if ((at | (page - 1)) >= range.last)
            return STATUS_SUCCESS;
    }
}

bool ProbePages(const void *address, uint64_t length, bool write)
{
    if (length == 0)
        return true;
    const uintptr_t start = reinterpret_cast<uintptr_t>(address);
    if (address == nullptr || start + length < start)
        return false;
    Range range{start, start + length - 1, write};
    return NT_SUCCESS(GuardedCall(TouchPages, &range));
}

} // namespace

bool ProbeRead(const void *address, uint64_t length)
{
    return ProbePages(address, length, false);
}

bool ProbeWrite(void *address, uint64_t length)
{
    return ProbePages(address, length, true);
}

} // namespace standin::io::boundary
