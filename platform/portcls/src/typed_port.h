// A port of one kind: the common port behind the kind's IPort-derived
// interface. The kind's file supplies the traits: its interface and IID, the
// miniport interface it needs and how that is initialised, and its pins.
#pragma once

#include "internal.h"

#include <new>

namespace standin::portcls {

template <class Traits>
class TypedPort final : public Traits::Interface, public Port {
public:
    TypedPort() : Port(Traits::Kind) {}

    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID iid, PVOID *object) override
    {
        return QueryCommon(iid, object, static_cast<typename Traits::Interface *>(this), Traits::PortIid());
    }
    STDMETHODIMP_(ULONG) AddRef() override { return AddRefCommon(); }
    STDMETHODIMP_(ULONG) Release() override { return ReleaseCommon(); }

    STDMETHODIMP_(NTSTATUS)
    Init(PDEVICE_OBJECT DeviceObject, PIRP Irp, PUNKNOWN UnknownMiniport, PUNKNOWN UnknownAdapter,
         PRESOURCELIST ResourceList) override
    {
        return InitCommon(DeviceObject, UnknownMiniport, UnknownAdapter, ResourceList, Traits::MiniportIid(),
                          [](Port *port, PUNKNOWN miniport, PUNKNOWN adapter, PRESOURCELIST resources) {
                              return Traits::InitMiniport(miniport, adapter, resources, static_cast<TypedPort *>(port));
                          });
    }
    STDMETHODIMP_(NTSTATUS)
    GetDeviceProperty(DEVICE_REGISTRY_PROPERTY DeviceProperty, ULONG BufferLength, PVOID PropertyBuffer,
                      PULONG ResultLength) override
    {
        if (!Initialised())
            return STATUS_INVALID_DEVICE_STATE;
        return PcGetDeviceProperty(Device()->fdo, DeviceProperty, BufferLength, PropertyBuffer, ResultLength);
    }
    STDMETHODIMP_(NTSTATUS)
    NewRegistryKey(PREGISTRYKEY *OutRegistryKey, PUNKNOWN OuterUnknown, ULONG RegistryKeyType,
                   ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes, ULONG CreateOptions,
                   PULONG Disposition) override
    {
        return PcNewRegistryKey(OutRegistryKey, OuterUnknown, RegistryKeyType, DesiredAccess,
                                Initialised() ? Device()->fdo : nullptr, this, ObjectAttributes, CreateOptions,
                                Disposition);
    }

    NTSTATUS NewPin(FilterObject *filter, ks::PinCreate &create, ks::Object **pin) override
    {
        return Traits::NewPin(this, filter, create, pin);
    }

    static NTSTATUS Create(PPORT *port)
    {
        auto *object = new (std::nothrow) TypedPort;
        if (object == nullptr)
            return STATUS_INSUFFICIENT_RESOURCES;
        *port = static_cast<typename Traits::Interface *>(object);
        return STATUS_SUCCESS;
    }

private:
    ~TypedPort() override = default;
};

} // namespace standin::portcls
