// The exception guard on Linux: the kernel stand-in's own guard.
#include <exception_guard.h>
#include "Guard.h"

extern "C" NTSTATUS CallGuarded(GuardedRoutine routine, PVOID context)
{
    return StandinCallGuarded(routine, context);
}
