// The WAV library against sox, both ways, in every format the library
// supports: files sox writes read back as the samples sox itself decodes,
// and files the library writes decode in sox to the bytes written, with the
// format sox reports, without a warning.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string>
#include <vector>
#include "WavReader.h"
#include "WavWriter.h"

using namespace wav;

namespace {

struct SoxRun {
    int status;
    std::string out, err;
};

std::string Slurp(const std::string &path)
{
    std::string text;
    FILE *f = fopen(path.c_str(), "rb");
    if (f == nullptr)
        return text;
    char buf[4096];
    while (size_t n = fread(buf, 1, sizeof buf, f))
        text.append(buf, n);
    fclose(f);
    return text;
}

// Runs sox with `args`, its output and diagnostics caught in files.
SoxRun Sox(const std::string &args)
{
    const std::string command = std::string(OMB_SOX) + " " + args + " >sox.out 2>sox.err";
    const int status = system(command.c_str());
    return {status, Slurp("sox.out"), Slurp("sox.err")};
}

std::string SoxInfo(const char *what, const std::string &path)
{
    SoxRun run = Sox(std::string("--i ") + what + " " + path);
    while (!run.out.empty() && (run.out.back() == '\n' || run.out.back() == '\r'))
        run.out.pop_back();
    return run.out;
}

std::vector<uint8_t> ReadAll(Reader &reader)
{
    std::vector<uint8_t> data(reader.Frames().value_or(0) * reader.GetFormat().FrameBytes());
    if (!data.empty())
        data.resize(reader.Read(data.data(), *reader.Frames()) * reader.GetFormat().FrameBytes());
    return data;
}

struct SoxFormat {
    const char *options; // how sox is asked to write it
    Format format;       // what the file holds
    bool extensible;     // how sox writes it
};

Format Pcm(uint32_t rate, uint16_t channels, uint16_t bits, uint32_t mask = 0)
{
    return {Encoding::Pcm, rate, channels, bits, bits, mask};
}

Format Float(uint32_t rate, uint16_t channels, uint32_t mask = 0)
{
    return {Encoding::Float, rate, channels, 32, 32, mask};
}

const SoxFormat soxFormats[] = {
    {"-t wav -e unsigned-integer -b 8 -c 1 -r 8000", Pcm(8000, 1, 8), false},
    {"-t wav -e signed-integer -b 16 -c 1 -r 22050", Pcm(22050, 1, 16), false},
    {"-t wav -e signed-integer -b 16 -c 2 -r 44100", Pcm(44100, 2, 16), false},
    {"-t wav -e signed-integer -b 24 -c 2 -r 48000", Pcm(48000, 2, 24, 0x3), true},
    {"-t wav -e signed-integer -b 32 -c 2 -r 96000", Pcm(96000, 2, 32, 0x3), true},
    {"-t wavpcm -e signed-integer -b 24 -c 2 -r 48000", Pcm(48000, 2, 24), false},
    {"-t wavpcm -e signed-integer -b 32 -c 1 -r 48000", Pcm(48000, 1, 32), false},
    {"-t wav -e signed-integer -b 16 -c 6 -r 48000", Pcm(48000, 6, 16, 0x3F), true},
    {"-t wav -e floating-point -b 32 -c 2 -r 48000", Float(48000, 2), false},
    {"-t wav -e floating-point -b 32 -c 1 -r 16000", Float(16000, 1), false},
    {"-t wav -e floating-point -b 32 -c 6 -r 48000", Float(48000, 6), false}, // sox writes float plain
};

} // namespace

// sox writes a quarter second of noise in each format; the reader gets the
// format and exactly the sample bytes sox decodes from the same file.
TEST(WavSox, ReadsWhatSoxWrites)
{
    int index = 0;
    for (const SoxFormat &f : soxFormats) {
        SCOPED_TRACE(f.options);
        const std::string path = "fromsox" + std::to_string(index++) + ".wav";
        const std::string raw = path + ".raw";
        SoxRun run = Sox(std::string("-D -n ") + f.options + " " + path + " synth 0.25 whitenoise gain -3");
        ASSERT_EQ(run.status, 0) << run.err;
        run = Sox("-D " + path + " -t raw " + raw);
        ASSERT_EQ(run.status, 0) << run.err;
        const std::string text = Slurp(raw);
        const std::vector<uint8_t> decoded(text.begin(), text.end());

        Reader reader;
        std::string error;
        ASSERT_TRUE(reader.Open(path.c_str(), error)) << error;
        EXPECT_EQ(reader.GetFormat(), f.format) << Describe(reader.GetFormat());
        EXPECT_EQ(reader.IsExtensible(), f.extensible);
        ASSERT_EQ(reader.Frames().value_or(0), f.format.sampleRate / 4);
        const std::vector<uint8_t> frames = ReadAll(reader);
        EXPECT_TRUE(frames == decoded) << "the samples differ";
        remove(path.c_str());
        remove(raw.c_str());
    }
}

namespace {

struct Written {
    Format format;
    Layout layout;
    const char *encoding; // as sox names it
};

} // namespace

// The library writes known bytes in each format and layout; sox reads the
// format the library meant, without a warning, and decodes the same bytes.
TEST(WavSox, SoxReadsWhatTheWriterWrites)
{
    const Written written[] = {
        {Pcm(8000, 1, 8), Layout::Auto, "Unsigned Integer PCM"},
        {Pcm(8000, 2, 8), Layout::Extensible, "Unsigned Integer PCM"},
        {Pcm(44100, 2, 16), Layout::Auto, "Signed Integer PCM"},
        {Pcm(44100, 2, 16, 0x3), Layout::Extensible, "Signed Integer PCM"},
        {Pcm(48000, 1, 24, 0x4), Layout::Auto, "Signed Integer PCM"},
        {Pcm(48000, 2, 24), Layout::Plain, "Signed Integer PCM"},
        {Pcm(192000, 2, 32, 0x3), Layout::Auto, "Signed Integer PCM"},
        {Pcm(48000, 8, 16, 0x63F), Layout::Auto, "Signed Integer PCM"},
        {Pcm(48000, 6, 24, 0x60F), Layout::Auto, "Signed Integer PCM"},
        {Float(48000, 2), Layout::Auto, "Floating Point PCM"},
        {Float(44100, 1, 0x4), Layout::Extensible, "Floating Point PCM"},
        {Float(48000, 6, 0x60F), Layout::Auto, "Floating Point PCM"},
    };
    int index = 0;
    for (const Written &w : written) {
        SCOPED_TRACE(Describe(w.format));
        const std::string path = "forsox" + std::to_string(index++) + ".wav";
        const std::string raw = path + ".raw";
        const size_t frames = 4801; // odd, so 3-byte frames end on a pad byte
        std::vector<uint8_t> data(frames * w.format.FrameBytes());
        uint32_t x = 12345u + index;
        for (size_t i = 0; i < data.size(); ++i) {
            x = x * 1103515245u + 12345u;
            data[i] = static_cast<uint8_t>(x >> 16);
        }
        if (w.format.encoding == Encoding::Float) { // finite values within full scale
            for (size_t i = 0; i < data.size(); i += 4) {
                const float f = static_cast<float>(static_cast<int16_t>(data[i] | data[i + 1] << 8)) / 32768.0f;
                memcpy(&data[i], &f, 4);
            }
        }
        std::string error;
        Writer writer;
        ASSERT_TRUE(writer.Create(path.c_str(), w.format, w.layout, error)) << error;
        ASSERT_TRUE(writer.Write(data.data(), frames, error)) << error;
        ASSERT_TRUE(writer.Close(error)) << error;

        EXPECT_EQ(SoxInfo("-r", path), std::to_string(w.format.sampleRate));
        EXPECT_EQ(SoxInfo("-c", path), std::to_string(w.format.channels));
        EXPECT_EQ(SoxInfo("-b", path), std::to_string(w.format.containerBits));
        EXPECT_EQ(SoxInfo("-s", path), std::to_string(frames));
        EXPECT_EQ(SoxInfo("-e", path), w.encoding);
        const SoxRun run = Sox("-D " + path + " -t raw " + raw);
        ASSERT_EQ(run.status, 0) << run.err;
        // sox warns about every extensible float chunk, its own reading
        // notwithstanding; nothing else may draw a word from it.
        const bool extensibleFloat = w.format.encoding == Encoding::Float && writer.IsExtensible();
        if (extensibleFloat)
            EXPECT_TRUE(run.err.empty() || run.err.ends_with("WARN wav: wave header missing extended part of fmt chunk\n"))
                << run.err;
        else
            EXPECT_EQ(run.err, "") << "sox had something to say";
        const std::string text = Slurp(raw);
        EXPECT_TRUE(std::vector<uint8_t>(text.begin(), text.end()) == data) << "sox decodes other samples";
        remove(path.c_str());
        remove(raw.c_str());
    }
    remove("sox.out");
    remove("sox.err");
}
