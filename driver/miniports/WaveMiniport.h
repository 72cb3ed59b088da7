/* The WaveRT miniport of one endpoint: describes the endpoint's wave filter,
   answers format questions from the format the client chose, creates the
   one stream that may exist at a time, and answers the streaming pin's
   data-range query before PortCls sees it. */
#pragma once

#include "EndpointLink.h"
#include "UnknownBase.h"

class WaveStream;

class WaveMiniport : public UnknownObject<IMiniportWaveRT, IPowerNotify>, public EndpointWave {
public:
    WaveMiniport(EndpointLink *link, bool isCapture);
    ~WaveMiniport() override;

    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID *object) override;

    // IMiniport
    STDMETHODIMP_(NTSTATUS) GetDescription(PPCFILTER_DESCRIPTOR *description) override;
    STDMETHODIMP_(NTSTATUS) DataRangeIntersection(ULONG pinId, PKSDATARANGE clientRange, PKSDATARANGE ownRange,
                                                  ULONG outputLength, PVOID resultantFormat,
                                                  PULONG resultantFormatLength) override;
    // IMiniportWaveRT
    STDMETHODIMP_(NTSTATUS) Init(PUNKNOWN adapter, PRESOURCELIST resources, PPORTWAVERT port) override;
    STDMETHODIMP_(NTSTATUS) NewStream(PMINIPORTWAVERTSTREAM *stream, PPORTWAVERTSTREAM portStream, ULONG pin,
                                      BOOLEAN capture, PKSDATAFORMAT format) override;
    STDMETHODIMP_(NTSTATUS) GetDeviceDescription(PDEVICE_DESCRIPTION description) override;
    // IPowerNotify
    STDMETHODIMP_(void) PowerChangeNotify(POWER_STATE state) override;

    // EndpointWave, for the link.
    bool HasCurrentStream() override;
    void RaiseFormatChange() override;
    void UpdateCurrentStream() override;
    void ReleaseFromLink() override;

    // The stream's destruction, under the link lock: the endpoint has no
    // stream any more and the link applies what it deferred.
    void DetachStream(WaveStream *stream);

    // IOCTL_KS_PROPERTY on this filter's handle, before PortCls: the
    // streaming pin's data ranges are the endpoint's current format.
    // STATUS_MORE_PROCESSING_REQUIRED leaves the request to PortCls;
    // anything else completed it.
    NTSTATUS AnswerDataRanges(PIRP irp);

    const WCHAR *SubdeviceName() const { return subdeviceName; }
    bool IsCapture() const { return isCapture; }

    // Handlers of the filter's automation tables.
    static NTSTATUS PropertyProposedFormat(PPCPROPERTY_REQUEST request);
    static NTSTATUS PropertyChannelConfig(PPCPROPERTY_REQUEST request);
    static NTSTATUS EventFormatChange(PPCEVENT_REQUEST request);

    // Capacity of a subdevice name, terminator included.
    static constexpr ULONG NameCapacity = 16;

private:
    static WaveMiniport *FromTarget(PUNKNOWN majorTarget);
    NTSTATUS ProposeFormat(PPCPROPERTY_REQUEST request);
    NTSTATUS ChannelConfig(PPCPROPERTY_REQUEST request);

    EndpointLink *link; // not counted: the link owns this miniport
    bool isCapture;
    WCHAR subdeviceName[NameCapacity];
    PPORTWAVERT port = nullptr;
    PPORTEVENTS portEvents = nullptr;
    WaveStream *currentStream = nullptr; // not counted; read and written under the link lock
};
