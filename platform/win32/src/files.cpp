// kernel32's files as the client uses them: CreateFileW on device paths,
// DeviceIoControl and CloseHandle, each one request to the I/O core.
#include "core.h"

using namespace standin::win32;

namespace {

// Win32 creation dispositions to the NT ones the create request carries.
bool NtDisposition(DWORD disposition, uint32_t &nt)
{
    switch (disposition) {
    case CREATE_NEW: nt = 2; return true;        // FILE_CREATE
    case CREATE_ALWAYS: nt = 5; return true;     // FILE_OVERWRITE_IF
    case OPEN_EXISTING: nt = 1; return true;     // FILE_OPEN
    case OPEN_ALWAYS: nt = 3; return true;       // FILE_OPEN_IF
    case TRUNCATE_EXISTING: nt = 4; return true; // FILE_OVERWRITE
    default: return false;
    }
}

constexpr uint32_t SynchronousNonDirectory = 0x20 | 0x40; // FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE

} // namespace

HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile)
{
    uint32_t disposition;
    if (lpFileName == nullptr) {
        FailWithError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    // Every handle of the stand-in is synchronous: overlapped files are refused
    // rather than quietly opened without their semantics.
    if (!NtDisposition(dwCreationDisposition, disposition) || (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED)) {
        FailWithError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    boundary::Handle handle;
    const boundary::Status status = boundary::OpenFile(ToUtf16(lpFileName).c_str(), dwDesiredAccess | SYNCHRONIZE,
                                                       dwShareMode, disposition, SynchronousNonDirectory, &handle);
    if (status < 0) {
        Fail(status);
        return INVALID_HANDLE_VALUE;
    }
    return handle;
}

BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                            LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                            LPOVERLAPPED lpOverlapped)
{
    uint64_t information = 0;
    const boundary::Status status = boundary::DeviceControl(hDevice, dwIoControlCode, lpInBuffer, nInBufferSize,
                                                            lpOutBuffer, nOutBufferSize, &information);
    if (lpBytesReturned != nullptr)
        *lpBytesReturned = static_cast<DWORD>(information);
    // On a synchronous handle an OVERLAPPED only receives the outcome.
    if (lpOverlapped != nullptr) {
        lpOverlapped->Internal = static_cast<ULONG_PTR>(static_cast<uint32_t>(status));
        lpOverlapped->InternalHigh = static_cast<ULONG_PTR>(information);
        if (lpOverlapped->hEvent != nullptr)
            boundary::SetEvent(lpOverlapped->hEvent);
    }
    // Warnings (STATUS_BUFFER_OVERFLOW) fail the call, data and count kept.
    if (status < 0)
        return Fail(status);
    return TRUE;
}

BOOL WINAPI CloseHandle(HANDLE hObject)
{
    if (hObject == GetCurrentProcess())
        return TRUE; // a pseudo handle: nothing to close
    const boundary::Status status = boundary::CloseHandle(hObject);
    return status < 0 ? Fail(status) : TRUE;
}
