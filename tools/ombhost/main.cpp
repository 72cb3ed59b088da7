// ombhost: the command-line host of the Ombrivo device. Ctrl-C (or a request
// to terminate) raises a flag the session looks at, so the loop stops and the
// file is finished as on any other end.
#include "Console.h"
#include "HostTool.h"

int main(int argc, char **argv)
{
    ombhost::Environment env;
    env.interrupted = tool_console::CatchInterrupt();
    env.terminal = tool_console::ErrIsTerminal();
    return ombhost::Run(argc, argv, env);
}
