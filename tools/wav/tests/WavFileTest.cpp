// The WAV library on its own: every format written and read back, a header
// that is right after every write, files cut short or full, the files it
// refuses, and the sample conversions. Runs in both builds (under Wine too).
#include <gtest/gtest.h>
#include <math.h>
#include <stdio.h>
#include <string.h>
#include <string>
#include <vector>
#include "SampleConvert.h"
#include "WavReader.h"
#include "WavWriter.h"

using namespace wav;

namespace {

Format Pcm(uint32_t rate, uint16_t channels, uint16_t container, uint16_t valid, uint32_t mask = 0)
{
    return {Encoding::Pcm, rate, channels, container, valid, mask};
}

Format Float(uint32_t rate, uint16_t channels, uint32_t mask = 0)
{
    return {Encoding::Float, rate, channels, 32, 32, mask};
}

// Bytes that differ from frame to frame and from byte to byte.
std::vector<uint8_t> Pattern(size_t bytes, uint32_t seed)
{
    std::vector<uint8_t> data(bytes);
    uint32_t x = seed * 2654435761u + 1;
    for (uint8_t &b : data) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<uint8_t>(x >> 11);
    }
    return data;
}

// Valid bits short of the container leave the bits below them 0 in a file.
std::vector<uint8_t> Samples(const Format &format, size_t frames, uint32_t seed)
{
    std::vector<uint8_t> data = Pattern(frames * format.FrameBytes(), seed);
    if (format.encoding == Encoding::Float) {
        for (size_t i = 0; i < data.size(); i += 4) {
            const float f = (static_cast<float>(data[i] | data[i + 1] << 8) - 32768.0f) / 32768.0f;
            memcpy(&data[i], &f, 4);
        }
    } else {
        const Format full = Pcm(format.sampleRate, format.channels, format.containerBits, format.containerBits);
        std::vector<uint8_t> kept(data.size());
        Convert(full, data.data(), format, kept.data(), frames);
        data = kept;
    }
    return data;
}

std::vector<uint8_t> ReadAll(Reader &reader)
{
    std::vector<uint8_t> data;
    std::vector<uint8_t> chunk(1000 * reader.GetFormat().FrameBytes());
    while (size_t n = reader.Read(chunk.data(), 1000))
        data.insert(data.end(), chunk.begin(), chunk.begin() + n * reader.GetFormat().FrameBytes());
    return data;
}

std::vector<uint8_t> FileBytes(const std::string &path)
{
    std::vector<uint8_t> bytes;
    FILE *f = fopen(path.c_str(), "rb");
    if (f == nullptr)
        return bytes;
    uint8_t buf[4096];
    while (size_t n = fread(buf, 1, sizeof buf, f))
        bytes.insert(bytes.end(), buf, buf + n);
    fclose(f);
    return bytes;
}

void WriteBytes(const std::string &path, const std::vector<uint8_t> &bytes)
{
    FILE *f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
    fclose(f);
}

// A whole file of `data` in one write.
void WriteWav(const char *path, const Format &format, Layout layout, const std::vector<uint8_t> &data)
{
    std::string error;
    Writer writer;
    ASSERT_TRUE(writer.Create(path, format, layout, error)) << error;
    ASSERT_TRUE(writer.Write(data.data(), data.size() / format.FrameBytes(), error)) << error;
    ASSERT_TRUE(writer.Close(error)) << error;
}

uint32_t Field32(const std::vector<uint8_t> &bytes, size_t at)
{
    return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | static_cast<uint32_t>(bytes[at + 3]) << 24;
}

struct Case {
    Format format;
    Layout layout;
    bool extensible; // what the file must say
};

} // namespace

// Every format in every layout that can carry it: the frames and the format
// come back as written, and the chunk is the one the layout calls for.
TEST(WavFile, EveryFormatRoundTrips)
{
    const Case cases[] = {
        {Pcm(8000, 1, 8, 8), Layout::Auto, false},
        {Pcm(44100, 2, 16, 16), Layout::Auto, false},
        {Pcm(44100, 2, 16, 16, 0x3), Layout::Auto, false},
        {Pcm(48000, 2, 16, 16), Layout::Extensible, true},
        {Pcm(48000, 2, 24, 24, 0x3), Layout::Auto, true},
        {Pcm(48000, 2, 24, 24), Layout::Plain, false},
        {Pcm(96000, 2, 32, 32, 0x3), Layout::Auto, true},
        {Pcm(48000, 2, 32, 24, 0x3), Layout::Auto, true},
        {Pcm(48000, 1, 24, 20, 0x4), Layout::Auto, true},
        {Pcm(48000, 6, 16, 16, 0x60F), Layout::Auto, true},
        {Pcm(48000, 8, 32, 32, 0x63F), Layout::Auto, true},
        {Pcm(22050, 2, 16, 16, 0x30), Layout::Auto, true}, // back pair: a plain chunk cannot say so
        {Float(48000, 2), Layout::Auto, false},
        {Float(48000, 1, 0x4), Layout::Auto, false},
        {Float(48000, 6, 0x60F), Layout::Auto, true},
        {Float(32000, 2, 0x3), Layout::Extensible, true},
    };
    int index = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(Describe(c.format) + ", case " + std::to_string(index));
        const std::string path = "roundtrip" + std::to_string(index++) + ".wav";
        const size_t frames = 1237; // odd: 3-byte mono frames need the pad byte
        const std::vector<uint8_t> data = Samples(c.format, frames, index);
        std::string error;
        {
            Writer writer;
            ASSERT_TRUE(writer.Create(path.c_str(), c.format, c.layout, error)) << error;
            EXPECT_EQ(writer.IsExtensible(), c.extensible);
            // In uneven pieces, as a capture loop writes.
            size_t done = 0;
            for (size_t piece = 1; done < frames; piece = piece * 3 + 1) {
                const size_t n = piece < frames - done ? piece : frames - done;
                ASSERT_TRUE(writer.Write(&data[done * c.format.FrameBytes()], n, error)) << error;
                done += n;
            }
            EXPECT_EQ(writer.FramesWritten(), frames);
            ASSERT_TRUE(writer.Close(error)) << error;
        }
        const std::vector<uint8_t> file = FileBytes(path);
        ASSERT_GE(file.size(), 44u);
        EXPECT_EQ(file.size() % 2, 0u) << "chunks are padded to even lengths";
        EXPECT_EQ(Field32(file, 4), file.size() - 8) << "RIFF size";

        Reader reader;
        ASSERT_TRUE(reader.Open(path.c_str(), error)) << error;
        Format expected = c.format;
        if (!c.extensible)
            expected.channelMask = 0; // a plain chunk has no mask
        EXPECT_EQ(reader.GetFormat(), expected) << Describe(reader.GetFormat());
        EXPECT_EQ(reader.IsExtensible(), c.extensible);
        ASSERT_TRUE(reader.Frames().has_value());
        EXPECT_EQ(*reader.Frames(), frames);
        EXPECT_TRUE(ReadAll(reader) == data) << "the frames differ";
        EXPECT_FALSE(reader.IsTruncated());
        remove(path.c_str());
    }
}

TEST(WavFile, PlainLayoutRefusesWhatItCannotSay)
{
    std::string error;
    Writer writer;
    EXPECT_TRUE(writer.Create("plain.wav", Pcm(48000, 6, 16, 16), Layout::Plain, error)) << error;
    EXPECT_FALSE(writer.IsExtensible());
    EXPECT_TRUE(writer.Close(error));
    EXPECT_FALSE(writer.Create("plain.wav", Pcm(48000, 6, 16, 16, 0x60F), Layout::Plain, error));
    EXPECT_NE(error.find("plain format chunk"), std::string::npos) << error;
    EXPECT_FALSE(writer.Create("plain.wav", Pcm(48000, 2, 32, 24), Layout::Plain, error));
    EXPECT_FALSE(writer.Create("plain.wav", Pcm(48000, 2, 12, 12), Layout::Auto, error));
    EXPECT_NE(error.find("8, 16, 24 or 32"), std::string::npos) << error;
    EXPECT_FALSE(writer.Create("plain.wav", Format{Encoding::Float, 48000, 2, 64, 64, 0}, Layout::Auto, error));
    EXPECT_FALSE(writer.IsOpen());
    remove("plain.wav");
}

// After every write the file on disk is a whole WAV file of exactly the
// frames written so far, whatever happens to the process next.
TEST(WavFile, HeaderIsRightAfterEveryWrite)
{
    for (const Format &format : {Pcm(48000, 1, 24, 24), Float(44100, 2)}) {
        SCOPED_TRACE(Describe(format));
        const std::vector<uint8_t> data = Samples(format, 100, 7);
        std::string error;
        Writer writer;
        ASSERT_TRUE(writer.Create("growing.wav", format, Layout::Auto, error)) << error;
        for (size_t written = 0; written <= 100; written += 11) {
            if (written != 0) {
                ASSERT_TRUE(writer.Write(&data[(written - 11) * format.FrameBytes()], 11, error)) << error;
            }
            Reader reader;
            ASSERT_TRUE(reader.Open("growing.wav", error)) << error;
            ASSERT_EQ(reader.Frames().value_or(~0ull), written);
            const std::vector<uint8_t> read = ReadAll(reader);
            EXPECT_TRUE(std::equal(read.begin(), read.end(), data.begin())) << "after " << written << " frames";
            EXPECT_EQ(read.size(), written * format.FrameBytes());
            EXPECT_FALSE(reader.IsTruncated());
            // A float file's fact chunk counts the frames too (at byte 46).
            if (format.encoding == Encoding::Float) {
                EXPECT_EQ(Field32(FileBytes("growing.wav"), 46), written);
            }
        }
        ASSERT_TRUE(writer.Close(error)) << error;
    }
    remove("growing.wav");
}

// A file cut anywhere after its header reads as far as it goes, in whole
// frames, and says it was cut.
TEST(WavFile, FileCutShortReadsWhatItHolds)
{
    const Format format = Pcm(48000, 2, 16, 16);
    const std::vector<uint8_t> data = Samples(format, 50, 3);
    std::string error;
    {
        Writer writer;
        ASSERT_TRUE(writer.Create("whole.wav", format, Layout::Auto, error));
        ASSERT_TRUE(writer.Write(data.data(), 50, error));
    } // closed by the destructor
    const std::vector<uint8_t> whole = FileBytes("whole.wav");
    ASSERT_EQ(whole.size(), 44u + 200);
    for (const size_t cut : {44u, 45u, 47u, 48u, 143u, 243u}) {
        WriteBytes("cut.wav", std::vector<uint8_t>(whole.begin(), whole.begin() + cut));
        Reader reader;
        ASSERT_TRUE(reader.Open("cut.wav", error)) << error;
        const std::vector<uint8_t> read = ReadAll(reader);
        EXPECT_EQ(read.size(), (cut - 44) / 4 * 4) << "cut at " << cut;
        EXPECT_TRUE(std::equal(read.begin(), read.end(), data.begin()));
        EXPECT_TRUE(reader.IsTruncated());
    }
    remove("whole.wav");
    remove("cut.wav");
}

// A full file takes what fits, refuses the rest, and stays valid.
TEST(WavFile, FullFileTakesWhatFits)
{
    const Format format = Pcm(48000, 2, 16, 16);
    const std::vector<uint8_t> data = Samples(format, 30, 5);
    std::string error;
    Writer writer(100); // 25 frames
    ASSERT_TRUE(writer.Create("full.wav", format, Layout::Auto, error));
    ASSERT_TRUE(writer.Write(data.data(), 20, error));
    EXPECT_EQ(writer.FramesLeft(), 5u);
    EXPECT_FALSE(writer.Write(&data[80], 10, error));
    EXPECT_NE(error.find("full"), std::string::npos) << error;
    EXPECT_EQ(writer.FramesWritten(), 25u);
    ASSERT_TRUE(writer.Close(error));
    Reader reader;
    ASSERT_TRUE(reader.Open("full.wav", error));
    EXPECT_EQ(reader.Frames().value_or(0), 25u);
    EXPECT_TRUE(ReadAll(reader) == std::vector<uint8_t>(data.begin(), data.begin() + 100));
    remove("full.wav");
}

// Chunks the reader does not know are skipped (odd sizes with their pad
// byte); a data size left open runs to the end of the file.
TEST(WavFile, ReaderSkipsChunksAndTakesAnOpenDataSize)
{
    const Format format = Pcm(44100, 1, 16, 16);
    const std::vector<uint8_t> data = Samples(format, 40, 9);
    WriteWav("plain.wav", format, Layout::Auto, data);
    std::string error;
    std::vector<uint8_t> file = FileBytes("plain.wav");
    // A LIST chunk of 5 bytes (and its pad) between the format and the data.
    const uint8_t list[] = {'L', 'I', 'S', 'T', 5, 0, 0, 0, 'I', 'N', 'F', 'O', '!', 0};
    file.insert(file.begin() + 36, list, list + sizeof list);
    for (int i = 0; i < 4; ++i)
        file[36 + sizeof list + 4 + i] = 0xFF; // data size unknown
    WriteBytes("streamed.wav", file);
    Reader reader;
    ASSERT_TRUE(reader.Open("streamed.wav", error)) << error;
    EXPECT_FALSE(reader.Frames().has_value());
    EXPECT_TRUE(ReadAll(reader) == data);
    EXPECT_FALSE(reader.IsTruncated());
    remove("plain.wav");
    remove("streamed.wav");
}

// What the reader refuses, each with its reason.
TEST(WavFile, ReaderRefusesWhatItCannotRead)
{
    std::string error;
    Reader reader;
    EXPECT_FALSE(reader.Open("no-such-file.wav", error));
    EXPECT_NE(error.find("cannot be opened"), std::string::npos) << error;

    const Format format = Pcm(48000, 2, 16, 16);
    WriteWav("good.wav", format, Layout::Extensible, Samples(format, 4, 1));
    const std::vector<uint8_t> good = FileBytes("good.wav");
    ASSERT_EQ(good.size(), 12u + 48 + 8 + 16);
    struct Damage {
        size_t at;
        std::vector<uint8_t> bytes;
        const char *reason;
    };
    const Damage damages[] = {
        {0, {'R', 'I', 'F', 'X'}, "not a RIFF WAVE"},
        {8, {'A', 'V', 'I', ' '}, "not a RIFF WAVE"},
        {0, {'R', 'F', '6', '4'}, "RF64"},
        {12, {'f', 'm', 'x', ' '}, "before the format"},
        {20, {0xFE, 0xFF, 2, 0, 0x80, 0xBB, 0, 0, 0, 0, 0, 0, 4, 0, 16, 0, 22, 0, 16, 0, 3, 0, 0, 0, 2, 0},
         "neither PCM nor float"},                             // ADPCM sub-format
        {20, {2, 0}, "neither PCM nor float (format tag 2)"}, // plain ADPCM tag
        {32, {3, 0}, "block alignment"},
        {32, {10, 0}, "8, 16, 24 or 32"}, // 5-byte containers
        {20, {3, 0, 2, 0, 0x80, 0xBB, 0, 0, 0, 0, 0, 0, 16, 0, 64, 0}, "64-bit float"},
        {22, {0, 0}, "block alignment"},
        {24, {0, 0, 0, 0}, "sample rate is 0"},
        {16, {16, 0, 0, 0}, "extensible format chunk is too short"},
        {36, {20, 0}, "too short"},           // cbSize below 22
    };
    for (const Damage &d : damages) {
        std::vector<uint8_t> file = good;
        std::copy(d.bytes.begin(), d.bytes.end(), file.begin() + d.at);
        WriteBytes("bad.wav", file);
        EXPECT_FALSE(reader.Open("bad.wav", error)) << d.reason;
        EXPECT_NE(error.find(d.reason), std::string::npos) << "expected \"" << d.reason << "\", got \"" << error << "\"";
    }
    const std::pair<size_t, const char *> cuts[] = {
        {30, "cut short"}, {12, "no format chunk"}, {60, "no data chunk"}, {8, "not a RIFF WAVE"}};
    for (const auto &[cut, reason] : cuts) {
        WriteBytes("bad.wav", std::vector<uint8_t>(good.begin(), good.begin() + cut));
        EXPECT_FALSE(reader.Open("bad.wav", error));
        EXPECT_NE(error.find(reason), std::string::npos) << "cut at " << cut << ": " << error;
    }
    // The data chunk before the format chunk.
    std::vector<uint8_t> swapped(good.begin(), good.begin() + 12);
    swapped.insert(swapped.end(), good.begin() + 60, good.end());
    swapped.insert(swapped.end(), good.begin() + 12, good.begin() + 60);
    WriteBytes("bad.wav", swapped);
    EXPECT_FALSE(reader.Open("bad.wav", error));
    EXPECT_NE(error.find("before the format"), std::string::npos) << error;
    remove("good.wav");
    remove("bad.wav");
}

// Widening and back is exact for every 8- and 16-bit value; 24-bit values go
// through float and back unchanged; narrowing keeps the top bits.
TEST(SampleConvert, IntegerWidthsAndFloatRoundTripExactly)
{
    const Format pcm8 = Pcm(8000, 1, 8, 8), pcm16 = Pcm(8000, 1, 16, 16), pcm24 = Pcm(8000, 1, 24, 24),
                 pcm32 = Pcm(8000, 1, 32, 32), in32 = Pcm(8000, 1, 32, 24), flt = Float(8000, 1);
    std::vector<uint8_t> all8(256), all16(65536 * 2);
    for (int i = 0; i < 256; ++i)
        all8[i] = static_cast<uint8_t>(i);
    for (int i = 0; i < 65536; ++i) {
        all16[2 * i] = static_cast<uint8_t>(i);
        all16[2 * i + 1] = static_cast<uint8_t>(i >> 8);
    }
    std::vector<uint8_t> wide(65536 * 4), back(65536 * 2);
    for (const Format &via : {pcm16, pcm24, pcm32, flt}) {
        Convert(pcm8, all8.data(), via, wide.data(), 256);
        Convert(via, wide.data(), pcm8, back.data(), 256);
        EXPECT_TRUE(std::equal(all8.begin(), all8.end(), back.begin())) << Describe(via);
    }
    for (const Format &via : {pcm24, pcm32, in32, flt}) {
        Convert(pcm16, all16.data(), via, wide.data(), 65536);
        Convert(via, wide.data(), pcm16, back.data(), 65536);
        EXPECT_TRUE(std::equal(all16.begin(), all16.end(), back.begin())) << Describe(via);
    }
    const std::vector<uint8_t> some24 = Pattern(3 * 100000, 11);
    std::vector<uint8_t> floats(4 * 100000), again(3 * 100000);
    Convert(pcm24, some24.data(), flt, floats.data(), 100000);
    Convert(flt, floats.data(), pcm24, again.data(), 100000);
    EXPECT_TRUE(again == some24);

    // 8-bit silence is 128; 16-bit 0x1234 widens to 0x123400 and 0x12340000.
    const uint8_t silence8 = 128, value16[] = {0x34, 0x12};
    uint8_t out[4];
    Convert(pcm8, &silence8, pcm16, out, 1);
    EXPECT_EQ(out[0] | out[1] << 8, 0);
    Convert(pcm16, value16, pcm24, out, 1);
    EXPECT_EQ(out[0] | out[1] << 8 | out[2] << 16, 0x123400);
    // 32 bits into 24 valid of 32 keeps the top three bytes.
    const uint8_t value32[] = {0x78, 0x56, 0x34, 0x12};
    Convert(pcm32, value32, in32, out, 1);
    EXPECT_EQ(Field32(std::vector<uint8_t>(out, out + 4), 0), 0x12345600u);
}

TEST(SampleConvert, FloatRoundsAndClips)
{
    const Format flt = Float(8000, 1), pcm16 = Pcm(8000, 1, 16, 16), pcm8 = Pcm(8000, 1, 8, 8),
                 in32 = Pcm(8000, 1, 32, 24);
    const float in[] = {0.0f, 1.0f, -1.0f, 1.5f, -7.0f, NAN, 0.5f / 32768, -1.5f / 32768, 100.0f / 32768};
    constexpr size_t n = sizeof in / sizeof in[0];
    int16_t out16[n];
    Convert(flt, in, pcm16, out16, n);
    const int16_t want16[] = {0, 32767, -32768, 32767, -32768, 0, 0, -2, 100};
    for (size_t i = 0; i < n; ++i)
        EXPECT_EQ(out16[i], want16[i]) << "sample " << i << " (" << in[i] << ")";
    uint8_t out8[n];
    Convert(flt, in, pcm8, out8, n);
    EXPECT_EQ(out8[0], 128);
    EXPECT_EQ(out8[1], 255);
    EXPECT_EQ(out8[2], 0);
    // Into 24 valid bits of 32 the bits below them stay 0.
    int32_t out32[n];
    Convert(flt, in, in32, out32, n);
    EXPECT_EQ(out32[1], 0x7FFFFF00);
    EXPECT_EQ(out32[8], 100 << 16);
    for (size_t i = 0; i < n; ++i)
        EXPECT_EQ(out32[i] & 0xFF, 0) << i;
    EXPECT_FALSE(CanConvert(pcm16, Pcm(8000, 2, 16, 16)));
    EXPECT_TRUE(CanConvert(pcm16, Float(44100, 1)));
}
