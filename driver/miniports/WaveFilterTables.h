/* The WaveRT filters of the two endpoints as constant descriptors: one
   streaming pin whose static range covers every format the driver can take,
   one bridge pin, one converter node. */
#pragma once

#include "FilterNumbers.h"

extern const PCFILTER_DESCRIPTOR WaveRenderFilter;
extern const PCFILTER_DESCRIPTOR WaveCaptureFilter;

// The static range of the streaming pin, which PortCls matches a new pin's
// format against; what the pin reports is the endpoint's current format.
extern const KSDATARANGE_AUDIO WaveStreamingRange;
