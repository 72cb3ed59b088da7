// ombbench: the driver's and the host library's figures against baselines
// measured in the same run (see README.md).
#include <CLI/CLI.hpp>
#include <stdio.h>
#include <functional>
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

    // In this order: the measurements on the virtual clock and the quiet ones
    // first, the long real-time runs after.
    Figures figures;
    const struct {
        int number;
        const char *name;
        std::function<bool()> run;
    } measurements[] = {
        {2, "host tick", [&] { return MeasureHostTick(length, figures.hostTick); }},
        {3, "clock accuracy", [&] { return MeasureClock(length, figures.clock); }},
        {1, "notify to engine", [&] { return MeasureNotifyToEngine(length, figures.notify); }},
        {4, "smallest glitch-free buffer", [&] { return MeasureGlitchFree(length, figures.glitchFree); }},
        {5, "scale", [&] { return MeasureScale(length, figures.scale); }},
    };
    bool ok = true;
    for (const auto &m : measurements) {
        if (!wanted(m.number))
            continue;
        fprintf(stderr, "ombbench: %d. %s\n", m.number, m.name);
        ok = m.run() && ok;
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
