/* Stand-in: the Windows header of that name, the one copy for both sides. Its
   base types (WORD, DWORD, ...) come from wintypes.h, which kernel-mode code
   gets through wdm.h too (it includes windef.h after wdm.h for mmreg.h and
   ksmedia.h); user mode also gets the window, module and instance handles. */
#pragma once

#include <wintypes.h>

typedef struct HINSTANCE__ *HINSTANCE;
typedef HINSTANCE HMODULE;
typedef struct HWND__ *HWND;
