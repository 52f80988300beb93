#include "restart/machine_restart.h"

#include "machines/config_file.h"
#include "text/trim.h"

#include <fstream>
#include <sstream>
#include <vector>

namespace vorl {
namespace {

std::string trim(std::string_view s) {
    return std::string(Trim(s));
}

std::string lower(std::string s) {
    for (char& c : s) {
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    }
    return s;
}

// The file's lines, and where each machine's section begins and ends.
struct Section {
    std::string name;
    size_t first = 0; // the "[name]" line
    size_t end = 0;   // one past its last line
};

std::vector<Section> sections(const std::vector<std::string>& lines) {
    std::vector<Section> out;
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string line = trim(lines[i]);
        if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
            if (!out.empty()) {
                out.back().end = i;
            }
            out.push_back({line.substr(1, line.size() - 2), i, lines.size()});
        }
    }
    return out;
}

std::vector<std::string> readLines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path, std::ios::binary);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(line);
    }
    return lines;
}

} // namespace

std::string RestartFilePath(const std::string& configPath) {
    const size_t slash = configPath.find_last_of('/');
    const size_t dot = configPath.find_last_of('.');
    const bool extension = dot != std::string::npos && (slash == std::string::npos || dot > slash);
    return (extension ? configPath.substr(0, dot) : configPath) + ".restart";
}

std::string DialectName(ControlDialect dialect) {
    switch (dialect) {
    case ControlDialect::Lathe:
        return "lathe";
    case ControlDialect::Mill:
        return "mill";
    case ControlDialect::Unknown:
        break;
    }
    return {};
}

RestartOptions ReadMachineRestart(const std::string& path, const std::string& machine) {
    RestartOptions options;
    bool retractSet = false;
    const std::vector<std::string> lines = readLines(path);
    for (const Section& s : sections(lines)) {
        if (s.name != machine) {
            continue;
        }
        for (size_t i = s.first + 1; i < s.end; ++i) {
            const std::string line = trim(lines[i]);
            const size_t equals = line.find('=');
            if (line.empty() || line[0] == '#' || line[0] == ';' || equals == std::string::npos) {
                continue;
            }
            const std::string key = lower(trim(line.substr(0, equals)));
            const std::string value = trim(line.substr(equals + 1));
            if (key == "control") {
                const std::string v = lower(value);
                options.dialect = v == "lathe"  ? ControlDialect::Lathe
                                  : v == "mill" ? ControlDialect::Mill
                                                : ControlDialect::Unknown;
            } else if (key == "safe_retract") {
                options.safeRetract = value;
                retractSet = true;
            }
        }
    }
    if (!retractSet) {
        options.safeRetract = DefaultSafeRetract(options.dialect);
    }
    return options;
}

bool WriteMachineRestart(const std::string& path, const std::string& machine,
                         const RestartOptions& options) {
    std::vector<std::string> lines = readLines(path);
    std::vector<std::string> section = {"[" + machine + "]"};
    if (options.dialect != ControlDialect::Unknown) {
        section.push_back("control = " + DialectName(options.dialect));
    }
    // A line end in the retract would make it two lines of the file.
    std::string retract = options.safeRetract;
    for (char& c : retract) {
        c = c == '\r' || c == '\n' ? ' ' : c;
    }
    section.push_back("safe_retract = " + trim(retract));
    bool replaced = false;
    for (const Section& s : sections(lines)) {
        if (s.name == machine) {
            // The blank lines between it and the next section stay.
            size_t end = s.end;
            while (end > s.first + 1 && trim(lines[end - 1]).empty()) {
                --end;
            }
            lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(s.first),
                        lines.begin() + static_cast<std::ptrdiff_t>(end));
            lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(s.first), section.begin(),
                         section.end());
            replaced = true;
            break;
        }
    }
    if (!replaced) {
        if (!lines.empty() && !trim(lines.back()).empty()) {
            lines.emplace_back();
        }
        lines.insert(lines.end(), section.begin(), section.end());
    }
    std::ostringstream text;
    for (const std::string& line : lines) {
        text << line << '\n';
    }
    return ReplaceFileContent(path, text.str());
}

} // namespace vorl
