// kernel32's threads: a thread of the calling process, running in it (its
// Win32 calls, handles and waits are that process's), with a handle that is
// signalled when the thread ends.
#include "core.h"

using namespace standin::win32;

namespace {

struct Start {
    LPTHREAD_START_ROUTINE routine;
    LPVOID parameter;
};

void Run(void *start)
{
    const Start run = *static_cast<Start *>(start);
    delete static_cast<Start *>(start);
    run.routine(run.parameter);
}

} // namespace

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                           LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter, DWORD dwCreationFlags,
                           LPDWORD lpThreadId)
{
    if (lpStartAddress == nullptr) {
        FailWithError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    // Suspended starts and thread ids are not modelled: refused rather than
    // ignored, so a caller that relies on them finds out.
    if ((dwCreationFlags & CREATE_SUSPENDED) != 0 || lpThreadId != nullptr) {
        FailWithError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    auto *start = new Start{lpStartAddress, lpParameter};
    boundary::Handle handle = nullptr;
    const boundary::Status status = boundary::CreateThread("CreateThread", &Run, start, &handle);
    if (status < 0) {
        delete start;
        Fail(status);
        return nullptr;
    }
    return handle;
}
