// 4. The smallest glitch-free engine buffer: needs the emulated machine's
// audio engine with its render and capture pumps.
#include "Measurements.h"

#include <stdio.h>

namespace ombbench {

bool MeasureGlitchFree(const RunLength &, GlitchFigures &)
{
    fprintf(stderr, "ombbench: 4. needs the emulated audio engine, which this build lacks\n");
    return false;
}

} // namespace ombbench
