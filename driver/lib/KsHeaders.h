/* The kernel and kernel-streaming headers the library builds on, in the order
   the Windows kernel headers need them (the base types of windef.h before the
   wave format structures; no bitmap types in kernel mode). */
#pragma once

#include <ntddk.h>
#include <windef.h>
#define NOBITMAP
#include <mmreg.h>
#undef NOBITMAP
#include <ks.h>
#include <ksmedia.h>
#include <KsCompat.h>
