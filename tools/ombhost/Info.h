// ombhost's info command.
#pragma once

#include "HostTool.h"

namespace ombhost {

int RunInfo(const Environment &env);

} // namespace ombhost
