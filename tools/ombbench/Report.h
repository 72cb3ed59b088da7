// The figures for people (a table, each machine-dependent figure beside the
// ratio to its baseline), for machines (one JSON object) and as a plot.
#pragma once

#include <stdio.h>
#include <string>
#include "Figures.h"
#include "Measurements.h"

namespace ombbench {

void PrintTable(FILE *out, const Figures &figures, const RunLength &length);
void PrintJson(FILE *out, const Figures &figures);
// The latency distributions of the notification and of its baseline as a
// histogram, drawn by gnuplot into an SVG file. False when gnuplot failed.
bool PlotNotify(const NotifyFigures &figures, const std::string &svgPath);

} // namespace ombbench
