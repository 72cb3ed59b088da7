// Reading WAV files: the RIFF chunks up to the sample data, then the frames.
#include "WavReader.h"

#include <errno.h>
#include <string.h>
#include "RiffLayout.h"

namespace wav {

namespace {

// More than any format chunk this library reads (40 bytes); the rest is skipped.
constexpr uint32_t FormatBytesRead = 64;

} // namespace

Reader::~Reader() { Close(); }

void Reader::Close()
{
    if (file != nullptr)
        fclose(file);
    file = nullptr;
}

bool Reader::Open(const char *path, std::string &error)
{
    Close();
    format = {};
    extensible = false;
    frames.reset();
    framesRead = 0;
    truncated = false;
    readError = false;
    file = fopen(path, "rb");
    if (file == nullptr) {
        error = std::string("cannot be opened: ") + strerror(errno);
        return false;
    }
    if (!ReadHeader(error)) {
        Close();
        return false;
    }
    return true;
}

bool Reader::Skip(uint64_t bytes)
{
    // Reads instead of seeking: a seek offset is 32 bits on some C runtimes.
    uint8_t scrap[4096];
    while (bytes != 0) {
        const size_t n = bytes < sizeof scrap ? static_cast<size_t>(bytes) : sizeof scrap;
        if (fread(scrap, 1, n, file) != n)
            return false;
        bytes -= n;
    }
    return true;
}

bool Reader::ReadHeader(std::string &error)
{
    uint8_t head[12];
    if (fread(head, 1, sizeof head, file) != sizeof head || !riff::IsId(head + 8, riff::Wave) ||
        !(riff::IsId(head, riff::Riff) || riff::IsId(head, riff::Rf64))) {
        error = "not a RIFF WAVE file";
        return false;
    }
    if (riff::IsId(head, riff::Rf64)) {
        error = "RF64 files (WAV beyond 4 GiB) are not supported";
        return false;
    }
    bool haveFormat = false;
    for (;;) {
        uint8_t chunk[riff::ChunkHeaderBytes];
        if (fread(chunk, 1, sizeof chunk, file) != sizeof chunk) {
            error = haveFormat ? "the file has no data chunk" : "the file has no format chunk";
            return false;
        }
        const uint32_t size = riff::Get32(chunk + 4);
        if (riff::IsId(chunk, riff::DataChunk)) {
            if (!haveFormat) {
                error = "the data chunk comes before the format chunk";
                return false;
            }
            if (size != riff::UnknownSize)
                frames = size / format.FrameBytes();
            return true;
        }
        const uint64_t padded = size + (size & 1u);
        if (riff::IsId(chunk, riff::FormatChunk)) {
            uint8_t body[FormatBytesRead] = {};
            const uint32_t take = size < FormatBytesRead ? size : FormatBytesRead;
            if (fread(body, 1, take, file) != take) {
                error = "the format chunk is cut short";
                return false;
            }
            if (!ParseFormat(body, size, error))
                return false;
            haveFormat = true;
            if (!Skip(padded - take)) {
                error = "the file ends inside its format chunk";
                return false;
            }
        } else if (!Skip(padded)) {
            error = "the file ends inside a chunk before its data";
            return false;
        }
    }
}

bool Reader::ParseFormat(const uint8_t *chunk, uint32_t size, std::string &error)
{
    if (size < riff::PlainFormatBytes) {
        error = "the format chunk is too short";
        return false;
    }
    uint16_t tag = riff::Get16(chunk);
    const uint16_t channels = riff::Get16(chunk + 2);
    const uint32_t rate = riff::Get32(chunk + 4);
    const uint16_t blockAlign = riff::Get16(chunk + 12);
    const uint16_t bits = riff::Get16(chunk + 14);
    uint16_t validBits = bits;
    uint32_t mask = 0;
    if (tag == riff::TagExtensible) {
        if (size < riff::ExtensibleFormatBytes || riff::Get16(chunk + 16) < riff::ExtensionBytes) {
            error = "the extensible format chunk is too short";
            return false;
        }
        validBits = riff::Get16(chunk + 18);
        mask = riff::Get32(chunk + 20);
        tag = riff::Get16(chunk + 24);
        if (memcmp(chunk + 26, riff::SubFormatTail, sizeof riff::SubFormatTail) != 0) {
            error = "the extensible format's sub-format is neither PCM nor float";
            return false;
        }
        extensible = true;
    }
    if (tag != riff::TagPcm && tag != riff::TagFloat) {
        error = "the samples are neither PCM nor float (format tag " + std::to_string(tag) + ")";
        return false;
    }
    if (channels == 0 || blockAlign % channels != 0) {
        error = "the block alignment does not fit the channel count";
        return false;
    }
    format.encoding = tag == riff::TagFloat ? Encoding::Float : Encoding::Pcm;
    format.sampleRate = rate;
    format.channels = channels;
    // The container comes from the block alignment: a plain format chunk of a
    // 20-bit file says 20 bits in 3-byte containers.
    const uint32_t container = blockAlign / channels * 8u;
    format.containerBits = static_cast<uint16_t>(container <= 0xFFFF ? container : 0);
    format.validBits = validBits != 0 ? validBits : format.containerBits;
    format.channelMask = mask;
    if (format.encoding == Encoding::Float && bits != 32) {
        error = std::to_string(bits) + "-bit float samples are not supported";
        return false;
    }
    if (const char *problem = Problem(format)) {
        error = problem;
        return false;
    }
    return true;
}

size_t Reader::Read(void *out, size_t count)
{
    if (file == nullptr || readError)
        return 0;
    if (frames) {
        const uint64_t left = *frames - framesRead;
        if (count > left)
            count = static_cast<size_t>(left);
    }
    if (count == 0)
        return 0;
    const size_t frameBytes = format.FrameBytes();
    const size_t bytes = fread(out, 1, count * frameBytes, file);
    const size_t got = bytes / frameBytes;
    if (got < count) {
        if (ferror(file))
            readError = true;
        else if (frames)
            truncated = true;
    }
    framesRead += got;
    return got;
}

} // namespace wav
