// Running ombemu's entry from a test with its output captured, and sox and
// the shell for making and reading WAV files.
#pragma once

#include "EmuTool.h"

#include <atomic>
#include <string>
#include <vector>

namespace ombemu_tests {

struct Output {
    int status = -1;
    std::string out, err;
};

// Runs ombemu with the arguments (after the program's name).
Output RunTool(std::vector<std::string> args, const std::atomic<bool> *interrupted = nullptr);

// A shell command's standard output.
std::string Shell(const std::string &command);
bool Exists(const std::string &path);

// The sample data of a WAV file as sox reads it, in the file's own encoding
// (or converted: encoding "-e signed -b 32" and the like).
std::string SoxSamples(const std::string &path, const std::string &encoding = "");

// A scratch directory of its own, removed with everything in it.
class Scratch {
public:
    Scratch();
    ~Scratch();
    std::string operator/(const std::string &name) const { return dir + "/" + name; }
    std::string dir;
};

} // namespace ombemu_tests
