#include "dnc/service_log.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace vorl::dnc {

namespace fs = std::filesystem;

ServiceLog::ServiceLog(std::string directory, int64_t rotateAt)
    : directory_(std::move(directory)), rotateAt_(rotateAt) {
    std::error_code ec;
    if (!directory_.empty()) {
        fs::create_directories(directory_, ec);
    }
}

void ServiceLog::say(const std::string& line) {
    [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, line.data(), line.size());
}

std::string ServiceLog::fileOf(const std::string& machine) const {
    std::string name;
    for (const char c : machine) {
        const auto u = static_cast<unsigned char>(c);
        name += c == '/' || c == '\\' || u < 0x20 || u == 0x7F ? '_' : c;
    }
    if (name.empty() || name.front() == '.') {
        name.insert(name.begin(), '_');
    }
    return directory_ + "/" + name + ".log";
}

namespace {

// Text for one log line: bytes that a machine tool sent may be anything, and a
// line break or a terminal's control sequence must not forge or hide a line.
// So control bytes and bytes outside ASCII are written as \xNN (a backslash
// as \\), and the whole is cut at a length no log needs.
std::string printable(const std::string& text) {
    constexpr size_t kLongest = 2000;
    static const char* const digits = "0123456789abcdef";
    std::string out;
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u >= 0x7F) {
            out += "\\x";
            out += digits[u >> 4];
            out += digits[u & 15];
        } else if (c == '\\') {
            out += "\\\\";
        } else {
            out += c;
        }
        if (out.size() >= kLongest) {
            return out + "... (cut)";
        }
    }
    return out;
}

} // namespace

void ServiceLog::event(const std::string& machine, const std::string& text) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    const std::string line =
        std::string(stamp) + " " + printable(machine) + ": " + printable(text) + "\n";

    std::lock_guard<std::mutex> guard(lock_);
    say(line);
    if (directory_.empty()) {
        return;
    }
    const std::string file = fileOf(machine);
    std::error_code ec;
    if (static_cast<int64_t>(fs::file_size(file, ec)) + static_cast<int64_t>(line.size()) >
            rotateAt_ &&
        !ec) {
        for (int i = 3; i > 1; --i) {
            fs::rename(file + "." + std::to_string(i - 1), file + "." + std::to_string(i), ec);
        }
        fs::rename(file, file + ".1", ec);
    }
    std::ofstream out(file, std::ios::app | std::ios::binary);
    out << line;
    const bool written = static_cast<bool>(out.flush());
    if (!written && !failing_) {
        const int error = errno != 0 ? errno : EIO;
        say(std::string(stamp) + " service: ERROR: the log file " + file + " cannot be written: " +
            std::strerror(error) + " (the events go to standard error only)\n");
    }
    failing_ = !written;
}

} // namespace vorl::dnc
