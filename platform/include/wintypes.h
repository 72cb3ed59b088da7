/* Stand-in: the basic Windows types and macros that both the Win32 headers
   and the kernel headers build on, with the sizes of 64-bit Windows (LONG and
   ULONG are 32 bits; WCHAR is wchar_t, 16 bits on the driver side). */
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define EXTERN_C extern "C"
#define EXTERN_C_START extern "C" {
#define EXTERN_C_END }
#else
#define EXTERN_C extern
#define EXTERN_C_START
#define EXTERN_C_END
#endif

/* Calling conventions mean nothing on x86-64 Linux, as on x64 Windows. */
#define __stdcall
#define __cdecl
#define __fastcall
#define WINAPI
#define NTAPI
#define CALLBACK
#define APIENTRY
#define STDMETHODCALLTYPE
#define FAR
#define NEAR
#define CONST const
#define VOID void
#define IN
#define OUT
#define OPTIONAL
#ifndef FORCEINLINE
#define FORCEINLINE inline __attribute__((always_inline))
#endif

/* __declspec as GCC attributes: exports become default visibility. */
#define __declspec(a) _standin_declspec_##a
#define _standin_declspec_dllexport __attribute__((visibility("default")))
#define _standin_declspec_dllimport __attribute__((visibility("default")))
#define _standin_declspec_novtable
#define _standin_declspec_noinline __attribute__((noinline))
#define _standin_declspec_noreturn __attribute__((noreturn))
#define _standin_declspec_selectany __attribute__((weak))
#define _standin_declspec_nothrow
#define _standin_declspec_align(n) __attribute__((aligned(n)))
#define DECLSPEC_NOVTABLE
#define DECLSPEC_NOTHROW
#define DECLSPEC_ALIGN(n) __attribute__((aligned(n)))
#define DECLSPEC_SELECTANY __attribute__((weak))

typedef void *PVOID, *LPVOID;
typedef const void *PCVOID, *LPCVOID;
typedef char CHAR, *PCHAR, *PSTR, *LPSTR;
typedef const char *PCSTR, *LPCSTR, *PCSZ;
typedef unsigned char UCHAR, *PUCHAR, BYTE, *PBYTE, *LPBYTE, BOOLEAN, *PBOOLEAN;
typedef short SHORT, *PSHORT;
typedef unsigned short USHORT, *PUSHORT, WORD, *PWORD, *LPWORD;
typedef int INT, *PINT, BOOL, *PBOOL, *LPBOOL;
typedef unsigned int UINT, *PUINT;
typedef int32_t LONG, *PLONG, *LPLONG, INT32;
typedef uint32_t ULONG, *PULONG, DWORD, *PDWORD, *LPDWORD, UINT32, DWORD32;
typedef int64_t LONGLONG, *PLONGLONG, LONG64, *PLONG64, INT64;
typedef uint64_t ULONGLONG, *PULONGLONG, ULONG64, *PULONG64, DWORD64, UINT64, DWORDLONG;
typedef intptr_t INT_PTR, LONG_PTR, SSIZE_T;
typedef uintptr_t UINT_PTR, ULONG_PTR, *PULONG_PTR, DWORD_PTR, SIZE_T, *PSIZE_T;
typedef wchar_t WCHAR, *PWCHAR, *PWSTR, *LPWSTR, *PWCH;
typedef const wchar_t *PCWSTR, *LPCWSTR, *PCWCH;
typedef void *HANDLE, **PHANDLE, **LPHANDLE;
typedef LONG NTSTATUS, *PNTSTATUS;
typedef LONG HRESULT;
typedef ULONG LCID;
typedef DWORD COLORREF;
typedef DWORD ACCESS_MASK, *PACCESS_MASK;
typedef USHORT LANGID;

#define TRUE 1
#define FALSE 0
#ifndef NULL
#define NULL 0
#endif
#define MAXULONG 0xFFFFFFFFu
#define MAXLONG 0x7FFFFFFF

typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    };
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef union _ULARGE_INTEGER {
    struct {
        ULONG LowPart;
        ULONG HighPart;
    };
    struct {
        ULONG LowPart;
        ULONG HighPart;
    } u;
    ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

#define FIELD_OFFSET(type, field) ((LONG)offsetof(type, field))
#define RTL_FIELD_SIZE(type, field) (sizeof(((type *)0)->field))
#define CONTAINING_RECORD(address, type, field) ((type *)((PCHAR)(address) - (ULONG_PTR)(&((type *)0)->field)))
#define ARRAYSIZE(a) (sizeof(a) / sizeof((a)[0]))
#define RTL_NUMBER_OF(a) ARRAYSIZE(a)
#define UNREFERENCED_PARAMETER(p) ((void)(p))
#ifdef __cplusplus
#define C_ASSERT(e) static_assert(e, #e)
#else
#define C_ASSERT(e) _Static_assert(e, #e)
#endif

#define MAKELANGID(p, s) ((((WORD)(s)) << 10) | (WORD)(p))
#define LANG_NEUTRAL 0x00
#define SUBLANG_DEFAULT 0x01
#define SUBLANG_NEUTRAL 0x00

#include <guiddef.h>
