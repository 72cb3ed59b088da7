// Writing the summary.
#include "Summary.h"

#include <inttypes.h>

namespace ombemu_tool {

namespace {

std::string JsonText(const std::string &text)
{
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escape[8];
            snprintf(escape, sizeof escape, "\\u%04x", c);
            quoted += escape;
        } else {
            quoted += c;
        }
    }
    return quoted + "\"";
}

void TableRow(FILE *out, const char *label, const std::string &render, const std::string &capture)
{
    fprintf(out, "  %-26s %-36s %s\n", label, render.c_str(), capture.c_str());
}

std::string Number(uint64_t value) { return std::to_string(value); }

std::string Ms(double value, bool known = true)
{
    if (!known)
        return "-";
    char text[32];
    snprintf(text, sizeof text, "%.3f ms", value);
    return text;
}

std::string ExactText(const DirectionSummary &d) { return d.exact ? "yes" : "NO: " + d.problem; }

std::string SignalText(const DirectionSummary &d)
{
    if (!d.delivery.signalVerified)
        return "-";
    return d.delivery.signal.Exact() ? "exact" : "NO: " + d.delivery.signal.Describe();
}

void JsonDirection(FILE *out, const DirectionSummary &d, const char *trail)
{
    const engine::StreamReport &e = d.engine;
    fprintf(out,
            "  %s: {\"from\": %s, \"to\": %s, \"source\": %s, \"file\": %s, \"played\": %" PRIu64
            ", \"received\": %" PRIu64 ", \"receivedInPlace\": %" PRIu64 ", \"leadingSilence\": %" PRIu64
            ", \"exact\": %s, \"problem\": %s,\n",
            JsonText(d.name).c_str(), JsonText(d.from).c_str(), JsonText(d.to).c_str(), JsonText(d.source).c_str(),
            d.file.empty() ? "null" : JsonText(d.file).c_str(), d.played, d.delivery.received, d.delivery.matched,
            d.delivery.leadingSilence, d.exact ? "true" : "false", JsonText(d.problem).c_str());
    if (d.delivery.signalVerified)
        fprintf(out, "    \"signal\": {\"exact\": %s, \"detail\": %s},\n",
                d.delivery.signal.Exact() ? "true" : "false", JsonText(d.delivery.signal.Describe()).c_str());
    if (d.latencyKnown)
        fprintf(out, "    \"latencyMs\": %.3f,\n", d.latencyMs);
    else
        fprintf(out, "    \"latencyMs\": null,\n");
    fprintf(out,
            "    \"engine\": {\"mode\": %s, \"periodFrames\": %u, \"bufferFrames\": %u, \"frames\": %" PRIu64
            ", \"underruns\": %" PRIu64 ", \"overruns\": %" PRIu64 ", \"latePackets\": %" PRIu64
            ", \"earlyPackets\": %" PRIu64 ", \"skippedPackets\": %" PRIu64 ", \"deviceErrors\": %" PRIu64
            ", \"notificationJitterMs\": %.4f, \"notificationJitterMaxMs\": %.4f, \"notificationGlitches\": %u},\n",
            JsonText(engine::ModeName(e.mode)).c_str(), e.periodFrames, e.bufferFrames, e.frames, e.underruns,
            e.overruns, e.latePackets, e.earlyPackets, e.skippedPackets, e.deviceErrors,
            e.notificationTiming.noiseStdMs, e.notificationTiming.noiseMaxMs, e.notificationTiming.glitches);
    fprintf(out,
            "    \"host\": {\"ticks\": %" PRIu64 ", \"framesHandedOut\": %" PRIu64 ", \"lateTicks\": %" PRIu64
            ", \"maxLatenessUs\": %" PRIu64 "}}%s\n",
            d.host.Ticks, d.host.FramesHandedOut, d.host.LateTicks, d.host.MaxLatenessUs, trail);
}

} // namespace

void PrintTable(FILE *out, const RunSummary &s)
{
    const DirectionSummary &r = s.render, &c = s.capture;
    fprintf(out, "ombemu: %.3f s of %s time, %s%s\n", s.seconds, s.clock.c_str(), s.format.c_str(),
            s.interrupted ? " (interrupted)" : "");
    TableRow(out, "", "render", "capture");
    TableRow(out, "direction", std::string(r.from) + " -> " + r.to, std::string(c.from) + " -> " + c.to);
    TableRow(out, "source", r.source, c.source);
    TableRow(out, "frames played", Number(r.played), Number(c.played));
    TableRow(out, "frames received", Number(r.delivery.received), Number(c.delivery.received));
    TableRow(out, "  of the source, in place", Number(r.delivery.matched), Number(c.delivery.matched));
    TableRow(out, "  leading silence", Number(r.delivery.leadingSilence), Number(c.delivery.leadingSilence));
    TableRow(out, "exact", ExactText(r), ExactText(c));
    if (r.delivery.signalVerified || c.delivery.signalVerified)
        TableRow(out, "test signal", SignalText(r), SignalText(c));
    TableRow(out, "underruns", Number(r.engine.underruns), Number(c.engine.underruns));
    TableRow(out, "overruns", Number(r.engine.overruns), Number(c.engine.overruns));
    TableRow(out, "late packets", Number(r.engine.latePackets), Number(c.engine.latePackets));
    TableRow(out, "early packets", Number(r.engine.earlyPackets), Number(c.engine.earlyPackets));
    TableRow(out, "latency", Ms(r.latencyMs, r.latencyKnown), Ms(c.latencyMs, c.latencyKnown));
    TableRow(out, "notification jitter (sd)", Ms(r.engine.notificationTiming.noiseStdMs),
             Ms(c.engine.notificationTiming.noiseStdMs));
    TableRow(out, "host late ticks", Number(r.host.LateTicks), Number(c.host.LateTicks));
    if (!r.file.empty() || !c.file.empty())
        TableRow(out, "written to", r.file.empty() ? "-" : r.file, c.file.empty() ? "-" : c.file);
    if (s.leak)
        fprintf(out, "ombemu: the driver's unload found it still holding memory or handles\n");
    fprintf(out, "render: %s; capture: %s\n", r.exact ? "exact" : "NOT exact", c.exact ? "exact" : "NOT exact");
}

void PrintJson(FILE *out, const RunSummary &s)
{
    fprintf(out, "{\n  \"clock\": %s, \"seconds\": %.3f, \"interrupted\": %s, \"format\": %s, \"leak\": %s,\n",
            JsonText(s.clock).c_str(), s.seconds, s.interrupted ? "true" : "false", JsonText(s.format).c_str(),
            s.leak ? "true" : "false");
    JsonDirection(out, s.render, ",");
    JsonDirection(out, s.capture, "");
    fprintf(out, "}\n");
}

} // namespace ombemu_tool
