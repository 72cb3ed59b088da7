// What the tests' client processes do with kernel streaming, written as a
// user-mode client writes it: SetupDi to find filters by category,
// CreateFileW, DeviceIoControl with KS property and event requests, and
// KsCreatePin.
#pragma once

#include <windows.h>
#include <setupapi.h>
#include <winioctl.h>
#include <mmreg.h>
#include <ks.h>
#include <ksmedia.h>
#include <KsCompat.h>

#include <string>
#include <vector>

namespace ksclient {

// The device paths of the present interfaces of a class, as SetupDi lists them.
std::vector<std::wstring> InterfacePaths(const GUID &category);
// Opens the first interface of the class (INVALID_HANDLE_VALUE if none).
HANDLE OpenFilter(const GUID &category, DWORD access = GENERIC_READ | GENERIC_WRITE);

struct Reply {
    bool ok;
    DWORD error;    // GetLastError when not ok
    DWORD returned; // lpBytesReturned
};

Reply Control(HANDLE handle, DWORD code, const void *input, DWORD inputLength, void *output, DWORD outputLength);

// A property request: the KSPROPERTY (flags as given), then instance bytes.
Reply Property(HANDLE handle, const GUID &set, ULONG id, ULONG flags, const void *instance, DWORD instanceLength,
               void *value, DWORD valueLength);
Reply Get(HANDLE handle, const GUID &set, ULONG id, void *value, DWORD valueLength);
Reply Set(HANDLE handle, const GUID &set, ULONG id, const void *value, DWORD valueLength);
// A pin-wise property on a filter (KSP_PIN).
Reply PinGet(HANDLE filter, ULONG id, ULONG pin, void *value, DWORD valueLength, const GUID &set = KSPROPSETID_Pin);
// A node property (KSNODEPROPERTY with the topology flag).
Reply NodeGet(HANDLE handle, const GUID &set, ULONG id, ULONG node, void *value, DWORD valueLength);

// A PCM format: 64-byte header and WAVEFORMATEX (82 bytes, packed).
KSDATAFORMAT_WAVEFORMATEX PcmFormat(ULONG rate, WORD channels = 2, WORD bits = 16);

// KsCreatePin on pin with the format; returns the Win32 error.
DWORD CreatePin(HANDLE filter, ULONG pin, const void *format, size_t formatLength, HANDLE *handle,
                ACCESS_MASK access = GENERIC_WRITE);
DWORD CreatePcmPin(HANDLE filter, HANDLE *handle, ULONG rate = 48000, ACCESS_MASK access = GENERIC_WRITE);

Reply SetState(HANDLE pin, KSSTATE state);

// Enables an event (the KSEVENT or KSE_PIN/KSE_NODE given) with an event
// handle; data is the caller's KSEVENTDATA, which names it for the disable.
Reply EnableEvent(HANDLE handle, const void *event, DWORD eventLength, KSEVENTDATA *data);
Reply DisableEvent(HANDLE handle, KSEVENTDATA *data);

// Signalled now, without waiting (and resetting an auto-reset event).
bool Signalled(HANDLE event);

} // namespace ksclient
