// vorl-dnc serve with eight lines open, each on a pty whose other end this
// program plays as the control:
//   idle     processor time of the idle service as a share of one core over
//            the same stretch of wall time (target < 2 %);
//   request  time from the end of a remote request (its End string on the
//            line) to the first byte sent back (the download Start string),
//            request delay 0, against the service's answer to the End string
//            (the Stop string) on the same line (target < 100 ms).
// Usage: bench_dnc_serve [idle-seconds] [requests]
#include "machines/config_file.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <poll.h>
#include <pty.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
constexpr int kLines = 8;

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// Processor seconds the process has used (user and system).
double cpuSeconds(pid_t pid) {
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) {
        return 0;
    }
    std::vector<std::string> fields;
    size_t at = close + 2;
    while (at < stat.size()) {
        const size_t space = stat.find(' ', at);
        fields.push_back(stat.substr(at, space - at));
        at = space == std::string::npos ? stat.size() : space + 1;
    }
    // After the name: state is field 3, utime 14, stime 15.
    const double ticks = std::atof(fields.at(11).c_str()) + std::atof(fields.at(12).c_str());
    return ticks / double(::sysconf(_SC_CLK_TCK));
}

// Waits for `done` with a deadline, looking every 10 ms.
bool waitFor(const std::function<bool()>& done, std::chrono::seconds deadline) {
    const auto until = Clock::now() + deadline;
    while (!done()) {
        if (Clock::now() > until) {
            return false;
        }
        ::poll(nullptr, 0, 10);
    }
    return true;
}

// Reads from `fd` until `byte` comes; the time it came, or nothing. Bytes
// read behind it are kept in `rest` for the next call: two answers may come in
// one read.
std::optional<Clock::time_point> readUntil(int fd, char byte, std::string& rest) {
    if (const size_t at = rest.find(byte); at != std::string::npos) {
        rest.erase(0, at + 1);
        return Clock::now();
    }
    rest.clear();
    const auto until = Clock::now() + std::chrono::seconds(10);
    char buf[4096];
    while (Clock::now() < until) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) {
            continue;
        }
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) {
            continue;
        }
        if (const char* at = std::find(buf, buf + n, byte); at != buf + n) {
            rest.assign(at + 1, static_cast<size_t>(buf + n - at - 1));
            return Clock::now();
        }
    }
    return std::nullopt;
}

double ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    const double idleSeconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    const int requests = argc > 2 ? std::atoi(argv[2]) : 20;

    char pattern[] = "/tmp/vorl-bench-dnc-XXXXXX";
    const std::string dir = ::mkdtemp(pattern);
    vorl::MachineList machines;
    machines[0].capability = 'T';
    std::string ports;
    std::string service = "[service]\n";
    std::vector<int> masters;
    std::vector<int> slaves;
    for (int i = 1; i <= kLines; ++i) {
        int master = -1;
        int slave = -1;
        char name[128];
        termios raw{};
        cfmakeraw(&raw);
        if (::openpty(&master, &slave, name, &raw, nullptr) != 0) {
            std::perror("openpty");
            return 1;
        }
        masters.push_back(master);
        slaves.push_back(slave); // held, so the line never hangs up
        vorl::MachineConfig& m = machines[i];
        m.name = "Cell " + std::to_string(i);
        m.capability = 'B';
        m.port = 10 + i;
        m.baudRate = 115200;
        m.dataBits = 8;
        m.stopBits = 1;
        m.eobMode = 2;
        m.handshake = 1;
        m.downloadExtension = ".nc";
        m.uploadExtension = ".nc";
        m.triggers[vorl::DownloadStart] = "\x12";
        m.triggers[vorl::DownloadReady] = "\x11";
        m.triggers[vorl::DownloadStop] = "\x14";
        m.triggers[vorl::DownloadEnd] = "\x06";
        m.triggers[vorl::UploadReady] = "\x02";
        m.triggers[vorl::UploadStop] = "\x06";
        m.triggers[vorl::UploadEnd] = "\x03";
        m.downloadDirectory = dir + "/programs";
        m.uploadDirectory = dir + "/received" + std::to_string(i);
        fs::create_directories(m.uploadDirectory);
        ports += "COM" + std::to_string(m.port) + "=" + name + "\n";
        service += "\n[" + m.name + "]\nrequest_delay = 0\n";
    }
    machines.count = kLines + 1;
    fs::create_directories(dir + "/programs");
    std::string program = "%\nO0001 (BENCH)\n";
    for (int i = 1; i <= 20; ++i) {
        program += "N" + std::to_string(i * 10) + " G01 X" + std::to_string(i) + ". F100\n";
    }
    writeFile(dir + "/programs/P1.nc", program + "M30\n%\n");
    const std::string config = dir + "/shop.vorlcfg";
    vorl::WriteConfiguration(config, machines);
    writeFile(dir + "/shop.ports", ports);
    writeFile(dir + "/shop.dnc", service);

    std::vector<std::string> args = {VORL_DNC_PATH, "serve", "-c", config};
    std::vector<char*> argv2;
    for (auto& a : args) {
        argv2.push_back(a.data());
    }
    argv2.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const std::string errors = dir + "/serve.stderr";
    posix_spawn_file_actions_addopen(&actions, 2, errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv2[0], &actions, nullptr, argv2.data(), environ) != 0) {
        std::perror("posix_spawn");
        return 1;
    }
    posix_spawn_file_actions_destroy(&actions);
    const std::string status = dir + "/shop.dnc-status";
    auto lineIdle = [&](int line) {
        return readFile(status).find("Cell " + std::to_string(line) + "\tidle\n") !=
               std::string::npos;
    };
    int result = 0;
    if (!waitFor(
            [&] {
                for (int i = 1; i <= kLines; ++i) {
                    if (!lineIdle(i)) {
                        return false;
                    }
                }
                return true;
            },
            std::chrono::seconds(20))) {
        std::fprintf(stderr, "the service did not listen on every line:\n%s",
                     readFile(errors).c_str());
        result = 1;
    }

    if (result == 0) {
        const double c0 = cpuSeconds(pid);
        const auto w0 = Clock::now();
        std::this_thread::sleep_for(std::chrono::duration<double>(idleSeconds));
        const double cpu = cpuSeconds(pid) - c0;
        const double wall = std::chrono::duration<double>(Clock::now() - w0).count();
        std::printf("idle serve, %d open lines: %.3f s processor in %.2f s: %.3f%% of a core "
                    "(target < 2%%)\n",
                    kLines, cpu, wall, 100.0 * cpu / wall);
    }

    std::vector<double> firstByte;
    std::vector<double> stopAnswer;
    const int fd = masters[0];
    const std::string request = "\x02%\nO9999 (REQ=P1)\nM30\n%\n\x03";
    for (int i = 0; i < requests && result == 0; ++i) {
        if (!waitFor([&] { return lineIdle(1); }, std::chrono::seconds(10))) {
            std::fprintf(stderr, "line 1 did not listen again\n");
            result = 1;
            break;
        }
        if (::write(fd, request.data(), request.size()) != ssize_t(request.size())) {
            result = 1;
            break;
        }
        const auto sent = Clock::now();
        std::string rest;
        const auto stop = readUntil(fd, '\x06', rest);
        const auto start = readUntil(fd, '\x12', rest);
        if (!stop || !start) {
            std::fprintf(stderr, "no answer to request %d:\n%s", i, readFile(errors).c_str());
            result = 1;
            break;
        }
        stopAnswer.push_back(ms(*stop - sent));
        firstByte.push_back(ms(*start - sent));
        // The control reads the program and acknowledges it.
        [[maybe_unused]] ssize_t n = ::write(fd, "\x11", 1);
        if (!readUntil(fd, '\x14', rest)) {
            result = 1;
            break;
        }
        n = ::write(fd, "\x06", 1);
    }
    if (!firstByte.empty()) {
        const double med = median(firstByte);
        const double stopMed = median(stopAnswer);
        std::printf("request to first byte, %zu requests: median %.1f ms, max %.1f ms "
                    "(target < 100 ms); answer to the End string median %.1f ms: ratio %.2f\n",
                    firstByte.size(), med, *std::max_element(firstByte.begin(), firstByte.end()),
                    stopMed, stopMed > 0 ? med / stopMed : 0.0);
    }

    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
    for (int fd2 : masters) {
        ::close(fd2);
    }
    for (int fd2 : slaves) {
        ::close(fd2);
    }
    fs::remove_all(dir);
    return result;
}
