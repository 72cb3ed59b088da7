// ombemu in real time: the machine runs on the wall clock and audio flows
// both ways at a 10 ms period. Run alone (not beside other tests) and not
// under the thread sanitizer, whose slowdown is not what is tested here.
//
// Only what holds under any load is asserted. On a loaded 2-core machine a
// thread can miss its period by a quarter of a second, and the glitch the
// engine then reports is the truth, not a fault of the system: such a run
// may end "not exact", but then the engine or the host says it was late.
// What no load excuses: the machine or a host failing, no audio at all, a
// leak, or a run that is not exact with nobody late.
#include "ToolRun.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

namespace {

using namespace ombemu_tests;

// The unsigned number after `"key": ` in the part of the report from `from`;
// a key the report lacks fails the test (and counts nothing).
unsigned long long NumberAfter(const std::string &text, const std::string &key, size_t from)
{
    const std::string tag = "\"" + key + "\": ";
    const size_t at = from == std::string::npos ? from : text.find(tag, from);
    if (at == std::string::npos) {
        ADD_FAILURE() << "the report has no " << key << ":\n" << text;
        return 0;
    }
    return std::strtoull(text.c_str() + at + tag.size(), nullptr, 10);
}

struct Direction {
    std::string name;
    bool exact = false;
    unsigned long long received = 0, glitches = 0;
    std::string detail;
};

Direction Read(const std::string &report, const std::string &name)
{
    Direction d;
    d.name = name;
    const size_t at = report.find("\"" + name + "\": {");
    if (at == std::string::npos)
        return d;
    const size_t signal = report.find("\"signal\": {\"exact\": ", at);
    d.exact = signal != std::string::npos && report.compare(signal + 20, 4, "true") == 0;
    d.received = NumberAfter(report, "received", at);
    const size_t detail = report.find("\"detail\": \"", at);
    if (detail != std::string::npos)
        d.detail = report.substr(detail + 11, report.find('"', detail + 11) - detail - 11);
    const size_t engine = report.find("\"engine\": {", at);
    for (const char *counter :
         {"underruns", "overruns", "latePackets", "earlyPackets", "skippedPackets", "notificationGlitches"})
        d.glitches += NumberAfter(report, counter, engine);
    d.glitches += NumberAfter(report, "lateTicks", report.find("\"host\": {", at));
    return d;
}

TEST(RealTime, AShortRunMovesTheSignalBothWays)
{
    const Output run = RunTool({"--clock", "real", "--seconds", "0.6", "--engine-period-ms", "10", "--play-signal",
                                "--host-signal", "--json"});
    ASSERT_TRUE(run.status == ombemu_tool::ExitOk || run.status == ombemu_tool::ExitInexact) << run.status << "\n"
                                                                                             << run.err << run.out;
    EXPECT_NE(run.out.find("\"clock\": \"real\""), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\"leak\": false"), std::string::npos) << run.out;
    for (const Direction &d : {Read(run.out, "render"), Read(run.out, "capture")}) {
        SCOPED_TRACE(d.name);
        // 0.6 s at 48 kHz is 28,800 frames; a stalled machine still moves
        // some of them.
        EXPECT_GT(d.received, 0u) << run.out;
        EXPECT_LE(d.received, 28'800u) << run.out;
        EXPECT_EQ(d.detail.find("no frame of the signal found"), std::string::npos) << d.detail;
        if (d.exact) {
            EXPECT_NE(d.detail.find("sample-exact"), std::string::npos) << d.detail;
        } else {
            EXPECT_GT(d.glitches, 0u) << "not exact, and nobody was late:\n" << run.out;
            std::printf("%s was not exact on this run (the machine was late: %llu glitches): %s\n", d.name.c_str(),
                        d.glitches, d.detail.c_str());
        }
    }
}

} // namespace
