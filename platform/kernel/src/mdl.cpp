// Memory descriptor lists over real shared memory: each page allocation is a
// memfd; system and user views are separate mappings of it, and a removed
// view is replaced by an inaccessible range so that later accesses fault.
#include "internal.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <sys/mman.h>
#include <unistd.h>
#include <unordered_map>

namespace standin::kernel {

namespace {

constexpr ULONG kNoExecuteFlag = 0x40000000;
constexpr ULONG kNoWriteFlag = 0x80000000;

struct Pages {
    int fd = -1;
    size_t bytes = 0; // whole pages
    size_t views = 0; // live mappings over these pages
    bool freed = false;
    ~Pages()
    {
        if (fd >= 0)
            close(fd);
    }
};

enum class MdlKind { Pages, Described, Partial };

struct MdlInfo {
    MdlKind kind;
    std::shared_ptr<Pages> pages; // Pages, and Partial once built
    size_t fdOffset = 0;          // of StartVa's page within the memfd
    Owner owner;
    size_t capacity; // page entries the descriptor has room for
};

struct View {
    PMDL mdl;
    void *base; // page-aligned start of the mapping
    size_t length;
    KPROCESSOR_MODE mode;
    PEPROCESS process; // owner of a user view
    std::shared_ptr<Pages> pages;
    Owner owner;
};

struct MemoryState {
    std::mutex lock;
    std::unordered_map<PMDL, MdlInfo> mdls;
    std::unordered_map<void *, View> views; // by the address handed out
    ULONG_PTR nextPfn = 0x10000;
};

MemoryState &State()
{
    static MemoryState *s = new MemoryState;
    return *s;
}

PMDL NewDescriptor(size_t pageEntries)
{
    size_t size = sizeof(MDL) + pageEntries * sizeof(PFN_NUMBER);
    auto mdl = static_cast<PMDL>(std::calloc(1, size));
    if (mdl)
        mdl->Size = (CSHORT)(size > 0x7FFF ? 0x7FFF : size);
    return mdl;
}

// Replaces a view by an inaccessible reservation: the range stays taken, so
// nothing else lands there and every access to it faults.
void RetireRange(void *base, size_t length)
{
    mmap(base, length, PROT_NONE, MAP_FIXED | MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
}

[[noreturn]] void Violation(const char *call, ULONG_PTR what, ULONG_PTR a = 0, ULONG_PTR b = 0, ULONG_PTR c = 0)
{
    BugCheck(kDriverVerifierDetectedViolation, call, what, a, b, c);
}

} // namespace

size_t UserMappingCount(PEPROCESS process)
{
    auto &s = State();
    std::lock_guard lk(s.lock);
    size_t n = 0;
    for (auto &[address, v] : s.views)
        n += v.mode == UserMode && v.process == process;
    return n;
}

namespace detail {

void RemoveProcessMappings(PEPROCESS process)
{
    auto &s = State();
    std::lock_guard lk(s.lock);
    for (auto it = s.views.begin(); it != s.views.end();) {
        View &v = it->second;
        if (v.mode == UserMode && v.process == process) {
            RetireRange(v.base, v.length);
            v.pages->views -= 1;
            it = s.views.erase(it);
        } else {
            ++it;
        }
    }
}

size_t MdlsOf(Owner owner)
{
    auto &s = State();
    std::lock_guard lk(s.lock);
    size_t n = 0;
    for (auto &[mdl, info] : s.mdls)
        n += info.owner == owner;
    return n;
}

size_t MappingsOf(Owner owner)
{
    auto &s = State();
    std::lock_guard lk(s.lock);
    size_t n = 0;
    for (auto &[address, v] : s.views)
        n += v.owner == owner;
    return n;
}

bool FreeMdlThroughPool(void *p)
{
    auto &s = State();
    std::unique_lock lk(s.lock);
    auto it = s.mdls.find(static_cast<PMDL>(p));
    if (it == s.mdls.end() || it->second.kind != MdlKind::Pages)
        return false;
    if (!it->second.pages->freed) {
        lk.unlock();
        Violation("ExFreePool", kViolationMdlFreedWithPages, (ULONG_PTR)p);
    }
    s.mdls.erase(it);
    lk.unlock();
    std::free(p);
    return true;
}

} // namespace detail
} // namespace standin::kernel

using namespace standin::kernel;

extern "C" PMDL MmAllocatePagesForMdlEx(PHYSICAL_ADDRESS, PHYSICAL_ADDRESS, PHYSICAL_ADDRESS, SIZE_T totalBytes,
                                        MEMORY_CACHING_TYPE cacheType, ULONG flags)
{
    detail::RequireIrqlAtMost(APC_LEVEL, "MmAllocatePagesForMdl");
    constexpr ULONG kKnownFlags =
        MM_DONT_ZERO_ALLOCATION | MM_ALLOCATE_FROM_LOCAL_NODE_ONLY | MM_ALLOCATE_FULLY_REQUIRED | MM_ALLOCATE_NO_WAIT;
    if ((flags & ~kKnownFlags) || cacheType < MmNonCached || cacheType >= MmMaximumCacheType || totalBytes == 0 ||
        totalBytes > 0xFFFFF000u)
        return nullptr;
    void *site = __builtin_return_address(0);
    if (detail::ShouldFail(Fault::PageAllocation, 0, site))
        return nullptr;
    size_t pageCount = BYTES_TO_PAGES(totalBytes);
    size_t bytes = totalBytes;
    // The memory manager may hand back fewer pages than asked for, unless the
    // caller required all of them: the caller must check the byte count.
    if (pageCount > 1 && !(flags & MM_ALLOCATE_FULLY_REQUIRED) && detail::ShouldFail(Fault::ShortPages, 0, site)) {
        pageCount /= 2;
        bytes = pageCount * PAGE_SIZE;
    }
    auto pages = std::make_shared<Pages>();
    pages->bytes = pageCount * PAGE_SIZE;
    pages->fd = memfd_create("standin-pages", MFD_CLOEXEC);
    if (pages->fd < 0 || ftruncate(pages->fd, (off_t)pages->bytes) != 0)
        return nullptr;
    // Pages not zeroed hold whatever was there before: a pattern here, so
    // code that relies on zeroes shows.
    if (flags & MM_DONT_ZERO_ALLOCATION) {
        void *fill = mmap(nullptr, pages->bytes, PROT_READ | PROT_WRITE, MAP_SHARED, pages->fd, 0);
        if (fill == MAP_FAILED)
            return nullptr;
        std::memset(fill, detail::kPoisonFill, pages->bytes);
        munmap(fill, pages->bytes);
    }
    PMDL mdl = NewDescriptor(pageCount);
    if (!mdl)
        return nullptr;
    mdl->MdlFlags = MDL_PAGES_LOCKED | MDL_ALLOCATED_FIXED_SIZE;
    mdl->StartVa = nullptr;
    mdl->ByteOffset = 0;
    mdl->ByteCount = (ULONG)bytes;
    auto &s = State();
    std::lock_guard lk(s.lock);
    for (size_t i = 0; i < pageCount; ++i)
        MmGetMdlPfnArray(mdl)[i] = s.nextPfn++;
    s.mdls[mdl] = {MdlKind::Pages, pages, 0, detail::CurrentOwner(), pageCount};
    return mdl;
}

extern "C" PMDL MmAllocatePagesForMdl(PHYSICAL_ADDRESS low, PHYSICAL_ADDRESS high, PHYSICAL_ADDRESS skip,
                                      SIZE_T totalBytes)
{
    return MmAllocatePagesForMdlEx(low, high, skip, totalBytes, MmCached, 0);
}

extern "C" VOID MmFreePagesFromMdl(PMDL mdl)
{
    detail::RequireIrqlAtMost(DISPATCH_LEVEL, "MmFreePagesFromMdl");
    auto &s = State();
    std::unique_lock lk(s.lock);
    auto it = s.mdls.find(mdl);
    if (it == s.mdls.end() || it->second.kind != MdlKind::Pages || it->second.pages->freed) {
        lk.unlock();
        Violation("MmFreePagesFromMdl", kViolationUnknownMdl, (ULONG_PTR)mdl);
    }
    if (it->second.pages->views != 0) {
        size_t views = it->second.pages->views;
        lk.unlock();
        Violation("MmFreePagesFromMdl", kViolationPagesFreedWhileMapped, (ULONG_PTR)mdl, views);
    }
    it->second.pages->freed = true;
    close(it->second.pages->fd);
    it->second.pages->fd = -1;
    mdl->ByteCount = 0;
}

extern "C" PMDL IoAllocateMdl(PVOID va, ULONG length, BOOLEAN secondary, BOOLEAN, struct _IRP *irp)
{
    detail::RequireIrqlAtMost(DISPATCH_LEVEL, "IoAllocateMdl");
    if (irp || secondary) {
        // Chaining onto an IRP needs the I/O manager's IRP layout; no caller of
        // this stand-in does it, and silently not chaining would be wrong.
        BugCheck(kDriverVerifierDetectedViolation, "IoAllocateMdl (with an IRP)", kViolationMdlChainedOnIrp,
                 (ULONG_PTR)irp);
    }
    if (length == 0)
        return nullptr;
    if (detail::ShouldFail(Fault::MdlAllocation, 0, __builtin_return_address(0)))
        return nullptr;
    size_t pageCount = ADDRESS_AND_SIZE_TO_SPAN_PAGES(va, length);
    PMDL mdl = NewDescriptor(pageCount);
    if (!mdl)
        return nullptr;
    mdl->StartVa = PAGE_ALIGN(va);
    mdl->ByteOffset = BYTE_OFFSET(va);
    mdl->ByteCount = length;
    auto &s = State();
    std::lock_guard lk(s.lock);
    s.mdls[mdl] = {MdlKind::Described, nullptr, 0, detail::CurrentOwner(), pageCount};
    return mdl;
}

extern "C" VOID IoBuildPartialMdl(PMDL source, PMDL target, PVOID va, ULONG length)
{
    auto &s = State();
    std::unique_lock lk(s.lock);
    auto src = s.mdls.find(source);
    auto dst = s.mdls.find(target);
    if (src == s.mdls.end() || dst == s.mdls.end() || !src->second.pages || src->second.pages->freed) {
        lk.unlock();
        Violation("IoBuildPartialMdl", kViolationMdlWithoutPages, (ULONG_PTR)source, (ULONG_PTR)target);
    }
    auto begin = (char *)MmGetMdlVirtualAddress(source);
    auto at = (char *)va;
    if (length == 0) // the rest of the source
        length = (ULONG)(begin + source->ByteCount - at);
    if (at < begin || at + length > begin + source->ByteCount) {
        lk.unlock();
        BugCheck(kTargetMdlTooSmall, "IoBuildPartialMdl", (ULONG_PTR)source, (ULONG_PTR)va, length);
    }
    size_t pageCount = ADDRESS_AND_SIZE_TO_SPAN_PAGES(va, length);
    if (pageCount > dst->second.capacity) {
        lk.unlock();
        BugCheck(kTargetMdlTooSmall, "IoBuildPartialMdl", (ULONG_PTR)source, (ULONG_PTR)target, pageCount);
    }
    size_t firstPage = ((char *)PAGE_ALIGN(at) - (char *)source->StartVa) / PAGE_SIZE;
    target->StartVa = PAGE_ALIGN(va);
    target->ByteOffset = BYTE_OFFSET(va);
    target->ByteCount = length;
    target->MdlFlags = (CSHORT)((target->MdlFlags & ~MDL_MAPPING_CAN_FAIL) | MDL_PARTIAL | MDL_PAGES_LOCKED);
    std::memcpy(MmGetMdlPfnArray(target), MmGetMdlPfnArray(source) + firstPage, pageCount * sizeof(PFN_NUMBER));
    dst->second.kind = MdlKind::Partial;
    dst->second.pages = src->second.pages;
    dst->second.fdOffset = src->second.fdOffset + firstPage * PAGE_SIZE;
}

// Describes memory the system already maps: the stand-in's nonpaged memory
// that can be mapped again is the pages of a system view, so the descriptor
// takes the pages of the view that holds its range. A range outside every
// system view keeps no pages (mapping it stops with "MDL without pages").
extern "C" VOID MmBuildMdlForNonPagedPool(PMDL mdl)
{
    detail::RequireIrqlAtMost(DISPATCH_LEVEL, "MmBuildMdlForNonPagedPool");
    auto &s = State();
    std::unique_lock lk(s.lock);
    auto it = s.mdls.find(mdl);
    if (it == s.mdls.end()) {
        lk.unlock();
        Violation("MmBuildMdlForNonPagedPool", kViolationUnknownMdl, (ULONG_PTR)mdl);
    }
    auto *start = (char *)mdl->StartVa;
    size_t pageCount = ADDRESS_AND_SIZE_TO_SPAN_PAGES(mdl->ByteOffset, mdl->ByteCount);
    mdl->MappedSystemVa = start + mdl->ByteOffset;
    mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
    for (auto &[address, v] : s.views) {
        auto *base = (char *)v.base;
        if (v.mode != KernelMode || start < base || start + pageCount * PAGE_SIZE > base + v.length)
            continue;
        auto source = s.mdls.find(v.mdl);
        if (source == s.mdls.end() || !v.pages || v.pages->freed)
            break;
        size_t firstPage = (size_t)(start - base) / PAGE_SIZE;
        it->second.kind = MdlKind::Partial;
        it->second.pages = v.pages;
        it->second.fdOffset = source->second.fdOffset + firstPage * PAGE_SIZE;
        for (size_t i = 0; i < pageCount && i < it->second.capacity; ++i)
            MmGetMdlPfnArray(mdl)[i] = MmGetMdlPfnArray(v.mdl)[firstPage + i];
        break;
    }
}

extern "C" VOID MmUnmapLockedPages(PVOID address, PMDL mdl)
{
    detail::RequireIrqlAtMost(DISPATCH_LEVEL, "MmUnmapLockedPages");
    auto &s = State();
    std::unique_lock lk(s.lock);
    auto it = s.views.find(address);
    if (it == s.views.end()) {
        lk.unlock();
        Violation("MmUnmapLockedPages", kViolationUnmapNotMapped, (ULONG_PTR)address, (ULONG_PTR)mdl);
    }
    View &v = it->second;
    if (v.mdl != mdl) {
        lk.unlock();
        Violation("MmUnmapLockedPages", kViolationUnmapWrongMdl, (ULONG_PTR)address, (ULONG_PTR)mdl);
    }
    // A user view is removed at APC_LEVEL or below, from inside its own process.
    if (v.mode == UserMode && KeGetCurrentIrql() > APC_LEVEL) {
        KIRQL irql = KeGetCurrentIrql();
        lk.unlock();
        BugCheck(kIrqlNotLessOrEqual, "MmUnmapLockedPages (user view)", irql, APC_LEVEL, (ULONG_PTR)address);
    }
    if (v.mode == UserMode && v.process != CurrentProcess()) {
        lk.unlock();
        Violation("MmUnmapLockedPages", kViolationUnmapWrongProcess, (ULONG_PTR)address, (ULONG_PTR)mdl);
    }
    if (v.mode == KernelMode) {
        mdl->MappedSystemVa = nullptr;
        mdl->MdlFlags = (CSHORT)(mdl->MdlFlags & ~(MDL_MAPPED_TO_SYSTEM_VA | MDL_PARTIAL_HAS_BEEN_MAPPED));
    }
    RetireRange(v.base, v.length);
    v.pages->views -= 1;
    s.views.erase(it);
}

extern "C" VOID IoFreeMdl(PMDL mdl)
{
    detail::RequireIrqlAtMost(DISPATCH_LEVEL, "IoFreeMdl");
    auto &s = State();
    std::unique_lock lk(s.lock);
    auto it = s.mdls.find(mdl);
    if (it == s.mdls.end()) {
        lk.unlock();
        Violation("IoFreeMdl", kViolationUnknownMdl, (ULONG_PTR)mdl);
    }
    if (it->second.kind == MdlKind::Pages && !it->second.pages->freed) {
        lk.unlock();
        Violation("IoFreeMdl", kViolationMdlFreedWithPages, (ULONG_PTR)mdl);
    }
    for (auto &[address, v] : s.views) {
        if (v.mdl == mdl && v.mode == UserMode) {
            lk.unlock();
            Violation("IoFreeMdl", kViolationMdlFreedWhileUserMapped, (ULONG_PTR)mdl, (ULONG_PTR)address);
        }
    }
    // As on Windows, freeing a partial descriptor removes its system view.
    if (mdl->MdlFlags & MDL_PARTIAL_HAS_BEEN_MAPPED) {
        void *address = mdl->MappedSystemVa;
        lk.unlock();
        MmUnmapLockedPages(address, mdl);
        lk.lock();
        it = s.mdls.find(mdl);
    }
    s.mdls.erase(it);
    lk.unlock();
    std::free(mdl);
}

namespace {

// Makes the view; returns null when it cannot be made. Raising is left to
// the caller so that no lock or local object is abandoned by it.
PVOID MapView(PMDL mdl, KPROCESSOR_MODE mode, MEMORY_CACHING_TYPE cacheType, PVOID requested, ULONG bugCheckOnFailure,
              ULONG priority, void *site)
{
    const char *call = "MmMapLockedPagesSpecifyCache";
    detail::RequireIrqlAtMost(mode == UserMode ? APC_LEVEL : DISPATCH_LEVEL, call);
    ULONG level = priority & ~(kNoExecuteFlag | kNoWriteFlag);
    // The mapping flags in the priority exist from version 6.2 on.
    bool flagsKnown = !(priority & (kNoExecuteFlag | kNoWriteFlag)) || detail::BootedVersion() >= 0x602;
    if (level > HighPagePriority || !flagsKnown || cacheType < MmNonCached || cacheType >= MmMaximumCacheType ||
        (mode != KernelMode && mode != UserMode) || (mode == KernelMode && requested))
        Violation(call, kViolationBadMappingPriority, (ULONG_PTR)mdl, priority, (ULONG_PTR)cacheType);

    auto &s = State();
    std::unique_lock lk(s.lock);
    auto it = s.mdls.find(mdl);
    if (it == s.mdls.end() || !it->second.pages || it->second.pages->freed) {
        lk.unlock();
        Violation(call, kViolationMdlWithoutPages, (ULONG_PTR)mdl);
    }
    if (mode == KernelMode && (mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_PARTIAL_HAS_BEEN_MAPPED))) {
        lk.unlock();
        Violation(call, kViolationAlreadyMappedToSystem, (ULONG_PTR)mdl, (ULONG_PTR)mdl->MappedSystemVa);
    }
    MdlInfo &info = it->second;
    PEPROCESS process = CurrentProcess();
    size_t length = (size_t)ADDRESS_AND_SIZE_TO_SPAN_PAGES(mdl->ByteOffset, mdl->ByteCount) * PAGE_SIZE;
    int prot = PROT_READ | ((priority & kNoWriteFlag) ? 0 : PROT_WRITE);

    bool injected = detail::ShouldFail(mode == UserMode ? Fault::UserMapping : Fault::SystemMapping, 0, site);
    void *base = MAP_FAILED;
    if (!injected && !(mode == UserMode && process->ended.load())) {
        // A 32-bit process sees its views below 4 GiB.
        int flags = MAP_SHARED | ((mode == UserMode && process->is32Bit) ? MAP_32BIT : 0);
        if (requested)
            flags |= MAP_FIXED_NOREPLACE;
        base = mmap(requested, length, prot, flags, info.pages->fd, (off_t)info.fdOffset);
        if (base != MAP_FAILED && requested && base != requested) {
            munmap(base, length);
            base = MAP_FAILED;
        }
    }
    if (base == MAP_FAILED) {
        lk.unlock();
        if (mode == KernelMode && bugCheckOnFailure)
            BugCheck(kNoMoreSystemPtes, call, 0, length / PAGE_SIZE);
        return nullptr;
    }
    void *address = (char *)base + mdl->ByteOffset;
    info.pages->views += 1;
    s.views[address] = {mdl, base, length, mode, process, info.pages, detail::CurrentOwner()};
    if (mode == KernelMode) {
        mdl->MappedSystemVa = address;
        mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA | ((mdl->MdlFlags & MDL_PARTIAL) ? MDL_PARTIAL_HAS_BEEN_MAPPED : 0);
    }
    return address;
}

} // namespace

extern "C" PVOID MmMapLockedPagesSpecifyCache(PMDL mdl, KPROCESSOR_MODE mode, MEMORY_CACHING_TYPE cacheType,
                                              PVOID requested, ULONG bugCheckOnFailure, ULONG priority)
{
    PVOID address = MapView(mdl, mode, cacheType, requested, bugCheckOnFailure, priority, __builtin_return_address(0));
    // A user view that cannot be made raises, whatever the caller asked for;
    // a system view returns null.
    if (!address && mode == UserMode)
        ExRaiseStatus(STATUS_INSUFFICIENT_RESOURCES);
    return address;
}
