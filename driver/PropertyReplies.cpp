// The shared property replies of the miniports.
#include "PropertyReplies.h"

namespace {
constexpr GUID PropertyTypeSetGeneral = {STATIC_KSPROPTYPESETID_General};
}

NTSTATUS BasicSupportReply(PPCPROPERTY_REQUEST request, const GUID &typeSet, ULONG typeId)
{
    const ULONG size = request->ValueSize;
    if (size == 0) {
        request->ValueSize = sizeof(KSPROPERTY_DESCRIPTION);
        return STATUS_BUFFER_OVERFLOW;
    }
    if (size < sizeof(ULONG) || request->Value == nullptr) {
        request->ValueSize = 0;
        return STATUS_BUFFER_TOO_SMALL;
    }
    const ULONG access = request->PropertyItem->Flags;
    if (size < sizeof(KSPROPERTY_DESCRIPTION)) {
        *static_cast<ULONG *>(request->Value) = access;
        request->ValueSize = sizeof(ULONG);
        return STATUS_SUCCESS;
    }
    auto *description = static_cast<PKSPROPERTY_DESCRIPTION>(request->Value);
    description->AccessFlags = access;
    description->DescriptionSize = sizeof(KSPROPERTY_DESCRIPTION);
    if (typeId != PropertyTypeUnwritten) {
        description->PropTypeSet.Set = typeSet;
        description->PropTypeSet.Id = typeId;
    }
    description->PropTypeSet.Flags = 0;
    description->MembersListCount = 0;
    description->Reserved = 0;
    request->ValueSize = sizeof(KSPROPERTY_DESCRIPTION);
    return STATUS_SUCCESS;
}

NTSTATUS CheckValueSize(PPCPROPERTY_REQUEST request, ULONG minimumInstanceSize, ULONG minimumValueSize)
{
    if (request->ValueSize == 0) {
        request->ValueSize = minimumValueSize;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (request->ValueSize < minimumValueSize)
        return STATUS_BUFFER_TOO_SMALL;
    if (minimumInstanceSize != 0 && request->InstanceSize < minimumInstanceSize)
        return STATUS_BUFFER_TOO_SMALL;
    return STATUS_SUCCESS;
}

NTSTATUS PropertyHandlerCpuResources(PPCPROPERTY_REQUEST request)
{
    if (request->Verb & KSPROPERTY_TYPE_BASICSUPPORT)
        return BasicSupportReply(request, PropertyTypeSetGeneral, PropertyTypeUnsigned32);
    if (!(request->Verb & KSPROPERTY_TYPE_GET))
        return STATUS_INVALID_DEVICE_REQUEST; // offered for get and basic support only
    if (request->ValueSize == 0) {
        request->ValueSize = sizeof(ULONG);
        return STATUS_BUFFER_OVERFLOW;
    }
    if (request->ValueSize < sizeof(ULONG) || request->Value == nullptr)
        return STATUS_BUFFER_TOO_SMALL;
    *static_cast<ULONG *>(request->Value) = KSAUDIO_CPU_RESOURCES_NOT_HOST_CPU;
    request->ValueSize = sizeof(ULONG);
    return STATUS_SUCCESS;
}
