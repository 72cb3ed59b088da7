// Subdevices and physical connections: PcRegisterSubdevice gives a port's
// filter one device interface per category (and KSCATEGORY_REALTIME for a
// WaveRT port) under the subdevice's name, enabled, and makes it reachable by
// that reference string; PcRegisterPhysicalConnection records the wiring
// between two filters that KSPROPERTY_PIN_PHYSICALCONNECTION reports.
#include "internal.h"

#include <algorithm>

namespace standin::portcls {

namespace {

char16_t Upper(char16_t c)
{
    return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - u'a' + u'A') : c;
}

bool SameName(const std::u16string &a, const std::u16string &b)
{
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char16_t x, char16_t y) { return Upper(x) == Upper(y); });
}

std::u16string TextOf(PCWSTR text)
{
    std::u16string result;
    if (text != nullptr)
        for (const WCHAR *c = text; *c != 0; ++c)
            result.push_back(static_cast<char16_t>(*c));
    return result;
}

std::u16string TextOf(PCUNICODE_STRING string)
{
    if (string == nullptr || string->Buffer == nullptr)
        return {};
    return std::u16string(reinterpret_cast<const char16_t *>(string->Buffer), string->Length / sizeof(WCHAR));
}

void Unregister(Subdevice &subdevice)
{
    for (UNICODE_STRING &link : subdevice.links) {
        IoSetDeviceInterfaceState(&link, FALSE);
        RtlFreeUnicodeString(&link);
    }
    subdevice.links.clear();
}

// The categories the filter registers under: the descriptor's, and the
// real-time category for a WaveRT filter if it does not list it.
std::vector<GUID> CategoriesOf(Port *port)
{
    const PCFILTER_DESCRIPTOR *filter = port->Descriptor();
    std::vector<GUID> categories(filter->Categories, filter->Categories + filter->CategoryCount);
    if (port->Kind() == PortKind::WaveRT && std::none_of(categories.begin(), categories.end(), [](const GUID &g) {
            return IsEqualGUID(g, KSCATEGORY_REALTIME);
        }))
        categories.push_back(KSCATEGORY_REALTIME);
    return categories;
}

NTSTATUS AddConnection(PDEVICE_OBJECT device, PhysicalConnection connection)
{
    DeviceContext *context = ContextOf(device);
    auto pinValid = [](Port *port, ULONG pin) {
        return port == nullptr || (port->Initialised() && pin < port->Descriptor()->PinCount);
    };
    if (context == nullptr || !pinValid(connection.from, connection.fromPin) ||
        !pinValid(connection.to, connection.toPin) || (connection.from == nullptr && connection.to == nullptr)) {
        if (connection.from != nullptr)
            connection.from->Release();
        if (connection.to != nullptr)
            connection.to->Release();
        return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard<std::recursive_mutex> hold(context->lock);
    for (const PhysicalConnection &c : context->connections)
        if (c.from == connection.from && c.fromPin == connection.fromPin && c.to == connection.to &&
            c.toPin == connection.toPin && c.fromLink == connection.fromLink && c.toLink == connection.toLink) {
            if (connection.from != nullptr)
                connection.from->Release();
            if (connection.to != nullptr)
                connection.to->Release();
            return STATUS_OBJECT_NAME_COLLISION;
        }
    context->connections.push_back(std::move(connection));
    return STATUS_SUCCESS;
}

NTSTATUS RemoveConnection(PDEVICE_OBJECT device, Port *from, ULONG fromPin, Port *to, ULONG toPin,
                          const std::u16string &fromLink, const std::u16string &toLink)
{
    DeviceContext *context = ContextOf(device);
    if (context == nullptr)
        return STATUS_INVALID_PARAMETER;
    std::lock_guard<std::recursive_mutex> hold(context->lock);
    for (auto it = context->connections.begin(); it != context->connections.end(); ++it) {
        if (it->from == from && it->fromPin == fromPin && it->to == to && it->toPin == toPin &&
            it->fromLink == fromLink && it->toLink == toLink) {
            if (it->from != nullptr)
                it->from->Release();
            if (it->to != nullptr)
                it->to->Release();
            context->connections.erase(it);
            return STATUS_SUCCESS;
        }
    }
    return STATUS_NOT_FOUND;
}

// The symbolic link of a port's filter: the interface of its first category.
bool LinkOf(DeviceContext *context, Port *port, std::u16string &link)
{
    for (const Subdevice &subdevice : context->subdevices)
        if (subdevice.port == port && !subdevice.links.empty()) {
            link = TextOf(&subdevice.links.front());
            return true;
        }
    return false;
}

} // namespace

NTSTATUS FindPhysicalConnection(Port *port, ULONG pin, std::u16string &peerLink, ULONG &peerPin)
{
    DeviceContext *context = port->Device();
    std::lock_guard<std::recursive_mutex> hold(context->lock);
    for (const PhysicalConnection &c : context->connections) {
        if (c.from == port && c.fromPin == pin) {
            peerPin = c.toPin;
            if (c.to == nullptr) {
                peerLink = c.toLink;
                return STATUS_SUCCESS;
            }
            return LinkOf(context, c.to, peerLink) ? STATUS_SUCCESS : STATUS_NOT_FOUND;
        }
        if (c.to == port && c.toPin == pin) {
            peerPin = c.fromPin;
            if (c.from == nullptr) {
                peerLink = c.fromLink;
                return STATUS_SUCCESS;
            }
            return LinkOf(context, c.from, peerLink) ? STATUS_SUCCESS : STATUS_NOT_FOUND;
        }
    }
    return STATUS_NOT_FOUND;
}

NTSTATUS Port::UnregisterSubdevice(PDEVICE_OBJECT DeviceObject, PUNKNOWN Unknown)
{
    DeviceContext *context = ContextOf(DeviceObject);
    Port *port = PortOf(Unknown);
    if (context == nullptr || port == nullptr) {
        if (port != nullptr)
            port->Release();
        return STATUS_INVALID_PARAMETER;
    }
    port->Release(); // the lookup's reference; the registration holds its own
    Subdevice removed{};
    {
        std::lock_guard<std::recursive_mutex> hold(context->lock);
        auto it = std::find_if(context->subdevices.begin(), context->subdevices.end(),
                               [&](const Subdevice &s) { return s.port == port; });
        if (it == context->subdevices.end())
            return STATUS_NOT_FOUND;
        removed = std::move(*it);
        context->subdevices.erase(it);
    }
    ks::RemoveFactory(DeviceObject, port);
    Unregister(removed);
    port->Release();
    return STATUS_SUCCESS;
}

NTSTATUS Port::UnregisterPhysicalConnection(PDEVICE_OBJECT DeviceObject, PUNKNOWN FromUnknown, ULONG FromPin,
                                            PUNKNOWN ToUnknown, ULONG ToPin)
{
    Port *from = PortOf(FromUnknown);
    Port *to = PortOf(ToUnknown);
    const NTSTATUS status = (from != nullptr && to != nullptr)
                                ? RemoveConnection(DeviceObject, from, FromPin, to, ToPin, {}, {})
                                : STATUS_INVALID_PARAMETER;
    if (from != nullptr)
        from->Release();
    if (to != nullptr)
        to->Release();
    return status;
}

NTSTATUS Port::UnregisterPhysicalConnectionToExternal(PDEVICE_OBJECT DeviceObject, PUNKNOWN FromUnknown, ULONG FromPin,
                                                      PUNICODE_STRING ToString, ULONG ToPin)
{
    Port *from = PortOf(FromUnknown);
    const NTSTATUS status = (from != nullptr && ToString != nullptr)
                                ? RemoveConnection(DeviceObject, from, FromPin, nullptr, ToPin, {}, TextOf(ToString))
                                : STATUS_INVALID_PARAMETER;
    if (from != nullptr)
        from->Release();
    return status;
}

NTSTATUS Port::UnregisterPhysicalConnectionFromExternal(PDEVICE_OBJECT DeviceObject, PUNICODE_STRING FromString,
                                                        ULONG FromPin, PUNKNOWN ToUnknown, ULONG ToPin)
{
    Port *to = PortOf(ToUnknown);
    const NTSTATUS status = (to != nullptr && FromString != nullptr)
                                ? RemoveConnection(DeviceObject, nullptr, FromPin, to, ToPin, TextOf(FromString), {})
                                : STATUS_INVALID_PARAMETER;
    if (to != nullptr)
        to->Release();
    return status;
}

} // namespace standin::portcls

using namespace standin::portcls;

extern "C" NTSTATUS PcRegisterSubdevice(PDEVICE_OBJECT DeviceObject, PWCHAR Name, PUNKNOWN Unknown)
{
    DeviceContext *context = ContextOf(DeviceObject);
    const std::u16string name = TextOf(Name);
    if (context == nullptr || name.empty() || name.find(u'\\') != std::u16string::npos)
        return STATUS_INVALID_PARAMETER;
    Port *port = PortOf(Unknown); // this reference becomes the registration's
    if (port == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (!port->Initialised() || port->Device() != context) {
        port->Release();
        return STATUS_INVALID_DEVICE_STATE;
    }
    std::lock_guard<std::recursive_mutex> hold(context->lock);
    NTSTATUS status = STATUS_SUCCESS;
    if (context->subdevices.size() >= context->maxSubdevices)
        status = STATUS_INSUFFICIENT_RESOURCES;
    for (const Subdevice &s : context->subdevices)
        if (SameName(s.name, name) || s.port == port)
            status = STATUS_OBJECT_NAME_COLLISION;
    if (NT_SUCCESS(status))
        status = standin::ks::AddFactory(DeviceObject, name, port);
    if (!NT_SUCCESS(status)) {
        port->Release();
        return status;
    }
    Subdevice subdevice{name, port, {}};
    UNICODE_STRING reference;
    reference.Buffer = reinterpret_cast<PWCH>(const_cast<char16_t *>(subdevice.name.c_str()));
    reference.Length = static_cast<USHORT>(subdevice.name.size() * sizeof(WCHAR));
    reference.MaximumLength = reference.Length;
    for (const GUID &category : CategoriesOf(port)) {
        UNICODE_STRING link{};
        status = IoRegisterDeviceInterface(context->pdo, &category, &reference, &link);
        if (!NT_SUCCESS(status))
            break;
        subdevice.links.push_back(link);
        status = IoSetDeviceInterfaceState(&link, TRUE);
        if (!NT_SUCCESS(status))
            break;
    }
    if (!NT_SUCCESS(status)) {
        standin::ks::RemoveFactory(DeviceObject, port);
        Unregister(subdevice);
        port->Release();
        return status;
    }
    context->subdevices.push_back(std::move(subdevice));
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS PcRegisterPhysicalConnection(PDEVICE_OBJECT DeviceObject, PUNKNOWN FromUnknown, ULONG FromPin,
                                                 PUNKNOWN ToUnknown, ULONG ToPin)
{
    Port *from = PortOf(FromUnknown);
    Port *to = PortOf(ToUnknown);
    if (from == nullptr || to == nullptr) {
        if (from != nullptr)
            from->Release();
        if (to != nullptr)
            to->Release();
        return STATUS_INVALID_PARAMETER;
    }
    return AddConnection(DeviceObject, {from, FromPin, to, ToPin, {}, {}});
}

extern "C" NTSTATUS PcRegisterPhysicalConnectionFromExternal(PDEVICE_OBJECT DeviceObject, PUNICODE_STRING FromString,
                                                             ULONG FromPin, PUNKNOWN ToUnknown, ULONG ToPin)
{
    Port *to = PortOf(ToUnknown);
    if (to == nullptr || FromString == nullptr || FromString->Length == 0) {
        if (to != nullptr)
            to->Release();
        return STATUS_INVALID_PARAMETER;
    }
    return AddConnection(DeviceObject, {nullptr, FromPin, to, ToPin, TextOf(FromString), {}});
}

extern "C" NTSTATUS PcRegisterPhysicalConnectionToExternal(PDEVICE_OBJECT DeviceObject, PUNKNOWN FromUnknown,
                                                           ULONG FromPin, PUNICODE_STRING ToString, ULONG ToPin)
{
    Port *from = PortOf(FromUnknown);
    if (from == nullptr || ToString == nullptr || ToString->Length == 0) {
        if (from != nullptr)
            from->Release();
        return STATUS_INVALID_PARAMETER;
    }
    return AddConnection(DeviceObject, {from, FromPin, nullptr, ToPin, {}, TextOf(ToString)});
}
