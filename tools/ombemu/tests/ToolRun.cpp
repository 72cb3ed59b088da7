// Running ombemu's entry from a test, and the shell's sox.
#include "ToolRun.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ombemu_tests {

Output RunTool(std::vector<std::string> args, const std::atomic<bool> *interrupted)
{
    args.insert(args.begin(), "ombemu");
    std::vector<const char *> argv;
    for (const std::string &a : args)
        argv.push_back(a.c_str());
    char *outText = nullptr, *errText = nullptr;
    size_t outSize = 0, errSize = 0;
    FILE *out = open_memstream(&outText, &outSize);
    FILE *err = open_memstream(&errText, &errSize);
    ombemu_tool::Environment env;
    env.out = out;
    env.err = err;
    env.interrupted = interrupted;
    Output result;
    result.status = ombemu_tool::Run(static_cast<int>(argv.size()), argv.data(), env);
    fclose(out);
    fclose(err);
    result.out = outText;
    result.err = errText;
    free(outText);
    free(errText);
    return result;
}

std::string Shell(const std::string &command)
{
    std::string text;
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return text;
    char buffer[65536];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        text.append(buffer, n);
    pclose(pipe);
    return text;
}

bool Exists(const std::string &path)
{
    struct stat s;
    return stat(path.c_str(), &s) == 0;
}

Scratch::Scratch()
{
    char pattern[] = "/tmp/ombemu-test-XXXXXX";
    dir = mkdtemp(pattern);
}

Scratch::~Scratch() { Shell("rm -rf '" + dir + "'"); }

std::string SoxSamples(const std::string &path, const std::string &encoding)
{
    return Shell("sox '" + path + "' -t raw " + encoding + " - 2>/dev/null");
}

} // namespace ombemu_tests
