// ombhost's command line with CLI11: the three commands and their options,
// each value checked before anything touches the device.
#include "Options.h"

#include <CLI/CLI.hpp>
#include <CommandLine.h>
#include <math.h>
#include "HostTool.h"
#include "PipeFormat.h"

namespace ombhost {

namespace {

constexpr double TrimLimitPpm = OMB_CLOCK_TRIM_LIMIT_PPB / 1000.0;

void AddStreamOptions(CLI::App &command, Options &options, std::string &format)
{
    command.add_option("--format", format, "the pipe's format SR,BPS,NC[,BPC[,CC]] (default 48000,16,2)");
    command.add_option("--tick", options.tickMs, "the tick period in ms (1 to 1000, default 10)")
        ->check(CLI::Range(1u, 1000u));
    command.add_option("--buffer", options.bufferMs, "the minimal buffer to ask for, in ms (default none)")
        ->check(CLI::Range(0u, 10000u));
    command.add_option("--seconds", options.seconds, "run this long (default: to the end, or until Ctrl-C)")
        ->check(CLI::PositiveNumber);
    command
        .add_option_function<double>(
            "--trim-ppm",
            [&options](double ppm) { options.trimPpb = static_cast<int32_t>(lround(ppm * 1000)); },
            "run the device clock this many parts per million fast (negative: slow), at most 1000")
        ->check(CLI::Range(-TrimLimitPpm, TrimLimitPpm));
    command.add_flag("-q,--quiet", options.quiet, "no progress line and no summary");
}

} // namespace

std::optional<int> Parse(int argc, const char *const *argv, Options &options, FILE *out, FILE *err)
{
    CLI::App app("ombhost: a host for the Ombrivo virtual sound device", "ombhost");
    app.require_subcommand(1);
    app.fallthrough(false);
    std::string format;

    CLI::App *info = app.add_subcommand("info", "show the device, both pipes, their formats and streams");
    CLI::App *capture =
        app.add_subcommand("capture", "record what Windows applications play into a WAV file");
    capture->add_option("file", options.file, "the WAV file to write")->required();
    capture->add_flag("--float", options.floatFile, "write 32-bit float samples");
    AddStreamOptions(*capture, options, format);

    CLI::App *render =
        app.add_subcommand("render", "play a WAV file or a tone for Windows applications to record");
    CLI::Option *file = render->add_option("file", options.file, "the WAV file to play");
    CLI::Option *tone =
        render->add_option("--tone", options.toneHz, "play a sine tone of this frequency in Hz instead")
            ->check(CLI::PositiveNumber);
    file->excludes(tone);
    AddStreamOptions(*render, options, format);

    if (const auto exit = tool_console::ParseCommandLine(app, argc, argv, out, err, "ombhost", ExitUsage))
        return *exit;
    if (render->parsed() && options.file.empty() && !options.toneHz) {
        fprintf(err, "ombhost: render needs a FILE.wav or --tone HZ\n");
        return ExitUsage;
    }
    options.command = info->parsed() ? Command::Info : capture->parsed() ? Command::Capture : Command::Render;
    if (!format.empty()) {
        Ombrivo::WaveFormat parsed;
        const std::string problem = ParseFormat(format, parsed);
        if (!problem.empty()) {
            fprintf(err, "ombhost: %s\n", problem.c_str());
            return ExitUsage;
        }
        options.format = parsed;
    }
    if (options.toneHz) {
        const unsigned rate = options.format ? options.format->GetSR() : 48000;
        if (*options.toneHz >= rate / 2.0) {
            fprintf(err, "ombhost: a tone of %g Hz does not fit a rate of %u Hz\n", *options.toneHz, rate);
            return ExitUsage;
        }
    }
    return std::nullopt;
}

} // namespace ombhost
