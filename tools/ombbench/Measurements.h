// The five measurements. Each fills its figures and returns false, with the
// reason on stderr, when the machine could not run it.
#pragma once

#include "Figures.h"

namespace ombbench {

// How long each measurement runs: the full run, or a few seconds each so
// that the test command keeps the program working.
struct RunLength {
    bool quick = false;
    double hostTickSeconds() const { return quick ? 1 : 20; }
    double clockVirtualSeconds() const { return quick ? 5 : 600; }
    double clockRealSeconds() const { return quick ? 2 : 60; }
    size_t notifications() const { return quick ? 1000 : 20000; }
    double loopbackSeconds() const { return quick ? 1 : 60; }
    double scaleSeconds() const { return quick ? 1 : 10; }
    int repetitions() const { return quick ? 3 : 10; }
};

bool MeasureNotifyToEngine(const RunLength &length, NotifyFigures &figures);
bool MeasureHostTick(const RunLength &length, HostTickFigures &figures);
bool MeasureClock(const RunLength &length, ClockFigures &figures);
bool MeasureGlitchFree(const RunLength &length, GlitchFigures &figures);
bool MeasureScale(const RunLength &length, ScaleFigures &figures);

} // namespace ombbench
