// ombemu: the emulated Windows machine with the Ombrivo device. Ctrl-C (or a
// request to terminate) raises a flag the run looks at, so it stops and
// finishes its files as on any other end.
#include "EmuTool.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>

namespace {

std::atomic<bool> interrupted{false};

extern "C" void OnInterrupt(int)
{
    interrupted.store(true);
}

} // namespace

int main(int argc, char **argv)
{
    static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler stores a lock-free flag");
    signal(SIGINT, OnInterrupt);
    signal(SIGTERM, OnInterrupt);
    ombemu_tool::Environment env;
    env.terminal = isatty(fileno(stderr)) != 0;
    env.interrupted = &interrupted;
    return ombemu_tool::Run(argc, argv, env);
}
