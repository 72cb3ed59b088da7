// ombemu through its entry, as the program runs it: WAV files made by sox
// in several formats go through the emulated machine both ways and come out
// sample-exact (read back by sox, not by our own reader), in each engine
// mode, in virtual time; the test signal, the demo, bad options and files,
// and an interrupted run.
#include "ToolRun.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

namespace {

using namespace ombemu_tests;

// `received` is silence, then `played` whole and exact, then silence.
void ExpectDelivered(const std::string &received, const std::string &played, size_t frameBytes, char silence)
{
    ASSERT_FALSE(played.empty());
    ASSERT_EQ(received.size() % frameBytes, 0u);
    auto firstSound = [&](const std::string &data) {
        for (size_t i = 0; i < data.size(); ++i)
            if (data[i] != silence)
                return i / frameBytes * frameBytes;
        return data.size();
    };
    const size_t playedLead = firstSound(played), receivedLead = firstSound(received);
    ASSERT_LT(playedLead, played.size()) << "the source has sound";
    ASSERT_LT(receivedLead, received.size()) << "nothing but silence arrived";
    ASSERT_GE(receivedLead, playedLead);
    const size_t offset = receivedLead - playedLead;
    ASSERT_LE(offset + played.size(), received.size()) << "the source arrived cut short";
    EXPECT_TRUE(received.compare(offset, played.size(), played) == 0) << "the source arrived altered";
    const std::string after = received.substr(offset + played.size());
    EXPECT_EQ(after.find_first_not_of(silence), std::string::npos) << "something followed the source";
}

struct FormatCase {
    const char *name;
    const char *soxOptions; // how sox writes the input
    const char *format;     // the pipes' format
    size_t frameBytes;      // of the output
    char silence;
    const char *compareAs; // sox's conversion of the input to the output's encoding ("" none)
    const char *mode;
};

const FormatCase Cases[] = {
    {"Pcm16Event", "-r 48000 -c 2 -b 16", "48000,16,2,2", 4, 0, "", "event"},
    {"Pcm16Packet", "-r 48000 -c 2 -b 16", "48000,16,2,2", 4, 0, "", "packet"},
    {"Pcm16Poll", "-r 48000 -c 2 -b 16", "48000,16,2,2", 4, 0, "", "poll"},
    {"Pcm24Packet", "-r 44100 -c 2 -b 24", "44100,24,2,3", 6, 0, "", "packet"},
    {"Pcm8Event", "-r 22050 -c 1 -b 8 -e unsigned", "22050,8,1,1", 1, char(0x80), "", "event"},
    {"Float32Poll", "-r 48000 -c 2 -b 16", "48000,16,2,2", 4, 0, "", "poll"},
    {"Extensible6Channels24Event", "-r 48000 -c 6 -b 24", "48000,24,6,3", 18, 0, "", "event"},
};

class Delivery : public testing::TestWithParam<FormatCase> {};

// A file played by Windows applications reaches the capture host's file,
// and a file the render host plays reaches what Windows applications
// record, each whole, contiguous and sample-exact after leading silence.
TEST_P(Delivery, FilesArriveSampleExactBothWays)
{
    const FormatCase &c = GetParam();
    Scratch scratch;
    const std::string played = scratch / "played.wav", sent = scratch / "sent.wav";
    const std::string captured = scratch / "captured.wav", recorded = scratch / "recorded.wav";
    const std::string channels = std::string(c.soxOptions).find("-c 6") != std::string::npos
                                     ? "sine 300 sine 500 sine 700 sine 900 sine 1100 sine 1300"
                                 : std::string(c.soxOptions).find("-c 1") != std::string::npos ? "sine 440"
                                                                                                 : "sine 440 sine 550";
    Shell("sox -n " + std::string(c.soxOptions) + " '" + played + "' synth 0.4 " + channels + " gain -3");
    Shell("sox -n " + std::string(c.soxOptions) + " '" + sent + "' synth 0.3 " + channels + " gain -6 reverse");
    std::string playedFile = played, sentFile = sent;
    if (std::string(c.name).find("Float") != std::string::npos) {
        // 16-bit samples carried exactly in float files: the device takes
        // them back to 16 bits unchanged.
        playedFile = scratch / "played-float.wav";
        sentFile = scratch / "sent-float.wav";
        Shell("sox '" + played + "' -e floating-point -b 32 '" + playedFile + "'");
        Shell("sox '" + sent + "' -e floating-point -b 32 '" + sentFile + "'");
    }
    ASSERT_TRUE(Exists(playedFile) && Exists(sentFile)) << "sox made the inputs";

    const Output run = RunTool({"--format", c.format, "--engine-mode", c.mode, "--play", playedFile, "--host-play",
                                sentFile, "--capture-to", captured, "--record-to", recorded, "--json"});
    ASSERT_EQ(run.status, ombemu_tool::ExitOk) << run.err << run.out;
    EXPECT_EQ(run.err, "") << "nothing but the summary";
    EXPECT_NE(run.out.find("\"exact\": true"), std::string::npos);
    EXPECT_EQ(run.out.find("\"exact\": false"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\"underruns\": 0, \"overruns\": 0, \"latePackets\": 0, \"earlyPackets\": 0"),
              std::string::npos)
        << run.out;

    ExpectDelivered(SoxSamples(captured), SoxSamples(played, c.compareAs), c.frameBytes, c.silence);
    ExpectDelivered(SoxSamples(recorded), SoxSamples(sent, c.compareAs), c.frameBytes, c.silence);
    EXPECT_FALSE(Exists(captured + ".part") || Exists(recorded + ".part"));
}

INSTANTIATE_TEST_SUITE_P(Formats, Delivery, testing::ValuesIn(Cases),
                         [](const testing::TestParamInfo<FormatCase> &info) { return info.param.name; });

// The engine's test signal both ways is verified and reported exact.
TEST(EmuTool, TheTestSignalIsVerifiedBothWays)
{
    const Output run = RunTool({"--play-signal", "--host-signal", "--seconds", "1", "--json"});
    ASSERT_EQ(run.status, ombemu_tool::ExitOk) << run.err << run.out;
    size_t signals = 0;
    for (size_t at = run.out.find("\"signal\": {\"exact\": true"); at != std::string::npos;
         at = run.out.find("\"signal\": {\"exact\": true", at + 1))
        ++signals;
    EXPECT_EQ(signals, 2u) << run.out;
    EXPECT_NE(run.out.find("\"clock\": \"virtual\", \"seconds\": 1.0"), std::string::npos) << run.out;
}

// Without options: the demo, both directions exact, its two files written.
TEST(EmuTool, TheDemoRunsWithoutOptions)
{
    Scratch scratch;
    char previous[4096];
    ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
    ASSERT_EQ(chdir(scratch.dir.c_str()), 0);
    const Output run = RunTool({});
    ASSERT_EQ(chdir(previous), 0);
    ASSERT_EQ(run.status, ombemu_tool::ExitOk) << run.err << run.out;
    EXPECT_NE(run.out.find("render: exact; capture: exact"), std::string::npos) << run.out;
    for (const char *file : {"captured.wav", "recorded.wav"}) {
        const std::string path = scratch / file;
        const std::string seconds = Shell("soxi -D '" + path + "' 2>/dev/null");
        EXPECT_GT(atof(seconds.c_str()), 2.5) << file << " holds the run";
    }
}

// Bad options and files: one line, a usage exit, and no file written.
TEST(EmuTool, RefusesBadOptionsAndFilesWritingNothing)
{
    Scratch scratch;
    const std::string out = scratch / "out.wav", text = scratch / "text.wav", mono = scratch / "mono.wav";
    Shell("echo 'not audio' > '" + text + "'");
    Shell("sox -n -r 44100 -c 1 -b 16 '" + mono + "' synth 0.1 sine 440");
    const std::vector<std::vector<std::string>> bad = {
        {"--no-such-option"},
        {"--play-tone", "440", "--play-signal"},
        {"--host-play", mono, "--host-tone", "300"},
        {"--format", "48000,16"},
        {"--format", "1,16,2,2"},
        {"--clock", "sometimes"},
        {"--engine-mode", "interrupt"},
        {"--seconds", "-1"},
        {"--play", scratch / "missing.wav", "--capture-to", out},
        {"--play", text, "--capture-to", out},
        {"--play", mono, "--format", "48000,16,2,2", "--capture-to", out},
        {"--host-tone", "30000", "--capture-to", out},
        {"--capture-to", scratch / "no/such/dir/x.wav"},
        {"--capture-to", out, "--record-to", out},
    };
    for (const auto &args : bad) {
        std::string line;
        for (const auto &a : args)
            line += a + " ";
        SCOPED_TRACE(line);
        const Output run = RunTool(args);
        EXPECT_EQ(run.status, ombemu_tool::ExitUsage);
        EXPECT_EQ(run.err.rfind("ombemu: ", 0), 0u) << run.err;
        EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << "one line: " << run.err;
        EXPECT_EQ(run.out, "");
        EXPECT_FALSE(Exists(out) || Exists(out + ".part"));
    }
    const Output missing = RunTool({"--play", scratch / "missing.wav"});
    EXPECT_NE(missing.err.find("missing.wav"), std::string::npos) << "names the file: " << missing.err;
}

// Ctrl-C: the run stops at once, still finishes its files as valid WAV
// files and says it was interrupted.
TEST(EmuTool, AnInterruptedRunFinishesItsFiles)
{
    Scratch scratch;
    const std::atomic<bool> interrupted{true};
    const std::string captured = scratch / "captured.wav";
    const Output run = RunTool({"--seconds", "60", "--capture-to", captured}, &interrupted);
    EXPECT_NE(run.out.find("(interrupted)"), std::string::npos) << run.out;
    EXPECT_NE(run.status, ombemu_tool::ExitFailed) << run.err;
    EXPECT_EQ(Shell("soxi -t '" + captured + "' 2>/dev/null"), "wav\n") << "a valid WAV file";
    EXPECT_FALSE(Exists(captured + ".part"));
}

} // namespace
