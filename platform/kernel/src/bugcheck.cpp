// Emulated bug checks: the stop screen as text on stderr, then the end of the
// process (tests observe it with death tests).
#include "internal.h"

#include <cstdio>
#include <cstdlib>

namespace standin::kernel {

namespace {

const char *StopName(ULONG code) {
    switch (code) {
    case kIrqlNotGreaterOrEqual: return "IRQL_NOT_GREATER_OR_EQUAL";
    case kIrqlNotLessOrEqual: return "IRQL_NOT_LESS_OR_EQUAL";
    case kMaximumWaitObjectsExceeded: return "MAXIMUM_WAIT_OBJECTS_EXCEEDED";
    case kSpinLockAlreadyOwned: return "SPIN_LOCK_ALREADY_OWNED";
    case kSpinLockNotOwned: return "SPIN_LOCK_NOT_OWNED";
    case kThreadNotMutexOwner: return "THREAD_NOT_MUTEX_OWNER";
    case kReferenceByPointer: return "REFERENCE_BY_POINTER";
    case kKmodeExceptionNotHandled: return "KMODE_EXCEPTION_NOT_HANDLED";
    case kNoMoreSystemPtes: return "NO_MORE_SYSTEM_PTES";
    case kTargetMdlTooSmall: return "TARGET_MDL_TOO_SMALL";
    case kIrqlGtZeroAtSystemService: return "IRQL_GT_ZERO_AT_SYSTEM_SERVICE";
    case kInvalidKernelHandle: return "INVALID_KERNEL_HANDLE";
    case kBadPoolCaller: return "BAD_POOL_CALLER";
    case kDriverVerifierDetectedViolation: return "DRIVER_VERIFIER_DETECTED_VIOLATION";
    default: return "";
    }
}

} // namespace

void BugCheck(ULONG code, const char *call, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4) {
    std::fprintf(stderr,
                 "*** STOP: 0x%08X (0x%016llX, 0x%016llX, 0x%016llX, 0x%016llX) %s\n"
                 "*** in %s, called from %p\n",
                 (unsigned)code, (unsigned long long)p1, (unsigned long long)p2, (unsigned long long)p3,
                 (unsigned long long)p4, StopName(code), call ? call : "?", __builtin_return_address(0));
    std::fflush(stderr);
    std::abort();
}

} // namespace standin::kernel

extern "C" void KeBugCheckEx(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4) {
    standin::kernel::BugCheck(code, "KeBugCheckEx", p1, p2, p3, p4);
}
