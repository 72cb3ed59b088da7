// The registry of the program's emulated processes.
#include "Processes.h"

#include <mutex>
#include <set>

namespace ombemu {

namespace {

std::mutex lock;
std::set<OmbEmuProcess *> processes;

} // namespace

void AddProcess(OmbEmuProcess *process)
{
    std::lock_guard<std::mutex> hold(lock);
    processes.insert(process);
}

void RemoveProcess(OmbEmuProcess *process)
{
    std::lock_guard<std::mutex> hold(lock);
    processes.erase(process);
}

void EndAllProcesses()
{
    std::set<OmbEmuProcess *> running;
    {
        std::lock_guard<std::mutex> hold(lock);
        running = processes;
    }
    for (OmbEmuProcess *p : running)
        p->process.End();
}

} // namespace ombemu
