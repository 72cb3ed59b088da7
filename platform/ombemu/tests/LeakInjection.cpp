// A pool block charged to the driver and never freed.
#include "LeakInjection.h"

#include <kernel_standin.h>

namespace ombemu_tests {

void LeakPoolBlock(uint32_t driverOwner)
{
    standin::kernel::OwnerScope owner(driverOwner);
    constexpr ULONG Tag = 0x6B61654C; // 'Leak'
    ExAllocatePool2(POOL_FLAG_NON_PAGED, 64, Tag);
}

} // namespace ombemu_tests
