// ombhost's parts that need no device: the frame ring (wrapping, full and
// empty, and a producer and a consumer on two threads) and the command line's
// refusals.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string>
#include <thread>
#include <vector>
#include "FrameRing.h"
#include "HostTool.h"

using ombhost::FrameRing;

TEST(FrameRing, WrapsAndStopsAtFullAndEmpty)
{
    FrameRing ring(5, 3);
    uint8_t in[30];
    for (int i = 0; i < 30; ++i)
        in[i] = static_cast<uint8_t>(i + 1);
    uint8_t out[30] = {};
    EXPECT_EQ(ring.Write(in, 4), 4u);
    EXPECT_EQ(ring.Read(out, 3), 3u);
    EXPECT_EQ(ring.Write(in + 12, 6), 4u) << "room for four, across the wrap";
    EXPECT_EQ(ring.Available(), 5u);
    EXPECT_EQ(ring.Write(in, 1), 0u);
    EXPECT_EQ(ring.Read(out, 9), 5u);
    for (int i = 0; i < 15; ++i)
        EXPECT_EQ(out[i], 10 + i) << "byte " << i;
    EXPECT_EQ(ring.Read(out, 1), 0u);
}

// Many frames through a small ring between two threads arrive whole and
// in order.
TEST(FrameRing, ProducerAndConsumerOnTwoThreads)
{
    FrameRing ring(97, 8);
    constexpr uint64_t Frames = 200000;
    std::thread producer([&ring] {
        uint64_t next = 0;
        uint64_t chunk[13];
        while (next < Frames) {
            size_t n = 0;
            for (; n < 13 && next + n < Frames; ++n)
                chunk[n] = next + n;
            next += ring.Write(chunk, n);
        }
    });
    uint64_t expected = 0;
    uint64_t chunk[17];
    bool inOrder = true;
    while (expected < Frames) {
        const size_t n = ring.Read(chunk, 17);
        for (size_t i = 0; i < n; ++i)
            inOrder = inOrder && chunk[i] == expected++;
    }
    producer.join();
    EXPECT_TRUE(inOrder);
    EXPECT_EQ(ring.Available(), 0u);
}

namespace {

struct Outcome {
    int status;
    std::string out, err;
};

Outcome RunTool(std::vector<const char *> args)
{
    FILE *out = tmpfile(), *err = tmpfile();
    ombhost::Environment env;
    env.out = out;
    env.err = err;
    args.insert(args.begin(), "ombhost");
    const int status = ombhost::Run(static_cast<int>(args.size()), args.data(), env);
    Outcome outcome{status, {}, {}};
    for (auto [file, text] : {std::pair{out, &outcome.out}, std::pair{err, &outcome.err}}) {
        rewind(file);
        char buf[4096];
        while (size_t n = fread(buf, 1, sizeof buf, file))
            text->append(buf, n);
        fclose(file);
    }
    return outcome;
}

} // namespace

// Each refusal is one line on stderr and exit status 2; help is exit 0.
TEST(CommandLine, RefusalsAreOneLineAndStatusTwo)
{
    const std::pair<std::vector<const char *>, const char *> refused[] = {
        {{}, "A subcommand is required"},
        {{"play"}, "subcommand"},
        {{"render"}, "render needs a FILE.wav or --tone HZ"},
        {{"render", "a.wav", "--tone", "440"}, "excludes"},
        {{"render", "--tone", "24000"}, "a tone of 24000 Hz does not fit a rate of 48000 Hz"},
        {{"render", "--tone", "-3"}, "--tone"},
        {{"capture"}, "file is required"},
        {{"capture", "a.wav", "--format", "48000,16"}, "--format takes SR,BPS,NC"},
        {{"capture", "a.wav", "--format", "48000,16,2,2,3,9"}, "--format takes SR,BPS,NC"},
        {{"capture", "a.wav", "--format", "48000,16,2x"}, "--format takes SR,BPS,NC"},
        {{"capture", "a.wav", "--format", "48000,16,2,0x99999999999"}, "--format takes SR,BPS,NC"},
        {{"capture", "a.wav", "--format", "7999,16,2"}, "the device takes 8000 to 384000 Hz"},
        {{"capture", "a.wav", "--format", "48000,24,2,2"}, "the device takes"},
        {{"capture", "a.wav", "--format", "48000,16,9"}, "the device takes"},
        {{"capture", "a.wav", "--tick", "0"}, "--tick"},
        {{"capture", "a.wav", "--seconds", "0"}, "--seconds"},
        {{"capture", "a.wav", "--trim-ppm", "1000.5"}, "--trim-ppm"},
        {{"capture", "a.wav", "--buffer", "x"}, "--buffer"},
        {{"info", "extra"}, "extra"},
    };
    for (const auto &[args, message] : refused) {
        const Outcome outcome = RunTool(args);
        SCOPED_TRACE(outcome.err);
        EXPECT_EQ(outcome.status, 2);
        EXPECT_EQ(outcome.err.rfind("ombhost: ", 0), 0u);
        EXPECT_NE(outcome.err.find(message), std::string::npos);
        EXPECT_EQ(outcome.err.find('\n'), outcome.err.size() - 1) << "one line";
        EXPECT_EQ(outcome.out, "");
    }
    const Outcome help = RunTool({"render", "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--trim-ppm"), std::string::npos);
    EXPECT_EQ(help.err, "");
}
