// The WaveRT miniport: its interfaces, the stream it creates and the link's
// hooks into it.
#include "WaveMiniport.h"
#include "ControlProtocol.h"
#include "DataFormat.h"
#include "FilterNumbers.h"
#include "PortEvents.h"
#include "TextFormat.h"
#include "WaveFilterTables.h"
#include "WaveStream.h"

WaveMiniport::WaveMiniport(EndpointLink *link, bool isCapture) : link(link), isCapture(isCapture)
{
    Mosaik::FormatText(subdeviceName, NameCapacity, L"%S%S", "wave", isCapture ? "_c" : "_r");
}

WaveMiniport::~WaveMiniport()
{
    ReleasePort(port, portEvents);
}

NTSTATUS WaveMiniport::NonDelegatingQueryInterface(REFIID iid, PVOID *object)
{
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IMiniport) || IsEqualGUID(iid, IID_IMiniportWaveRT))
        return Hand(static_cast<IMiniportWaveRT *>(this), object);
    if (IsEqualGUID(iid, IID_IPowerNotify))
        return Hand(static_cast<IPowerNotify *>(this), object);
    return Refuse(object);
}

STDMETHODIMP_(NTSTATUS) WaveMiniport::GetDescription(PPCFILTER_DESCRIPTOR *description)
{
    *description = const_cast<PPCFILTER_DESCRIPTOR>(isCapture ? &WaveCaptureFilter : &WaveRenderFilter);
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) WaveMiniport::Init(PUNKNOWN, PRESOURCELIST, PPORTWAVERT newPort)
{
    return BindPort(newPort, port, portEvents);
}

STDMETHODIMP_(NTSTATUS) WaveMiniport::GetDeviceDescription(PDEVICE_DESCRIPTION description)
{
    RtlZeroMemory(description, sizeof *description);
    description->Master = TRUE;
    description->ScatterGather = TRUE;
    description->Dma32BitAddresses = TRUE;
    description->InterfaceType = PCIBus;
    description->MaximumLength = 0xFFFFFFFF;
    return STATUS_SUCCESS;
}

STDMETHODIMP_(void) WaveMiniport::PowerChangeNotify(POWER_STATE) {}

// ---- Streams ------------------------------------------------------------------

STDMETHODIMP_(NTSTATUS) WaveMiniport::NewStream(PMINIPORTWAVERTSTREAM *stream, PPORTWAVERTSTREAM portStream,
                                                ULONG pin, BOOLEAN, PKSDATAFORMAT block)
{
    *stream = nullptr;
    link->Lock();
    NTSTATUS status = STATUS_SUCCESS;
    WAVEFORMATEXTENSIBLE record = {};
    bool wasExtensible = false;
    if (currentStream != nullptr)
        status = STATUS_INSUFFICIENT_RESOURCES; // one stream per endpoint
    else
        status = link->IsClientReady();         // and only while the client serves it
    if (NT_SUCCESS(status))
        status = WaveStream::ReadFormat(block, &record, &wasExtensible);
    WaveStream *created = nullptr;
    if (NT_SUCCESS(status)) {
        // The direction is the endpoint's, whatever the caller says.
        created = new WaveStream(this, portStream, link, isCapture, pin);
        if (created == nullptr)
            status = STATUS_INSUFFICIENT_RESOURCES;
    }
    if (NT_SUCCESS(status)) {
        created->AddRef(); // ours until it is handed over or released
        status = created->InitialiseFormat(record, wasExtensible);
        if (NT_SUCCESS(status)) {
            currentStream = created;
            link->Block()->StreamAttached = 1;
            *stream = created;
        } else {
            created->Release(); // gone, never seen
        }
    }
    link->Unlock();
    return status;
}

void WaveMiniport::DetachStream(WaveStream *stream)
{
    link->Lock();
    if (currentStream != nullptr && currentStream == stream) {
        link->Block()->StreamAttached = 0;
        link->RequestClient(ClientReqBufferReleased); // its answer changes nothing
        currentStream = nullptr;
    }
    link->ApplyPending();
    link->Unlock();
}

bool WaveMiniport::HasCurrentStream() { return currentStream != nullptr; }

void WaveMiniport::UpdateCurrentStream()
{
    if (currentStream != nullptr)
        currentStream->UpdateOnDeviceAdvance();
}

void WaveMiniport::ReleaseFromLink() { Release(); }

void WaveMiniport::RaiseFormatChange() { RaisePinCapsEvent(portEvents, KSEVENT_PINCAPS_FORMATCHANGE, WavePinStreaming); }
