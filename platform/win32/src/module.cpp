// Module names: GetModuleFileNameW gives the executable's path for the null
// module and a loaded library's path for its module handle (the address the
// library is loaded at, as the attach hook passes it to DllMain).
#include "core.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <cwchar>

namespace {

bool ModulePath(HMODULE module, std::string &path)
{
    if (module == nullptr) {
        char buffer[PATH_MAX];
        const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
        if (n <= 0)
            return false;
        path.assign(buffer, static_cast<size_t>(n));
        return true;
    }
    Dl_info info;
    if (dladdr(module, &info) == 0 || info.dli_fname == nullptr || info.dli_fbase != static_cast<void *>(module))
        return false;
    char resolved[PATH_MAX];
    path = realpath(info.dli_fname, resolved) ? resolved : info.dli_fname;
    return true;
}

} // namespace

DWORD WINAPI GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize)
{
    std::string path;
    if (!ModulePath(hModule, path)) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    const std::wstring wide = standin::win32::FromUtf8(path.c_str());
    if (nSize == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    // Too small: cut to nSize - 1 characters, terminated, and say so.
    if (wide.size() >= nSize) {
        wmemcpy(lpFilename, wide.data(), nSize - 1);
        lpFilename[nSize - 1] = L'\0';
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return nSize;
    }
    wmemcpy(lpFilename, wide.c_str(), wide.size() + 1);
    return static_cast<DWORD>(wide.size());
}

BOOL WINAPI DisableThreadLibraryCalls(HMODULE hLibModule)
{
    // The attach hook sends no thread notifications, so there is nothing to turn off.
    return hLibModule != nullptr ? TRUE : standin::win32::FailWithError(ERROR_INVALID_HANDLE);
}
