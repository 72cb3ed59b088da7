// Reference counting and interface forwarding of the driver's objects.
#include "UnknownBase.h"

NTSTATUS UnknownBase::NonDelegatingQueryInterface(REFIID iid, PVOID *object)
{
    if (!IsEqualGUID(iid, IID_IUnknown))
        return Refuse(object);
    *object = static_cast<NonDelegatingUnknown *>(this);
    NonDelegatingAddRef();
    return STATUS_SUCCESS;
}

ULONG UnknownBase::NonDelegatingAddRef() { return static_cast<ULONG>(InterlockedIncrement(&references)); }

ULONG UnknownBase::NonDelegatingRelease()
{
    const LONG count = InterlockedDecrement(&references);
    if (count == 0) {
        delete this;
        return 0;
    }
    return static_cast<ULONG>(count);
}

NTSTATUS UnknownBase::OuterQueryInterface(REFIID iid, PVOID *object)
{
    return outer != nullptr ? outer->QueryInterface(iid, object) : NonDelegatingQueryInterface(iid, object);
}

ULONG UnknownBase::OuterAddRef() { return outer != nullptr ? outer->AddRef() : NonDelegatingAddRef(); }

ULONG UnknownBase::OuterRelease() { return outer != nullptr ? outer->Release() : NonDelegatingRelease(); }

NTSTATUS UnknownBase::Hand(PVOID iface, PVOID *object)
{
    *object = iface;
    OuterAddRef(); // the interface's own AddRef
    return STATUS_SUCCESS;
}

NTSTATUS UnknownBase::Refuse(PVOID *object)
{
    *object = nullptr;
    return STATUS_INVALID_PARAMETER;
}
