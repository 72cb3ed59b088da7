/* Stand-in for the Win32 headers: the subset of kernel32, user32 and their
   companions that the client library calls, over the platform's own core. */
#pragma once

#include <stdarg.h>
#include <wintypes.h>
#include <windef.h>
#include <winnt.h>
#include <winerror.h>
#include <winbase.h>
#include <winuser.h>
