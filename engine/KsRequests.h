// Kernel-streaming requests as a user-mode client sends them: properties and
// events through DeviceIoControl on a filter or pin handle. Every call
// returns the request's status as an HRESULT (the Win32 error the I/O
// manager gave, 0x8007xxxx).
#pragma once

#include "KsHeaders.h"

#include <stdint.h>
#include <vector>

namespace engine::ks {

struct Reply {
    HRESULT status;
    DWORD bytes; // what the request returned (a size query's needed size)
};

// IOCTL_KS_PROPERTY with the descriptor given whole (a KSPROPERTY, or a
// larger one such as KSRTAUDIO_BUFFER_PROPERTY).
Reply Request(HANDLE handle, const void *descriptor, DWORD descriptorSize, void *value, DWORD valueSize);

// A property of the handle's object (KSPROPERTY).
Reply Property(HANDLE handle, const GUID &set, ULONG id, ULONG flags, void *value, DWORD valueSize);
// A pin-factory property of a filter (KSP_PIN).
Reply PinProperty(HANDLE filter, ULONG pin, const GUID &set, ULONG id, ULONG flags, void *value, DWORD valueSize);

// A get of a value whose size the object says: a size query first, then the
// value (a KSMULTIPLE_ITEM list, a name, a physical connection).
HRESULT GetVariable(HANDLE handle, const GUID &set, ULONG id, std::vector<uint8_t> &value);
HRESULT GetPinVariable(HANDLE filter, ULONG pin, const GUID &set, ULONG id, std::vector<uint8_t> &value);

// Events with event-handle notification. `data` names the event until it
// is disabled: it must stay where it is.
HRESULT EnablePinEvent(HANDLE filter, const GUID &set, ULONG id, ULONG pin, HANDLE event, KSEVENTDATA *data);
HRESULT DisableEvent(HANDLE handle, KSEVENTDATA *data);

// The items of a KSMULTIPLE_ITEM list of variable-size entries (data
// ranges), each at an 8-byte boundary; entries that overrun the list are left
// out.
std::vector<const KSDATARANGE *> DataRanges(const std::vector<uint8_t> &list);

} // namespace engine::ks
