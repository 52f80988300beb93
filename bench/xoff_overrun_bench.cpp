// The most characters that still arrive after the simulated machine tool's
// XOFF, for the block sender at 9600 and 19,200 bit/s, against a control
// with a 256-character buffer that sends XOFF at 192 and reads slower than
// the line; and, in the same run, for a plain write() with the kernel's
// XON/XOFF on the same kind of pty (the baseline: on a pty a whole write
// arrives at once). A real control allows about ten. On a loaded machine the
// control's own lateness adds to the figure: what waited in the pty before it
// looked counts as after its XOFF.
//   bench_xoff_overrun [kilobytes]     (default 2)
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

// A control that takes 300 characters a second from a 256-character buffer:
// slower than either line, so it throttles all the time.
std::vector<std::string> simArgs(const st::TempDir& dir) {
    return {"--buffer", "256",      "--xoff-at",        "192",    "--xon-at", "64", "--rate",
            "300",      "--report", dir.file("report"), "--quiet"};
}

// The block sender's figure at `baud`: the most characters after an XOFF,
// the XOFFs and the overflows.
st::Report blockSender(int32_t baud, size_t kb) {
    st::TempDir dir;
    st::SimProcess sim(simArgs(dir), dir.file("stderr"));
    setenv("VORL_COM8", sim.ptyPath().c_str(), 1);
    MachineList machines = benchMachines(1, baud);
    StatusView view;
    view.file = writeTemp("vorl-bench-xoff.nc", partProgram(kb * 1024));
    TTransferEngine engine(machines, view, std::make_shared<QtDelivery>());
    engine.mnuCommDownloadClick(1);
    engine.cmdGoClick(); // Connect
    engine.cmdGoClick(); // Transmit
    std::ifstream in(engine.transfer.tempFileName, std::ios::binary);
    const std::string prepared{std::istreambuf_iterator<char>(in), {}};
    return st::waitReport(dir.file("report"), [&](const st::Report& r) {
        return st::num(r, "bytes_received") >= static_cast<long long>(prepared.size());
    });
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const size_t kb = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 2;

    const st::Report at9600 = blockSender(9600, kb);
    const st::Report at19200 = blockSender(19200, kb);

    const std::string prepared = partProgram(kb * 1024);
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
    const st::Report plain = st::waitReport(plainDir.file("report"), [&](const st::Report& r) {
        return st::num(r, "bytes_received") >= static_cast<long long>(prepared.size());
    });
    ::close(fd);

    auto line = [](const char* what, const st::Report& r) {
        std::printf("  %-44s %4lld  (%lld XOFFs, %lld overflowed)\n", what,
                    st::num(r, "after_xoff_max"), st::num(r, "xoff_sent"), st::num(r, "overflow"));
    };
    std::printf("characters after an XOFF, most (a real control allows about 10):\n");
    line("block sender, 9600 bit/s", at9600);
    line("block sender, 19,200 bit/s", at19200);
    line("plain write() with the kernel's XON/XOFF", plain);
    std::printf("ratio to the allowed 10: %.2f at 9600, %.2f at 19,200 bit/s\n",
                double(st::num(at9600, "after_xoff_max")) / 10.0,
                double(st::num(at19200, "after_xoff_max")) / 10.0);
    return 0;
}
