// What each side plays: a WAV file, a tone, the engine's test signal, or the
// demo's sequence (the test signal, then a tone). A source is made twice:
// once to play, once as the reference what arrives is compared with.
#pragma once

#include <Media.h>

#include <memory>
#include <string>

namespace ombemu_tool {

struct PlayedSource {
    enum class Kind { Demo, File, Tone, Signal } kind = Kind::Demo;
    std::string path; // File
    double hertz = 0; // Tone; the demo's tone
};

// One line for the summary: "test signal", "tone 440 Hz", "file a.wav".
std::string Describe(const PlayedSource &source);

// A new source as the source says; null with the reason for a file that
// cannot be read.
std::shared_ptr<engine::Source> MakeSource(const PlayedSource &source, std::string &error);

// The demo's test signal lasts this long before its tone begins.
constexpr uint32_t DemoSignalMs = 1000;

} // namespace ombemu_tool
