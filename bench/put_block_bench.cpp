// PutBlock throughput to a reader on the other side of a pty, against a plain
// write() loop on a pty of the same kind, in the same run. Prints the ratio.
#include "serial/dispatcher.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <pty.h>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kTotal = 64u << 20;
constexpr size_t kChunk = 4096;

struct Pty {
    int master = -1, slave = -1;
    std::string path;
    Pty() {
        char name[128];
        if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
            std::perror("openpty");
            std::exit(1);
        }
        path = name;
        termios t{};
        tcgetattr(slave, &t);
        cfmakeraw(&t);
        tcsetattr(slave, TCSANOW, &t);
    }
    ~Pty() {
        close(master);
        close(slave);
    }
};

// Reads `total` bytes from `fd`; the reader side of both runs.
std::thread Reader(int fd, size_t total) {
    return std::thread([fd, total] {
        std::vector<char> buf(1 << 16);
        size_t got = 0;
        while (got < total) {
            ssize_t n = read(fd, buf.data(), buf.size());
            if (n > 0)
                got += size_t(n);
            else if (n < 0 && errno != EINTR && errno != EAGAIN)
                break;
        }
    });
}

double PlainWrite() {
    Pty p;
    std::vector<char> chunk(kChunk, 'x');
    auto t0 = Clock::now();
    std::thread r = Reader(p.master, kTotal);
    for (size_t done = 0; done < kTotal;) {
        ssize_t n = write(p.slave, chunk.data(), kChunk);
        if (n > 0)
            done += size_t(n);
    }
    r.join();
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// The producer sleeps until the output ring has room again: the status
// trigger for free output room wakes it through a procedure handler.
std::mutex gLock;
std::condition_variable gCv;
bool gRoom = false;
void OnNotice(uint32_t msg, uint32_t, uint32_t) {
    if (msg != vorl::kNoticeTriggerStatus)
        return;
    {
        std::lock_guard<std::mutex> lk(gLock);
        gRoom = true;
    }
    gCv.notify_one();
}

double Dispatcher() {
    Pty p;
    vorl::TLinuxDispatcher d(nullptr);
    if (d.InitPort(p.path, 115200, 0, 8, 1, 4096, 65536, 3) != vorl::ecOK) {
        std::fprintf(stderr, "InitPort failed\n");
        std::exit(1);
    }
    int32_t room = d.AddStatusTrigger(vorl::stOutBuffFree);
    d.RegisterProcTriggerHandler(&OnNotice);
    std::vector<char> chunk(kChunk, 'x');
    auto t0 = Clock::now();
    std::thread r = Reader(p.master, kTotal);
    for (size_t done = 0; done < kTotal;) {
        if (d.PutBlock(chunk.data(), kChunk) == int32_t(kChunk)) {
            done += kChunk;
            continue;
        }
        std::unique_lock<std::mutex> lk(gLock);
        gRoom = false;
        d.SetStatusTrigger(uint32_t(room), 32768, true);
        gCv.wait_for(lk, std::chrono::milliseconds(100), [] { return gRoom; });
    }
    r.join();
    double s = std::chrono::duration<double>(Clock::now() - t0).count();
    d.DeregisterProcTriggerHandler(&OnNotice);
    d.DonePort();
    return s;
}

} // namespace

int main() {
    double best = 1e9, bestPlain = 1e9;
    for (int round = 0; round < 3; ++round) {
        bestPlain = std::min(bestPlain, PlainWrite());
        best = std::min(best, Dispatcher());
    }
    double mb = double(kTotal) / (1 << 20);
    std::printf("plain write(): %.1f MiB/s\n", mb / bestPlain);
    std::printf("PutBlock:      %.1f MiB/s\n", mb / best);
    std::printf("ratio PutBlock / write(): %.2f (target >= 0.9)\n", bestPlain / best);
    return 0;
}
