// The C++ runtime pieces a kernel image must supply itself: the global
// allocation functions (through MemAlloc and MemFree) and the pure-virtual
// call handler. Linked into the Windows image only; elsewhere the host's C++
// runtime provides them.
#include "KernelHelpers.h"

void *operator new(size_t size) { return Mosaik::MemAlloc(size); }
void *operator new[](size_t size) { return Mosaik::MemAlloc(size); }
void operator delete(void *block) noexcept { Mosaik::MemFree(block); }
void operator delete[](void *block) noexcept { Mosaik::MemFree(block); }
void operator delete(void *block, size_t) noexcept { Mosaik::MemFree(block); }
void operator delete[](void *block, size_t) noexcept { Mosaik::MemFree(block); }

namespace {
// The stop code the image reports for a call through a pure virtual slot.
constexpr ULONG PureVirtualCallStop = 0x000000E4;
} // namespace

// A call through a pure virtual slot is a driver bug; stop the system rather
// than run on through a half-built or destroyed object.
extern "C" void __cxa_pure_virtual()
{
    KeBugCheckEx(PureVirtualCallStop, 0, 0, 0, 0);
}
