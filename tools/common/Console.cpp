// Ctrl-C as a flag set by a signal handler, and the terminal test; the same
// in both builds (both C runtimes deliver Ctrl-C as SIGINT).
#include "Console.h"

#include <signal.h>
#include <stdio.h>
#include <unistd.h>

namespace tool_console {

namespace {

std::atomic<bool> interrupted{false};

extern "C" void OnInterrupt(int)
{
    interrupted.store(true);
}

} // namespace

const std::atomic<bool> *CatchInterrupt()
{
    static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler stores a lock-free flag");
    signal(SIGINT, OnInterrupt);
    signal(SIGTERM, OnInterrupt);
    return &interrupted;
}

bool ErrIsTerminal()
{
    return isatty(fileno(stderr)) != 0;
}

} // namespace tool_console
