// What the Win32 functions share: the crossing to the kernel and I/O core
// (UTF-16 text, NTSTATUS results) and the one way a failure becomes the
// thread's last error.
#pragma once

#include <windows.h>
#include <io_boundary.h>

#include <string>

namespace standin::win32 {

namespace boundary = standin::io::boundary;

// wchar_t (UTF-32 here) to UTF-16 and back; characters that cannot be
// encoded become U+FFFD.
std::u16string ToUtf16(const wchar_t *text);
std::wstring FromUtf16(const std::u16string &text);
std::wstring FromUtf8(const char *text);

// Records the Win32 error the status maps to; returns FALSE for the caller.
inline BOOL Fail(boundary::Status status)
{
    SetLastError(boundary::StatusToWin32(status));
    return FALSE;
}

inline BOOL FailWithError(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

} // namespace standin::win32
