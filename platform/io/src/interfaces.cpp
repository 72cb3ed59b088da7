// IoRegisterDeviceInterface and IoSetDeviceInterfaceState over the
// interface registry; the link names are \??\<instance>#{class}[\reference].
#include "interface_registry.h"
#include "io_internal.h"

#include <cstring>

namespace {

constexpr ULONG LinkTag = 0x6C6E6B49; // "Iknl"
const std::u16string KernelPrefix = u"\\??\\";

} // namespace

using namespace standin::io;

NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID *InterfaceClassGuid,
                                   PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName)
{
    if (PhysicalDeviceObject == nullptr || !PhysicalDeviceObject->DeviceObjectExtension->physical)
        return STATUS_INVALID_DEVICE_REQUEST;
    if (InterfaceClassGuid == nullptr || SymbolicLinkName == nullptr)
        return STATUS_INVALID_PARAMETER;
    std::u16string reference = TextOf(ReferenceString);
    // A reference string is one path element: no separators inside.
    if (!reference.empty() && reference[0] == u'\\')
        reference.erase(0, 1);
    if (reference.find(u'\\') != std::u16string::npos || reference.find(u'/') != std::u16string::npos)
        return STATUS_INVALID_DEVICE_REQUEST;

    const char *id = PhysicalDeviceObject->DeviceObjectExtension->instanceId;
    const std::u16string instance(id, id + std::strlen(id));
    const std::u16string link = KernelPrefix + InterfaceRegistry::Instance().Register(PhysicalDeviceObject, instance,
                                                                                      *InterfaceClassGuid, reference);

    // The caller owns the name and frees it with RtlFreeUnicodeString.
    const size_t bytes = (link.size() + 1) * sizeof(WCHAR);
    WCHAR *buffer = static_cast<WCHAR *>(ExAllocatePoolWithTag(PagedPool, bytes, LinkTag));
    if (buffer == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    std::memcpy(buffer, link.c_str(), bytes);
    SymbolicLinkName->Buffer = buffer;
    SymbolicLinkName->Length = static_cast<USHORT>(link.size() * sizeof(WCHAR));
    SymbolicLinkName->MaximumLength = static_cast<USHORT>(bytes);
    return STATUS_SUCCESS;
}

NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable)
{
    std::u16string link = TextOf(SymbolicLinkName);
    if (link.size() < KernelPrefix.size() || link.compare(0, KernelPrefix.size(), KernelPrefix) != 0)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    return InterfaceRegistry::Instance().SetState(link.substr(KernelPrefix.size()), Enable != FALSE);
}
