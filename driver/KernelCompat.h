/* Kernel values the driver uses that neither the mingw-w64 kernel headers nor
   the Linux stand-in declare, with their published values. */
#pragma once

#include <wdm.h>

/* Added to a mapping's page priority: the view is not executable (6.2 on). */
constexpr ULONG MdlMappingNoExecute = 0x40000000;
