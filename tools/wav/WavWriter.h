// Writing a WAV file so that it is valid at every moment: each Write brings
// the header's sizes up to date before it returns, so a file cut by a crash
// or a kill holds every frame the header counts.
#pragma once

#include <stdint.h>
#include <stdio.h>
#include <string>
#include "WavFormat.h"

namespace wav {

// How the format chunk is written. Auto writes WAVE_FORMAT_EXTENSIBLE for
// more than two channels, integer samples of more than 16 bits, valid bits
// short of the container or a speaker mask other than mono's or stereo's,
// and the plain PCM or float chunk otherwise, as Windows does. Plain refuses
// the last two, which only an extensible chunk can say.
enum class Layout { Auto, Plain, Extensible };

class Writer {
public:
    // The most sample data a RIFF file's 32-bit sizes can count.
    static constexpr uint64_t MaxDataBytes = 0xFFFFFFFFull - 128;

    // dataLimit: at most this many bytes of sample data (tests use less).
    explicit Writer(uint64_t dataLimit = MaxDataBytes) : dataLimit(dataLimit < MaxDataBytes ? dataLimit : MaxDataBytes) {}
    // Finishes the file as Close does, if it is still open.
    ~Writer();
    Writer(const Writer &) = delete;
    Writer &operator=(const Writer &) = delete;

    // Creates (or replaces) the file with the header of no frames. Plain
    // cannot carry every format (see Layout); it is refused for those.
    bool Create(const char *path, const Format &format, Layout layout, std::string &error);
    // Appends whole frames, as the format lays them out. When the file is
    // full it takes what fits and fails.
    bool Write(const void *frames, size_t count, std::string &error);
    // Pads the data to an even length, updates the header and closes.
    bool Close(std::string &error);

    bool IsOpen() const { return file != nullptr; }
    bool IsExtensible() const { return extensible; }
    const Format &GetFormat() const { return format; }
    uint64_t FramesWritten() const { return dataBytes / format.FrameBytes(); }
    // Frames that still fit.
    uint64_t FramesLeft() const { return (dataLimit - dataBytes) / format.FrameBytes(); }

private:
    bool UpdateHeader(bool padded, std::string &error);
    bool Fail(const char *what, std::string &error);

    const uint64_t dataLimit;
    FILE *file = nullptr;
    std::string path;
    Format format;
    bool extensible = false;
    uint32_t headerBytes = 0;    // everything before the sample data
    uint32_t factOffset = 0;     // the fact chunk's frame count, 0 without one
    uint32_t dataSizeOffset = 0; // the data chunk's size field
    uint64_t dataBytes = 0;
};

} // namespace wav
