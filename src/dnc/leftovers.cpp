#include "dnc/leftovers.h"

#include "dnc/program_names.h"
#include "dnc/service_log.h"
#include "platform/replaced_file.h"
#include "transfer/temp_file.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace vorl::dnc {
namespace {

constexpr std::string_view kSpoolPrefix = ".vorl-dnc-";
constexpr std::string_view kSpoolSuffix = ".incoming";

std::string directoryOr(const std::string& dir) {
    return dir.empty() ? std::string(".") : dir;
}

// The process whose spool `name` is; 0 for any other name.
pid_t spoolOwner(std::string_view name) {
    if (!name.starts_with(kSpoolPrefix) || !name.ends_with(kSpoolSuffix)) {
        return 0;
    }
    name.remove_prefix(kSpoolPrefix.size());
    const size_t dash = name.find('-');
    if (dash == 0 || dash == std::string_view::npos || dash > 9) {
        return 0;
    }
    for (char c : name.substr(0, dash)) {
        if (c < '0' || c > '9') {
            return 0;
        }
    }
    return static_cast<pid_t>(std::atol(std::string(name.substr(0, dash)).c_str()));
}

bool processRuns(pid_t pid) {
    return ::kill(pid, 0) == 0 || errno == EPERM;
}

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A spool holds a whole received program (it is renamed into place once
// written): one of an ended run is saved as the line would have saved it,
// unless it was a request, or the line keeps nothing.
void clearUpSpools(const std::string& dir, const MachineConfig& m, const LineService& service,
                   ServiceLog& log) {
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) {
        return;
    }
    std::vector<std::string> names;
    while (const dirent* e = ::readdir(d)) {
        const pid_t owner = spoolOwner(e->d_name);
        struct stat st {};
        const std::string path = dir + "/" + e->d_name;
        if (owner > 0 && !processRuns(owner) && ::lstat(path.c_str(), &st) == 0 &&
            S_ISREG(st.st_mode) && st.st_uid == ::geteuid()) {
            names.push_back(path);
        }
    }
    ::closedir(d);
    for (const std::string& spool : names) {
        const std::string program = readAll(spool);
        const bool request = service.remoteRequest &&
                             FindRequest(program, service.requestPattern, service.requestLines);
        if (service.autoReceive && !request) {
            const std::string number = ProgramNumber(program).value_or("NONAME");
            std::string why;
            if (const auto saved = SaveWithoutOverwrite(
                    spool, dir, ApplyTemplate(service.receiveFile, number, m.uploadExtension),
                    &why)) {
                log.event(m.name, "kept " + *saved + " (" + std::to_string(program.size()) +
                                      " bytes): received by a run that ended before saving it");
                continue;
            }
            log.event(m.name, "a program received by a run that ended before saving it stays in " +
                                  spool + ": " + why);
            continue;
        }
        if (::unlink(spool.c_str()) == 0) {
            log.event(m.name, "removed " + spool + ", left by a run that ended");
        }
    }
}

} // namespace

std::string SpoolPath(const std::string& dir, int tag) {
    return directoryOr(dir) + "/" + std::string(kSpoolPrefix) + std::to_string(::getpid()) + "-" +
           std::to_string(tag) + std::string(kSpoolSuffix);
}

void ClearUpLeftovers(const MachineList& machines,
                      const std::vector<std::pair<int, LineService>>& served, ServiceLog& log) {
    const LeftoverFiles temp = removeAbandonedTempFiles();
    if (temp.removed > 0) {
        log.event("service", "removed " + std::to_string(temp.removed) +
                                 " temporary file(s) left in " + temporaryDirectory() +
                                 " by runs that ended");
    }
    if (const std::string kept = recoveredMessage(temp); !kept.empty()) {
        log.event("service", kept);
    }
    std::set<std::string> folders;
    for (const auto& [tag, service] : served) {
        const MachineConfig& m = machines[tag];
        const std::string dir = directoryOr(m.uploadDirectory);
        if (!folders.insert(dir).second) {
            continue;
        }
        if (const int removed = RemoveAbandonedPartFiles(dir); removed > 0) {
            log.event(m.name, "removed " + std::to_string(removed) +
                                  " partly written file(s) left in " + dir + " by runs that ended");
        }
        clearUpSpools(dir, m, service, log);
    }
}

} // namespace vorl::dnc
