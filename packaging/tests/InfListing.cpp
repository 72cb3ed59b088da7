// Runs InfRead.exe under Wine and parses its records.
#include "InfListing.h"
#include <stdio.h>
#include <sys/wait.h>
#include <algorithm>
#include <sstream>

namespace inf_listing {
namespace {

std::vector<std::string> SplitTabs(const std::string &line)
{
    std::vector<std::string> parts;
    std::string::size_type start = 0;
    for (;;) {
        const auto tab = line.find('\t', start);
        parts.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
        if (tab == std::string::npos)
            return parts;
        start = tab + 1;
    }
}

// Wine reaches the Linux file system through drive Z:.
std::string WindowsPath(const std::string &path)
{
    std::string windows = "Z:" + path;
    std::replace(windows.begin(), windows.end(), '/', '\\');
    return windows;
}

std::string Quoted(const std::string &text) { return "'" + text + "'"; }

} // namespace

bool SameText(const std::string &a, const std::string &b) { return Upper(a) == Upper(b); }

std::string Upper(std::string text)
{
    for (char &c : text)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return text;
}

std::string FileName(const std::string &path) { return path.substr(path.rfind('\\') + 1); }

bool Listing::HasSection(const std::string &section) const
{
    return std::any_of(sections.begin(), sections.end(), [&](const std::string &s) { return SameText(s, section); });
}

std::vector<Line> Listing::Section(const std::string &section) const
{
    std::vector<Line> found;
    for (const auto &[name, line] : lines)
        if (SameText(name, section))
            found.push_back(line);
    return found;
}

std::vector<Line> Listing::Keyed(const std::string &section, const std::string &key) const
{
    std::vector<Line> found;
    for (const Line &line : Section(section))
        if (SameText(line.key, key))
            found.push_back(line);
    return found;
}

std::string Listing::Value(const std::string &section, const std::string &key) const
{
    const auto found = Keyed(section, key);
    return found.size() == 1 && !found[0].fields.empty() ? found[0].fields[0] : std::string();
}

Listing Read(const std::string &infPath, std::string &error)
{
    const std::string command = "WINEDEBUG=-all " + Quoted(OMB_WINE) + " " + Quoted(OMB_INF_READ) + " " +
                                Quoted(WindowsPath(infPath));
    FILE *pipe = popen(command.c_str(), "r");
    Listing listing;
    if (pipe == nullptr) {
        error = "cannot run " + command;
        return listing;
    }
    std::string output;
    char chunk[4096];
    for (size_t n; (n = fread(chunk, 1, sizeof chunk, pipe)) > 0;)
        output.append(chunk, n);
    const int status = pclose(pipe);
    if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        error = command + " failed (status " + std::to_string(status) + "):\n" + output;
        return listing;
    }

    std::istringstream records(output);
    for (std::string record; std::getline(records, record);) {
        const auto parts = SplitTabs(record);
        const std::string &kind = parts[0];
        if (kind == "section" && parts.size() == 2) {
            listing.sections.push_back(parts[1]);
        } else if (kind == "line" && parts.size() >= 3) {
            Line line{parts[2], std::vector<std::string>(parts.begin() + 3, parts.end())};
            listing.lines.emplace_back(parts[1], line);
        } else if (kind == "models" && parts.size() == 3) {
            listing.models.push_back(parts[2]);
        } else if (kind == "device" && parts.size() == 5) {
            listing.devices.push_back(Device{parts[1], parts[2], parts[3], parts[4]});
        } else {
            error = "unexpected record: " + record;
            return listing;
        }
    }
    return listing;
}

} // namespace inf_listing
