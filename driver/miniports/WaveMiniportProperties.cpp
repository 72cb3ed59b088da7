// The wave filter's format answers: data-range intersection, the proposed
// format, the converter's channel configuration, the format-change event,
// and the streaming pin's data ranges answered before PortCls.
#include "Guard.h"
#include "PropertyReplies.h"
#include "Requests.h"
#include "DataFormat.h"
#include "FilterNumbers.h"
#include "PortEvents.h"
#include "WaveMiniport.h"

namespace {

constexpr ULONG FormatReplySize = sizeof(KSDATAFORMAT_WAVEFORMATEXTENSIBLE); // 104
constexpr ULONG LeastFormatBlock = sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX); // 82
constexpr ULONG SpeakerPositionBits = 0x3FFFF; // the 18 standard speaker positions

// The endpoint's one format as a record: extensible when its numbers need it.
bool CurrentRecord(const DataFormatDesc &current, WAVEFORMATEXTENSIBLE *record)
{
    return Mosaik::BuildFormat(record, current.SR, current.BPS, current.NC, current.BPC, current.CC, false, false);
}

bool SameGuid(const GUID &a, const GUID &b) { return IsEqualGUID(a, b) != 0; }

} // namespace

WaveMiniport *WaveMiniport::FromTarget(PUNKNOWN majorTarget)
{
    // PortCls hands back the unknown the port was initialised with: the
    // miniport's IMiniportWaveRT.
    return static_cast<WaveMiniport *>(static_cast<IMiniportWaveRT *>(majorTarget));
}

// ---- Intersection ---------------------------------------------------------------

STDMETHODIMP_(NTSTATUS) WaveMiniport::DataRangeIntersection(ULONG, PKSDATARANGE clientRange, PKSDATARANGE,
                                                            ULONG outputLength, PVOID resultantFormat,
                                                            PULONG resultantFormatLength)
{
    if (outputLength == 0) {
        *resultantFormatLength = FormatReplySize;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (outputLength < FormatReplySize)
        return STATUS_BUFFER_TOO_SMALL;
    // A range too short to carry the audio limits cannot be read as one.
    if (clientRange == nullptr || clientRange->FormatSize < sizeof(KSDATARANGE_AUDIO))
        return STATUS_NO_MATCH;
    if (!SameGuid(clientRange->MajorFormat, KSDATAFORMAT_TYPE_AUDIO) ||
        !SameGuid(clientRange->SubFormat, KSDATAFORMAT_SUBTYPE_PCM) ||
        (!SameGuid(clientRange->Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX) &&
         !SameGuid(clientRange->Specifier, KSDATAFORMAT_SPECIFIER_DSOUND)))
        return STATUS_NO_MATCH;

    link->Lock(); // one consistent format
    const DataFormatDesc current = link->CurrentFormat();
    link->Unlock();
    const auto *audio = reinterpret_cast<const KSDATARANGE_AUDIO *>(clientRange);
    if (!Mosaik::InRange(current.SR, audio->MinimumSampleFrequency, audio->MaximumSampleFrequency) ||
        !Mosaik::InRange(current.BPS, audio->MinimumBitsPerSample, audio->MaximumBitsPerSample) ||
        current.NC > audio->MaximumChannels)
        return STATUS_NO_MATCH;

    WAVEFORMATEXTENSIBLE record = {};
    if (!CurrentRecord(current, &record))
        return STATUS_NO_MATCH; // numbers no format can carry
    auto *result = static_cast<KSDATAFORMAT_WAVEFORMATEXTENSIBLE *>(resultantFormat);
    RtlZeroMemory(result, FormatReplySize); // nothing of the caller's buffer shows through
    result->WaveFormatExt = record;
    KSDATAFORMAT &header = result->DataFormat;
    header.FormatSize = sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX) + record.Format.cbSize;
    header.SampleSize = record.Format.nBlockAlign;
    header.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    header.SubFormat = Mosaik::IsExtensibleFormat(record) ? record.SubFormat : KSDATAFORMAT_SUBTYPE_PCM;
    header.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    *resultantFormatLength = FormatReplySize;
    return STATUS_SUCCESS;
}

// ---- Proposed format --------------------------------------------------------------

NTSTATUS WaveMiniport::PropertyProposedFormat(PPCPROPERTY_REQUEST request)
{
    WaveMiniport *miniport = FromTarget(request->MajorTarget);
    miniport->link->Lock();
    const NTSTATUS status = miniport->ProposeFormat(request);
    miniport->link->Unlock();
    return status;
}

NTSTATUS WaveMiniport::ProposeFormat(PPCPROPERTY_REQUEST request)
{
    if (request->Verb & KSPROPERTY_TYPE_BASICSUPPORT)
        return BasicSupportReply(request, GUID_NULL, PropertyTypeUnwritten);
    const bool get = (request->Verb & KSPROPERTY_TYPE_GET) != 0;
    const bool set = (request->Verb & KSPROPERTY_TYPE_SET) != 0;
    if (get == set)
        return STATUS_INVALID_DEVICE_REQUEST;
    NTSTATUS status = CheckValueSize(request, sizeof(ULONG), get ? FormatReplySize : LeastFormatBlock);
    if (status != STATUS_SUCCESS)
        return status;
    if (request->Instance == nullptr || *static_cast<const ULONG *>(request->Instance) != WavePinStreaming)
        return STATUS_INVALID_PARAMETER;

    WAVEFORMATEXTENSIBLE record = {};
    if (get) {
        if (!CurrentRecord(link->CurrentFormat(), &record))
            return STATUS_NO_MATCH;
        if (!Mosaik::IsExtensibleFormat(record))
            Mosaik::MakeExtensible(&record);
        Mosaik::BuildKsDataFormat(record, static_cast<KSDATAFORMAT_WAVEFORMATEXTENSIBLE *>(request->Value));
        request->ValueSize = FormatReplySize; // what was written
        return STATUS_SUCCESS;
    }

    const auto *block = static_cast<const KSDATAFORMAT *>(request->Value);
    if (request->ValueSize < block->FormatSize)
        return STATUS_BUFFER_TOO_SMALL;
    GUID mode = GUID_NULL;
    status = Mosaik::ParseKsDataFormat(&record, block, request->ValueSize, &mode, 0, nullptr);
    if (!NT_SUCCESS(status))
        return status;
    if (!Mosaik::IsSupportedFormat(record))
        return STATUS_NO_MATCH;
    if (!SameGuid(mode, GUID_NULL) && !SameGuid(mode, AUDIO_SIGNALPROCESSINGMODE_RAW) &&
        !SameGuid(mode, AUDIO_SIGNALPROCESSINGMODE_DEFAULT))
        return STATUS_NO_MATCH;
    if (!Mosaik::IsExtensibleFormat(record))
        Mosaik::MakeExtensible(&record);
    // Nothing is stored: a proposal is accepted exactly when it is the
    // endpoint's current format.
    return link->CheckFormat(&record.Format);
}

// ---- Channel configuration ------------------------------------------------------------

NTSTATUS WaveMiniport::PropertyChannelConfig(PPCPROPERTY_REQUEST request)
{
    WaveMiniport *miniport = FromTarget(request->MajorTarget);
    miniport->link->Lock();
    const NTSTATUS status = miniport->ChannelConfig(request);
    miniport->link->Unlock();
    return status;
}

NTSTATUS WaveMiniport::ChannelConfig(PPCPROPERTY_REQUEST request)
{
    if (request->Node != WaveNodeConverter)
        return STATUS_NOT_FOUND;
    if (request->Verb & KSPROPERTY_TYPE_BASICSUPPORT)
        return BasicSupportReply(request, GUID_NULL, 0);
    const NTSTATUS status = CheckValueSize(request, 0, sizeof(KSAUDIO_CHANNEL_CONFIG));
    if (status != STATUS_SUCCESS)
        return status;
    auto *config = static_cast<PKSAUDIO_CHANNEL_CONFIG>(request->Value);
    if (request->Verb & KSPROPERTY_TYPE_GET) {
        config->ActiveSpeakerPositions = static_cast<LONG>(link->CurrentFormat().CC);
        request->ValueSize = sizeof(KSAUDIO_CHANNEL_CONFIG);
        return STATUS_SUCCESS;
    }
    if (request->Verb & KSPROPERTY_TYPE_SET) {
        const ULONG mask = static_cast<ULONG>(config->ActiveSpeakerPositions);
        if ((mask & ~SpeakerPositionBits) != 0)
            return STATUS_INVALID_PARAMETER;
        if (mask != 0 && Mosaik::CountBits(mask) != link->CurrentFormat().NC)
            return STATUS_INVALID_PARAMETER; // one position per channel
        link->SetChannelMask(mask);
        return STATUS_SUCCESS;
    }
    return STATUS_INVALID_DEVICE_REQUEST;
}

// ---- Format-change event ----------------------------------------------------------

NTSTATUS WaveMiniport::EventFormatChange(PPCEVENT_REQUEST request)
{
    return HandlePinCapsEvent(request, FromTarget(request->MajorTarget)->portEvents);
}

// ---- Data ranges of the streaming pin ---------------------------------------------------

namespace {

// The one range the streaming pin reports: exactly the endpoint's format.
struct DataRangesReply {
    KSMULTIPLE_ITEM Header;
    KSDATARANGE_AUDIO Range;
};
static_assert(sizeof(DataRangesReply) == 96, "a multiple item and one audio range");

struct DataRangesCall {
    PIRP Irp;
    DataFormatDesc Current;
};

bool IsDataRangesQuery(const KSP_PIN &query)
{
    return SameGuid(query.Property.Set, KSPROPSETID_Pin) && query.Property.Id == KSPROPERTY_PIN_DATARANGES &&
           query.Property.Flags == KSPROPERTY_TYPE_GET && query.PinId == WavePinStreaming;
}

// Runs under the exception guard: the buffers are the caller's own.
NTSTATUS AnswerDataRangesGuarded(PVOID context)
{
    const auto &call = *static_cast<const DataRangesCall *>(context);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(call.Irp);
    const auto *input = static_cast<const KSP_PIN *>(stack->Parameters.DeviceIoControl.Type3InputBuffer);
    auto *output = static_cast<DataRangesReply *>(call.Irp->UserBuffer);
    const bool fromUser = call.Irp->RequestorMode != KernelMode;
    if (fromUser)
        ProbeForRead(const_cast<KSP_PIN *>(input), sizeof(KSP_PIN), 1);
    KSP_PIN query;
    RtlCopyMemory(&query, input, sizeof query);
    if (!IsDataRangesQuery(query))
        return STATUS_MORE_PROCESSING_REQUIRED;

    const DataFormatDesc &current = call.Current;
    DataRangesReply reply = {};
    reply.Header.Size = sizeof reply;
    reply.Header.Count = 1;
    KSDATARANGE &range = reply.Range.DataRange;
    range.FormatSize = sizeof(KSDATARANGE_AUDIO);
    range.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    range.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    range.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    reply.Range.MaximumChannels = current.NC;
    reply.Range.MinimumBitsPerSample = reply.Range.MaximumBitsPerSample = current.BPS;
    reply.Range.MinimumSampleFrequency = reply.Range.MaximumSampleFrequency = current.SR;
    if (fromUser)
        ProbeForWrite(output, sizeof reply, 1);
    RtlCopyMemory(output, &reply, sizeof reply);
    return STATUS_SUCCESS;
}

} // namespace

NTSTATUS WaveMiniport::AnswerDataRanges(PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_KS_PROPERTY ||
        stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(KSP_PIN) ||
        stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(DataRangesReply))
        return STATUS_MORE_PROCESSING_REQUIRED;
    // A consistent format, taken before any of the caller's memory is touched.
    DataRangesCall call = {irp, {}};
    link->Lock();
    call.Current = link->CurrentFormat();
    link->Unlock();
    const NTSTATUS status = CallGuarded(AnswerDataRangesGuarded, &call);
    if (status == STATUS_MORE_PROCESSING_REQUIRED)
        return status;
    return CompleteRequest(irp, status, NT_SUCCESS(status) ? sizeof(DataRangesReply) : 0);
}
