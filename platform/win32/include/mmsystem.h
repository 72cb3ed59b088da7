/* Stand-in: winmm's timer resolution requests. The stand-in counts them so
   that tests can check that every timeBeginPeriod has its timeEndPeriod. */
#pragma once

#include <wintypes.h>

typedef UINT MMRESULT;
#define TIMERR_NOERROR 0
#define TIMERR_BASE 96
#define TIMERR_NOCANDO (TIMERR_BASE + 1)

EXTERN_C_START
MMRESULT WINAPI timeBeginPeriod(UINT uPeriod);
MMRESULT WINAPI timeEndPeriod(UINT uPeriod);
EXTERN_C_END
