// ombemu in real time: a short run is exact both ways, without a glitch at
// a 10 ms period. Run alone (not beside other tests) and not under the
// thread sanitizer, whose slowdown is not what is tested here.
#include "ToolRun.h"

#include <gtest/gtest.h>

namespace {

using namespace ombemu_tests;

// A short run in real time: exact both ways, not a glitch at a 10 ms period.
TEST(RealTime, AShortRunIsExactWithoutGlitches)
{
    const Output run = RunTool({"--clock", "real", "--seconds", "0.6", "--engine-period-ms", "10", "--play-signal",
                                "--host-signal", "--json"});
    ASSERT_EQ(run.status, ombemu_tool::ExitOk) << run.err << run.out;
    EXPECT_NE(run.out.find("\"clock\": \"real\""), std::string::npos);
    size_t clean = 0;
    for (size_t at = run.out.find("\"underruns\": 0, \"overruns\": 0, \"latePackets\": 0, \"earlyPackets\": 0, "
                                  "\"skippedPackets\": 0, \"deviceErrors\": 0");
         at != std::string::npos; at = run.out.find("\"underruns\": 0, \"overruns\": 0, \"latePackets\": 0", at + 1))
        ++clean;
    EXPECT_EQ(clean, 2u) << run.out;
}

} // namespace
