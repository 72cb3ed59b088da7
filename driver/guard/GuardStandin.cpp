// The exception guard on Linux: the kernel stand-in's own guard.
#include <guarded_call.h>
#include "Guard.h"

extern "C" NTSTATUS CallGuarded(GuardedRoutine routine, PVOID context)
{
    return GuardedCall(routine, context);
}
