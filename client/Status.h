// The statuses the client library reports beyond those of the platform, and
// the conversion of the thread's last Win32 error into a status.
#pragma once

#include <windows.h>

namespace Ombrivo {

constexpr HRESULT StatusOutOfMemory = static_cast<HRESULT>(0x80070008);    // ERROR_NOT_ENOUGH_MEMORY
constexpr HRESULT StatusNotReadable = static_cast<HRESULT>(0x80070005);    // ERROR_ACCESS_DENIED
constexpr HRESULT StatusPathTooLong = static_cast<HRESULT>(0x8007006F);    // ERROR_BUFFER_OVERFLOW
constexpr HRESULT StatusNoInterface = static_cast<HRESULT>(0x80070490);    // ERROR_NOT_FOUND
constexpr HRESULT StatusNoMoreItems = static_cast<HRESULT>(0x80070103);    // ERROR_NO_MORE_ITEMS
constexpr HRESULT StatusNameTooLong = static_cast<HRESULT>(0x800700CE);    // ERROR_FILENAME_EXCED_RANGE
constexpr HRESULT StatusNotOpen = static_cast<HRESULT>(0x80070006);        // ERROR_INVALID_HANDLE
constexpr HRESULT StatusAlreadyStarted = static_cast<HRESULT>(0x800704DF); // ERROR_ALREADY_INITIALIZED
constexpr HRESULT StatusInvalidState = static_cast<HRESULT>(0x8007139F);   // ERROR_INVALID_STATE
constexpr HRESULT StatusInvalidArgument = static_cast<HRESULT>(0x80070057); // ERROR_INVALID_PARAMETER
constexpr HRESULT StatusUnexpected = static_cast<HRESULT>(0x8000FFFF);     // E_UNEXPECTED
constexpr HRESULT StatusGenericFailure = static_cast<HRESULT>(-1);

inline HRESULT StatusFromLastError() { return HRESULT_FROM_WIN32(GetLastError()); }

// Device-installation errors (the three top bits set) keep their facility.
inline HRESULT StatusFromSetupError(DWORD error) { return HRESULT_FROM_SETUPAPI(error); }

} // namespace Ombrivo
