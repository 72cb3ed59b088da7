// Least-squares fit of a count against time and what lies around the line.
#include "ClockStats.h"

#include <cmath>

namespace engine {

void ClockSeries::Reset(double nominalPerSecond, double glitchThresholdMs, double maxCountStep)
{
    nominal = nominalPerSecond;
    glitchMs = glitchThresholdMs;
    maxStep = maxCountStep;
    times.clear();
    counts.clear();
}

void ClockSeries::Add(double seconds, double count)
{
    times.push_back(seconds);
    counts.push_back(count);
}

ClockFigures ClockSeries::Analyse() const
{
    ClockFigures f;
    f.samples = times.size();
    f.nominalPerSecond = nominal;
    const size_t n = times.size();
    if (n < 2 || nominal <= 0)
        return f;
    // Centred sums keep the precision of long runs.
    double meanT = 0, meanC = 0;
    for (size_t i = 0; i < n; ++i) {
        meanT += times[i];
        meanC += counts[i];
    }
    meanT /= n;
    meanC /= n;
    double stt = 0, stc = 0;
    for (size_t i = 0; i < n; ++i) {
        stt += (times[i] - meanT) * (times[i] - meanT);
        stc += (times[i] - meanT) * (counts[i] - meanC);
    }
    if (stt <= 0)
        return f;
    const double slope = stc / stt;
    f.measuredPerSecond = slope;
    f.driftPpm = (slope / nominal - 1.0) * 1e6;
    double sumSquares = 0;
    uint64_t over = 0;
    bool off = false; // a run of samples off the line counts as one glitch
    for (size_t i = 0; i < n; ++i) {
        // The distance from the line, as time at the nominal rate.
        const double residualMs = (counts[i] - (meanC + slope * (times[i] - meanT))) / nominal * 1000.0;
        const double distance = std::fabs(residualMs);
        sumSquares += residualMs * residualMs;
        if (distance > f.noiseMaxMs)
            f.noiseMaxMs = distance;
        if (distance > 0.8)
            ++over;
        const bool jumped = maxStep > 0 && i > 0 && counts[i] - counts[i - 1] > maxStep;
        if (jumped || (distance > glitchMs && !off))
            ++f.glitches;
        off = distance > glitchMs;
    }
    f.noiseStdMs = std::sqrt(sumSquares / n);
    f.noiseOver08Percent = 100.0 * over / n;
    return f;
}

} // namespace engine
