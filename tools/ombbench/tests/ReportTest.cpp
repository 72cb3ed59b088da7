// The summaries and the JSON object that tools compare runs by: nearest-rank
// percentiles, every key in place, null for what was not measured.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <cmath>
#include <string>
#include "Distribution.h"
#include "Report.h"

namespace {

using namespace ombbench;

TEST(Summarise, TakesNearestRanksOfUnsortedValues)
{
    std::vector<double> values;
    for (int i = 100; i >= 1; --i)
        values.push_back(i);
    const Distribution d = Summarise(values);
    EXPECT_EQ(d.samples, 100u);
    EXPECT_EQ(d.median, 50);
    EXPECT_EQ(d.p99, 99);

    std::vector<double> one = {7.5};
    const Distribution single = Summarise(one);
    EXPECT_EQ(single.samples, 1u);
    EXPECT_EQ(single.median, 7.5);
    EXPECT_EQ(single.p99, 7.5);

    std::vector<double> none;
    const Distribution empty = Summarise(none);
    EXPECT_EQ(empty.samples, 0u);
    EXPECT_EQ(empty.median, 0);
    EXPECT_EQ(empty.p99, 0);
}

TEST(Summarise, KeepsAnOutlierOutOfTheMedianButInTheTopPercentile)
{
    // 3 of 200 above: the 198th value is the 99th percentile; 2 of 200 would
    // leave it at the 198th, one of the ordinary ones.
    std::vector<double> values(197, 10.0);
    values.insert(values.begin() + 50, 3, 5000.0);
    const Distribution d = Summarise(values);
    EXPECT_EQ(d.median, 10);
    EXPECT_EQ(d.p99, 5000);
    values.assign(198, 10.0);
    values.push_back(5000);
    values.push_back(5000);
    EXPECT_EQ(Summarise(values).p99, 10);
}

std::string Json(const Figures &figures)
{
    char *text = nullptr;
    size_t size = 0;
    FILE *out = open_memstream(&text, &size);
    PrintJson(out, figures);
    fclose(out);
    std::string json(text, size);
    free(text);
    return json;
}

TEST(Json, HoldsEveryKeyOfEveryMeasurement)
{
    Figures f;
    f.notify.measured = true;
    f.notify.latency = {20000, 40.5, 90.25};
    f.notify.baseline = {20000, 30, 60};
    f.hostTick.measured = true;
    f.hostTick.tick = {9000, 12.5, 30};
    f.hostTick.ioctlRoundTripUs = 6.5;
    f.clock.measured = true;
    f.clock.maxDeviationFrames = 0.5;
    f.clock.realTimePpm = -1.25;
    f.glitchFree.measured = true;
    f.glitchFree.smallestBufferFrames = 128;
    f.glitchFree.periodFrames = 64;
    f.glitchFree.latencyRenderMs = 2;
    f.glitchFree.latencyCaptureMs = 0.5;
    f.glitchFree.tried = {{96, 3, 1, false}, {128, 0, 0, true}};
    f.scale.measured = true;
    f.scale.small.tick = {100, 11, 20};
    f.scale.large.tick = {100, 12, 21};
    EXPECT_EQ(Json(f), "{\"notify_to_engine\": {\"samples\": 20000, \"median_us\": 40.5, \"p99_us\": 90.25, "
                       "\"baseline_median_us\": 30, \"baseline_p99_us\": 60}, "
                       "\"host_tick\": {\"samples\": 9000, \"median_us\": 12.5, \"allocations_per_tick\": 0, "
                       "\"ioctl_roundtrip_us\": 6.5}, "
                       "\"clock\": {\"max_deviation_frames\": 0.5, \"real_time_ppm\": -1.25}, "
                       "\"glitch_free\": {\"smallest_buffer_frames\": 128, \"period_frames\": 64, "
                       "\"latency_render_ms\": 2, \"latency_capture_ms\": 0.5, \"tried\": ["
                       "{\"buffer_frames\": 96, \"underruns\": 3, \"overruns\": 1, \"exact\": false}, "
                       "{\"buffer_frames\": 128, \"underruns\": 0, \"overruns\": 0, \"exact\": true}]}, "
                       "\"scale\": {\"tick_us_2x48k16\": 11, \"tick_us_8x384k32\": 12}}\n");
}

TEST(Json, GivesNullForWhatWasNotMeasuredAndForNoNumber)
{
    Figures f;
    f.clock.measured = true;
    f.clock.maxDeviationFrames = 0.25;
    f.clock.realTimePpm = std::nan("");
    EXPECT_EQ(Json(f), "{\"notify_to_engine\": null, \"host_tick\": null, "
                       "\"clock\": {\"max_deviation_frames\": 0.25, \"real_time_ppm\": null}, "
                       "\"glitch_free\": null, \"scale\": null}\n");
}

} // namespace
