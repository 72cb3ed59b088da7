// The endpoint builder's walk: from each jack (a bridge pin wired to no other
// filter, with a terminal category such as speaker or microphone) through
// the filter's connections and the physical connections between filters to
// the streaming pin a host connects to.
#pragma once

#include "Filters.h"

#include <vector>

namespace engine {

struct EndpointPath {
    size_t jackFilter = 0; // index into the filters walked
    ULONG jackPin = 0;
    bool complete = false; // a streaming pin was reached
    size_t streamFilter = 0;
    ULONG streamPin = 0;
    bool render = true;    // the streaming pin takes data in (else it gives data out)
};

// Every jack of every filter, with the streaming pin it leads to if any.
std::vector<EndpointPath> FindEndpointPaths(const std::vector<FilterDescription> &filters);

// Whether a pin is a jack: a bridge pin with no physical connection whose
// category names a terminal (not the generic audio category, not none).
bool IsJack(const PinDescription &pin);

} // namespace engine
