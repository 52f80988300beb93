// Network serial server ports against a local line, on the operator's path:
// the transfer engine with the window's event delivery, Connect, then
// Transmit of a machine that uses Xmodem 1K, to lrzsz's rx.
//   bench_network xmodem [kilobytes] [rounds]    (default 1024 KiB, 5 rounds)
// first downloads 256 KiB over a local pty and through ser2net's telnet serial
// port control port in front of the same kind of pty, the line between the
// port and rx paced at 115200 bit/s in both directions (ten bits a
// character), as a real control's line is, and prints
//   time ratio = through the server / local      (goal: at most 1.1)
// as the headline. Then the same without the pace, `kilobytes` and `rounds`
// as given: a local pty alone carries a block in microseconds, so there the
// server's fixed hop time per block sets the ratio. That figure is what the
// hops cost, not what a shop sees.
// Each round times from rx's start until the last byte has passed to it.
//   bench_network line [kilobytes] [rounds] [bits/s]   (default 256 KiB, 3, 115200)
// only the paced comparison, at another size or speed.
//   bench_network hops [kilobytes] [rounds]
// prints what the server's hop itself costs, for comparison: the same
// download through ser2net's raw TCP port, and through a socat relay of a
// second pty (a pty baseline with one process in the middle, no network).
// ser2net runs with its `chardelay` off (a wait of two character times, at
// least 1 ms, before it passes on what the line sent; on by default): with
// it, every block's answer waits that long and the server, not the port,
// sets the pace of an unpaced run.
//   bench_network idle [seconds]                  (default 5)
// prints the processor time of a connected, idle telnet port (through
// ser2net) as a share of one core (goal: under 1 %).
#include "engine_bench.h"
#include "net_peers.h"
#include "pty_support.h"
#include "serial/ui/qt_delivery.h"
#include "temp_dir.h"
#include "xmodem_rounds.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

extern char** environ;

namespace {

using namespace vorl;
using namespace vorl::bench;
using namespace vorl::test;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

enum class Line { Local, Telnet, Raw, Relayed };

// socat joining a new pty (linked at `link`) to `device`: one more process
// and one more pty on the way, no network.
class PtyHop {
public:
    PtyHop(const std::string& device, const std::string& link) {
        std::string a = "PTY,rawer,link=" + link, b = device + ",rawer";
        char* argv[] = {const_cast<char*>("socat"), a.data(), b.data(), nullptr};
        if (posix_spawnp(&pid_, "socat", nullptr, nullptr, argv, environ) != 0)
            pid_ = -1;
        for (auto until = Clock::now() + 10s; pid_ > 0 && ::access(link.c_str(), F_OK) != 0;) {
            if (Clock::now() > until)
                break;
            ::poll(nullptr, 0, 10); // socat makes the link once its pty exists
        }
    }
    ~PtyHop() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
    }

private:
    pid_t pid_ = -1;
};

// The view of the bench: the event loop runs until the download has ended.
class EndView : public StatusView {
public:
    QEventLoop* loop = nullptr;
    bool complete = false;
    void ShowStatus(const std::string& text) override {
        StatusView::ShowStatus(text);
        const bool ended = text == "Download complete" || text.rfind("Download stopped", 0) == 0 ||
                           text.rfind("Unable", 0) == 0 || text == "Reset";
        complete = complete || text == "Download complete";
        if (ended && loop)
            loop->quit();
    }
};

// Connects COM 8 (a machine using Xmodem 1K) to `path` through the engine.
struct ConnectedEngine {
    explicit ConnectedEngine(const std::string& path, const std::string& file)
        : machines(benchMachines(0, 115200)) {
        setenv("VORL_COM8", path.c_str(), 1);
        machines[1].protocol = 3;
        view.file = file;
        engine = std::make_unique<TTransferEngine>(machines, view, std::make_shared<QtDelivery>());
        engine->mnuCommDownloadClick(1);
        engine->cmdGoClick(); // Connect
        if (!connected())
            std::fprintf(stderr, "cannot connect to %s: %s\n", path.c_str(), view.status.c_str());
    }
    bool connected() const { return engine->goState() == TTransferEngine::GoState::Transmit; }

    MachineList machines;
    EndView view;
    std::unique_ptr<TTransferEngine> engine;
};

double download(const TempDir& dir, const std::string& data, Line line, uint32_t rate, bool& ok) {
    ok = false;
    PtyRelay relay(RelayFaults{0, 0, 1, rate});
    std::unique_ptr<Ser2net> server;
    std::unique_ptr<PtyHop> hop;
    std::string path = relay.pathA();
    if (line == Line::Telnet || line == Line::Raw) {
        server = std::make_unique<Ser2net>(relay.pathA(), dir.path().string());
        if (!server->running()) {
            std::fprintf(stderr, "ser2net did not start\n");
            return 0;
        }
        path = line == Line::Telnet ? server->telnetUrl() : server->rawUrl();
    } else if (line == Line::Relayed) {
        path = dir.file("hop");
        hop = std::make_unique<PtyHop>(relay.pathA(), path);
    }
    ConnectedEngine c(path, dir.file("src.nc"));
    if (!c.connected())
        return 0;
    unlink(dir.file("in.nc").c_str());
    QEventLoop loop;
    c.view.loop = &loop;
    QTimer::singleShot(300s, &loop, &QEventLoop::quit);
    c.engine->cmdGoClick(); // Transmit: the sender waits for rx's first request
    const auto start = Clock::now();
    PeerProcess rx({"rx", "-b", "-c", "in.nc"}, relay, dir.path().string());
    if (!c.view.complete)
        loop.exec();
    // What goes is the program as the machine's settings prepare it.
    const std::string sent = readBytes(c.engine->transfer.tempFileName);
    ok = c.view.complete && rx.wait(30s) && rx.exitCode() == 0 &&
         sent.size() + 1024 > data.size() && SameXmodemData(readBytes(dir.file("in.nc")), sent);
    if (!ok)
        std::fprintf(stderr, "download over %s: %s\n", path.c_str(), c.view.status.c_str());
    return std::chrono::duration<double>(relay.lastToPeer() - start).count();
}

XmodemWay way(const char* name, const TempDir& dir, const std::string& data, Line line,
              uint32_t rate = 0) {
    return {name,
            [&dir, &data, line, rate](bool& ok) { return download(dir, data, line, rate, ok); }};
}

int xmodem(size_t kib, int rounds, bool hops, uint32_t rate) {
    TempDir dir;
    const std::string data = XmodemData(kib);
    writeBytes(dir.file("src.nc"), data);
    const std::string what = "Xmodem 1K, " + std::to_string(kib) + " KiB to rx";
    if (rate > 0)
        return CompareBestRounds(rounds, way("local pty line", dir, data, Line::Local, rate),
                                 way("ser2net telnet port line", dir, data, Line::Telnet, rate),
                                 what + " at " + std::to_string(rate) + " bit/s", 1.1);
    const XmodemWay local = way("local pty", dir, data, Line::Local);
    if (!hops) {
        // The paced line is what a shop sees: the headline.
        constexpr uint32_t kPace = 115200;
        const std::string paced = XmodemData(256);
        writeBytes(dir.file("src.nc"), paced);
        double headline = 0, unpaced = 0;
        int failed = CompareBestRounds(
            3, way("local pty line", dir, paced, Line::Local, kPace),
            way("ser2net telnet port line", dir, paced, Line::Telnet, kPace),
            "Xmodem 1K, 256 KiB to rx at " + std::to_string(kPace) + " bit/s", 1.1, &headline);
        writeBytes(dir.file("src.nc"), data);
        failed |=
            CompareBestRounds(rounds, local, way("ser2net telnet port", dir, data, Line::Telnet),
                              what + ", unpaced", 0, &unpaced);
        if (failed)
            return failed;
        std::printf("\nheadline: time ratio through the server, line paced at %u bit/s: %.2f "
                    "(goal: at most 1.1)\n"
                    "what the hops cost: %.2f on an unpaced pty line, where each block's round "
                    "trip through the server, not the line, sets the pace (ser2net's chardelay "
                    "off; on, its default, adds two character times, at least 1 ms, to every "
                    "answer)\n",
                    kPace, headline, unpaced);
        return 0;
    }
    return CompareBestRounds(rounds, local, way("ser2net raw port", dir, data, Line::Raw), what,
                             1.1) |
           CompareBestRounds(rounds, local, way("socat pty relay", dir, data, Line::Relayed), what,
                             1.1);
}

int idle(double seconds) {
    TempDir dir;
    PtyRelay relay;
    Ser2net server(relay.pathA(), dir.path().string());
    if (!server.running())
        return 1;
    writeBytes(dir.file("src.nc"), XmodemData(4));
    ConnectedEngine c(server.telnetUrl(), dir.file("src.nc"));
    if (!c.connected())
        return 1;
    const double cpu0 = processCpuSeconds();
    const auto wall0 = Clock::now();
    QEventLoop loop;
    QTimer::singleShot(int(seconds * 1000), &loop, &QEventLoop::quit);
    loop.exec();
    const double cpu = processCpuSeconds() - cpu0;
    const double wall = std::chrono::duration<double>(Clock::now() - wall0).count();
    std::printf("connected idle telnet port: %.3f s processor in %.2f s: %.3f%% of a core "
                "(target < 1%%)\n",
                cpu, wall, 100.0 * cpu / wall);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    InstallQtMessagePump(); // as the window does
    const std::string what = argc > 1 ? argv[1] : "xmodem";
    if (what == "idle")
        return idle(argc > 2 ? std::atof(argv[2]) : 5.0);
    if (what == "line")
        return xmodem(argc > 2 ? size_t(std::atol(argv[2])) : 256,
                      argc > 3 ? std::atoi(argv[3]) : 3, false,
                      argc > 4 ? uint32_t(std::atol(argv[4])) : 115200);
    return xmodem(argc > 2 ? size_t(std::atol(argv[2])) : 1024, argc > 3 ? std::atoi(argv[3]) : 5,
                  what == "hops", 0);
}
