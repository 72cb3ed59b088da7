// The part of the stand-in device's steering that lives on the Win32 side.
#include <win32_standin.h>
#include "StandinDevice.h"

namespace standin_device {

uint32_t TimerPeriodsHeld() { return static_cast<uint32_t>(standin::win32::TimerPeriodState().outstanding); }

} // namespace standin_device
