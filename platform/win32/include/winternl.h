/* Stand-in: the ntdll routine user mode uses to turn an NTSTATUS into its
   Win32 error (the platform's one translation table). */
#pragma once

#include <wintypes.h>

EXTERN_C_START
ULONG NTAPI RtlNtStatusToDosError(NTSTATUS Status);
EXTERN_C_END
