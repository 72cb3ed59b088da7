// Owners and what each holds: every driver is an owner, charged with what
// its code was handed and still holds, reported when it unloads.
#include "internal.h"

#include <cstdio>

namespace standin::kernel {

namespace {

std::atomic<uint64_t> g_serial{1};

struct OwnerRegistry {
    std::mutex lock;
    std::vector<std::string> names{"platform"};
};

OwnerRegistry &Owners()
{
    static OwnerRegistry *r = new OwnerRegistry;
    return *r;
}

} // namespace

namespace detail {
uint64_t NextSerial()
{
    return g_serial.fetch_add(1);
}
} // namespace detail

Owner RegisterOwner(const char *name)
{
    auto &r = Owners();
    std::lock_guard lk(r.lock);
    r.names.emplace_back(name ? name : "driver");
    return (Owner)(r.names.size() - 1);
}

const char *OwnerName(Owner owner)
{
    auto &r = Owners();
    std::lock_guard lk(r.lock);
    return owner < r.names.size() ? r.names[owner].c_str() : "?";
}

Holdings HeldBy(Owner owner)
{
    Holdings h;
    auto pool = detail::PoolOf(owner);
    h.poolBlocks = pool.blocks;
    h.poolBytes = pool.bytes;
    h.mdls = detail::MdlsOf(owner);
    h.mappings = detail::MappingsOf(owner);
    h.references = detail::ReferenceBalance(owner);
    h.handles = detail::HandlesOf(owner);
    h.threads = detail::RunningThreadsOf(owner);
    return h;
}

DriverScope::DriverScope(const char *name) : owner_(RegisterOwner(name)) {}

DriverScope::DriverScope() : owner_(RegisterOwner("driver")), adopted_(true)
{
    _KTHREAD *t = detail::CurrentThread();
    previous_ = t->owner;
    t->owner = owner_;
}

DriverScope::~DriverScope()
{
    if (adopted_)
        detail::CurrentThread()->owner = previous_;
}

Holdings DriverScope::Held() const
{
    return HeldBy(owner_);
}

Holdings DriverScope::ReportUnload(const char *driverName) const
{
    Holdings h = Held();
    // A thread still in the driver's code would run on in an unloaded image.
    if (h.threads != 0)
        BugCheck(kDriverUnloadedWithoutCancellingPendingOperations, "driver unload (system threads still running)",
                 h.threads);
    if (h.empty())
        return h;
    auto pool = detail::PoolOf(owner_);
    std::fprintf(stderr,
                 "*** driver %s unloaded still holding:\n"
                 "***   pool: %zu blocks, %zu bytes%s%s\n"
                 "***   memory descriptor lists: %zu\n"
                 "***   mappings: %zu\n"
                 "***   object references: %ld\n"
                 "***   handles: %zu\n",
                 driverName ? driverName : "?", h.poolBlocks, h.poolBytes, pool.detail.empty() ? "" : ": ",
                 pool.detail.c_str(), h.mdls, h.mappings, (long)h.references, h.handles);
    return h;
}

void DriverScope::CheckUnload(const char *driverName) const
{
    const Holdings h = ReportUnload(driverName);
    if (!h.empty())
        BugCheck(kDriverVerifierDetectedViolation, "driver unload", kViolationDriverLeaks, h.poolBlocks,
                 h.mdls + h.mappings, (ULONG_PTR)h.references + h.handles);
}

} // namespace standin::kernel
