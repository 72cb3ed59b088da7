// The descriptor pieces both kinds of filter share.
#include "CommonTables.h"
#include "PropertyReplies.h"

namespace {

const KSDATARANGE BridgeRange = {{
    sizeof(KSDATARANGE),                        // FormatSize
    0,                                          // Flags
    0,                                          // SampleSize
    0,                                          // Reserved
    {STATICGUIDOF(KSDATAFORMAT_TYPE_AUDIO)},    // MajorFormat
    {STATICGUIDOF(KSDATAFORMAT_SUBTYPE_ANALOG)}, // SubFormat
    {STATICGUIDOF(KSDATAFORMAT_SPECIFIER_NONE)}, // Specifier
}};

const PCPROPERTY_ITEM CpuResourcesProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_CPU_RESOURCES, KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_BASICSUPPORT,
     PropertyHandlerCpuResources},
};

} // namespace

// PortCls only reads through these pointers; the ranges stay constant data.
const PKSDATARANGE BridgeDataRanges[1] = {const_cast<PKSDATARANGE>(&BridgeRange)};

constinit const PCAUTOMATION_TABLE CpuResourcesAutomation = AutomationTable(CpuResourcesProperties);
