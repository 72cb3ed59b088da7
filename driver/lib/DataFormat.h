/* Audio data formats: parsing kernel-streaming data-format blocks into a
   format record (laid out as WAVEFORMATEXTENSIBLE), checking records against
   consistency and the driver's limits, and building records and blocks. */
#pragma once

#include "KsHeaders.h"

namespace Mosaik {

// ParseKsDataFormat options.
constexpr ULONG IgnoreAttributeList = 0x1;

// Size of the block BuildKsDataFormat writes.
constexpr ULONG KsDataFormatBlockSize = sizeof(KSDATAFORMAT_WAVEFORMATEXTENSIBLE); // 104

// Parses `block` into `record` (which the caller has cleared). blockSize is
// the bytes available at `block`, 0 when unknown (the caller then vouches for
// FormatSize bytes and any attribute list). `mode`, when present, receives the
// signal-processing mode (GUID_NULL without an attribute list). Diagnostics go
// to the optional message buffer of MessageCapacity characters.
NTSTATUS ParseKsDataFormat(WAVEFORMATEXTENSIBLE *record, const KSDATAFORMAT *block, ULONG blockSize, GUID *mode,
                           ULONG options, WCHAR *message);

bool IsValidFormat(const WAVEFORMATEXTENSIBLE &record);
bool IsSupportedFormat(const WAVEFORMATEXTENSIBLE &record);
bool IsPcmOrFloat(const WAVEFORMATEXTENSIBLE &record);
bool IsBasicFormat(const WAVEFORMATEXTENSIBLE &record);
bool IsExtensibleFormat(const WAVEFORMATEXTENSIBLE &record);
bool IsFormatIdentified(const WAVEFORMATEXTENSIBLE &record);
GUID GetFormatSubtype(const WAVEFORMATEXTENSIBLE &record);

// The standard speaker mask for a channel count (0 where there is none).
ULONG DefaultChannelMask(ULONG channels);

// Turns a parsed, supported basic record into its extensible form.
void MakeExtensible(WAVEFORMATEXTENSIBLE *record);

// containerBytes 0 derives it from validBits; channelMask 0xFFFFFFFF asks for
// the standard mask. The record is written only on success.
constexpr ULONG StandardChannelMask = 0xFFFFFFFF;
bool BuildFormat(WAVEFORMATEXTENSIBLE *record, ULONG rate, ULONG validBits, ULONG channels, ULONG containerBytes,
                 ULONG channelMask, bool forceExtensible, bool floatingPoint);
bool BuildBasicFormat(WAVEFORMATEXTENSIBLE *record, ULONG rate, ULONG bits, ULONG channels, bool floatingPoint);

// Writes a KSDATAFORMAT_WAVEFORMATEX block (always KsDataFormatBlockSize
// bytes) and returns its FormatSize.
ULONG BuildKsDataFormat(const WAVEFORMATEXTENSIBLE &record, KSDATAFORMAT_WAVEFORMATEXTENSIBLE *block);

UCHAR SilenceByte(const WAVEFORMATEXTENSIBLE &record);
bool InRange(ULONG value, ULONG low, ULONG high);

} // namespace Mosaik
