/* Stand-in: kernel-mode COM, as the Windows header of that name declares it:
   IUnknown with NTSTATUS results, the interface-declaration macros and the
   boilerplate every derived interface repeats. */
#pragma once

#include <wdm.h>

#ifndef __cplusplus
#error "the kernel-mode COM interfaces are declared for C++ only"
#endif

#ifndef STDMETHODCALLTYPE
#define STDMETHODCALLTYPE
#endif
#define STDMETHODIMP HRESULT STDMETHODCALLTYPE
#define STDMETHODIMP_(type) type STDMETHODCALLTYPE
#define STDMETHOD(method) virtual HRESULT STDMETHODCALLTYPE method
#define STDMETHOD_(type, method) virtual type STDMETHODCALLTYPE method
#define PURE = 0
#define THIS_
#define THIS void
#ifndef interface
#define interface struct
#endif
#define DECLARE_INTERFACE(iface) interface DECLSPEC_NOVTABLE iface
#define DECLARE_INTERFACE_(iface, baseiface) interface DECLSPEC_NOVTABLE iface : public baseiface

#ifdef PUT_GUIDS_HERE
#ifndef INITGUID
#define INITGUID
#endif
#endif

#ifndef __IUnknown_INTERFACE_DEFINED__
#define __IUnknown_INTERFACE_DEFINED__
DEFINE_GUID(IID_IUnknown, 0x00000000L, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);

#undef INTERFACE
#define INTERFACE IUnknown
DECLARE_INTERFACE(IUnknown)
{
    STDMETHOD_(NTSTATUS, QueryInterface)(THIS_ REFIID, PVOID *) PURE;
    STDMETHOD_(ULONG, AddRef)(THIS) PURE;
    STDMETHOD_(ULONG, Release)(THIS) PURE;
};
#undef INTERFACE
#endif

typedef IUnknown *PUNKNOWN;

#define DEFINE_ABSTRACT_UNKNOWN() \
    STDMETHOD_(NTSTATUS, QueryInterface)(THIS_ REFIID InterfaceId, PVOID * Interface) PURE; \
    STDMETHOD_(ULONG, AddRef)(THIS) PURE; \
    STDMETHOD_(ULONG, Release)(THIS) PURE;

typedef HRESULT (*PFNCREATEINSTANCE)(PUNKNOWN *Unknown, REFCLSID ClassId, PUNKNOWN OuterUnknown, POOL_TYPE PoolType);
