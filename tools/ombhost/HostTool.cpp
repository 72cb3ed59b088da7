// ombhost's entry: the command line, then the command.
#include "HostTool.h"

#include "Info.h"
#include "Options.h"
#include "Session.h"

namespace ombhost {

int Run(int argc, const char *const *argv, const Environment &env)
{
    Options options;
    if (const std::optional<int> status = Parse(argc, argv, options, env.out, env.err))
        return *status;
    return options.command == Command::Info ? RunInfo(env) : RunStream(options, env);
}

} // namespace ombhost
