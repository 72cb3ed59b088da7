// The table, the JSON object and the plot.
#include "Report.h"

#include <math.h>
#include <stdlib.h>
#include <unistd.h>
#include <algorithm>
#include <string>

namespace ombbench {

namespace {

double Ratio(double value, double baseline)
{
    return baseline > 0 ? value / baseline : 0;
}

const char *Met(bool met)
{
    return met ? "met" : "NOT met";
}

void Section(FILE *out, const char *title)
{
    fprintf(out, "\n%s\n", title);
}

} // namespace

void PrintTable(FILE *out, const Figures &f, const RunLength &length)
{
    fprintf(out, "ombbench (%s run)%s\n", length.quick ? "quick" : "full",
            length.quick ? ": a few seconds each, figures only to show the program works" : "");

    Section(out, "1. notify to engine (real time, 1 ms tick)");
    if (f.notify.measured) {
        const NotifyFigures &n = f.notify;
        fprintf(out, "   %-34s %10s %10s %9s\n", "", "median us", "p99 us", "samples");
        fprintf(out, "   %-34s %10.2f %10.2f %9zu\n", "Notify to the engine's wake", n.latency.median, n.latency.p99,
                n.latency.samples);
        fprintf(out, "   %-34s %10.2f %10.2f %9zu\n", "baseline: two chained futex wakes", n.baseline.median,
                n.baseline.p99, n.baseline.samples);
        const double medianRatio = Ratio(n.latency.median, n.baseline.median);
        const double p99Ratio = Ratio(n.latency.p99, n.baseline.p99);
        fprintf(out, "   %-34s %9.2fx %9.2fx   goal 1.3x / 2x: %s\n", "ratio", medianRatio, p99Ratio,
                Met(medianRatio <= 1.3 && p99Ratio <= 2));
        fprintf(out, "   where the time goes:\n");
        const std::pair<const char *, const Distribution *> parts[] = {
            {"request to the driver's worker wake", &n.toDriver},
            {"worker's wake and update to the event", &n.inWorker},
            {"event to the engine's wake", &n.toEngine}};
        for (const auto &part : parts)
            fprintf(out, "   %-34s %10.2f %10.2f %9zu\n", part.first, part.second->median, part.second->p99,
                    part.second->samples);
    } else {
        fprintf(out, "   not measured\n");
    }

    Section(out, "2. host tick (real time, 48 kHz 16-bit stereo, 1 ms tick)");
    if (f.hostTick.measured) {
        const HostTickFigures &h = f.hostTick;
        fprintf(out, "   CPU time per tick without TransferData: median %.2f us, p99 %.2f us over %zu ticks\n",
                h.tick.median, h.tick.p99, h.tick.samples);
        fprintf(out,
                "   baseline: one bare DeviceIoControl round trip %.2f us (median of %d repetitions, %llu calls)\n",
                h.ioctlRoundTripUs, length.repetitions(), static_cast<unsigned long long>(h.ioctlIterations));
        fprintf(out, "   ratio %.2fx; goal under 5 us: %s\n", Ratio(h.tick.median, h.ioctlRoundTripUs),
                Met(h.tick.median < 5));
        fprintf(out, "   allocations per tick by the host library and the driver %.3f; goal 0: %s\n",
                h.allocationsPerTick, Met(h.allocationsPerTick == 0));
        fprintf(out, "   (the platform's I/O manager inside DeviceIoControl: %.3f per tick)\n",
                h.platformAllocationsPerTick);
        fprintf(out, "   (%.3f us per CPU-clock reading taken off each tick)\n", h.clockReadUs);
    } else {
        fprintf(out, "   not measured\n");
    }

    Section(out, "3. clock accuracy (frames handed out against elapsed x rate x trim)");
    if (f.clock.measured) {
        const ClockFigures &c = f.clock;
        fprintf(out, "   %.0f virtual s per case, trim 0, then +500 ppm, then -250 ppm\n", c.virtualSeconds);
        fprintf(out, "   %8s %8s %12s %16s\n", "rate", "tick ms", "frames", "max deviation");
        for (const ClockCase &k : c.cases)
            fprintf(out, "   %8u %8u %12llu %16.3f\n", k.rate, k.tickMs, static_cast<unsigned long long>(k.frames),
                    k.maxDeviationFrames);
        fprintf(out, "   largest deviation %.3f frames; goal at most 1: %s\n", c.maxDeviationFrames,
                Met(c.maxDeviationFrames <= 1));
        fprintf(out, "   real time: %.0f s, %llu frames at 48 kHz, %+.3f ppm (longest stall of the loop %.1f ms)\n",
                c.realSeconds, static_cast<unsigned long long>(c.realFrames), c.realTimePpm,
                static_cast<double>(c.realLongestStallUs) / 1000);
    } else {
        fprintf(out, "   not measured\n");
    }

    Section(out, "4. smallest glitch-free buffer (real time, 48 kHz, 1 ms host tick, loopback both ways)");
    if (f.glitchFree.measured) {
        const GlitchFigures &g = f.glitchFree;
        fprintf(out, "   %.0f s per size\n", g.secondsPerSize);
        fprintf(out, "   %8s %10s %10s %6s\n", "frames", "underruns", "overruns", "exact");
        for (const GlitchTry &t : g.tried)
            fprintf(out, "   %8u %10llu %10llu %6s\n", t.bufferFrames, static_cast<unsigned long long>(t.underruns),
                    static_cast<unsigned long long>(t.overruns), t.exact ? "yes" : "no");
        if (g.smallestBufferFrames != 0)
            fprintf(out, "   smallest %u frames (period %u); latency render %.2f ms, capture %.2f ms; goal 128: %s\n",
                    g.smallestBufferFrames, g.periodFrames, g.latencyRenderMs, g.latencyCaptureMs,
                    Met(g.smallestBufferFrames <= 128));
        else
            fprintf(out, "   no size tried was glitch-free; goal 128: NOT met\n");
    } else {
        fprintf(out, "   not measured\n");
    }

    Section(out, "5. scale (real time, 1 ms tick)");
    if (f.scale.measured) {
        const ScaleFigures &s = f.scale;
        fprintf(out, "   %-14s %14s %14s %14s\n", "median us", "tick", "TransferData", "notification");
        for (const ScaleCase *k : {&s.small, &s.large})
            fprintf(out, "   %-14s %14.2f %14.2f %14.2f\n", k->name.c_str(), k->tick.median, k->copy.median,
                    k->notify.median);
        fprintf(out, "   %-14s %13.2fx %13.2fx %13.2fx   (bytes per tick: 16x)\n", "ratio",
                Ratio(s.large.tick.median, s.small.tick.median), Ratio(s.large.copy.median, s.small.copy.median),
                Ratio(s.large.notify.median, s.small.notify.median));
    } else {
        fprintf(out, "   not measured\n");
    }
}

namespace {

// A number for JSON: null when it is not one.
std::string Number(double value)
{
    if (!isfinite(value))
        return "null";
    char text[64];
    snprintf(text, sizeof text, "%.6g", value);
    return text;
}

std::string Count(uint64_t value)
{
    return std::to_string(value);
}

} // namespace

void PrintJson(FILE *out, const Figures &f)
{
    const NotifyFigures &n = f.notify;
    const HostTickFigures &h = f.hostTick;
    const ClockFigures &c = f.clock;
    const GlitchFigures &g = f.glitchFree;
    const ScaleFigures &s = f.scale;
    std::string json = "{";
    json += "\"notify_to_engine\": ";
    json += n.measured ? "{\"samples\": " + Count(n.latency.samples) + ", \"median_us\": " + Number(n.latency.median) +
                             ", \"p99_us\": " + Number(n.latency.p99) +
                             ", \"baseline_median_us\": " + Number(n.baseline.median) +
                             ", \"baseline_p99_us\": " + Number(n.baseline.p99) + "}"
                       : "null";
    json += ", \"host_tick\": ";
    json += h.measured ? "{\"samples\": " + Count(h.tick.samples) + ", \"median_us\": " + Number(h.tick.median) +
                             ", \"allocations_per_tick\": " + Number(h.allocationsPerTick) +
                             ", \"ioctl_roundtrip_us\": " + Number(h.ioctlRoundTripUs) + "}"
                       : "null";
    json += ", \"clock\": ";
    json += c.measured ? "{\"max_deviation_frames\": " + Number(c.maxDeviationFrames) +
                             ", \"real_time_ppm\": " + Number(c.realTimePpm) + "}"
                       : "null";
    json += ", \"glitch_free\": ";
    if (g.measured) {
        json += "{\"smallest_buffer_frames\": " + Count(g.smallestBufferFrames) +
                ", \"period_frames\": " + Count(g.periodFrames) +
                ", \"latency_render_ms\": " + Number(g.latencyRenderMs) +
                ", \"latency_capture_ms\": " + Number(g.latencyCaptureMs) + ", \"tried\": [";
        for (size_t i = 0; i < g.tried.size(); ++i) {
            const GlitchTry &t = g.tried[i];
            json += (i ? ", " : "") + std::string("{\"buffer_frames\": ") + Count(t.bufferFrames) +
                    ", \"underruns\": " + Count(t.underruns) + ", \"overruns\": " + Count(t.overruns) +
                    ", \"exact\": " + (t.exact ? "true" : "false") + "}";
        }
        json += "]}";
    } else {
        json += "null";
    }
    json += ", \"scale\": ";
    json += s.measured ? "{\"tick_us_2x48k16\": " + Number(s.small.tick.median) +
                             ", \"tick_us_8x384k32\": " + Number(s.large.tick.median) + "}"
                       : "null";
    json += "}\n";
    fputs(json.c_str(), out);
}

bool PlotNotify(const NotifyFigures &n, const std::string &svgPath)
{
    if (!n.measured)
        return false;
    char dataPath[] = "/tmp/ombbench-XXXXXX";
    const int fd = mkstemp(dataPath);
    if (fd < 0)
        return false;
    FILE *data = fdopen(fd, "w");
    // Both distributions in one table of bins, 0.5 us wide, up to the larger
    // 99.9th percentile so that a few outliers do not flatten the rest.
    std::vector<double> all = n.latencyUs;
    all.insert(all.end(), n.baselineUs.begin(), n.baselineUs.end());
    std::sort(all.begin(), all.end());
    const double top = all.empty() ? 1 : all[static_cast<size_t>(0.999 * static_cast<double>(all.size() - 1))];
    const double width = std::max(0.5, top / 200);
    const size_t bins = static_cast<size_t>(top / width) + 1;
    std::vector<size_t> path(bins), base(bins);
    for (double v : n.latencyUs)
        if (v < top)
            ++path[static_cast<size_t>(v / width)];
    for (double v : n.baselineUs)
        if (v < top)
            ++base[static_cast<size_t>(v / width)];
    for (size_t i = 0; i < bins; ++i)
        fprintf(data, "%g %zu %zu\n", (static_cast<double>(i) + 0.5) * width, path[i], base[i]);
    fclose(data);

    const std::string script = "set terminal svg size 900,500 dynamic\n"
                               "set output '" +
                               svgPath +
                               "'\n"
                               "set title 'Notification to the engine''s wake against two chained futex wakes'\n"
                               "set xlabel 'latency, microseconds'\nset ylabel 'samples'\n"
                               "set style fill transparent solid 0.5 noborder\nset boxwidth " +
                               Number(width) +
                               "\n"
                               "plot '" +
                               std::string(dataPath) + "' using 1:2 with boxes title 'Notify to engine (" +
                               Count(n.latency.samples) + ")', '' using 1:3 with boxes title 'baseline (" +
                               Count(n.baseline.samples) + ")'\n";
    FILE *gnuplot = popen("gnuplot", "w");
    bool ok = gnuplot != nullptr;
    if (ok) {
        fputs(script.c_str(), gnuplot);
        ok = pclose(gnuplot) == 0;
    }
    unlink(dataPath);
    return ok;
}

} // namespace ombbench
