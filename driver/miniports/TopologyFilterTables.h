/* The topology filters of the two endpoints as constant descriptors: a jack
   pin, a bridge pin to the wave filter and a peak-meter node between them. */
#pragma once

#include "FilterNumbers.h"

extern const PCFILTER_DESCRIPTOR TopologyRenderFilter;
extern const PCFILTER_DESCRIPTOR TopologyCaptureFilter;
