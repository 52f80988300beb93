// The most characters that still arrive after the simulated machine tool's
// XOFF, for the block sender and, in the same run, for a plain write() with
// the kernel's XON/XOFF on the same kind of pty. A real control allows about
// ten; on a pty a whole write arrives at once, so the figure is at least what
// one write holds.
//   bench_xoff_overrun [kilobytes]     (default 8)
#include "engine_bench.h"
#include "serial/ui/qt_delivery.h"
#include "sim_process.h"

#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <termios.h>
#include <unistd.h>

using namespace vorl;
using namespace vorl::bench;
namespace st = vorl::sim::test;

namespace {

// A control that takes 3000 characters a second from a 1024-character buffer.
std::vector<std::string> simArgs(const st::TempDir& dir) {
    return {"--buffer", "1024",     "--xoff-at",        "512",    "--xon-at", "128", "--rate",
            "3000",     "--report", dir.file("report"), "--quiet"};
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const size_t kb = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 8;

    st::TempDir engineDir;
    st::SimProcess engineSim(simArgs(engineDir), engineDir.file("stderr"));
    setenv("VORL_COM8", engineSim.ptyPath().c_str(), 1);
    MachineList machines = benchMachines(1, 115200);
    StatusView view;
    view.file = writeTemp("vorl-bench-xoff.nc", partProgram(kb * 1024));
    TTransferEngine engine(machines, view, std::make_shared<QtDelivery>());
    engine.mnuCommDownloadClick(1);
    engine.cmdGoClick(); // Connect
    engine.cmdGoClick(); // Transmit
    std::ifstream in(engine.transfer.tempFileName, std::ios::binary);
    const std::string prepared{std::istreambuf_iterator<char>(in), {}};
    const auto done = [&](const st::Report& r) {
        return st::num(r, "bytes_received") >= static_cast<long long>(prepared.size());
    };
    const st::Report mine = st::waitReport(engineDir.file("report"), done);

    st::TempDir plainDir;
    st::SimProcess plainSim(simArgs(plainDir), plainDir.file("stderr"));
    const int fd = ::open(plainSim.ptyPath().c_str(), O_RDWR | O_NOCTTY);
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    t.c_iflag |= IXON;
    tcsetattr(fd, TCSANOW, &t);
    for (size_t sent = 0; sent < prepared.size();) {
        const ssize_t n = ::write(fd, prepared.data() + sent, prepared.size() - sent);
        if (n > 0) {
            sent += static_cast<size_t>(n);
        }
    }
    const st::Report plain = st::waitReport(plainDir.file("report"), done);
    ::close(fd);

    std::printf("characters after an XOFF, most: block sender %lld (%lld XOFFs, %lld overflowed), "
                "plain write() with the kernel's XON/XOFF %lld (%lld XOFFs, %lld overflowed); "
                "a real control allows about 10\n",
                st::num(mine, "after_xoff_max"), st::num(mine, "xoff_sent"),
                st::num(mine, "overflow"), st::num(plain, "after_xoff_max"),
                st::num(plain, "xoff_sent"), st::num(plain, "overflow"));
    return 0;
}
