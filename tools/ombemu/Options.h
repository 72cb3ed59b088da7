// ombemu's command line, parsed and checked.
#pragma once

#include "Sources.h"

#include <StreamReport.h>
#include <ombapi.h>
#include <stdio.h>

#include <optional>
#include <string>

namespace ombemu_tool {

struct Options {
    std::optional<double> seconds;                  // unset: the files' length, or the demo's
    std::optional<Ombrivo::WaveFormat> format;      // unset: the files', or 48000,16,2,2
    unsigned tickMs = 10;                           // the hosts' tick
    bool realClock = false;
    engine::Mode mode = engine::Mode::Event;
    unsigned periodMs = 10;                         // the engine's period
    PlayedSource play{PlayedSource::Kind::Demo, {}, 440};     // what Windows applications play
    PlayedSource hostPlay{PlayedSource::Kind::Demo, {}, 660}; // what the render host sends
    std::string captureTo; // every frame the capture host receives
    std::string recordTo;  // every frame Windows applications record
    bool json = false;
};

// Parses argv. Returns the exit status to end with when the command line is
// all that runs (help, a bad option: the text is already written), nothing
// when the options are ready. A command line without any option is the
// demo, recording to captured.wav and recorded.wav.
std::optional<int> Parse(int argc, const char *const *argv, Options &options, FILE *out, FILE *err);

} // namespace ombemu_tool
