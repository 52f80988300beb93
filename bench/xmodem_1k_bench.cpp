// Sends one MiB with Xmodem 1K over a pty line to lrzsz's rx, once with our
// protocol component (through the port component and dispatcher) and once
// with lrzsz's own "sx -k" on the same kind of line, and prints
//   time ratio = our time / sx time          (goal: at most 1.0)
// Each round times from the moment rx starts (its sender already waiting for
// the handshake) until the sender's EOT has passed the line: after that rx
// waits a second of silence before it confirms, the same for both. The best
// of several rounds counts for both, since other work on the machine only
// makes a run slower.
// Both files are checked against the original.
//
//   bench_xmodem_1k [kilobytes] [rounds]      (default 1024 KiB, 7 rounds)
#include "pty_support.h"
#include "temp_dir.h"
#include "xmodem_rounds.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

using namespace vorl;
using namespace vorl::test;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Waits until the program's messages contain `text` (its sender is ready).
bool waitForMessage(int fd, const std::string& text, std::chrono::milliseconds timeout) {
    std::string seen;
    auto deadline = Clock::now() + timeout;
    char buf[512];
    while (seen.find(text) == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, int(left.count())) <= 0)
            return false;
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            return false;
        seen.append(buf, size_t(n));
    }
    return true;
}

double runSx(const TempDir& dir, const std::string& data, bool& ok) {
    PtyRelay relay;
    int tty = open(relay.pathA().c_str(), O_RDWR | O_NOCTTY);
    int messages[2];
    if (tty < 0 || pipe(messages) != 0) {
        ok = false;
        return 0;
    }
    unlink(dir.file("in_sx.nc").c_str());
    PeerProcess sx({"sx", "-b", "-k", "src.nc"}, tty, tty, dir.path().string(), messages[1]);
    close(messages[1]);
    ok = waitForMessage(messages[0], "receive command now", 10s);
    auto start = Clock::now();
    PeerProcess rx({"rx", "-b", "-c", "in_sx.nc"}, relay, dir.path().string());
    ok = ok && rx.wait(300s) && rx.exitCode() == 0;
    double secs = std::chrono::duration<double>(relay.lastToPeer() - start).count();
    ok = ok && sx.wait(30s) && vorl::bench::SameXmodemData(readBytes(dir.file("in_sx.nc")), data);
    close(messages[0]);
    close(tty);
    return secs;
}

double runOurs(const TempDir& dir, const std::string& data, bool& ok) {
    PtyRelay relay;
    PortSide side(relay.pathA(), 49, ptXmodem1K);
    unlink(dir.file("in_ours.nc").c_str());
    side.proto.SetFileMask(dir.file("src.nc"));
    side.proto.SetXYmodemBlockWait(182);
    side.proto.SetTransmitTimeout(364);
    side.proto.StartTransmit();
    auto start = Clock::now();
    PeerProcess rx({"rx", "-b", "-c", "in_ours.nc"}, relay, dir.path().string());
    ok = side.waitFinish(300s) && side.code() == 0 && rx.wait(30s) && rx.exitCode() == 0;
    double secs = std::chrono::duration<double>(relay.lastToPeer() - start).count();
    ok = ok && vorl::bench::SameXmodemData(readBytes(dir.file("in_ours.nc")), data);
    return secs;
}

} // namespace

int main(int argc, char** argv) {
    const size_t kib = argc > 1 ? size_t(std::atol(argv[1])) : 1024;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 7;
    TempDir dir;
    const std::string data = vorl::bench::XmodemData(kib);
    writeBytes(dir.file("src.nc"), data);
    const vorl::bench::XmodemWay sx{"sx -k", [&](bool& ok) { return runSx(dir, data, ok); }};
    const vorl::bench::XmodemWay ours{"ours", [&](bool& ok) { return runOurs(dir, data, ok); }};
    return vorl::bench::CompareBestRounds(
        rounds, sx, ours, "Xmodem 1K, " + std::to_string(kib) + " KiB over a pty to rx", 1.0);
}
