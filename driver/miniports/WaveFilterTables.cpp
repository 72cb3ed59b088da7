// Pins, data ranges, the converter node, connections, categories and
// automation tables of the two WaveRT filters.
#include "WaveFilterTables.h"
#include "CommonTables.h"
#include "PropertyReplies.h"
#include "WaveMiniport.h"

const KSDATARANGE_AUDIO WaveStreamingRange = {
    {{
        sizeof(KSDATARANGE_AUDIO),                       // FormatSize
        0,                                               // Flags
        0,                                               // SampleSize
        0,                                               // Reserved
        {STATICGUIDOF(KSDATAFORMAT_TYPE_AUDIO)},         // MajorFormat
        {STATICGUIDOF(KSDATAFORMAT_SUBTYPE_PCM)},        // SubFormat
        {STATICGUIDOF(KSDATAFORMAT_SPECIFIER_WAVEFORMATEX)}, // Specifier
    }},
    8,      // MaximumChannels
    8,      // MinimumBitsPerSample
    32,     // MaximumBitsPerSample
    8000,   // MinimumSampleFrequency
    384000, // MaximumSampleFrequency
};

namespace {

// PortCls only reads through these pointers; the ranges stay constant data.
const PKSDATARANGE StreamingRanges[] = {const_cast<PKSDATARANGE>(&WaveStreamingRange.DataRange)};

// ---- Automation -------------------------------------------------------------

const PCPROPERTY_ITEM FilterProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_CPU_RESOURCES, KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_BASICSUPPORT,
     PropertyHandlerCpuResources},
    {&KSPROPSETID_Pin, KSPROPERTY_PIN_PROPOSEDATAFORMAT,
     KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_BASICSUPPORT, WaveMiniport::PropertyProposedFormat},
};

const PCEVENT_ITEM FilterEvents[] = {
    {&KSEVENTSETID_PinCapsChange, KSEVENT_PINCAPS_FORMATCHANGE, KSEVENT_TYPE_ENABLE | KSEVENT_TYPE_BASICSUPPORT,
     WaveMiniport::EventFormatChange},
};

constinit const PCAUTOMATION_TABLE FilterAutomation = AutomationTable(FilterProperties, FilterEvents);

const PCPROPERTY_ITEM ConverterProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_CHANNEL_CONFIG,
     KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_BASICSUPPORT, WaveMiniport::PropertyChannelConfig},
};

constinit const PCAUTOMATION_TABLE ConverterAutomation = AutomationTable(ConverterProperties);

// ---- Pins -------------------------------------------------------------------

const PCPIN_DESCRIPTOR RenderPins[] = {
    /* WavePinStreaming */ PinDescriptor(1, nullptr, CountOf(StreamingRanges), StreamingRanges, KSPIN_DATAFLOW_IN,
                               KSPIN_COMMUNICATION_SINK, &KSCATEGORY_AUDIO),
    /* WavePinBridge */ PinDescriptor(0, &CpuResourcesAutomation, CountOf(BridgeDataRanges), BridgeDataRanges,
                            KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_NONE, &KSCATEGORY_AUDIO),
};

const PCPIN_DESCRIPTOR CapturePins[] = {
    /* WavePinStreaming */ PinDescriptor(1, nullptr, CountOf(StreamingRanges), StreamingRanges, KSPIN_DATAFLOW_OUT,
                               KSPIN_COMMUNICATION_SINK, &PINNAME_CAPTURE),
    /* WavePinBridge */ PinDescriptor(0, &CpuResourcesAutomation, CountOf(BridgeDataRanges), BridgeDataRanges,
                            KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_NONE, &KSCATEGORY_AUDIO),
};

static_assert(CountOf(RenderPins) == WavePinCount && CountOf(CapturePins) == WavePinCount,
              "one descriptor per wave pin");

// ---- Nodes ------------------------------------------------------------------

const PCNODE_DESCRIPTOR RenderNodes[] = {
    /* WaveNodeConverter */ {0, &ConverterAutomation, &KSNODETYPE_DAC, nullptr}, // Flags, Automation, Type, Name
};

const PCNODE_DESCRIPTOR CaptureNodes[] = {
    /* WaveNodeConverter */ {0, &ConverterAutomation, &KSNODETYPE_ADC, nullptr}, // Flags, Automation, Type, Name
};

static_assert(CountOf(RenderNodes) == WaveNodeCount && CountOf(CaptureNodes) == WaveNodeCount,
              "one descriptor per wave node");

// ---- Connections --------------------------------------------------------------
//
//  render:   streaming pin 0 --> [in 1  DAC  out 0] --> pin 1 bridge
//  capture:  bridge pin 1    --> [in 1  ADC  out 0] --> pin 0 streaming

const PCCONNECTION_DESCRIPTOR RenderConnections[] = {
    // FromNode, FromNodePin, ToNode, ToNodePin
    {PCFILTER_NODE, WavePinStreaming, WaveNodeConverter, NodeInput},
    {WaveNodeConverter, NodeOutput, PCFILTER_NODE, WavePinBridge},
};

const PCCONNECTION_DESCRIPTOR CaptureConnections[] = {
    // FromNode, FromNodePin, ToNode, ToNodePin
    {PCFILTER_NODE, WavePinBridge, WaveNodeConverter, NodeInput},
    {WaveNodeConverter, NodeOutput, PCFILTER_NODE, WavePinStreaming},
};

// ---- Categories -----------------------------------------------------------------

const GUID RenderCategories[] = {
    {STATICGUIDOF(KSCATEGORY_AUDIO)},
    {STATICGUIDOF(KSCATEGORY_RENDER)},
    {STATICGUIDOF(KSCATEGORY_REALTIME)},
};

const GUID CaptureCategories[] = {
    {STATICGUIDOF(KSCATEGORY_AUDIO)},
    {STATICGUIDOF(KSCATEGORY_CAPTURE)},
    {STATICGUIDOF(KSCATEGORY_REALTIME)},
};

constexpr PCFILTER_DESCRIPTOR Filter(const PCPIN_DESCRIPTOR (&pins)[WavePinCount],
                                     const PCNODE_DESCRIPTOR (&nodes)[WaveNodeCount],
                                     const PCCONNECTION_DESCRIPTOR (&connections)[2], const GUID (&categories)[3])
{
    return {
        0,                        // Version
        &FilterAutomation,        // AutomationTable
        sizeof(PCPIN_DESCRIPTOR), // PinSize
        WavePinCount,             // PinCount
        pins,                     // Pins
        sizeof(PCNODE_DESCRIPTOR), // NodeSize
        WaveNodeCount,            // NodeCount
        nodes,                    // Nodes
        CountOf(connections),     // ConnectionCount
        connections,              // Connections
        CountOf(categories),      // CategoryCount
        categories,               // Categories
    };
}

} // namespace

const PCFILTER_DESCRIPTOR WaveRenderFilter = Filter(RenderPins, RenderNodes, RenderConnections, RenderCategories);
const PCFILTER_DESCRIPTOR WaveCaptureFilter = Filter(CapturePins, CaptureNodes, CaptureConnections, CaptureCategories);
