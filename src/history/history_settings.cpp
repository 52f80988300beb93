#include "history/history_settings.h"

#include "text/trim.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace vorl::history {
namespace {

std::string withoutExtension(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    const size_t dot = path.find_last_of('.');
    return dot != std::string::npos && (slash == std::string::npos || dot > slash)
               ? path.substr(0, dot)
               : path;
}

std::string directoryOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

} // namespace

std::string HistorySettingsPath(const std::string& configPath) {
    return withoutExtension(configPath) + ".history";
}

bool ReadHistorySettings(const std::string& configPath, HistorySettings& out, std::string& errors) {
    out = {};
    out.path = HistorySettingsPath(configPath);
    out.repository = out.path + ".git";
    char host[256] = {};
    out.remoteBranch = ::gethostname(host, sizeof host - 1) == 0 && host[0] != 0 ? host : "dnc";
    errors.clear();
    std::ifstream in(out.path, std::ios::binary);
    if (!in) {
        std::error_code ec;
        if (!std::filesystem::exists(out.path, ec) && !ec) {
            return true; // no settings: the defaults
        }
        errors = out.path + ": cannot be read\n";
        return false;
    }
    HistorySettings read = out;
    std::string text;
    for (int number = 1; std::getline(in, text); ++number) {
        text = std::string(Trim(text));
        if (text.empty() || text[0] == '#' || text[0] == ';') {
            continue;
        }
        const std::string where = out.path + ":" + std::to_string(number) + ": ";
        const size_t eq = text.find('=');
        if (eq == std::string::npos) {
            errors += where + "no '=' in the line\n";
            continue;
        }
        const std::string key(Trim(std::string_view(text).substr(0, eq)));
        const std::string value(Trim(std::string_view(text).substr(eq + 1)));
        if (key == "repository" && !value.empty()) {
            read.repository = value[0] == '/' ? value : directoryOf(out.path) + value;
        } else if (key == "remote") {
            read.remote = value;
        } else if (key == "remote_branch" && !value.empty()) {
            read.remoteBranch = value;
        } else if (key == "enabled" && (value == "yes" || value == "no")) {
            read.enabled = value == "yes";
        } else {
            errors += where + "'" + key + "' with the value '" + value + "' is not understood\n";
        }
    }
    if (!errors.empty()) {
        return false;
    }
    out = read;
    return true;
}

} // namespace vorl::history
