// The assembled driver core's objects, for driver-side tests that call them
// directly.
#pragma once

#include <string>
#include "ControlPipe.h"
#include "EndpointLink.h"

namespace core_device {

ControlPipe &PipeObject(int pipe);
EndpointLink &LinkObject(int pipe);
// The interface's symbolic link as the driver received it, and a pipe's
// reference string.
std::u16string InterfaceLinkName();
std::u16string PipeSuffix(int pipe);

} // namespace core_device
