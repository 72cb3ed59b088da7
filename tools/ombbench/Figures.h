// What one run of ombbench measured: every figure the table, the JSON and
// the plot show. Times in microseconds unless a name says otherwise.
#pragma once

#include <stdint.h>
#include <string>
#include <vector>
#include "Distribution.h"

namespace ombbench {

// 1. A host's position notification to the engine's thread leaving its wait,
// beside a bare chain of two cross-thread futex wakes.
struct NotifyFigures {
    bool measured = false;
    Distribution latency, baseline;
    // Where the time goes: request to the driver's wake of its worker, the
    // worker's wake and update to the engine's event, that event to the wake.
    Distribution toDriver, inWorker, toEngine;
    std::vector<double> latencyUs, baselineUs; // every sample, for the plot
};

// 2. CPU time of a host tick without TransferData, allocations per tick,
// beside one bare DeviceIoControl round trip.
struct HostTickFigures {
    bool measured = false;
    Distribution tick;
    double allocationsPerTick = 0;         // the host library's and the driver's (kernel pool)
    double platformAllocationsPerTick = 0; // inside the platform's DeviceIoControl
    double ioctlRoundTripUs = 0;
    uint64_t ioctlIterations = 0;
    double clockReadUs = 0; // one CPU-time reading, subtracted from the tick
};

// 3. Frames handed out against elapsed time x rate.
struct ClockCase {
    uint32_t rate = 0;
    unsigned tickMs = 0;
    uint64_t frames = 0;
    double maxDeviationFrames = 0;
};
struct ClockFigures {
    bool measured = false;
    double virtualSeconds = 0; // per case
    std::vector<ClockCase> cases;
    double maxDeviationFrames = 0;
    double realSeconds = 0;
    uint64_t realFrames = 0;
    double realTimePpm = 0;
    uint64_t realLongestStallUs = 0; // the most a tick came after its period
};

// 4. The smallest engine buffer that loops back glitch-free.
struct GlitchTry {
    uint32_t bufferFrames = 0;
    uint64_t underruns = 0, overruns = 0;
    bool exact = false;
};
struct GlitchFigures {
    bool measured = false;
    double secondsPerSize = 0;
    uint32_t smallestBufferFrames = 0; // 0: none of the sizes tried
    uint32_t periodFrames = 0;
    double latencyRenderMs = 0, latencyCaptureMs = 0;
    std::vector<GlitchTry> tried;
};

// 5. Tick and notification cost at the largest format against the common one.
struct ScaleCase {
    std::string name;
    Distribution tick;   // without TransferData
    Distribution copy;   // TransferData: the host's copy
    Distribution notify; // notification to the engine's wake
};
struct ScaleFigures {
    bool measured = false;
    ScaleCase small, large; // 2 x 48 kHz x 16, 8 x 384 kHz x 32
};

struct Figures {
    NotifyFigures notify;
    HostTickFigures hostTick;
    ClockFigures clock;
    GlitchFigures glitchFree;
    ScaleFigures scale;
};

} // namespace ombbench
