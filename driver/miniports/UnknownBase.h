/* The reference-counted base of every driver object PortCls sees (adapter,
   miniports, stream): an interlocked count, the outer unknown and the
   non-delegating unknown, and the template that joins it to the PortCls
   interfaces an object exposes. */
#pragma once

#include "PortClsHeaders.h"
#include "KernelHelpers.h"

// The unknown that owns the object's life, in COM's slot order.
class NonDelegatingUnknown {
public:
    virtual NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID *object) = 0;
    virtual ULONG NonDelegatingAddRef() = 0;
    virtual ULONG NonDelegatingRelease() = 0;
    virtual ~NonDelegatingUnknown() = default;
};

class UnknownBase : public NonDelegatingUnknown, public Mosaik::PoolAllocated {
public:
    UnknownBase(const UnknownBase &) = delete;
    UnknownBase &operator=(const UnknownBase &) = delete;

    // IID_IUnknown gives the object itself; every other identifier a null
    // interface and STATUS_INVALID_PARAMETER. Derived classes replace it.
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID *object) override;
    ULONG NonDelegatingAddRef() override;
    // The last release destroys the object and returns 0.
    ULONG NonDelegatingRelease() override;

protected:
    // Without an outer unknown the object is its own.
    explicit UnknownBase(PUNKNOWN outer = nullptr) : outer(outer) {}

    // What every exposed interface's IUnknown methods do.
    NTSTATUS OuterQueryInterface(REFIID iid, PVOID *object);
    ULONG OuterAddRef();
    ULONG OuterRelease();

    // The end of every successful query: one reference for the caller.
    NTSTATUS Hand(PVOID iface, PVOID *object);
    // The end of every refused one.
    static NTSTATUS Refuse(PVOID *object);

private:
    volatile LONG references = 0;
    PUNKNOWN outer;
};

/* An object exposing the interfaces Primary and Others (each derived from
   IUnknown): their QueryInterface, AddRef and Release all forward to the
   outer unknown; a secondary interface steps back to this object first. */
template <typename Primary, typename... Others>
class UnknownObject : public Primary, public Others..., public UnknownBase {
public:
    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID iid, PVOID *object) override
    {
        return OuterQueryInterface(iid, object);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return OuterAddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return OuterRelease(); }

    // The primary interface as an IUnknown, as callers that take the object
    // as an unknown receive it.
    PUNKNOWN AsUnknown() { return static_cast<Primary *>(this); }

protected:
    explicit UnknownObject(PUNKNOWN outer = nullptr) : UnknownBase(outer) {}
};
