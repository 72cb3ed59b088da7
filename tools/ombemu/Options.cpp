// ombemu's command line with CLI11, every value checked before the machine
// boots.
#include "Options.h"
#include "EmuTool.h"

#include <CLI/CLI.hpp>
#include <CommandLine.h>
#include <PipeFormat.h>

#include <map>

namespace ombemu_tool {

namespace {

// One side's source options: a file, a tone or the test signal, at most one.
struct SourceChoice {
    std::string file;
    std::optional<double> tone;
    bool signal = false;
    void Apply(PlayedSource &source) const
    {
        if (!file.empty())
            source = {PlayedSource::Kind::File, file, 0};
        else if (tone)
            source = {PlayedSource::Kind::Tone, {}, *tone};
        else if (signal)
            source = {PlayedSource::Kind::Signal, {}, 0};
    }
};

// --play, --play-tone, --play-signal; --host-play, --host-tone, --host-signal.
void AddSourceOptions(CLI::App &app, const std::string &prefix, const std::string &who, SourceChoice &choice)
{
    const std::string fileOption = prefix == "--play" ? prefix : prefix + "-play";
    CLI::Option *file = app.add_option(fileOption, choice.file, "a WAV file " + who);
    CLI::Option *tone =
        app.add_option(prefix + "-tone", choice.tone, "... or a tone of this many Hz")->check(CLI::PositiveNumber);
    CLI::Option *signal = app.add_flag(prefix + "-signal", choice.signal, "... or the engine's verifying test signal");
    file->excludes(tone)->excludes(signal);
    tone->excludes(signal);
}

} // namespace

std::optional<int> Parse(int argc, const char *const *argv, Options &options, FILE *out, FILE *err)
{
    CLI::App app("ombemu: the emulated Windows machine with the Ombrivo device. A capture host and a render "
                 "host start with the format; the audio engine plays into the render endpoint and records the "
                 "capture endpoint; the summary says whether each direction arrived exact.",
                 "ombemu");
    std::string format, clock = "virtual", mode = "event";
    std::string captureTo, recordTo;

    app.add_option("--seconds", options.seconds, "how long to run (default: the files' length, else 3)")
        ->check(CLI::Range(0.01, 86400.0));
    app.add_option("--format", format, "the pipes' format SR,BPS,NC,BPC (default: the files', else 48000,16,2,2)");
    app.add_option("--tick", options.tickMs, "the hosts' tick in ms (1 to 1000, default 10)")
        ->check(CLI::Range(1u, 1000u));
    app.add_option("--clock", clock, "virtual (fast, the same every run; default) or real")
        ->check(CLI::IsMember({"virtual", "real"}));
    app.add_option("--engine-mode", mode, "event (default), packet or poll")
        ->check(CLI::IsMember({"event", "packet", "poll"}));
    app.add_option("--engine-period-ms", options.periodMs, "the engine's period in ms (1 to 100, default 10)")
        ->check(CLI::Range(1u, 100u));
    SourceChoice played, sent;
    AddSourceOptions(app, "--play", "Windows applications play", played);
    app.add_option("--capture-to", captureTo, "write every frame the capture host receives to this WAV file");
    AddSourceOptions(app, "--host", "the render host sends", sent);
    app.add_option("--record-to", recordTo, "write every frame Windows applications record to this WAV file");
    app.add_flag("--json", options.json, "print the summary as one JSON object");

    if (const auto exit = tool_console::ParseCommandLine(app, argc, argv, out, err, "ombemu", ExitUsage))
        return *exit;

    if (!format.empty()) {
        Ombrivo::WaveFormat parsed;
        const std::string problem = ombhost::ParseFormat(format, parsed);
        if (!problem.empty()) {
            fprintf(err, "ombemu: %s\n", problem.c_str());
            return ExitUsage;
        }
        options.format = parsed;
    }
    options.realClock = clock == "real";
    options.mode = mode == "packet" ? engine::Mode::Packet : mode == "poll" ? engine::Mode::Poll : engine::Mode::Event;
    played.Apply(options.play);
    sent.Apply(options.hostPlay);
    options.captureTo = captureTo;
    options.recordTo = recordTo;
    if (argc <= 1) {
        options.captureTo = "captured.wav";
        options.recordTo = "recorded.wav";
    }
    if (!options.captureTo.empty() && options.captureTo == options.recordTo) {
        fprintf(err, "ombemu: --capture-to and --record-to name the same file\n");
        return ExitUsage;
    }
    return std::nullopt;
}

} // namespace ombemu_tool
