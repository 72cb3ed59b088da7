// Pins, the peak-meter node, connections, categories and automation tables
// of the two topology filters.
#include "TopologyFilterTables.h"
#include "CommonTables.h"
#include "PropertyReplies.h"
#include "TopologyMiniport.h"

namespace {

// ---- Automation -------------------------------------------------------------

const PCPROPERTY_ITEM FilterProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_CPU_RESOURCES, KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_BASICSUPPORT,
     PropertyHandlerCpuResources},
    {&KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION, KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_BASICSUPPORT,
     TopologyMiniport::PropertyJackDescription},
};

const PCEVENT_ITEM FilterEvents[] = {
    {&KSEVENTSETID_PinCapsChange, KSEVENT_PINCAPS_JACKINFOCHANGE, KSEVENT_TYPE_ENABLE | KSEVENT_TYPE_BASICSUPPORT,
     TopologyMiniport::EventJackInfoChange},
};

constinit const PCAUTOMATION_TABLE FilterAutomation = AutomationTable(FilterProperties, FilterEvents);

// ---- Pins -------------------------------------------------------------------

// Every pin is a bridge: never instantiated, analogue audio, CPU resources.
constexpr PCPIN_DESCRIPTOR BridgePin(KSPIN_DATAFLOW flow, const GUID *category)
{
    return PinDescriptor(0, &CpuResourcesAutomation, CountOf(BridgeDataRanges), BridgeDataRanges, flow,
                         KSPIN_COMMUNICATION_NONE, category);
}

const PCPIN_DESCRIPTOR RenderPins[] = {
    /* TopologyRenderJack */ BridgePin(KSPIN_DATAFLOW_OUT, &KSNODETYPE_SPEAKER),
    /* TopologyRenderBridge */ BridgePin(KSPIN_DATAFLOW_IN, &KSCATEGORY_AUDIO),
};
static_assert(CountOf(RenderPins) == TopologyRenderPinCount, "one descriptor per render topology pin");

const PCPIN_DESCRIPTOR CapturePins[] = {
    /* TopologyCaptureBridge */ BridgePin(KSPIN_DATAFLOW_OUT, &KSCATEGORY_AUDIO),
    /* TopologyCaptureJack */ BridgePin(KSPIN_DATAFLOW_IN, &KSNODETYPE_MICROPHONE),
};
static_assert(CountOf(CapturePins) == TopologyCapturePinCount, "one descriptor per capture topology pin");

// ---- Node -------------------------------------------------------------------

const PCNODE_DESCRIPTOR Nodes[] = {
    // Flags, AutomationTable, Type, Name
    /* TopologyNodePeakMeter */ {0, &CpuResourcesAutomation, &KSNODETYPE_PEAKMETER, &KSAUDFNAME_PEAKMETER},
};
static_assert(CountOf(Nodes) == TopologyNodeCount, "one descriptor per topology node");

// ---- Connections --------------------------------------------------------------
//
//  render:   bridge pin 1 --> [in 1  peak meter  out 0] --> pin 0 speaker jack
//  capture:  mic jack pin 1 --> [in 1  peak meter  out 0] --> pin 0 bridge

static_assert(ULONG{TopologyRenderBridge} == ULONG{TopologyCaptureJack} &&
                  ULONG{TopologyRenderJack} == ULONG{TopologyCaptureBridge},
              "both filters run from pin 1 to pin 0 and share their connections");

const PCCONNECTION_DESCRIPTOR Connections[] = {
    // FromNode, FromNodePin, ToNode, ToNodePin
    {PCFILTER_NODE, TopologyRenderBridge, TopologyNodePeakMeter, NodeInput},
    {TopologyNodePeakMeter, NodeOutput, PCFILTER_NODE, TopologyRenderJack},
};

// ---- Categories -----------------------------------------------------------------

const GUID Categories[] = {
    {STATICGUIDOF(KSCATEGORY_AUDIO)},
    {STATICGUIDOF(KSCATEGORY_TOPOLOGY)},
};

constexpr PCFILTER_DESCRIPTOR Filter(const PCPIN_DESCRIPTOR (&pins)[2])
{
    return {
        0,                         // Version
        &FilterAutomation,         // AutomationTable
        sizeof(PCPIN_DESCRIPTOR),  // PinSize
        CountOf(pins),             // PinCount
        pins,                      // Pins
        sizeof(PCNODE_DESCRIPTOR), // NodeSize
        CountOf(Nodes),            // NodeCount
        Nodes,                     // Nodes
        CountOf(Connections),      // ConnectionCount
        Connections,               // Connections
        CountOf(Categories),       // CategoryCount
        Categories,                // Categories
    };
}

} // namespace

const PCFILTER_DESCRIPTOR TopologyRenderFilter = Filter(RenderPins);
const PCFILTER_DESCRIPTOR TopologyCaptureFilter = Filter(CapturePins);
