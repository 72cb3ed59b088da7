// kernel32's events and waits over the kernel's dispatcher objects and clock:
// a Win32 event is a kernel event in the process's handle table, so the
// driver can reference it by handle.
#include "core.h"

using namespace standin::win32;

namespace {

constexpr int64_t HundredNsPerMs = 10000;

} // namespace

HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                           LPCWSTR lpName)
{
    // Named events would need a namespace shared between processes, which
    // nothing of this system uses.
    if (lpName != nullptr) {
        FailWithError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    boundary::Handle handle;
    const boundary::Status status = boundary::CreateEvent(bManualReset != FALSE, bInitialState != FALSE, &handle);
    if (status < 0) {
        Fail(status);
        return nullptr;
    }
    return handle;
}

BOOL WINAPI SetEvent(HANDLE hEvent)
{
    const boundary::Status status = boundary::SetEvent(hEvent);
    return status < 0 ? Fail(status) : TRUE;
}

BOOL WINAPI ResetEvent(HANDLE hEvent)
{
    const boundary::Status status = boundary::ResetEvent(hEvent);
    return status < 0 ? Fail(status) : TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
{
    const int64_t timeout = -static_cast<int64_t>(dwMilliseconds) * HundredNsPerMs;
    const boundary::Status status = boundary::WaitForObject(hHandle, dwMilliseconds == INFINITE ? nullptr : &timeout);
    switch (status) {
    case 0x00000000: // STATUS_WAIT_0
        return WAIT_OBJECT_0;
    case 0x00000080: // STATUS_ABANDONED_WAIT_0
        return WAIT_ABANDONED;
    case 0x00000102: // STATUS_TIMEOUT
        return WAIT_TIMEOUT;
    default: Fail(status); return WAIT_FAILED;
    }
}

void WINAPI Sleep(DWORD dwMilliseconds)
{
    if (dwMilliseconds == INFINITE) {
        boundary::Delay(nullptr);
        return;
    }
    const int64_t interval = -static_cast<int64_t>(dwMilliseconds) * HundredNsPerMs;
    boundary::Delay(&interval);
}
