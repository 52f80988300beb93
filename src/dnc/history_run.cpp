#include "dnc/history_run.h"

#include "app/file_locations.h"
#include "history/history_repository.h"
#include "history/history_settings.h"
#include "history/nc_compare.h"

#include <QFile>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

namespace vorl::dnc {
namespace {

bool readProgram(const std::string& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "vorl-dnc: %s: %s\n", path.c_str(), std::strerror(errno));
        return false;
    }
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) {
        std::fprintf(stderr, "vorl-dnc: %s: cannot be read\n", path.c_str());
        return false;
    }
    return true;
}

std::string baseName(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string blocks(size_t n) {
    return std::to_string(n) + (n == 1 ? " block" : " blocks");
}

// One entry as a line: when, what, where, and what changed.
std::string describe(const history::HistoryEntry& e) {
    std::string s = e.time + "  " + e.direction;
    if (!e.machine.empty()) {
        s += e.direction == "sent" ? " to " : " from ";
        s += e.machine;
    }
    if (!e.port.empty()) {
        s += " on " + e.port;
    }
    s += ", " + std::to_string(e.size) + " bytes, version " + e.version.substr(0, 12);
    if (e.newVersion) {
        s += " (new: " + blocks(e.changedBlocks) + " changed)";
    }
    if (!e.sentVersion.empty()) {
        s += e.controlChangedBlocks == 0
                 ? "; as sent"
                 : "; changed at the control: " + blocks(e.controlChangedBlocks) +
                       " against version " + e.sentVersion.substr(0, 12);
    }
    return s;
}

} // namespace

int RunDiff(const DncCommandLine& line) {
    std::string a;
    std::string b;
    if (!readProgram(line.file, a) || !readProgram(line.otherFile, b)) {
        return 2;
    }
    history::CompareOptions options;
    options.ignoreNumbers = line.ignoreNumbers;
    options.ignoreBlanks = line.ignoreBlanks;
    options.ignoreComments = line.ignoreComments;
    const history::CompareResult result = history::ComparePrograms(a, b, options);
    if (!result.ok) {
        std::fprintf(stderr, "vorl-dnc: %s\n", result.error.c_str());
        return 2;
    }
    if (result.same()) {
        return 0;
    }
    const std::string text = history::UnifiedDiff(a, b, result, line.file, line.otherFile);
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() ||
        std::fflush(stdout) != 0) {
        return 2;
    }
    return 1;
}

std::string MachineFilePath(const std::string& config, const std::string& programDir) {
    const FileLocations files =
        LocateFiles(QFile::decodeName(programDir.c_str()) + "/vorl", UserConfigDirectory());
    return QFile::encodeName(UseMachineFiles(files, QFile::decodeName(config.c_str())).configPath)
        .toStdString();
}

int ShowHistory(const DncCommandLine& line, const std::string& programDir) {
    history::HistorySettings settings;
    std::string errors;
    if (!history::ReadHistorySettings(MachineFilePath(line.config, programDir), settings, errors)) {
        std::fprintf(stderr, "vorl-dnc: %s", errors.c_str());
        return 2;
    }
    const std::string program = baseName(line.file);
    std::vector<history::HistoryEntry> entries;
    if (!history::HistoryRepository(settings.repository).List(program, entries, errors)) {
        std::fprintf(stderr, "vorl-dnc: %s\n", errors.c_str());
        return 2;
    }
    if (entries.empty() && !line.quiet) {
        std::fprintf(stderr, "vorl-dnc: nothing of %s is in the history %s\n", program.c_str(),
                     settings.repository.c_str());
    }
    std::string text;
    for (const history::HistoryEntry& e : entries) {
        text += describe(e) + "\n";
    }
    return std::fwrite(text.data(), 1, text.size(), stdout) == text.size() &&
                   std::fflush(stdout) == 0
               ? 0
               : 2;
}

} // namespace vorl::dnc
