/* Stand-in: window, module and instance handles, as windef.h gives them. */
#pragma once

#include <wintypes.h>

typedef struct HINSTANCE__ *HINSTANCE;
typedef HINSTANCE HMODULE;
typedef struct HWND__ *HWND;
