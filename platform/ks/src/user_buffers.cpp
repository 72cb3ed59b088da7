// Probing the requestor's memory as the kernel does (ProbeForRead and
// ProbeForWrite inside an exception guard, so a range that reaches kernel
// space, an unmapped or read-only page, or one unmapped by another thread
// between the probe and the copy is a status, not a fault) and copying it.
#include "user_buffers.h"

#include <guarded_call.h>

#include <cstring>

namespace standin::ks {

namespace {

struct Copy {
    void *target;
    const void *source;
    ULONG length;
    bool fromUser;
};

// Nothing with a destructor lives across the probes: a raise abandons this
// frame.
NTSTATUS CopyGuarded(PVOID context)
{
    const auto *copy = static_cast<const Copy *>(context);
    if (copy->fromUser)
        ProbeForRead(copy->source, copy->length, sizeof(UCHAR));
    else
        ProbeForWrite(copy->target, copy->length, sizeof(UCHAR));
    if (copy->source != nullptr)
        std::memcpy(copy->target, copy->source, copy->length);
    return STATUS_SUCCESS;
}

} // namespace

NTSTATUS CaptureInput(KPROCESSOR_MODE mode, const void *source, ULONG length, std::vector<uint8_t> &copy)
{
    copy.assign(length, 0);
    if (length == 0)
        return STATUS_SUCCESS;
    if (source == nullptr)
        return STATUS_ACCESS_VIOLATION;
    if (mode != UserMode) {
        std::memcpy(copy.data(), source, length);
        return STATUS_SUCCESS;
    }
    Copy request{copy.data(), source, length, true};
    return GuardedCall(&CopyGuarded, &request);
}

NTSTATUS ProbeOutput(KPROCESSOR_MODE mode, void *target, ULONG length)
{
    return ReturnOutput(mode, target, nullptr, length);
}

NTSTATUS ReturnOutput(KPROCESSOR_MODE mode, void *target, const void *source, ULONG length)
{
    if (length == 0)
        return STATUS_SUCCESS;
    if (target == nullptr)
        return STATUS_ACCESS_VIOLATION;
    if (mode != UserMode) {
        if (source != nullptr)
            std::memcpy(target, source, length);
        return STATUS_SUCCESS;
    }
    Copy request{target, source, length, false};
    return GuardedCall(&CopyGuarded, &request);
}

} // namespace standin::ks
