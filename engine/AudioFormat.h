// The engine's stream formats (wav::Format: rate, channels, container and
// valid bits, PCM or float, speaker mask) and the kernel-streaming data
// formats and ranges that pins give and take.
#pragma once

#include "KsHeaders.h"
#include "WavFormat.h"

#include <stdint.h>
#include <vector>

namespace engine {

// The pin-create format: always WAVEFORMATEXTENSIBLE, as the engine opens
// every WaveRT pin.
KSDATAFORMAT_WAVEFORMATEXTENSIBLE ToKsFormat(const wav::Format &format);

// Reads a KSDATAFORMAT of audio with a WAVEFORMATEX or WAVEFORMATEXTENSIBLE
// specifier; false for anything that is not integer PCM or 32-bit float the
// engine streams, or whose fields disagree (block alignment, valid bits).
bool FromKsFormat(const void *data, size_t size, wav::Format &format);

// The standard speaker mask for a channel count (mono front centre, stereo,
// quad, 5.1, 7.1), 0 for counts without one.
uint32_t DefaultChannelMask(uint16_t channels);

// When a pin proposes no format: from its first PCM range (else its first
// float range) the highest rate and bits and two channels if the range allows
// them (one otherwise), as PortCls's default intersection handler chooses;
// 24 bits go in 32-bit containers. False without an audio range.
bool FormatFromRanges(const std::vector<const KSDATARANGE *> &ranges, wav::Format &format);

// The byte a buffer of silence holds: 0x80 for 8-bit PCM, else 0.
uint8_t SilenceByte(const wav::Format &format);

} // namespace engine
