/* Descriptor pieces both kinds of filter share: the bridge pins' data range
   and the automation table of everything that only reports where it runs. */
#pragma once

#include "PortClsHeaders.h"

// Analogue audio between two filters of one endpoint.
extern const PKSDATARANGE BridgeDataRanges[1];

// The CPU-resources property (get and basic support) alone: bridge pins and
// nodes without controls.
extern const PCAUTOMATION_TABLE CpuResourcesAutomation;

// Counts of a constant array, for the descriptor tables.
template <typename T, ULONG N>
constexpr ULONG CountOf(const T (&)[N])
{
    return N;
}

// An automation table of properties and, optionally, events; no methods.
template <ULONG P>
constexpr PCAUTOMATION_TABLE AutomationTable(const PCPROPERTY_ITEM (&properties)[P])
{
    return {sizeof(PCPROPERTY_ITEM), P, properties, sizeof(PCMETHOD_ITEM), 0, nullptr,
            sizeof(PCEVENT_ITEM),    0, nullptr,    0};
}

template <ULONG P, ULONG E>
constexpr PCAUTOMATION_TABLE AutomationTable(const PCPROPERTY_ITEM (&properties)[P], const PCEVENT_ITEM (&events)[E])
{
    return {sizeof(PCPROPERTY_ITEM), P, properties, sizeof(PCMETHOD_ITEM), 0, nullptr,
            sizeof(PCEVENT_ITEM),    E, events,     0};
}

// One pin: no interfaces, mediums, name or constrained ranges; at most
// maxInstances at once, none required.
constexpr PCPIN_DESCRIPTOR PinDescriptor(ULONG maxInstances, const PCAUTOMATION_TABLE *automation,
                                         ULONG rangeCount, const PKSDATARANGE *ranges, KSPIN_DATAFLOW flow,
                                         KSPIN_COMMUNICATION communication, const GUID *category)
{
    return {
        maxInstances, // MaxGlobalInstanceCount
        maxInstances, // MaxFilterInstanceCount
        0,            // MinFilterInstanceCount
        automation,   // AutomationTable
        {
            0, nullptr,         // Interfaces
            0, nullptr,         // Mediums
            rangeCount, ranges, // DataRanges
            flow,               // DataFlow
            communication,      // Communication
            category,           // Category
            nullptr,            // Name
            {0},                // no constrained ranges
        },
    };
}

