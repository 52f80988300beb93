// Network serial server ports against a local line.
//   bench_network xmodem [kilobytes] [rounds]   (default 1024 KiB, 5 rounds)
// sends with Xmodem 1K to lrzsz's rx, once over a local pty and once through
// ser2net's telnet serial port control port in front of the same kind of pty,
// and prints
//   time ratio = through the server / local      (goal: at most 1.1)
// Each round times from rx's start until the last byte has passed to it; the
// best round of each counts, since other work only makes a run slower.
// ser2net runs without its packetising wait (two character times, at least
// 1 ms, before it passes on what the line sent): with it, every block's
// answer waits that long and the server, not the port, sets the pace.
//   bench_network idle [seconds]                 (default 5)
// prints the processor time of an open idle telnet port (through ser2net) as
// a share of one core (goal: under 1 %).
#include "net_peers.h"
#include "pty_support.h"
#include "serial/dispatcher.h"
#include "temp_dir.h"

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>

namespace {

using namespace vorl;
using namespace vorl::test;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

bool sameData(const std::string& got, const std::string& data) {
    if (got.size() < data.size() || got.compare(0, data.size(), data) != 0)
        return false;
    return got.find_first_not_of('\x1A', data.size()) == std::string::npos;
}

// One send to rx; `network` puts ser2net between our port and the pty.
double runOnce(const TempDir& dir, const std::string& data, bool network, bool& ok) {
    PtyRelay relay;
    std::unique_ptr<Ser2net> server;
    std::string path = relay.pathA();
    if (network) {
        server = std::make_unique<Ser2net>(relay.pathA(), dir.path().string());
        if (!server->running()) {
            std::fprintf(stderr, "ser2net did not start\n");
            ok = false;
            return 0;
        }
        path = server->telnetUrl();
    }
    const std::string out = dir.file(network ? "in_net.nc" : "in_local.nc");
    unlink(out.c_str());
    PortSide side(path, 49, ptXmodem1K);
    side.proto.SetFileMask(dir.file("src.nc"));
    side.proto.SetXYmodemBlockWait(182);
    side.proto.SetTransmitTimeout(364);
    side.proto.StartTransmit();
    auto start = Clock::now();
    PeerProcess rx({"rx", "-b", "-c", network ? "in_net.nc" : "in_local.nc"}, relay,
                   dir.path().string());
    ok = side.waitFinish(300s) && side.code() == 0 && rx.wait(30s) && rx.exitCode() == 0;
    double secs = std::chrono::duration<double>(relay.lastToPeer() - start).count();
    ok = ok && sameData(readBytes(out), data);
    return secs;
}

int xmodem(size_t kib, int rounds) {
    TempDir dir;
    std::mt19937 rng(5);
    std::string data(kib * 1024, '\0');
    for (char& c : data)
        c = char(rng() & 0xFF); // IAC (255) about once in 256 bytes
    writeBytes(dir.file("src.nc"), data);
    double best[2] = {1e9, 1e9};
    for (int r = 0; r < rounds; ++r) {
        bool okLocal = false, okNet = false;
        double local = runOnce(dir, data, false, okLocal);
        double net = runOnce(dir, data, true, okNet);
        if (!okLocal || !okNet) {
            std::fprintf(stderr, "round %d failed (local %s, network %s)\n", r + 1,
                         okLocal ? "ok" : "FAILED", okNet ? "ok" : "FAILED");
            return 1;
        }
        std::printf("round %d: local pty %.3f s, through ser2net %.3f s\n", r + 1, local, net);
        best[0] = std::min(best[0], local);
        best[1] = std::min(best[1], net);
    }
    std::printf("Xmodem 1K, %zu KiB to rx: local pty %.3f s, ser2net telnet port %.3f s\n", kib,
                best[0], best[1]);
    std::printf("time ratio (ser2net / local): %.2f (goal: at most 1.1)\n", best[1] / best[0]);
    return 0;
}

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

void onNotice(uint32_t, uint32_t, uint32_t) {}

int idle(double seconds) {
    TempDir dir;
    PtyRelay relay;
    Ser2net server(relay.pathA(), dir.path().string());
    if (!server.running())
        return 1;
    TLinuxDispatcher d(nullptr);
    if (d.InitPort(server.telnetUrl(), 9600, 0, 8, 1, 4096, 8192, 3) != ecOK)
        return 1;
    // What an idle transfer keeps armed, as for a local port.
    d.ChangeLengthTrigger(1);
    d.AddDataTrigger("%", false);
    int32_t t = d.AddTimerTrigger();
    d.SetTimerTrigger(uint32_t(t), Secs2Ticks(3600), true);
    d.RegisterProcTriggerHandler(&onNotice);
    double c0 = cpuSeconds();
    auto w0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    double cpu = cpuSeconds() - c0;
    double wall = std::chrono::duration<double>(Clock::now() - w0).count();
    d.DonePort();
    std::printf("idle open telnet port: %.3f s processor in %.2f s: %.3f%% of a core "
                "(target < 1%%)\n",
                cpu, wall, 100.0 * cpu / wall);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::string what = argc > 1 ? argv[1] : "xmodem";
    if (what == "idle")
        return idle(argc > 2 ? std::atof(argv[2]) : 5.0);
    return xmodem(argc > 2 ? size_t(std::atol(argv[2])) : 1024, argc > 3 ? std::atoi(argv[3]) : 5);
}
