// Probing the requestor's memory as the kernel would (through the platform's
// probe, so an unmapped or read-only page is a status, not a fault of the
// test process) and copying it.
#include "user_buffers.h"

#include <io_boundary.h>

#include <cstring>

namespace standin::ks {

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
    if (target == nullptr || (mode == UserMode && !standin::io::boundary::ProbeWrite(target, length)))
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
