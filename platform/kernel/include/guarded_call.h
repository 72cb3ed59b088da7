/* Running a routine under an exception guard. On Windows a driver wraps calls
   that may raise (a user-mode mapping) in structured exception handling; the
   same declaration, implemented there with __try/__except, lets driver code
   call GuardedCall in both builds. This is the Linux implementation's header. */
#pragma once

#include <wdm.h>

EXTERN_C_START

typedef NTSTATUS (*GUARDED_ROUTINE)(PVOID Context);

/* Runs Routine(Context) and returns its status. If an exception is raised
   inside it (ExRaiseStatus, or a kernel service that raises, such as a user
   mapping that cannot be made), the routine is abandoned at that point and
   the exception's code is returned instead. Guards nest; the innermost one
   catches. The routine must not hold locks or own objects with destructors
   across a call that may raise: the stack between the raise and the guard is
   abandoned, not unwound. An exception raised with no guard active is an
   unhandled kernel-mode exception (bug check 0x1E). An access fault inside
   the routine (a user address that is not mapped or not writable) is caught
   like a raise, with STATUS_ACCESS_VIOLATION. */
NTSTATUS GuardedCall(GUARDED_ROUTINE Routine, PVOID Context);

EXTERN_C_END
