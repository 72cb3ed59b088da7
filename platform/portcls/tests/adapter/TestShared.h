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
    IPortEvents *waveEvents = nullptr;     // not referenced: the miniports hold them
    IPortEvents *topologyEvents = nullptr;
    PUNKNOWN wavePort = nullptr;           // referenced while registered by the test
    PUNKNOWN topologyPort = nullptr;
    std::atomic<int> callsInside{0};
    int devicePower = 1;
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

NTSTATUS NewWaveMiniport(PUNKNOWN *miniport);
NTSTATUS NewTopologyMiniport(PUNKNOWN *miniport);

} // namespace testadapter
