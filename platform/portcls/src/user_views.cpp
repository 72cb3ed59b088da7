// The views the port makes in a client's process (a pin's cyclic buffer and
// its registers): made in the requestor's context inside an exception guard,
// removed in that process when the pin closes, or when the process ends
// first (its views go with it, before its handles are closed). The views
// count against the platform, as PortCls's own.
#include "internal.h"

#include <guarded_call.h>

#include <algorithm>
#include <optional>

namespace standin::portcls {

namespace {

struct ViewRegistry {
    std::mutex lock;
    std::vector<UserView *> views;
    int callback = -1;
};

ViewRegistry &Registry()
{
    static ViewRegistry *registry = new ViewRegistry;
    return *registry;
}

void RemoveView(UserView &view)
{
    std::optional<standin::kernel::ProcessScope> scope;
    if (view.process != standin::kernel::CurrentProcess())
        scope.emplace(view.process);
    MmUnmapLockedPages(view.address, view.mdl);
    view.live = false;
}

// A client process ends: the port's views in it go now, in its context.
void OnProcessEnd(PEPROCESS process, void *)
{
    ViewRegistry &registry = Registry();
    std::lock_guard<std::mutex> hold(registry.lock);
    for (UserView *view : registry.views)
        if (view->live && view->process == process)
            RemoveView(*view);
    std::erase_if(registry.views, [](UserView *view) { return !view->live; });
}

struct MapRequest {
    PMDL mdl;
    MEMORY_CACHING_TYPE cacheType;
    PVOID address;
};

NTSTATUS MapGuarded(PVOID context)
{
    auto *request = static_cast<MapRequest *>(context);
    request->address =
        MmMapLockedPagesSpecifyCache(request->mdl, UserMode, request->cacheType, nullptr, FALSE, MappingPriority());
    return request->address != nullptr ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

} // namespace

ULONG MappingPriority()
{
    RTL_OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof version;
    RtlGetVersion(&version);
    const bool noExecute = (version.dwMajorVersion << 8 | version.dwMinorVersion) >= 0x602;
    return NormalPagePriority | (noExecute ? MdlMappingNoExecute : 0);
}

NTSTATUS MapIntoRequestor(PMDL mdl, MEMORY_CACHING_TYPE cacheType, UserView &view)
{
    ViewRegistry &registry = Registry();
    std::lock_guard<std::mutex> hold(registry.lock);
    if (registry.callback < 0)
        registry.callback = standin::kernel::RegisterProcessEndCallback(&OnProcessEnd, nullptr);
    PEPROCESS process = standin::kernel::CurrentProcess();
    // A process whose end has begun gets no new view (its end removes the
    // ones it has, under this lock).
    if (standin::kernel::IsProcessEnded(process))
        return STATUS_PROCESS_IS_TERMINATING;
    MapRequest request{mdl, cacheType, nullptr};
    // The view is the port's, not the driver's whose request this is; one
    // that cannot be made raises, and the guard turns that into a status.
    standin::kernel::OwnerScope platform(standin::kernel::kPlatform);
    const NTSTATUS status = GuardedCall(&MapGuarded, &request);
    if (!NT_SUCCESS(status))
        return status;
    view.process = process;
    view.address = request.address;
    view.mdl = mdl;
    view.live = true;
    registry.views.push_back(&view);
    return STATUS_SUCCESS;
}

void Unmap(UserView &view)
{
    ViewRegistry &registry = Registry();
    std::lock_guard<std::mutex> hold(registry.lock);
    std::erase(registry.views, &view);
    if (view.live)
        RemoveView(view);
}

} // namespace standin::portcls
