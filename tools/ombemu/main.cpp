// ombemu: the emulated Windows machine with the Ombrivo device. Ctrl-C (or a
// request to terminate) raises a flag the run looks at, so it stops and
// finishes its files as on any other end.
#include "Console.h"
#include "EmuTool.h"

int main(int argc, char **argv)
{
    ombemu_tool::Environment env;
    env.interrupted = tool_console::CatchInterrupt();
    env.terminal = tool_console::ErrIsTerminal();
    return ombemu_tool::Run(argc, argv, env);
}
