// What the engine tells about an audio endpoint: a jack and the streaming
// pin it leads to, its state and its format.
#pragma once

#include "WavFormat.h"

#include <stdint.h>
#include <string>

namespace engine {

enum class Direction { Render, Capture };

// As Windows shows endpoints: Active (a path to a streaming pin and the jack
// connected), Unplugged (the path is there, the jack says nothing is
// plugged in), NotPresent (no path: the streaming filter has gone).
enum class EndpointState { Active, Unplugged, NotPresent };

const char *DirectionName(Direction direction);
const char *EndpointStateName(EndpointState state);

struct EndpointInfo {
    std::wstring id;          // the jack's filter (interface class left out) and pin: "...\topo#1"
    std::wstring name;        // from the jack's category: "Speakers", "Microphone", ...
    Direction direction = Direction::Render;
    EndpointState state = EndpointState::NotPresent;
    bool formatKnown = false; // the streaming pin gave a format the engine streams
    wav::Format format;
    bool proposedFormat = false; // it came from the pin's proposed format (else from its data ranges)
    std::wstring waveFilter;     // the streaming pin's filter, and the pin
    uint32_t streamingPin = 0;
    std::wstring jackFilter;
    uint32_t jackPin = 0;
    bool jackDescribed = false; // the jack answered its description
    bool presenceDetect = true; // its IsConnected means something
    uint32_t openStreams = 0;
    uint32_t formatChanges = 0; // format-change events that changed the format
    uint32_t jackChanges = 0;   // jack-information-change events seen
};

} // namespace engine
