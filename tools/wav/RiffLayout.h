// The RIFF/WAVE layout the reader and the writer share: chunk identifiers,
// format tags, the sub-format GUID of WAVE_FORMAT_EXTENSIBLE and
// little-endian field access.
#pragma once

#include <stdint.h>
#include <string.h>

namespace wav::riff {

constexpr char Riff[4] = {'R', 'I', 'F', 'F'};
constexpr char Wave[4] = {'W', 'A', 'V', 'E'};
constexpr char FormatChunk[4] = {'f', 'm', 't', ' '};
constexpr char FactChunk[4] = {'f', 'a', 'c', 't'};
constexpr char DataChunk[4] = {'d', 'a', 't', 'a'};
constexpr char Rf64[4] = {'R', 'F', '6', '4'};

constexpr uint16_t TagPcm = 1;
constexpr uint16_t TagFloat = 3;
constexpr uint16_t TagExtensible = 0xFFFE;

constexpr uint32_t ChunkHeaderBytes = 8;
constexpr uint32_t PlainFormatBytes = 16;      // WAVEFORMAT with wBitsPerSample
constexpr uint32_t FormatWithSizeBytes = 18;   // WAVEFORMATEX, cbSize 0
constexpr uint32_t ExtensibleFormatBytes = 40; // WAVEFORMATEXTENSIBLE, cbSize 22
constexpr uint16_t ExtensionBytes = 22;

// The sub-format GUID is the format tag in its first two bytes followed by
// these 14 (KSDATAFORMAT_SUBTYPE_PCM and _IEEE_FLOAT share them).
constexpr uint8_t SubFormatTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                       0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

// A data chunk size some streaming writers leave when they cannot seek back:
// the data runs to the end of the file.
constexpr uint32_t UnknownSize = 0xFFFFFFFF;

inline uint16_t Get16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
inline uint32_t Get32(const uint8_t *p) { return static_cast<uint32_t>(Get16(p)) | static_cast<uint32_t>(Get16(p + 2)) << 16; }
inline void Put16(uint8_t *p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void Put32(uint8_t *p, uint32_t v)
{
    Put16(p, static_cast<uint16_t>(v));
    Put16(p + 2, static_cast<uint16_t>(v >> 16));
}
inline bool IsId(const uint8_t *p, const char (&id)[4]) { return memcmp(p, id, 4) == 0; }

} // namespace wav::riff
