// What the test adapter's files share: the driver-side headers, the state the
// tests observe, a reference-counting base, and the factories of the two
// miniports.
#pragma once

#include "TestAdapter.h"

#include <wdm.h>
#include <windef.h>
#define NOBITMAP
#include <mmreg.h>
#undef NOBITMAP
#include <ks.h>
#include <ksmedia.h>
#include <KsCompat.h>
#include <portcls.h>
#include <KsCompat.h>

#include <atomic>
#include <mutex>

namespace testadapter {

struct Shared {
    std::mutex lock; // observed, and the hardware below
    Config config;
    Observed observed;
    PDEVICE_OBJECT fdo = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    PDRIVER_OBJECT driver = nullptr;
    IPortEvents *waveEvents = nullptr; // not referenced: the miniports hold them
    IPortEvents *topologyEvents = nullptr;
    PUNKNOWN wavePort = nullptr; // referenced while registered by the test
    PUNKNOWN topologyPort = nullptr;
    std::atomic<int> callsInside{0};
    int devicePower = 1;
    bool jackConnected = true;
    KEVENT pendedArrived; // a Pended request reached the miniport
    KEVENT pendedRelease; // with holdPended: the miniport may complete it
};

Shared &State();

// Counts a miniport call running; the device lock must keep it at one.
class CallProbe {
public:
    CallProbe();
    ~CallProbe();
};

// COM reference counting for the test objects.
class RefCounted {
public:
    // The end of a QueryInterface: the interface found (or null) is handed
    // out with a reference.
    NTSTATUS Answer(PVOID *object, PVOID found)
    {
        *object = found;
        if (found == nullptr)
            return STATUS_INVALID_PARAMETER;
        AddRefBase();
        return STATUS_SUCCESS;
    }
    ULONG AddRefBase() { return ++references_; }
    ULONG ReleaseBase()
    {
        const ULONG left = --references_;
        if (left == 0)
            delete this;
        return left;
    }

protected:
    virtual ~RefCounted() = default;

private:
    std::atomic<ULONG> references_{1};
};

// An event handler's verbs: ADD puts the entry on the port's list.
NTSTATUS HandleEventRequest(PPCEVENT_REQUEST request, IPortEvents *events);
// A basic-support answer of the access flags alone.
NTSTATUS AccessFlagsReply(PPCPROPERTY_REQUEST request);

// What a miniport keeps of its port: the port and its event interface, both
// referenced, the events published for the tests' generations.
template <class PortInterface>
class PortLink {
public:
    NTSTATUS Init(PortInterface *port, IPortEvents *&published)
    {
        port_ = port;
        port_->AddRef();
        const NTSTATUS status = port->QueryInterface(IID_IPortEvents, reinterpret_cast<PVOID *>(&events_));
        published = events_;
        return status;
    }
    void Release(IPortEvents *&published)
    {
        if (published == events_)
            published = nullptr;
        if (events_ != nullptr)
            events_->Release();
        if (port_ != nullptr)
            port_->Release();
    }

private:
    PortInterface *port_ = nullptr;
    IPortEvents *events_ = nullptr;
};

NTSTATUS NewWaveMiniport(PUNKNOWN *miniport);
NTSTATUS NewTopologyMiniport(PUNKNOWN *miniport);

} // namespace testadapter
