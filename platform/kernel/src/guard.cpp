// Raised exceptions and the guard that turns them into a status: a stack of
// jump targets per thread, innermost first.
#include <guarded_call.h>

#include "internal.h"

#include <csetjmp>

namespace {

struct GuardFrame {
    std::jmp_buf target;
    GuardFrame *outer;
    NTSTATUS code;
};

thread_local GuardFrame *t_innermost = nullptr;

} // namespace

extern "C" NTSTATUS GuardedCall(GUARDED_ROUTINE routine, PVOID context) {
    GuardFrame frame;
    frame.outer = t_innermost;
    frame.code = STATUS_SUCCESS;
    t_innermost = &frame;
    if (setjmp(frame.target) == 0) {
        NTSTATUS status = routine(context);
        t_innermost = frame.outer;
        return status;
    }
    // Reached through ExRaiseStatus, which already popped this frame.
    return frame.code;
}

extern "C" void ExRaiseStatus(NTSTATUS status) {
    GuardFrame *frame = t_innermost;
    if (!frame)
        standin::kernel::BugCheck(kKmodeExceptionNotHandled, "ExRaiseStatus", (ULONG)status);
    t_innermost = frame->outer;
    frame->code = status;
    std::longjmp(frame->target, 1);
}
