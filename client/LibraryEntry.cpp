// The library's entry: attaching to a process needs the full path of the
// process's executable; without it the library does not load.
#include "ombapi.h"

namespace {
wchar_t executablePath[260];
}

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    if (reason == DLL_PROCESS_ATTACH)
        return GetModuleFileNameW(nullptr, executablePath, 260) != 0;
    return TRUE;
}
