// Makes the loaded driver hold a pool block it never frees, as a leaking
// driver would (driver side; plain integers in the header).
#pragma once

#include <stdint.h>

namespace ombemu_tests {

void LeakPoolBlock(uint32_t driverOwner);

} // namespace ombemu_tests
