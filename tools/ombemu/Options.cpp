// ombemu's command line with CLI11, every value checked before the machine
// boots.
#include "Options.h"
#include "EmuTool.h"

#include <CLI/CLI.hpp>
#include <PipeFormat.h>

#include <map>
#include <sstream>

namespace ombemu_tool {

std::optional<int> Parse(int argc, const char *const *argv, Options &options, FILE *out, FILE *err)
{
    CLI::App app("ombemu: the emulated Windows machine with the Ombrivo device. A capture host and a render "
                 "host start with the format; the audio engine plays into the render endpoint and records the "
                 "capture endpoint; the summary says whether each direction arrived exact.",
                 "ombemu");
    std::string format, clock = "virtual", mode = "event";
    std::string play, captureTo, hostPlay, recordTo;
    std::optional<double> playTone, hostTone;
    bool playSignal = false, hostSignal = false;

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
    CLI::Option *p1 = app.add_option("--play", play, "a WAV file Windows applications play");
    CLI::Option *p2 = app.add_option("--play-tone", playTone, "... or a tone of this many Hz")
                          ->check(CLI::PositiveNumber);
    CLI::Option *p3 = app.add_flag("--play-signal", playSignal, "... or the engine's verifying test signal");
    p1->excludes(p2)->excludes(p3);
    p2->excludes(p3);
    app.add_option("--capture-to", captureTo, "write every frame the capture host receives to this WAV file");
    CLI::Option *h1 = app.add_option("--host-play", hostPlay, "a WAV file the render host sends");
    CLI::Option *h2 = app.add_option("--host-tone", hostTone, "... or a tone of this many Hz")
                          ->check(CLI::PositiveNumber);
    CLI::Option *h3 = app.add_flag("--host-signal", hostSignal, "... or the engine's verifying test signal");
    h1->excludes(h2)->excludes(h3);
    h2->excludes(h3);
    app.add_option("--record-to", recordTo, "write every frame Windows applications record to this WAV file");
    app.add_flag("--json", options.json, "print the summary as one JSON object");

    try {
        app.parse(argc, argv);
    } catch (const CLI::Success &e) { // help was asked for
        std::ostringstream text, unused;
        app.exit(e, text, unused);
        fputs(text.str().c_str(), out);
        return ExitOk;
    } catch (const CLI::ParseError &e) {
        fprintf(err, "ombemu: %s (see ombemu --help)\n", e.what());
        return ExitUsage;
    }

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
    if (!play.empty())
        options.play = {SourceSpec::Kind::File, play, 0};
    else if (playTone)
        options.play = {SourceSpec::Kind::Tone, {}, *playTone};
    else if (playSignal)
        options.play = {SourceSpec::Kind::Signal, {}, 0};
    if (!hostPlay.empty())
        options.hostPlay = {SourceSpec::Kind::File, hostPlay, 0};
    else if (hostTone)
        options.hostPlay = {SourceSpec::Kind::Tone, {}, *hostTone};
    else if (hostSignal)
        options.hostPlay = {SourceSpec::Kind::Signal, {}, 0};
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
