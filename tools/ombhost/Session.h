// ombhost's capture and render commands: one host on one pipe, its event
// loop on a thread of its own, the file side on the calling thread.
#pragma once

#include "HostTool.h"
#include "Options.h"

namespace ombhost {

int RunStream(const Options &options, const Environment &env);

} // namespace ombhost
