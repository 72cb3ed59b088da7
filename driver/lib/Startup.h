/* Library start-up and shutdown, the system version, the exit callbacks, the
   global-initialiser table and the kernel-debugger test. */
#pragma once

#include "KsHeaders.h"

namespace Mosaik {

// System versions as (major << 8) | minor.
constexpr ULONG OsVersion51 = 0x0501;
constexpr ULONG OsVersion60 = 0x0600;
constexpr ULONG OsVersion62 = 0x0602;

// Reads the system version, checks the performance counter and creates the
// exit-callback list. False when the library is unusable (a system before
// 5.1, no performance counter, no memory); may then be called again.
bool LibraryStartup();
// Runs and frees every exit callback, then frees the list.
void LibraryShutdown();

// 0 before the first start-up attempt.
ULONG GetOsVersion();
bool IsDebuggerEnabled();

using ExitCallback = void (*)();
// Adds a callback for LibraryShutdown to run. False before start-up or when
// the entry cannot be allocated.
bool AddExitCallback(ExitCallback callback);

// One entry of a global-initialiser table; null entries are skipped.
using GlobalInitializer = void (*)();
// Runs the entries of a table in order, only once the library has started.
void RunGlobalInitializers(const GlobalInitializer *table, ULONG count);
// The same for the image's own table (the driver has no global objects that
// need an initialiser, so it holds only a null entry).
void RunGlobalInitializers();

} // namespace Mosaik
