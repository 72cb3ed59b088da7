/* The PortCls header between the two parts of the compatibility header:
   the kernel-streaming declarations it uses come first, the PortCls
   interfaces the mingw-w64 header lacks after it. */
#pragma once

#include "KsHeaders.h"
#include <portcls.h>
#include <KsCompat.h>
