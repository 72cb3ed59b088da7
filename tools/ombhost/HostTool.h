// ombhost, the command-line host, as a function: everything the program does
// for a command line, with the outside world (its output, Ctrl-C, the
// threads it starts) handed in, so that a test bench can run it inside an
// emulated process as well as main() can run it on Windows.
#pragma once

#include <stdio.h>
#include <atomic>
#include <functional>

namespace ombhost {

// Exit statuses.
enum ExitStatus : int {
    ExitOk = 0,
    ExitFailed = 1,   // the device or a file failed while running
    ExitUsage = 2,    // bad options, or an input file it cannot use
    ExitNoDevice = 3, // no Ombrivo device is present
};

struct Environment {
    FILE *out = stdout; // results: info, the summary
    FILE *err = stderr; // messages and the progress line
    // err is a terminal: keep a progress line there while running.
    bool terminal = false;
    // Raised by Ctrl-C (or a test); the tool stops cleanly at its next look.
    const std::atomic<bool> *interrupted = nullptr;
    // Starts each thread the tool needs (the event loop's) running `body`,
    // and returns how to wait for it to end: a test bench starts it as a
    // thread of its emulated process. Empty: a std::thread.
    std::function<std::function<void()>(std::function<void()> body)> startThread;
};

// Runs the command line (argv[0] is the program's name) and returns its exit
// status; every message goes to env.err as one line.
int Run(int argc, const char *const *argv, const Environment &env);

} // namespace ombhost
