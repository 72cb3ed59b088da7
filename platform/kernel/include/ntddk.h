/* Stand-in: the kernel header for non-WDM drivers; everything the driver uses
   of it is in wdm.h here. */
#pragma once

#include <wdm.h>
