// Executive pool: every block is tracked with its pool type, tag and size;
// paged pool is refused at raised IRQL and bad frees are caught.
#include "internal.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <unordered_map>

namespace standin::kernel {

namespace {

constexpr ULONG kUntagged = 0x656E6F4E; // "None", the tag of ExAllocatePool
struct Block {
    POOL_TYPE type;
    ULONG tag;
    size_t size;
    Owner owner;
};

struct PoolState {
    std::mutex lock;
    std::unordered_map<void *, Block> blocks;
};

PoolState &State()
{
    static PoolState *s = new PoolState;
    return *s;
}

bool IsValidType(POOL_TYPE type)
{
    switch ((int)type) {
    case NonPagedPool:
    case PagedPool:
    case NonPagedPoolMustSucceed:
    case NonPagedPoolCacheAligned:
    case PagedPoolCacheAligned:
    case NonPagedPoolCacheAlignedMustS:
    case NonPagedPoolNx:
    case NonPagedPoolNxCacheAligned: return true;
    default: return false;
    }
}

bool IsPaged(POOL_TYPE type)
{
    return ((int)type & 1) != 0;
}

const char *TypeName(POOL_TYPE type)
{
    switch ((int)type) {
    case NonPagedPool: return "NonPagedPool";
    case PagedPool: return "PagedPool";
    case NonPagedPoolNx: return "NonPagedPoolNx";
    case NonPagedPoolCacheAligned: return "NonPagedPoolCacheAligned";
    case PagedPoolCacheAligned: return "PagedPoolCacheAligned";
    case NonPagedPoolNxCacheAligned: return "NonPagedPoolNxCacheAligned";
    default: return "NonPagedPoolMustSucceed";
    }
}

// Tags print in memory order, as pool tools show them.
std::string TagText(ULONG tag)
{
    std::string s = "'";
    for (int i = 0; i < 4; ++i) {
        char c = (char)((tag >> (8 * i)) & 0xFF);
        s += (c >= 0x20 && c < 0x7F) ? c : '.';
    }
    return s + "'";
}

PVOID Allocate(POOL_TYPE type, SIZE_T size, ULONG tag, bool zero, const char *call, void *site)
{
    // No-execute pool types exist from version 6.2 on; older systems reject them.
    if (!IsValidType(type) || ((int)type >= NonPagedPoolNx && detail::BootedVersion() < 0x602))
        BugCheck(kBadPoolCaller, call, kPoolBadType, (ULONG_PTR)type, size);
    detail::RequireIrqlAtMost(HIGH_LEVEL, call); // the checks every call gets
    KIRQL irql = KeGetCurrentIrql();
    if (irql > (IsPaged(type) ? APC_LEVEL : DISPATCH_LEVEL))
        BugCheck(kBadPoolCaller, call, kPoolBadIrql, irql, (ULONG_PTR)type, size);
    if (detail::ShouldFail(Fault::PoolAllocation, tag, site))
        return nullptr;
    // malloc aligns to 16 bytes as pool does on x64, and keeps the block its
    // exact size so that the address sanitizer sees every overrun.
    void *p = std::malloc(size ? size : 1);
    if (!p)
        return nullptr;
    // Uninitialised pool holds a pattern, so code that relies on zeroes shows.
    std::memset(p, zero ? 0 : detail::kPoisonFill, size);
    auto &s = State();
    std::lock_guard lk(s.lock);
    s.blocks[p] = {type, tag, size, detail::CurrentOwner()};
    return p;
}

void Free(PVOID p, const ULONG *tag, const char *call)
{
    if (!p)
        BugCheck(kBadPoolCaller, call, kPoolFreeUnknown, 0);
    KIRQL irql = KeGetCurrentIrql();
    auto &s = State();
    std::unique_lock lk(s.lock);
    auto it = s.blocks.find(p);
    if (it == s.blocks.end()) {
        lk.unlock();
        // Descriptors from MmAllocatePagesForMdl are released with ExFreePool.
        if (detail::FreeMdlThroughPool(p))
            return;
        BugCheck(kBadPoolCaller, call, kPoolFreeUnknown, (ULONG_PTR)p);
    }
    Block b = it->second;
    if (irql > (IsPaged(b.type) ? APC_LEVEL : DISPATCH_LEVEL)) {
        lk.unlock();
        BugCheck(kBadPoolCaller, call, kPoolFreeBadIrql, irql, (ULONG_PTR)b.type, (ULONG_PTR)p);
    }
    if (tag && *tag != b.tag) {
        lk.unlock();
        BugCheck(kBadPoolCaller, call, kPoolFreeWrongTag, (ULONG_PTR)p, b.tag, *tag);
    }
    s.blocks.erase(it);
    lk.unlock();
    std::free(p);
}

} // namespace

namespace detail {

PoolSummary PoolOf(Owner owner)
{
    auto &s = State();
    std::lock_guard lk(s.lock);
    std::map<std::pair<int, ULONG>, std::pair<size_t, size_t>> byTypeAndTag;
    PoolSummary summary;
    for (auto &[p, b] : s.blocks) {
        if (b.owner != owner)
            continue;
        auto &entry = byTypeAndTag[{(int)b.type, b.tag}];
        entry.first += 1;
        entry.second += b.size;
        summary.blocks += 1;
        summary.bytes += b.size;
    }
    for (auto &[key, counts] : byTypeAndTag) {
        char line[160];
        std::snprintf(line, sizeof line, "%s%s %s x%zu (%zu bytes)", summary.detail.empty() ? "" : "; ",
                      TypeName((POOL_TYPE)key.first), TagText(key.second).c_str(), counts.first, counts.second);
        summary.detail += line;
    }
    return summary;
}

} // namespace detail
} // namespace standin::kernel

using standin::kernel::Allocate;
using standin::kernel::Free;

extern "C" PVOID ExAllocatePool(POOL_TYPE type, SIZE_T size)
{
    return Allocate(type, size, standin::kernel::kUntagged, false, "ExAllocatePool", __builtin_return_address(0));
}

extern "C" PVOID ExAllocatePoolWithTag(POOL_TYPE type, SIZE_T size, ULONG tag)
{
    return Allocate(type, size, tag, false, "ExAllocatePoolWithTag", __builtin_return_address(0));
}

extern "C" PVOID ExAllocatePool2(POOL_FLAGS flags, SIZE_T size, ULONG tag)
{
    constexpr POOL_FLAGS kKnown = POOL_FLAG_USE_QUOTA | POOL_FLAG_UNINITIALIZED | POOL_FLAG_SESSION |
                                  POOL_FLAG_CACHE_ALIGNED | POOL_FLAG_RAISE_ON_FAILURE | POOL_FLAG_NON_PAGED |
                                  POOL_FLAG_NON_PAGED_EXECUTE | POOL_FLAG_PAGED;
    POOL_FLAGS kinds = flags & (POOL_FLAG_NON_PAGED | POOL_FLAG_NON_PAGED_EXECUTE | POOL_FLAG_PAGED);
    // Exactly one pool kind, no unknown or session flags, and a real tag.
    bool valid = (flags & ~kKnown) == 0 && !(flags & POOL_FLAG_SESSION) && tag != 0 &&
                 (kinds == POOL_FLAG_NON_PAGED || kinds == POOL_FLAG_NON_PAGED_EXECUTE || kinds == POOL_FLAG_PAGED);
    PVOID p = nullptr;
    if (valid) {
        POOL_TYPE type = kinds == POOL_FLAG_PAGED       ? PagedPool
                         : kinds == POOL_FLAG_NON_PAGED ? NonPagedPoolNx
                                                        : NonPagedPool;
        p = Allocate(type, size, tag, !(flags & POOL_FLAG_UNINITIALIZED), "ExAllocatePool2",
                     __builtin_return_address(0));
    }
    if (!p && (flags & POOL_FLAG_RAISE_ON_FAILURE))
        ExRaiseStatus(STATUS_INSUFFICIENT_RESOURCES);
    return p;
}

extern "C" VOID ExFreePool(PVOID p)
{
    Free(p, nullptr, "ExFreePool");
}

extern "C" VOID ExFreePoolWithTag(PVOID p, ULONG tag)
{
    Free(p, &tag, "ExFreePoolWithTag");
}
