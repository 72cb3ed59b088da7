// kernel32's process handles: the current process's pseudo handle, process
// ids, OpenProcess, and DuplicateHandle between processes.
#include "core.h"

using namespace standin::win32;

namespace {

// What GetCurrentProcess returns: a constant every process reads as itself,
// with every access, that needs no closing.
HANDLE const CurrentProcessPseudoHandle = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));

// The process a process handle names; the pseudo handle is the caller's own.
boundary::Status ResolveProcess(HANDLE handle, boundary::ProcessId *process, uint32_t *granted)
{
    if (handle == CurrentProcessPseudoHandle) {
        *process = boundary::CurrentProcess();
        *granted = PROCESS_ALL_ACCESS;
        return 0;
    }
    return boundary::ProcessOfHandle(handle, process, granted);
}

} // namespace

HANDLE WINAPI GetCurrentProcess(void)
{
    return CurrentProcessPseudoHandle;
}

DWORD WINAPI GetCurrentProcessId(void)
{
    return boundary::ProcessNumber(boundary::CurrentProcess());
}

DWORD WINAPI GetProcessId(HANDLE Process)
{
    boundary::ProcessId process;
    uint32_t granted;
    const boundary::Status status = ResolveProcess(Process, &process, &granted);
    if (status < 0) {
        Fail(status);
        return 0;
    }
    if (!(granted & (PROCESS_QUERY_INFORMATION | PROCESS_QUERY_LIMITED_INFORMATION))) {
        FailWithError(ERROR_ACCESS_DENIED);
        return 0;
    }
    return boundary::ProcessNumber(process);
}

HANDLE WINAPI OpenProcess(DWORD dwDesiredAccess, BOOL, DWORD dwProcessId)
{
    boundary::ProcessId process;
    boundary::Handle handle = nullptr;
    boundary::Status status = boundary::FindProcess(dwProcessId, &process);
    if (status >= 0)
        status = boundary::InsertProcessHandle(boundary::CurrentProcess(), process, dwDesiredAccess, &handle);
    if (status < 0) {
        Fail(status);
        return nullptr;
    }
    return handle;
}

BOOL WINAPI DuplicateHandle(HANDLE hSourceProcessHandle, HANDLE hSourceHandle, HANDLE hTargetProcessHandle,
                            LPHANDLE lpTargetHandle, DWORD dwDesiredAccess, BOOL, DWORD dwOptions)
{
    if (lpTargetHandle != nullptr)
        *lpTargetHandle = nullptr;
    // Option bits other than these two are ignored, as Wine does.
    boundary::ProcessId source, target;
    uint32_t sourceAccess, targetAccess;
    boundary::Status status = ResolveProcess(hSourceProcessHandle, &source, &sourceAccess);
    if (status < 0)
        return Fail(status);
    if (!(sourceAccess & PROCESS_DUP_HANDLE))
        return FailWithError(ERROR_ACCESS_DENIED);
    const bool sameAccess = (dwOptions & DUPLICATE_SAME_ACCESS) != 0;
    const bool closeSource = (dwOptions & DUPLICATE_CLOSE_SOURCE) != 0;
    // Once the source process is known, DUPLICATE_CLOSE_SOURCE closes the
    // source handle whatever else fails.
    auto failClosingSource = [&](DWORD error) {
        if (closeSource && hSourceHandle != CurrentProcessPseudoHandle)
            boundary::CloseHandleOf(source, hSourceHandle);
        return FailWithError(error);
    };
    status = ResolveProcess(hTargetProcessHandle, &target, &targetAccess);
    if (status < 0)
        return failClosingSource(boundary::StatusToWin32(status));
    if (!(targetAccess & PROCESS_DUP_HANDLE))
        return failClosingSource(ERROR_ACCESS_DENIED);
    // Without a place for it, the duplicate is made all the same and stays
    // in the target until that process ends, as Windows keeps it.
    boundary::Handle duplicate = nullptr;
    if (hSourceHandle == CurrentProcessPseudoHandle) {
        // The source process's pseudo handle: a real handle to that process.
        status = boundary::InsertProcessHandle(target, source, sameAccess ? PROCESS_ALL_ACCESS : dwDesiredAccess,
                                               &duplicate);
    } else {
        status = boundary::DuplicateHandle(source, hSourceHandle, target, &duplicate, dwDesiredAccess, sameAccess,
                                           closeSource);
    }
    if (status < 0)
        return Fail(status);
    if (lpTargetHandle != nullptr)
        *lpTargetHandle = duplicate;
    return TRUE;
}
