// What a tool's main() takes from its console: a flag that Ctrl-C (or a
// request to terminate) raises, and whether messages go to a terminal.
#pragma once

#include <atomic>

namespace tool_console {

// Sets SIGINT and SIGTERM to raise the returned flag, so the program stops at
// its next look and finishes its files as on any other end.
const std::atomic<bool> *CatchInterrupt();

// Whether stderr is a terminal, where a progress line belongs.
bool ErrIsTerminal();

} // namespace tool_console
