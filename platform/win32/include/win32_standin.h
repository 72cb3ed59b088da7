// Control of the Win32 stand-in for tests and tools (Linux build only).
#pragma once

#include <windows.h>

namespace standin::win32 {

// Receives every message box instead of the diagnostic output while set.
using MessageBoxSink = void (*)(const wchar_t *caption, const wchar_t *text, UINT type, void *context);
void SetMessageBoxSink(MessageBoxSink sink, void *context);

} // namespace standin::win32
