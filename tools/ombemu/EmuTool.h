// ombemu, the emulated machine's command, as a function: everything the
// program does for a command line, with its output and Ctrl-C handed in, so
// that a test runs it as main() does.
#pragma once

#include <stdio.h>

#include <atomic>

namespace ombemu_tool {

enum ExitStatus : int {
    ExitOk = 0,
    ExitFailed = 1,   // the machine, a host or a file failed while running
    ExitUsage = 2,    // bad options, or an input file it cannot use
    ExitInexact = 4,  // a direction did not arrive exact
    ExitLeak = 5,     // the driver's unload found it still holding something
};

struct Environment {
    FILE *out = stdout; // the summary
    FILE *err = stderr; // messages and the progress line
    bool terminal = false; // err is a terminal: keep a progress line there
    // Raised by Ctrl-C (or a test): the run stops cleanly at its next look.
    const std::atomic<bool> *interrupted = nullptr;
};

int Run(int argc, const char *const *argv, const Environment &env);

} // namespace ombemu_tool
