// A client-side shared library with a DllMain, for the test of the loader's
// notifications. It refuses the attach when OMB_ATTACH_REFUSE is set.
#include <windows.h>

#include <stdlib.h>

namespace {
int attaches = 0;
HINSTANCE attachedModule = nullptr;
int *detachFlag = nullptr;
} // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        if (getenv("OMB_ATTACH_REFUSE") != nullptr)
            return FALSE;
        ++attaches;
        attachedModule = instance;
    } else if (reason == DLL_PROCESS_DETACH && detachFlag != nullptr) {
        *detachFlag = 1;
    }
    return TRUE;
}

extern "C" __attribute__((visibility("default"))) int ProbeAttaches()
{
    return attaches;
}
extern "C" __attribute__((visibility("default"))) HINSTANCE ProbeModule()
{
    return attachedModule;
}
extern "C" __attribute__((visibility("default"))) void ProbeOnDetach(int *flag)
{
    detachFlag = flag;
}
