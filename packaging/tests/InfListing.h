// An INF file as the Windows setup API reads it: the records InfRead.exe
// prints under Wine, run and parsed, with the look-ups the checks need.
#pragma once

#include <string>
#include <vector>

namespace inf_listing {

struct Line {
    std::string key; // a line without an equals sign gives its first value here too
    std::vector<std::string> fields;
};

struct Device {
    std::string models;
    std::string hardwareId;
    std::string installSection;
    std::string actualSection; // what the setup API installs on 64-bit Windows
};

struct Listing {
    std::vector<std::string> sections;
    std::vector<std::pair<std::string, Line>> lines; // section, line
    std::vector<std::string> models;
    std::vector<Device> devices;

    bool HasSection(const std::string &section) const;
    // The lines of a section, in file order (section names compare without case).
    std::vector<Line> Section(const std::string &section) const;
    // The lines of a section with the key (compared without case).
    std::vector<Line> Keyed(const std::string &section, const std::string &key) const;
    // The first field of the only line with the key; empty when there is not
    // exactly one.
    std::string Value(const std::string &section, const std::string &key) const;
};

// Runs the reader under Wine on the file and parses what it prints; a
// failure to run or a non-zero exit leaves `error` set.
Listing Read(const std::string &infPath, std::string &error);

bool SameText(const std::string &a, const std::string &b); // without case, ASCII
std::string Upper(std::string text);
// What follows the last backslash.
std::string FileName(const std::string &path);

} // namespace inf_listing
