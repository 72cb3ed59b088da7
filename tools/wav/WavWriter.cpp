// Writing WAV files with a header that is current after every write.
#include "WavWriter.h"

#include <errno.h>
#include <string.h>
#include "RiffLayout.h"

namespace wav {

namespace {

// The mask a plain format chunk implies: mono in front, stereo left and right,
// and for more channels none.
uint32_t ImpliedMask(uint16_t channels)
{
    return channels == 1 ? 0x4 : channels == 2 ? 0x3 : 0;
}

// What only an extensible chunk can say: valid bits short of the container
// and a speaker mask of its own.
bool PlainCanSay(const Format &format)
{
    return format.validBits == format.containerBits &&
           (format.channelMask == 0 || format.channelMask == ImpliedMask(format.channels));
}

// Windows writes more than two channels or more than 16 bits extensible.
bool WantsExtensible(const Format &format)
{
    return !PlainCanSay(format) || format.channels > 2 ||
           (format.encoding == Encoding::Pcm && format.containerBits > 16);
}

} // namespace

Writer::~Writer()
{
    std::string ignored;
    if (file != nullptr)
        Close(ignored);
}

bool Writer::Fail(const char *what, std::string &error)
{
    error = std::string(what) + " " + path + ": " + strerror(errno);
    return false;
}

bool Writer::Create(const char *name, const Format &wanted, Layout layout, std::string &error)
{
    if (file != nullptr && !Close(error))
        return false;
    if (const char *problem = Problem(wanted)) {
        error = problem;
        return false;
    }
    if (layout == Layout::Plain && !PlainCanSay(wanted)) {
        error = "a plain format chunk cannot describe " + Describe(wanted);
        return false;
    }
    format = wanted;
    path = name;
    dataBytes = 0;
    extensible = layout == Layout::Extensible || (layout == Layout::Auto && WantsExtensible(wanted));
    const bool isFloat = format.encoding == Encoding::Float;

    // RIFF head, format chunk, the fact chunk (float samples need one), data head.
    uint8_t header[12 + 8 + riff::ExtensibleFormatBytes + 12 + 8] = {};
    uint8_t *p = header;
    memcpy(p, riff::Riff, 4);
    memcpy(p + 8, riff::Wave, 4);
    p += 12;
    const uint32_t formatBytes = extensible ? riff::ExtensibleFormatBytes
                                            : (isFloat ? riff::FormatWithSizeBytes : riff::PlainFormatBytes);
    memcpy(p, riff::FormatChunk, 4);
    riff::Put32(p + 4, formatBytes);
    uint8_t *fmt = p + 8;
    const uint16_t tag = isFloat ? riff::TagFloat : riff::TagPcm;
    riff::Put16(fmt, extensible ? riff::TagExtensible : tag);
    riff::Put16(fmt + 2, format.channels);
    riff::Put32(fmt + 4, format.sampleRate);
    riff::Put32(fmt + 8, format.sampleRate * format.FrameBytes());
    riff::Put16(fmt + 12, static_cast<uint16_t>(format.FrameBytes()));
    riff::Put16(fmt + 14, format.containerBits);
    if (extensible) {
        riff::Put16(fmt + 16, riff::ExtensionBytes);
        riff::Put16(fmt + 18, format.validBits);
        riff::Put32(fmt + 20, format.channelMask);
        riff::Put16(fmt + 24, tag);
        memcpy(fmt + 26, riff::SubFormatTail, sizeof riff::SubFormatTail);
    }
    p = fmt + formatBytes;
    factOffset = 0;
    if (isFloat) {
        memcpy(p, riff::FactChunk, 4);
        riff::Put32(p + 4, 4);
        factOffset = static_cast<uint32_t>(p + 8 - header);
        p += 12;
    }
    memcpy(p, riff::DataChunk, 4);
    dataSizeOffset = static_cast<uint32_t>(p + 4 - header);
    headerBytes = static_cast<uint32_t>(p + 8 - header);
    riff::Put32(header + 4, headerBytes - riff::ChunkHeaderBytes);

    file = fopen(name, "wb");
    if (file == nullptr)
        return Fail("cannot create", error);
    if (fwrite(header, 1, headerBytes, file) != headerBytes || fflush(file) != 0) {
        fclose(file);
        file = nullptr;
        return Fail("cannot write", error);
    }
    return true;
}

bool Writer::Write(const void *frames, size_t count, std::string &error)
{
    if (file == nullptr) {
        error = "the WAV file is not open";
        return false;
    }
    const uint64_t left = FramesLeft();
    const bool full = count > left;
    if (full)
        count = static_cast<size_t>(left);
    const size_t bytes = count * format.FrameBytes();
    if (bytes != 0) {
        const size_t written = fwrite(frames, 1, bytes, file);
        dataBytes += written - written % format.FrameBytes();
        if (written != bytes) {
            UpdateHeader(false, error);
            return Fail("cannot write to", error);
        }
    }
    if (!UpdateHeader(false, error))
        return false;
    if (full) {
        error = path + " is full: a WAV file holds at most 4 GiB";
        return false;
    }
    return true;
}

// The sizes are written after the samples they count, so whatever reaches
// the disk first, the header never counts more than the file holds.
bool Writer::UpdateHeader(bool padded, std::string &error)
{
    const uint64_t pad = padded ? (dataBytes & 1u) : 0;
    uint8_t field[4];
    riff::Put32(field, static_cast<uint32_t>(headerBytes - riff::ChunkHeaderBytes + dataBytes + pad));
    bool ok = fflush(file) == 0 && fseek(file, 4, SEEK_SET) == 0 && fwrite(field, 1, 4, file) == 4;
    if (ok && factOffset != 0) {
        riff::Put32(field, static_cast<uint32_t>(FramesWritten()));
        ok = fseek(file, factOffset, SEEK_SET) == 0 && fwrite(field, 1, 4, file) == 4;
    }
    riff::Put32(field, static_cast<uint32_t>(dataBytes));
    ok = ok && fseek(file, dataSizeOffset, SEEK_SET) == 0 && fwrite(field, 1, 4, file) == 4;
    ok = ok && fseek(file, 0, SEEK_END) == 0 && fflush(file) == 0;
    return ok || Fail("cannot update the header of", error);
}

bool Writer::Close(std::string &error)
{
    if (file == nullptr)
        return true;
    bool ok = true;
    if ((dataBytes & 1u) != 0) {
        const uint8_t zero = 0;
        ok = fwrite(&zero, 1, 1, file) == 1 || Fail("cannot write to", error);
    }
    ok = UpdateHeader(ok, error) && ok;
    if (fclose(file) != 0 && ok)
        ok = Fail("cannot close", error);
    file = nullptr;
    return ok;
}

} // namespace wav
