/* Included before every driver-side source in the Windows build: fills the
   gaps of the mingw-w64 kernel headers in C++ (macros they use but never
   define, and TCHAR, which ksmedia.h expects). */
#pragma once
#ifndef DECLSPEC_NOVTABLE
/* An optimisation hint g++ does not know; empty, as nothing depends on it. */
#define DECLSPEC_NOVTABLE
#endif
#ifndef DECLSPEC_NOTHROW
#define DECLSPEC_NOTHROW
#endif
#ifndef TCHAR
#define TCHAR WCHAR
#endif
