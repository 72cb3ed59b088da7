// Library-wide state: started flag, system version and the exit-callback
// list, written only by start-up and shutdown.
#include "Startup.h"

#include "KernelHelpers.h"

namespace Mosaik {
namespace {

// Kept in the image so that a binary can be identified; never printed.
__attribute__((used)) const char IdentificationString[] = "Mosaik driver support library 1.0 (64-bit)";

struct ExitCallbackEntry {
    ListNode Node; // first, so a node is its entry
    ExitCallback Callback;
};

bool started = false;
ULONG osVersion = 0;
ListHead *exitCallbacks = nullptr;

const GlobalInitializer ImageGlobalInitializers[] = {nullptr};

} // namespace

bool LibraryStartup()
{
    // Referring to the string keeps it from being discarded with unused data.
    static_cast<void>(*static_cast<const volatile char *>(IdentificationString));
    if (started)
        return true;

    RTL_OSVERSIONINFOEXW info = {};
    static_assert(sizeof info == 284, "RTL_OSVERSIONINFOEXW layout");
    info.dwOSVersionInfoSize = sizeof info;
    RtlGetVersion(reinterpret_cast<PRTL_OSVERSIONINFOW>(&info));
    osVersion = ((info.dwMajorVersion & 0xFF) << 8) | (info.dwMinorVersion & 0xFF);
    if (osVersion < OsVersion51)
        return false;

    LARGE_INTEGER frequency = {};
    KeQueryPerformanceCounter(&frequency);
    if (frequency.QuadPart == 0)
        return false;

    if (!exitCallbacks) {
        exitCallbacks = static_cast<ListHead *>(MemAlloc(sizeof(ListHead)));
        if (!exitCallbacks)
            return false;
        exitCallbacks->Init();
    }
    started = true;
    return true;
}

void LibraryShutdown()
{
    if (!exitCallbacks)
        return;
    while (ListNode *node = exitCallbacks->PopFront()) {
        auto *entry = reinterpret_cast<ExitCallbackEntry *>(node);
        entry->Callback();
        MemFree(entry);
    }
    MemFree(exitCallbacks);
    exitCallbacks = nullptr;
}

ULONG GetOsVersion() { return osVersion; }

bool IsDebuggerEnabled() { return KD_DEBUGGER_ENABLED != 0; }

bool AddExitCallback(ExitCallback callback)
{
    if (!exitCallbacks || !callback)
        return false;
    auto *entry = static_cast<ExitCallbackEntry *>(MemAlloc(sizeof(ExitCallbackEntry)));
    if (!entry)
        return false;
    entry->Node = ListNode{};
    entry->Callback = callback;
    exitCallbacks->PushBack(&entry->Node);
    return true;
}

void RunGlobalInitializers(const GlobalInitializer *table, ULONG count)
{
    if (!started)
        return;
    for (ULONG i = 0; i < count; ++i)
        if (table[i])
            table[i]();
}

void RunGlobalInitializers() { RunGlobalInitializers(ImageGlobalInitializers, ARRAYSIZE(ImageGlobalInitializers)); }

} // namespace Mosaik
