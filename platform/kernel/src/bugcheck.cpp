// Emulated bug checks: the one table of stop codes with their names, and the
// stop screen as text on stderr, then the end of the process (tests observe
// it with death tests).
#include "internal.h"

#include <cstdio>
#include <cstdlib>

namespace standin::kernel {

namespace stop {

const StopCodeInfo kStopCodes[] = {
    {kInvalidProcessAttachAttempt, "INVALID_PROCESS_ATTACH_ATTEMPT"},
    {kInvalidProcessDetachAttempt, "INVALID_PROCESS_DETACH_ATTEMPT"},
    {kIrqlNotGreaterOrEqual, "IRQL_NOT_GREATER_OR_EQUAL"},
    {kIrqlNotLessOrEqual, "IRQL_NOT_LESS_OR_EQUAL"},
    {kMaximumWaitObjectsExceeded, "MAXIMUM_WAIT_OBJECTS_EXCEEDED"},
    {kSpinLockAlreadyOwned, "SPIN_LOCK_ALREADY_OWNED"},
    {kSpinLockNotOwned, "SPIN_LOCK_NOT_OWNED"},
    {kThreadNotMutexOwner, "THREAD_NOT_MUTEX_OWNER"},
    {kReferenceByPointer, "REFERENCE_BY_POINTER"},
    {kKmodeExceptionNotHandled, "KMODE_EXCEPTION_NOT_HANDLED"},
    {kNoMoreIrpStackLocations, "NO_MORE_IRP_STACK_LOCATIONS"},
    {kNoMoreSystemPtes, "NO_MORE_SYSTEM_PTES"},
    {kTargetMdlTooSmall, "TARGET_MDL_TOO_SMALL"},
    {kMultipleIrpCompleteRequests, "MULTIPLE_IRP_COMPLETE_REQUESTS"},
    {kIrqlGtZeroAtSystemService, "IRQL_GT_ZERO_AT_SYSTEM_SERVICE"},
    {kInvalidKernelHandle, "INVALID_KERNEL_HANDLE"},
    {kBadPoolCaller, "BAD_POOL_CALLER"},
    {kDriverVerifierDetectedViolation, "DRIVER_VERIFIER_DETECTED_VIOLATION"},
    {kDriverVerifierIoManagerViolation, "DRIVER_VERIFIER_IOMANAGER_VIOLATION"},
    {kDriverUnloadedWithoutCancellingPendingOperations, "DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS"},
};

const size_t kStopCodeCount = sizeof(kStopCodes) / sizeof(kStopCodes[0]);

} // namespace stop

const char *StopCodeName(ULONG code)
{
    for (size_t i = 0; i < stop::kStopCodeCount; ++i)
        if (stop::kStopCodes[i].code == code)
            return stop::kStopCodes[i].name;
    return "";
}

void BugCheck(ULONG code, const char *call, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4)
{
    std::fprintf(stderr,
                 "*** STOP: 0x%08X (0x%016llX, 0x%016llX, 0x%016llX, 0x%016llX) %s\n"
                 "*** in %s, called from %p\n",
                 (unsigned)code, (unsigned long long)p1, (unsigned long long)p2, (unsigned long long)p3,
                 (unsigned long long)p4, StopCodeName(code), call ? call : "?", __builtin_return_address(0));
    std::fflush(stderr);
    std::abort();
}

} // namespace standin::kernel

extern "C" void KeBugCheckEx(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4)
{
    standin::kernel::BugCheck(code, "KeBugCheckEx", p1, p2, p3, p4);
}
