/* The topology miniport of one endpoint: the endpoint's jack, reported
   connected exactly while the client serves the endpoint, with an event
   whenever that changes. */
#pragma once

#include "EndpointLink.h"
#include "UnknownBase.h"

class TopologyMiniport : public UnknownObject<IMiniportTopology>, public EndpointTopology {
public:
    TopologyMiniport(EndpointLink *link, bool isCapture);
    ~TopologyMiniport() override;

    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID *object) override;

    // IMiniport
    STDMETHODIMP_(NTSTATUS) GetDescription(PPCFILTER_DESCRIPTOR *description) override;
    STDMETHODIMP_(NTSTATUS) DataRangeIntersection(ULONG pinId, PKSDATARANGE clientRange, PKSDATARANGE ownRange,
                                                  ULONG outputLength, PVOID resultantFormat,
                                                  PULONG resultantFormatLength) override;
    // IMiniportTopology
    STDMETHODIMP_(NTSTATUS) Init(PUNKNOWN adapter, PRESOURCELIST resources, PPORTTOPOLOGY port) override;

    // EndpointTopology, for the link.
    void RaiseJackInfoChange() override;
    void ReleaseFromLink() override;

    const WCHAR *SubdeviceName() const { return subdeviceName; }
    // The pin that carries the jack: 0 for render, 1 for capture.
    ULONG JackPin() const;

    // Handlers of the filter's automation table.
    static NTSTATUS PropertyJackDescription(PPCPROPERTY_REQUEST request);
    static NTSTATUS EventJackInfoChange(PPCEVENT_REQUEST request);

    static constexpr ULONG NameCapacity = 16;

private:
    static TopologyMiniport *FromTarget(PUNKNOWN majorTarget);
    NTSTATUS JackDescription(PPCPROPERTY_REQUEST request);

    EndpointLink *link; // not counted: the link owns this miniport
    bool isCapture;
    WCHAR subdeviceName[NameCapacity];
    PPORTTOPOLOGY port = nullptr;
    PPORTEVENTS portEvents = nullptr;
};
