#include "machines/ui/mount_points.h"

#include <algorithm>
#include <array>
#include <fstream>
#include <sstream>

namespace vorl {
namespace {

// Network file systems have no device path but hold the operator's files.
constexpr std::array<std::string_view, 8> kNetworkTypes = {"nfs",   "nfs4", "cifs",       "smb3",
                                                           "smbfs", "9p",   "fuse.sshfs", "afs"};

// "\040" and friends: the kernel escapes blank, tab, newline and backslash.
std::string unescape(std::string_view field) {
    std::string out;
    out.reserve(field.size());
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] >= '0' &&
            field[i + 1] <= '3' && field[i + 2] >= '0' && field[i + 2] <= '7' &&
            field[i + 3] >= '0' && field[i + 3] <= '7') {
            out += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                                     (field[i + 3] - '0'));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

std::vector<std::string_view> fields(std::string_view line) {
    std::vector<std::string_view> out;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) {
            ++i;
        }
        const size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t') {
            ++i;
        }
        if (i > start) {
            out.push_back(line.substr(start, i - start));
        }
    }
    return out;
}

bool isRealFileSystem(std::string_view device, std::string_view type) {
    if (!device.empty() && device.front() == '/') {
        return true;
    }
    return std::find(kNetworkTypes.begin(), kNetworkTypes.end(), type) != kNetworkTypes.end();
}

} // namespace

std::vector<std::string> RealMountPoints(std::string_view mountTable) {
    std::vector<std::string> points;
    size_t pos = 0;
    while (pos < mountTable.size()) {
        size_t end = mountTable.find('\n', pos);
        if (end == std::string_view::npos) {
            end = mountTable.size();
        }
        const auto f = fields(mountTable.substr(pos, end - pos));
        pos = end + 1;
        if (f.size() < 3 || !isRealFileSystem(f[0], f[2])) {
            continue;
        }
        std::string point = unescape(f[1]);
        if (!point.empty() && point.front() == '/' && point != "/") {
            points.push_back(std::move(point));
        }
    }
    std::sort(points.begin(), points.end());
    points.erase(std::unique(points.begin(), points.end()), points.end());
    points.insert(points.begin(), "/");
    return points;
}

std::vector<std::string> CurrentMountPoints() {
    std::ifstream in("/proc/self/mounts");
    if (!in) {
        return {"/"};
    }
    std::ostringstream text;
    text << in.rdbuf();
    return RealMountPoints(text.str());
}

} // namespace vorl
