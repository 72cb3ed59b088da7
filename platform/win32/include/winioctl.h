/* Stand-in: I/O control codes for user mode (device types, methods and the
   access bits), shared with the kernel side. */
#pragma once

#include <wintypes.h>
#include <devioctl.h>
