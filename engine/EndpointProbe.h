// Reading what an endpoint is now: whether its jack is connected, and the
// format its streaming pin offers.
#pragma once

#include "KsHeaders.h"
#include "WavFormat.h"

namespace engine {

struct JackState {
    bool described = false;     // the jack answered KSPROPERTY_JACK_DESCRIPTION
    bool presenceDetect = true; // IsConnected means something (KSJACK_DESCRIPTION2, when given)
    bool connected = true;      // some jack of the pin is connected, or presence is not detected
};

JackState ReadJack(HANDLE filter, ULONG pin);

// The proposed format (KSPROPERTY_PIN_PROPOSEDATAFORMAT, get) as the engine
// reads it for a driver that raises the format-change event; where the pin
// proposes none, one chosen from its data ranges. `proposed` tells which.
HRESULT ReadFormat(HANDLE filter, ULONG pin, wav::Format &format, bool &proposed);

} // namespace engine
