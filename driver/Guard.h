/* Running a routine under an exception guard: user-mode mappings raise an
   exception when they cannot be made, and the driver turns that into a
   status. Each build supplies its own implementation (structured exception
   handling on Windows, the stand-in's guard on Linux). */
#pragma once

#include <wdm.h>

using GuardedRoutine = NTSTATUS (*)(PVOID context);

/* Runs routine(context) and returns its status, or the code of an exception
   raised inside it. The routine must not take locks or own objects with
   destructors across the call that may raise. */
extern "C" NTSTATUS CallGuarded(GuardedRoutine routine, PVOID context);
