/* Stand-in: the Windows header of that name. Kernel-mode code includes it
   after wdm.h for the user-mode base types (WORD, DWORD, ...) that mmreg.h
   and ksmedia.h use; here they all come from wintypes.h. */
#pragma once

#include <wintypes.h>
