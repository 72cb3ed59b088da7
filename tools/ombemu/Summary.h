// The end of an ombemu run: per direction what was played and received,
// whether it arrived exact, the glitches the engine counted, the latency
// from one side to the other and the notification jitter; as a table for
// people or one JSON object.
#pragma once

#include "Delivery.h"

#include <StreamReport.h>
#include <ombapi.h>
#include <stdio.h>

#include <string>

namespace ombemu_tool {

struct DirectionSummary {
    const char *name = "";     // "render", "capture"
    const char *from = "", *to = "";
    std::string source;        // what was played
    std::string file;          // where the receiving side's frames went ("" none)
    uint64_t played = 0;       // frames of the source sent
    DeliveryResult delivery;
    bool exact = false;
    std::string problem;
    bool latencyKnown = false;
    double latencyMs = 0;
    engine::StreamReport engine; // the engine's stream on this endpoint
    OmbHostStats host{};         // the host on this side's pipe
};

struct RunSummary {
    std::string clock;  // "virtual", "real"
    double seconds = 0; // machine time run
    bool interrupted = false;
    std::string format; // the pipes' format, "48000/16(2)/2(3)"
    DirectionSummary render, capture;
    bool leak = false;
};

void PrintTable(FILE *out, const RunSummary &summary);
void PrintJson(FILE *out, const RunSummary &summary);

} // namespace ombemu_tool
