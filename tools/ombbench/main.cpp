// ombbench: the driver's and the host library's figures against baselines
// measured in the same run (see README.md).
#include <CLI/CLI.hpp>
#include <stdio.h>
#include <set>
#include "Measurements.h"
#include "Report.h"

int main(int argc, char **argv)
{
    using namespace ombbench;
    CLI::App app{"ombbench: the notification path, the host tick, the clock, the smallest glitch-free buffer and "
                 "the scale, each against a baseline measured in the same run"};
    RunLength length;
    std::string json;
    std::string plot;
    std::set<int> only;
    app.add_flag("--quick", length.quick, "a few seconds per measurement (the test command's run)");
    CLI::Option *jsonOption =
        app.add_option("--json", json,
                       "print one JSON object instead of the table; with a file name, the table as usual and the "
                       "JSON object into the file")
            ->expected(0, 1);
    app.add_option("--plot", plot, "draw the latency histograms of 1 and its baseline into this SVG file");
    app.add_option("--only", only, "run only these measurements (1 to 5)")->check(CLI::Range(1, 5))->delimiter(',');
    CLI11_PARSE(app, argc, argv);
    const auto wanted = [&](int n) { return only.empty() || only.count(n) != 0; };

    Figures figures;
    bool ok = true;
    if (wanted(2)) {
        fprintf(stderr, "ombbench: 2. host tick\n");
        ok = MeasureHostTick(length, figures.hostTick) && ok;
    }
    if (wanted(3)) {
        fprintf(stderr, "ombbench: 3. clock accuracy\n");
        ok = MeasureClock(length, figures.clock) && ok;
    }
    if (wanted(1)) {
        fprintf(stderr, "ombbench: 1. notify to engine\n");
        ok = MeasureNotifyToEngine(length, figures.notify) && ok;
    }
    if (wanted(4)) {
        fprintf(stderr, "ombbench: 4. smallest glitch-free buffer\n");
        ok = MeasureGlitchFree(length, figures.glitchFree) && ok;
    }
    if (wanted(5)) {
        fprintf(stderr, "ombbench: 5. scale\n");
        ok = MeasureScale(length, figures.scale) && ok;
    }
    if (jsonOption->count() == 0 || !json.empty())
        PrintTable(stdout, figures, length);
    if (jsonOption->count() != 0 && json.empty()) {
        PrintJson(stdout, figures);
    } else if (!json.empty()) {
        FILE *file = fopen(json.c_str(), "w");
        if (file == nullptr) {
            fprintf(stderr, "ombbench: %s cannot be written\n", json.c_str());
            ok = false;
        } else {
            PrintJson(file, figures);
            ok = fclose(file) == 0 && ok;
        }
    }
    if (!plot.empty() && !PlotNotify(figures.notify, plot)) {
        fprintf(stderr, "ombbench: no plot in %s (%s)\n", plot.c_str(),
                figures.notify.measured ? "gnuplot failed" : "measurement 1 did not run");
        ok = false;
    }
    return ok ? 0 : 1;
}
