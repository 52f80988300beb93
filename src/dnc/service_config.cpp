#include "dnc/service_config.h"

#include <QRegularExpression>
#include <QString>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace vorl::dnc {
namespace {

std::string trim(const std::string& s) {
    const size_t a = s.find_first_not_of(" \t\r");
    if (a == std::string::npos) {
        return {};
    }
    return s.substr(a, s.find_last_not_of(" \t\r") - a + 1);
}

bool toBool(const std::string& v, bool& out) {
    std::string l;
    for (char c : v) {
        l += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    }
    if (l == "yes" || l == "true" || l == "on" || l == "1") {
        out = true;
    } else if (l == "no" || l == "false" || l == "off" || l == "0") {
        out = false;
    } else {
        return false;
    }
    return true;
}

bool toNumber(const std::string& v, double& out, double low, double high) {
    double n = 0;
    const auto [ptr, ec] = std::from_chars(v.data(), v.data() + v.size(), n);
    if (v.empty() || ec != std::errc() || ptr != v.data() + v.size() || n < low || n > high) {
        return false;
    }
    out = n;
    return true;
}

std::string beside(const std::string& path, const std::string& name) {
    const size_t slash = path.find_last_of('/');
    return (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + name;
}

std::string withoutExtension(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    const size_t dot = path.find_last_of('.');
    return dot != std::string::npos && (slash == std::string::npos || dot > slash)
               ? path.substr(0, dot)
               : path;
}

} // namespace

std::string ServiceFilePath(const std::string& configPath) {
    return withoutExtension(configPath) + ".dnc";
}

bool ReadServiceConfig(const std::string& path, ServiceConfig& out, std::string& errors) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        errors = "vorl-dnc: the service file " + path + " cannot be read: " + std::strerror(errno) +
                 "\n";
        return false;
    }
    out = {};
    out.path = path;
    out.statusFile = withoutExtension(path) + ".dnc-status";
    out.logDirectory = beside(path, "dnc-logs");
    if (const char* run = std::getenv("RUNTIME_DIRECTORY"); run != nullptr && *run == '/') {
        out.statusFile = std::string(run) + "/status";
    }
    if (const char* logs = std::getenv("LOGS_DIRECTORY"); logs != nullptr && *logs == '/') {
        out.logDirectory = logs;
    }
    bool inService = false;
    LineService* line = nullptr;
    std::string text;
    for (int number = 1; std::getline(in, text); ++number) {
        const std::string where = path + ":" + std::to_string(number) + ": ";
        text = trim(text);
        if (text.empty() || text[0] == '#' || text[0] == ';') {
            continue;
        }
        if (text.front() == '[') {
            if (text.back() != ']') {
                errors += where + "a section needs its closing ]\n";
                continue;
            }
            const std::string name = trim(text.substr(1, text.size() - 2));
            inService = name == "service";
            line = nullptr;
            if (!inService) {
                out.lines.push_back({});
                line = &out.lines.back();
                line->machine = name;
            }
            continue;
        }
        const size_t eq = text.find('=');
        if (eq == std::string::npos) {
            errors += where + "expected key = value\n";
            continue;
        }
        const std::string key = trim(text.substr(0, eq));
        const std::string value = trim(text.substr(eq + 1));
        bool ok = true;
        if (inService) {
            if (key == "status_file") {
                out.statusFile = value;
                out.statusFileNamed = true;
            } else if (key == "log_directory") {
                out.logDirectory = value;
            } else if (key == "retry_seconds") {
                ok = toNumber(value, out.retrySecs, 0.1, 3600);
            } else if (key == "heartbeat_seconds") {
                ok = toNumber(value, out.heartbeatSecs, 0.1, 3600);
            } else {
                ok = false;
            }
        } else if (line == nullptr) {
            errors += where + "a setting before the first section\n";
            continue;
        } else if (key == "enabled") {
            ok = toBool(value, line->enabled);
        } else if (key == "remote_request") {
            ok = toBool(value, line->remoteRequest);
        } else if (key == "request_pattern") {
            const QRegularExpression re(QString::fromStdString(value));
            ok = re.isValid() && re.captureCount() >= 1;
            line->requestPattern = value;
        } else if (key == "request_lines") {
            double n = 0;
            ok = toNumber(value, n, 1, 1000);
            line->requestLines = static_cast<int>(n);
        } else if (key == "request_file") {
            ok = value.find("{name}") != std::string::npos;
            line->requestFile = value;
        } else if (key == "request_delay") {
            ok = toNumber(value, line->requestDelaySecs, 0, 3600);
        } else if (key == "end_silence") {
            ok = toNumber(value, line->endSilenceSecs, 0.2, 3600);
        } else if (key == "answer_timeout") {
            ok = toNumber(value, line->answerTimeoutSecs, 0, 86400);
        } else if (key == "end_at_end_string") {
            ok = toBool(value, line->endAtEndString);
        } else if (key == "auto_receive") {
            ok = toBool(value, line->autoReceive);
        } else if (key == "receive_file") {
            ok = value.find("{name}") != std::string::npos;
            line->receiveFile = value;
        } else {
            errors += where + "unknown key '" + key + "'\n";
            continue;
        }
        if (!ok) {
            errors += where + "'" + key + "' cannot be '" + value + "'\n";
        }
    }
    return errors.empty();
}

} // namespace vorl::dnc
