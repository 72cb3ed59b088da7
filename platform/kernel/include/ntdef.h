/* Stand-in: the kernel's basic definitions (counted strings, lists, status
   macros), as the Windows header of that name gives them. */
#pragma once

#include <wintypes.h>
#include <ntstatus.h>

typedef struct _UNICODE_STRING {
    USHORT Length;        /* bytes, without a terminator */
    USHORT MaximumLength; /* bytes */
    PWCH Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING *PCUNICODE_STRING;

typedef struct _STRING {
    USHORT Length;
    USHORT MaximumLength;
    PCHAR Buffer;
} STRING, ANSI_STRING, *PSTRING, *PANSI_STRING;

#define RTL_CONSTANT_STRING(s) \
    { \
        sizeof(s) - sizeof((s)[0]), sizeof(s), (PWCH)(s) \
    }

typedef struct _LIST_ENTRY {
    struct _LIST_ENTRY *Flink;
    struct _LIST_ENTRY *Blink;
} LIST_ENTRY, *PLIST_ENTRY;

typedef char CCHAR;
typedef UCHAR KIRQL, *PKIRQL;
typedef LONG KPRIORITY;
typedef ULONG_PTR KSPIN_LOCK, *PKSPIN_LOCK;

#ifndef DECLSPEC_NORETURN
#define DECLSPEC_NORETURN __attribute__((noreturn))
#endif
