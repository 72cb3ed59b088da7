// Parsing a tool's command line with CLI11 the same way in every tool: help
// goes to `out` with exit 0, a parse error to `err` as one line with the
// usage exit code.
#pragma once

#include <CLI/CLI.hpp>
#include <stdio.h>
#include <optional>
#include <sstream>

namespace tool_console {

// Nothing when the tool goes on; else the exit code to return at once.
inline std::optional<int> ParseCommandLine(CLI::App &app, int argc, const char *const *argv, FILE *out, FILE *err,
                                           const char *tool, int usageExit)
{
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success &e) { // help was asked for
        std::ostringstream text, unused;
        app.exit(e, text, unused);
        fputs(text.str().c_str(), out);
        return 0;
    } catch (const CLI::ParseError &e) {
        fprintf(err, "%s: %s (see %s --help)\n", tool, e.what(), tool);
        return usageExit;
    }
    return std::nullopt;
}

} // namespace tool_console
