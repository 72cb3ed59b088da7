// The loader's notifications for a shared library that has a DllMain: linked
// into the library (as an object, so the linker keeps it), it calls
// DllMain(module, DLL_PROCESS_ATTACH, nullptr) when the library is loaded and
// DllMain(module, DLL_PROCESS_DETACH, nullptr) when it is unloaded. The module
// handle is the library's load address, which GetModuleFileNameW resolves.
//
// A DllMain that refuses the attach makes the load fail visibly: Windows then
// refuses to load the library (or to start a program linked against it), and
// a shared-library constructor cannot make a load fail, so the stand-in
// reports the refusal and aborts the process.
#include <windows.h>

#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);

namespace {

HINSTANCE ThisModule()
{
    Dl_info info;
    if (dladdr(reinterpret_cast<void *>(&ThisModule), &info) == 0)
        return nullptr;
    return static_cast<HINSTANCE>(info.dli_fbase);
}

bool attached = false;

// Runs after the library's own static constructors of default priority
// (this object is linked after the library's sources).
__attribute__((constructor)) void ProcessAttach()
{
    HINSTANCE module = ThisModule();
    if (!DllMain(module, DLL_PROCESS_ATTACH, nullptr)) {
        Dl_info info;
        const char *name =
            dladdr(reinterpret_cast<void *>(&ThisModule), &info) && info.dli_fname ? info.dli_fname : "?";
        fprintf(stderr, "[loader] DllMain of %s failed DLL_PROCESS_ATTACH: the library cannot be loaded (error %d)\n",
                name, static_cast<int>(ERROR_DLL_INIT_FAILED));
        abort();
    }
    attached = true;
}

__attribute__((destructor)) void ProcessDetach()
{
    if (attached)
        DllMain(ThisModule(), DLL_PROCESS_DETACH, nullptr);
}

} // namespace
