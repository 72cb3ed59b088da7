// The statuses the engine reports: Win32 errors as HRESULTs, and the audio
// client's own codes (facility 0x889) where Windows' audio stack has one.
#pragma once

#include <windows.h>

namespace engine {

constexpr HRESULT AudioClientError(unsigned code) { return static_cast<HRESULT>(0x88890000u | code); }

constexpr HRESULT NotInitialized = AudioClientError(0x01);      // AUDCLNT_E_NOT_INITIALIZED
constexpr HRESULT DeviceInvalidated = AudioClientError(0x04);   // AUDCLNT_E_DEVICE_INVALIDATED
constexpr HRESULT NotStopped = AudioClientError(0x05);          // AUDCLNT_E_NOT_STOPPED
constexpr HRESULT UnsupportedFormat = AudioClientError(0x08);   // AUDCLNT_E_UNSUPPORTED_FORMAT
constexpr HRESULT EndpointCreateFailed = AudioClientError(0x0F); // AUDCLNT_E_ENDPOINT_CREATE_FAILED
constexpr HRESULT BufferSizeError = AudioClientError(0x16);     // AUDCLNT_E_BUFFER_SIZE_ERROR
constexpr HRESULT InvalidDevicePeriod = AudioClientError(0x20); // AUDCLNT_E_INVALID_DEVICE_PERIOD

constexpr HRESULT InvalidArgument = static_cast<HRESULT>(0x80070057); // ERROR_INVALID_PARAMETER
constexpr HRESULT NotFound = static_cast<HRESULT>(0x80070490);        // ERROR_NOT_FOUND
constexpr HRESULT OutOfMemory = static_cast<HRESULT>(0x8007000E);     // E_OUTOFMEMORY
constexpr HRESULT InvalidState = static_cast<HRESULT>(0x8007139F);    // ERROR_INVALID_STATE
constexpr HRESULT NotReady = static_cast<HRESULT>(0x80070015);        // ERROR_NOT_READY
constexpr HRESULT IoDeviceError = static_cast<HRESULT>(0x8007045D);   // ERROR_IO_DEVICE
constexpr HRESULT NotSupported = static_cast<HRESULT>(0x80070032);    // ERROR_NOT_SUPPORTED

// The calling thread's last Win32 error as a status (E_FAIL when none is set).
inline HRESULT LastErrorStatus()
{
    const DWORD error = GetLastError();
    return error != 0 ? HRESULT_FROM_WIN32(error) : E_FAIL;
}

// "AUDCLNT_E_DEVICE_INVALIDATED", "ERROR_NOT_READY", or the number in hex.
const char *StatusName(HRESULT status);

} // namespace engine
