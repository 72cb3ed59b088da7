// The device-interface registry: registration, state, enumeration, and the
// resolution of device paths to a device and the file name its driver sees.
#include "interface_registry.h"

#include <ntstatus.h>

namespace standin::io {

namespace {

char16_t Upcase(char16_t c)
{
    if ((c >= u'a' && c <= u'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7))
        return static_cast<char16_t>(c - 0x20);
    return c;
}

// The link names the interface by its device instance with '#' for '\'.
std::u16string LinkOf(const std::u16string &deviceInstance, const GUID &interfaceClass, const std::u16string &reference)
{
    std::u16string link = deviceInstance;
    for (char16_t &c : link)
        if (c == u'\\')
            c = u'#';
    link += u'#';
    link += GuidText(interfaceClass);
    if (!reference.empty()) {
        link += u'\\';
        link += reference;
    }
    return link;
}

} // namespace

bool EqualNoCase(const char16_t *a, const char16_t *b, size_t length)
{
    for (size_t i = 0; i < length; ++i)
        if (Upcase(a[i]) != Upcase(b[i]))
            return false;
    return true;
}

std::u16string GuidText(const GUID &guid)
{
    static const char digits[] = "0123456789abcdef";
    std::u16string text = u"{";
    auto hex = [&](uint64_t value, int count) {
        for (int i = count - 1; i >= 0; --i)
            text += static_cast<char16_t>(digits[(value >> (4 * i)) & 0xF]);
    };
    hex(guid.Data1, 8);
    text += u'-';
    hex(guid.Data2, 4);
    text += u'-';
    hex(guid.Data3, 4);
    text += u'-';
    for (int i = 0; i < 8; ++i) {
        if (i == 2)
            text += u'-';
        hex(guid.Data4[i], 2);
    }
    text += u'}';
    return text;
}

InterfaceRegistry &InterfaceRegistry::Instance()
{
    static InterfaceRegistry registry;
    return registry;
}

std::u16string InterfaceRegistry::Register(void *device, const std::u16string &deviceInstance,
                                           const GUID &interfaceClass, const std::u16string &reference)
{
    std::lock_guard<std::mutex> hold(lock);
    for (const InterfaceEntry &e : entries)
        if (e.device == device && IsEqualGUID(e.interfaceClass, interfaceClass) &&
            e.reference.size() == reference.size() &&
            EqualNoCase(e.reference.data(), reference.data(), reference.size()))
            return e.link;
    InterfaceEntry entry{
        interfaceClass, device, deviceInstance, reference, LinkOf(deviceInstance, interfaceClass, reference), false};
    entries.push_back(entry);
    return entry.link;
}

int32_t InterfaceRegistry::SetState(const std::u16string &link, bool enable)
{
    std::lock_guard<std::mutex> hold(lock);
    for (InterfaceEntry &e : entries) {
        if (e.link.size() != link.size() || !EqualNoCase(e.link.data(), link.data(), link.size()))
            continue;
        // Enabling an enabled interface says so, as Windows does.
        const int32_t status = (enable && e.enabled) ? 0x40000000 /* STATUS_OBJECT_NAME_EXISTS */ : STATUS_SUCCESS;
        e.enabled = enable;
        return status;
    }
    return STATUS_OBJECT_NAME_NOT_FOUND;
}

bool InterfaceRegistry::IsEnabled(const std::u16string &link) const
{
    std::lock_guard<std::mutex> hold(lock);
    for (const InterfaceEntry &e : entries)
        if (e.link.size() == link.size() && EqualNoCase(e.link.data(), link.data(), link.size()))
            return e.enabled;
    return false;
}

void InterfaceRegistry::RemoveDevice(void *device)
{
    std::lock_guard<std::mutex> hold(lock);
    std::erase_if(entries, [device](const InterfaceEntry &e) { return e.device == device; });
}

std::vector<boundary::InterfaceRecord> InterfaceRegistry::Present(const GUID *interfaceClass) const
{
    std::lock_guard<std::mutex> hold(lock);
    std::vector<boundary::InterfaceRecord> present;
    for (const InterfaceEntry &e : entries)
        if (interfaceClass == nullptr || IsEqualGUID(e.interfaceClass, *interfaceClass))
            present.push_back({e.interfaceClass, u"\\\\?\\" + e.link, e.deviceInstance, e.enabled});
    return present;
}

int32_t InterfaceRegistry::Resolve(const std::u16string &path, ResolvedPath &resolved) const
{
    std::lock_guard<std::mutex> hold(lock);
    // The longest enabled link that the path begins with, ending at a
    // backslash or at the end of the path.
    const InterfaceEntry *best = nullptr;
    for (const InterfaceEntry &e : entries) {
        const size_t n = e.link.size();
        if (!e.enabled || path.size() < n || !EqualNoCase(path.data(), e.link.data(), n))
            continue;
        if (path.size() > n && path[n] != u'\\')
            continue;
        if (best == nullptr || n > best->link.size())
            best = &e;
    }
    // As the object manager says it: a missing last element is a missing
    // name, a missing element before it a missing path.
    if (best == nullptr)
        return path.find(u'\\') == std::u16string::npos ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND;
    resolved.device = best->device;
    resolved.fileName.clear();
    if (!best->reference.empty())
        resolved.fileName = u"\\" + best->reference;
    resolved.fileName += path.substr(best->link.size());
    return STATUS_SUCCESS;
}

} // namespace standin::io
