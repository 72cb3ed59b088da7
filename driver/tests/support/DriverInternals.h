// The started driver's own objects, for driver-side tests of what no request
// can reach (the link's concurrency, the pipes' internals). Everything else
// goes through requests.
#pragma once

#include "Adapter.h"

namespace driver_under_test {

ControlPipe &PipeObject(int pipe);
// The link a pipe is tied to.
EndpointLink &LinkObject(int pipe);

} // namespace driver_under_test
