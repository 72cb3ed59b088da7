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

namespace {

// A wait's status as the Win32 result: the index of the object that ended
// it, a time-out, or WAIT_FAILED with the last error set.
DWORD WaitResult(boundary::Status status, DWORD count)
{
    const uint32_t code = static_cast<uint32_t>(status);
    if (code < count) // STATUS_WAIT_0 + index
        return WAIT_OBJECT_0 + code;
    if (code >= 0x80 && code < 0x80 + count) // STATUS_ABANDONED_WAIT_0 + index
        return WAIT_ABANDONED_0 + (code - 0x80);
    if (code == 0x102) // STATUS_TIMEOUT
        return WAIT_TIMEOUT;
    Fail(status);
    return WAIT_FAILED;
}

} // namespace

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
{
    return WaitForMultipleObjects(1, &hHandle, FALSE, dwMilliseconds);
}

DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE *lpHandles, BOOL bWaitAll, DWORD dwMilliseconds)
{
    if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || lpHandles == nullptr) {
        FailWithError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    const int64_t timeout = -static_cast<int64_t>(dwMilliseconds) * HundredNsPerMs;
    const boundary::Status status =
        boundary::WaitForObjects(nCount, lpHandles, bWaitAll != FALSE, dwMilliseconds == INFINITE ? nullptr : &timeout);
    return WaitResult(status, nCount);
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
