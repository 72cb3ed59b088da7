// Reading a WAV file: the format (plain PCM, IEEE float or
// WAVE_FORMAT_EXTENSIBLE of either) and then its frames, in order, as stored.
#pragma once

#include <stdint.h>
#include <stdio.h>
#include <optional>
#include <string>
#include "WavFormat.h"

namespace wav {

class Reader {
public:
    Reader() = default;
    ~Reader();
    Reader(const Reader &) = delete;
    Reader &operator=(const Reader &) = delete;

    // Opens the file and reads up to its sample data. False, with the reason
    // in `error` (without the file's name), for a file that cannot be opened
    // or is not a WAV file this library reads.
    bool Open(const char *path, std::string &error);
    void Close();

    const Format &GetFormat() const { return format; }
    // Whether the format came as WAVE_FORMAT_EXTENSIBLE.
    bool IsExtensible() const { return extensible; }
    // The frames the data chunk holds; none when its size was left open (a
    // streaming writer's 0 or 0xFFFFFFFF), and the data runs to the end.
    std::optional<uint64_t> Frames() const { return frames; }

    // Reads up to `count` frames into `out` (count x FrameBytes bytes), as
    // stored. Fewer at the end of the data; 0 after it or on a read error.
    size_t Read(void *out, size_t count);
    // The file ended before the frames its data chunk announced.
    bool IsTruncated() const { return truncated; }
    bool HasReadError() const { return readError; }
    uint64_t FramesRead() const { return framesRead; }

private:
    bool ReadHeader(std::string &error);
    bool ParseFormat(const uint8_t *chunk, uint32_t size, std::string &error);
    bool Skip(uint64_t bytes);

    FILE *file = nullptr;
    Format format;
    bool extensible = false;
    std::optional<uint64_t> frames;
    uint64_t framesRead = 0;
    bool truncated = false;
    bool readError = false;
};

} // namespace wav
