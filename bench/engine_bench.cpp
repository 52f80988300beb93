#include "engine_bench.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace vorl::bench {

void StatusView::ShowStatus(const std::string& text) {
    status = text;
    if (text == "Waiting (Xoff received from machine tool)") {
        sawXoff = true;
    }
}

void StatusView::ShowMessage(const std::string& text) {
    std::fprintf(stderr, "message: %s\n", text.c_str());
}

void StatusView::ShowError(const std::string& text) {
    std::fprintf(stderr, "error: %s\n", text.c_str());
}

MachineList benchMachines(int handshake, int32_t baud) {
    MachineList list;
    list[0].capability = 'T';
    MachineConfig& m = list[1];
    m.capability = 'B';
    m.name = "Bench";
    m.port = kBenchPort;
    m.baudRate = baud;
    m.dataBits = 8;
    m.stopBits = 1;
    m.handshake = static_cast<int16_t>(handshake);
    m.eobMode = 2;
    list.count = 2;
    return list;
}

std::string partProgram(size_t bytes) {
    std::string text = "%\n";
    unsigned seed = 1;
    for (int n = 10; text.size() < bytes; n += 10) {
        seed = seed * 1103515245u + 12345u;
        text += "N" + std::to_string(n) + " G01 X" + std::to_string(seed % 1000) + "." +
                std::to_string(seed / 1000 % 1000) + " Y-" + std::to_string(seed / 7 % 500) +
                ". F" + std::to_string(100 + seed % 2000) + "\n";
    }
    return text + "M30\n%\n";
}

std::string writeTemp(const std::string& name, const std::string& bytes) {
    const char* tmp = std::getenv("TMPDIR");
    std::string path = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

LinePty::LinePty(int64_t cps) : cps_(cps) {
    char name[128];
    termios raw{};
    cfmakeraw(&raw);
    if (openpty(&master_, &slave_, name, &raw, nullptr) != 0) {
        std::perror("openpty");
        std::exit(1);
    }
    path_ = name;
    reader_ = std::thread([this] {
        using namespace std::chrono;
        const auto start = steady_clock::now();
        char buf[4096];
        while (!stop_) {
            size_t want = sizeof buf;
            if (cps_ > 0) {
                // No more than the line could have brought in by now.
                const int64_t due =
                    duration_cast<microseconds>(steady_clock::now() - start).count() * cps_ /
                    1000000;
                const int64_t room = due - received_;
                if (room <= 0) {
                    std::this_thread::sleep_for(microseconds(1000000 / cps_ + 1));
                    continue;
                }
                want = static_cast<size_t>(std::min<int64_t>(room, sizeof buf));
            }
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) {
                continue;
            }
            const ssize_t n = ::read(master_, buf, want);
            if (n > 0) {
                received_ += n;
                lastAt_ = steady_clock::now().time_since_epoch().count();
            }
        }
    });
}

LinePty::~LinePty() {
    stop_ = true;
    reader_.join();
    ::close(slave_);
    ::close(master_);
}

std::chrono::steady_clock::time_point LinePty::waitFor(int64_t count) {
    while (received_ < count) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(lastAt_));
}

double processCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

} // namespace vorl::bench
