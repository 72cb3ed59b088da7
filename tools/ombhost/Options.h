// ombhost's command line, parsed and checked.
#pragma once

#include <stdint.h>
#include <optional>
#include <string>
#include "ombapi.h"

namespace ombhost {

enum class Command { Info, Capture, Render };

struct Options {
    Command command = Command::Info;
    std::string file;          // capture: the WAV file to write; render: to play
    std::optional<double> toneHz; // render: a tone instead of a file
    // The pipe's format; unset: 48000 Hz, 16 bits, 2 channels for capture and
    // the tone, the file's own for render.
    std::optional<Ombrivo::WaveFormat> format;
    bool floatFile = false;    // capture: write 32-bit float samples
    unsigned tickMs = 10;
    unsigned bufferMs = 0;     // minimal buffer to ask for; 0: none
    std::optional<double> seconds; // how long to run; unset: until the end (render) or Ctrl-C
    int32_t trimPpb = 0;
    bool quiet = false;        // no progress line, no summary
};

// Parses argv. Returns the exit status to end with when the command line is
// all that runs (help, a bad option: the text is already written), nothing
// when the options are ready.
std::optional<int> Parse(int argc, const char *const *argv, Options &options, FILE *out, FILE *err);

} // namespace ombhost
