// The emulated processes a program makes through ombemu.h, known to the
// machine so that its shutdown ends those still running.
#pragma once

#include "ombemu.h"

#include <win32_standin.h>

struct OmbEmuProcess {
    standin::win32::ClientProcess process;
};

namespace ombemu {

void AddProcess(OmbEmuProcess *process);
void RemoveProcess(OmbEmuProcess *process);
// Ends every process still known (their objects stay the program's).
void EndAllProcesses();

} // namespace ombemu
