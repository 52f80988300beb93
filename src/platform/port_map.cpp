#include "platform/port_map.h"

#include <cstdlib>
#include <fstream>
#include <mutex>

namespace vorl::platform {

namespace {

std::mutex gLock;
std::string gPortsFile;

std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos)
        return {};
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

} // namespace

void SetConfigurationPath(const std::string& configPath) {
    std::string ports;
    if (!configPath.empty()) {
        size_t slash = configPath.find_last_of('/');
        size_t dot = configPath.find_last_of('.');
        if (dot != std::string::npos && (slash == std::string::npos || dot > slash))
            ports = configPath.substr(0, dot) + ".ports";
        else
            ports = configPath + ".ports";
    }
    std::lock_guard<std::mutex> lk(gLock);
    gPortsFile = ports;
}

std::string PortsFilePath() {
    std::lock_guard<std::mutex> lk(gLock);
    return gPortsFile;
}

std::string ComPortPath(int n) {
    return ComPortPath(n, PortsFilePath());
}

std::string ComPortPath(int n, const std::string& portsFile) {
    std::string var = "VORL_COM" + std::to_string(n);
    if (const char* env = std::getenv(var.c_str()); env && *env)
        return env;
    if (!portsFile.empty()) {
        std::ifstream in(portsFile);
        std::string line;
        std::string key = "COM" + std::to_string(n);
        while (std::getline(in, line)) {
            size_t eq = line.find('=');
            if (eq == std::string::npos)
                continue;
            std::string name = Trim(line.substr(0, eq));
            if (name.size() != key.size())
                continue;
            bool same = true;
            for (size_t i = 0; i < key.size(); ++i)
                if (std::toupper((unsigned char)name[i]) != key[i])
                    same = false;
            std::string path = Trim(line.substr(eq + 1));
            if (same && !path.empty())
                return path;
        }
    }
    return "/dev/ttyS" + std::to_string(n - 1);
}

} // namespace vorl::platform
