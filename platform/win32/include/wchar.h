/* Stand-in: the C library's wide-character header plus the Windows CRT's
   bounded formatter, with its semantics: at most count characters are
   written, the terminator only when it fits, -1 when the text was cut; a
   plain %s or %c takes a wide argument. */
#pragma once
#include_next <wchar.h>
#include <stdarg.h>

#ifdef __cplusplus
extern "C" {
#endif
int _vsnwprintf(wchar_t *buffer, size_t count, const wchar_t *format, va_list args);
int _snwprintf(wchar_t *buffer, size_t count, const wchar_t *format, ...);
#ifdef __cplusplus
}
#endif
