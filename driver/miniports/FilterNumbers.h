/* The pin and node numbers of the endpoints' filters, named once. The wave
   filter has the same numbering for both endpoints; the topology filters put
   their jack on opposite pins. */
#pragma once

#include "PortClsHeaders.h"

// A node's pins, as the connection tables name them.
enum NodePin : ULONG {
    NodeOutput = 0,
    NodeInput = 1
};

// WaveRT filter, render and capture.
enum WavePin : ULONG {
    WavePinStreaming = 0, // the pin the audio engine instantiates
    WavePinBridge = 1,    // towards the topology filter
    WavePinCount
};
enum WaveNode : ULONG {
    WaveNodeConverter = 0, // DAC (render) or ADC (capture)
    WaveNodeCount
};

// Topology filter of the render endpoint: audio comes in from the wave
// filter and leaves through the speaker jack.
enum TopologyRenderPin : ULONG {
    TopologyRenderJack = 0,
    TopologyRenderBridge = 1,
    TopologyRenderPinCount
};

// Topology filter of the capture endpoint: audio comes in at the microphone
// jack and leaves towards the wave filter.
enum TopologyCapturePin : ULONG {
    TopologyCaptureBridge = 0,
    TopologyCaptureJack = 1,
    TopologyCapturePinCount
};

enum TopologyNode : ULONG {
    TopologyNodePeakMeter = 0,
    TopologyNodeCount
};
