// The driver scope: what a driver was handed since it was loaded and still
// holds, reported as a bug check when it unloads.
#include "internal.h"

#include <cstdio>

namespace standin::kernel {

namespace {
std::atomic<uint64_t> g_serial{1};
}

namespace detail {
uint64_t NextSerial() { return g_serial.fetch_add(1); }
} // namespace detail

DriverScope::DriverScope() : startSerial_(detail::NextSerial()), startReferences_(detail::DriverReferenceBalance()) {}

Holdings DriverScope::Held() const {
    Holdings h;
    auto pool = detail::PoolSince(startSerial_);
    h.poolBlocks = pool.blocks;
    h.poolBytes = pool.bytes;
    h.mdls = detail::MdlsSince(startSerial_);
    h.mappings = detail::MappingsSince(startSerial_);
    h.references = detail::DriverReferenceBalance() - startReferences_;
    h.handles = detail::DriverHandlesSince(startSerial_);
    return h;
}

void DriverScope::CheckUnload(const char *driverName) const {
    Holdings h = Held();
    if (h.empty())
        return;
    auto pool = detail::PoolSince(startSerial_);
    std::fprintf(stderr,
                 "*** driver %s unloaded still holding:\n"
                 "***   pool: %zu blocks, %zu bytes%s%s\n"
                 "***   memory descriptor lists: %zu\n"
                 "***   mappings: %zu\n"
                 "***   object references: %ld\n"
                 "***   handles: %zu\n",
                 driverName ? driverName : "?", h.poolBlocks, h.poolBytes, pool.detail.empty() ? "" : ": ",
                 pool.detail.c_str(), h.mdls, h.mappings, (long)h.references, h.handles);
    BugCheck(kDriverVerifierDetectedViolation, "driver unload", kViolationDriverLeaks, h.poolBlocks,
             h.mdls + h.mappings, (ULONG_PTR)h.references + h.handles);
}

} // namespace standin::kernel
