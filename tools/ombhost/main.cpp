// ombhost: the command-line host of the Ombrivo device. Ctrl-C (or a request
// to terminate) raises a flag the session looks at, so the loop stops and the
// file is finished as on any other end.
#include <signal.h>
#include <unistd.h>
#include <atomic>
#include "HostTool.h"

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
    ombhost::Environment env;
    env.terminal = isatty(fileno(stderr)) != 0;
    env.interrupted = &interrupted;
    return ombhost::Run(argc, argv, env);
}
