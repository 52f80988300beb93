// The block sender's throughput against a plain write() of the same prepared
// file, both into a pty whose far side takes the bytes at the speed of a
// 115200 bit/s line (8N1), measured in the same run. A pty has no line
// speed of its own: without that far side both would only measure memory.
//   bench_block_sender [kilobytes]     (default 64)
#include "engine_bench.h"
#include "serial/ui/qt_delivery.h"

#include <QCoreApplication>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <unistd.h>

using namespace vorl;
using namespace vorl::bench;
using Clock = std::chrono::steady_clock;

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const size_t kb = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 64;
    constexpr int32_t kBaud = 115200;
    constexpr int64_t kCps = kBaud / 10;

    LinePty engineLine(kCps);
    setenv("VORL_COM8", engineLine.path().c_str(), 1);
    MachineList machines = benchMachines(1, kBaud);
    StatusView view;
    view.file = writeTemp("vorl-bench-sender.nc", partProgram(kb * 1024));
    TTransferEngine engine(machines, view, std::make_shared<QtDelivery>());
    engine.mnuCommDownloadClick(1);
    engine.cmdGoClick(); // Connect: prepares the file
    if (engine.goState() != TTransferEngine::GoState::Transmit) {
        std::fprintf(stderr, "cannot connect: %s\n", view.status.c_str());
        return 1;
    }
    std::ifstream in(engine.transfer.tempFileName, std::ios::binary);
    const std::string prepared{std::istreambuf_iterator<char>(in), {}};
    const auto size = static_cast<int64_t>(prepared.size());

    double plain = 0;
    {
        LinePty line(kCps);
        const auto t0 = Clock::now();
        for (size_t done = 0; done < prepared.size();) {
            const ssize_t n = ::write(line.slave(), prepared.data() + done, prepared.size() - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
            }
        }
        plain = std::chrono::duration<double>(line.waitFor(size) - t0).count();
    }

    const auto t0 = Clock::now();
    engine.cmdGoClick(); // Transmit: returns when the sender is done
    const double sender = std::chrono::duration<double>(engineLine.waitFor(size) - t0).count();
    std::printf("%lld characters at %lld cps: plain write() %.2f s, block sender %.2f s, "
                "throughput ratio %.3f (target at least 0.9)\n",
                static_cast<long long>(size), static_cast<long long>(kCps), plain, sender,
                plain / sender);
    return view.status == "Download complete" ? 0 : 1;
}
