// How a stream keeps time against the ideal clock, measured as a position
// test does: a count (frames of position, notifications) sampled against the
// performance counter is fitted with a straight line; its slope against the
// nominal rate is the drift, the spread of the samples around it the noise,
// and samples far off it (or a count that jumped) are glitches.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <vector>

namespace engine {

struct ClockFigures {
    uint64_t samples = 0;
    double nominalPerSecond = 0;  // the ideal rate of the count
    double measuredPerSecond = 0; // the fitted rate (0 with fewer than two samples)
    double driftPpm = 0;          // parts per million faster (+) or slower (-) than nominal
    double noiseStdMs = 0;        // standard deviation of the distance from the fitted line
    double noiseMaxMs = 0;        // the largest distance
    double noiseOver08Percent = 0; // share of samples more than 0.8 ms off the line
    uint32_t glitches = 0;        // runs of samples off the line by more than the threshold, and jumps
};

class ClockSeries {
public:
    // maxStep: a count that grows by more than this between two samples is a
    // glitch (1 for notifications, which must come one by one; 0 for none).
    void Reset(double nominalPerSecond, double glitchMs, double maxStep);
    void Add(double seconds, double count);
    ClockFigures Analyse() const;
    size_t Size() const { return times.size(); }

private:
    double nominal = 0, glitchMs = 0, maxStep = 0;
    std::vector<double> times, counts;
};

} // namespace engine
