/* Stand-in: user32's message box. Without a desktop it writes the caption and
   the text to the diagnostic output (tests may capture it) and answers OK. */
#pragma once

#include <wintypes.h>
#include <windef.h>

#define MB_OK 0x00000000L
#define MB_ICONHAND 0x00000010L
#define MB_ICONERROR MB_ICONHAND
#define IDOK 1

EXTERN_C_START
int WINAPI MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type);
EXTERN_C_END
