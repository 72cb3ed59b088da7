// The registry of device interfaces: what IoRegisterDeviceInterface records,
// what IoSetDeviceInterfaceState switches, what the Win32 side enumerates and
// what a device path opens.
#pragma once

#include <io_boundary.h>
#include <mutex>
#include <string>
#include <vector>

namespace standin::io {

struct InterfaceEntry {
    GUID interfaceClass;
    void *device;                  // the physical device object
    std::u16string deviceInstance; // ROOT\MEDIA\0000
    std::u16string reference;      // without a leading backslash; may be empty
    std::u16string link;           // ROOT#MEDIA#0000#{class}[\reference]
    bool enabled;
};

// Where a device path leads.
struct ResolvedPath {
    void *device;
    std::u16string fileName; // [\reference] followed by the rest of the path
};

class InterfaceRegistry {
public:
    static InterfaceRegistry &Instance();

    // Returns the link (as above) of the new or already registered interface.
    std::u16string Register(void *device, const std::u16string &deviceInstance, const GUID &interfaceClass,
                            const std::u16string &reference);
    // link is the part after the namespace prefix. Returns an NTSTATUS.
    int32_t SetState(const std::u16string &link, bool enable);
    bool IsEnabled(const std::u16string &link) const;
    // Forgets every interface of the device (the device is removed).
    void RemoveDevice(void *device);
    std::vector<boundary::InterfaceRecord> Present(const GUID *interfaceClass) const;
    // path is the part after the namespace prefix; only enabled interfaces
    // open. Returns an NTSTATUS.
    int32_t Resolve(const std::u16string &path, ResolvedPath &resolved) const;

private:
    mutable std::mutex lock;
    std::vector<InterfaceEntry> entries;
};

// {xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}, lower case, as interface paths show it.
std::u16string GuidText(const GUID &guid);
// Case-insensitive (ASCII and Latin-1 letters) equality of UTF-16 text.
bool EqualNoCase(const char16_t *a, const char16_t *b, size_t length);

} // namespace standin::io
