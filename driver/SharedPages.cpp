// Allocation, system and user views, and release of a pipe's shared pages.
#include "SharedPages.h"
#include "Atomics.h"
#include "Guard.h"
#include "Startup.h"

// Every view of the driver's pages: cached, wherever the platform chooses,
// reported instead of stopping the system, and not executable where the
// platform knows the flag.
ULONG MappingPriority()
{
    ULONG priority = NormalPagePriority;
    if (Mosaik::GetOsVersion() >= Mosaik::OsVersion62)
        priority |= MdlMappingNoExecute;
    return priority;
}

namespace {

PVOID MapPages(PMDL mdl, KPROCESSOR_MODE mode)
{
    // The priority argument also carries the mapping flags.
    return MmMapLockedPagesSpecifyCache(mdl, mode, MmCached, nullptr, FALSE,
                                        static_cast<MM_PAGE_PRIORITY>(MappingPriority()));
}

struct UserMapping {
    PMDL Mdl;
    PVOID View;
};

// Runs under the guard: the mapping raises when the process cannot take it.
NTSTATUS MapIntoProcess(PVOID context)
{
    UserMapping &mapping = *static_cast<UserMapping *>(context);
    mapping.View = MapPages(mapping.Mdl, UserMode);
    return STATUS_SUCCESS;
}

} // namespace

NTSTATUS AllocateSharedPages(SharedPages &pages, ULONG bytes)
{
    PHYSICAL_ADDRESS lowest, highest, skip;
    lowest.QuadPart = 0;
    highest.QuadPart = -1;
    skip.QuadPart = 0;
    pages.Mdl = MmAllocatePagesForMdlEx(lowest, highest, skip, bytes, MmCached, 0);
    if (pages.Mdl != nullptr && MmGetMdlByteCount(pages.Mdl) >= bytes) {
        pages.SystemView = MapPages(pages.Mdl, KernelMode);
        if (pages.SystemView != nullptr)
            return STATUS_SUCCESS;
    }
    ReleaseSharedPages(pages);
    return STATUS_INSUFFICIENT_RESOURCES;
}

NTSTATUS MapSharedPagesToUser(SharedPages &pages)
{
    UserMapping mapping = {pages.Mdl, nullptr};
    NTSTATUS status = CallGuarded(MapIntoProcess, &mapping);
    if (NT_SUCCESS(status) && mapping.View == nullptr)
        status = STATUS_INSUFFICIENT_RESOURCES;
    if (!NT_SUCCESS(status))
        return status; // an exception leaves no view behind
    StorePointer(pages.UserView, mapping.View);
    return STATUS_SUCCESS;
}

void UnmapSharedPagesFromUser(SharedPages &pages)
{
    PVOID view = LoadPointer(pages.UserView);
    if (view == nullptr)
        return;
    StorePointer(pages.UserView, static_cast<PVOID>(nullptr));
    MmUnmapLockedPages(view, pages.Mdl);
}

void ReleaseSharedPages(SharedPages &pages)
{
    if (pages.Mdl == nullptr)
        return;
    if (pages.SystemView != nullptr)
        MmUnmapLockedPages(pages.SystemView, pages.Mdl);
    MmFreePagesFromMdl(pages.Mdl);
    ExFreePool(pages.Mdl);
    pages.Mdl = nullptr;
    pages.SystemView = nullptr;
}
