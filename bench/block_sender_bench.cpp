// The block sender's throughput against a plain write() of the same prepared
// file, both into a pty whose far side takes the bytes at the speed of a
// 115200 bit/s line (8N1), measured in the same run. A pty has no line
// speed of its own: without that far side both would only measure memory.
//
// Then its memory: a program of a gigabyte (generated in the temporary
// directory and removed afterwards) is prepared, and the peak memory of the
// process (VmHWM, its mark set back once the file is prepared) is taken
// while the sender runs for a few seconds, against the target of 64 MB and
// against the file's size (what a sender holding the whole file would take).
//   bench_block_sender [kilobytes [megabytes]]     (default 64 and 1024)
#include "engine_bench.h"
#include "serial/ui/qt_delivery.h"

#include <QCoreApplication>

#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include <fstream>
#include <iterator>
#include <sys/stat.h>
#include <unistd.h>

using namespace vorl;
using namespace vorl::bench;
using Clock = std::chrono::steady_clock;

namespace {

// A memory figure of this process from /proc/self/status, in bytes.
double memory(const char* key) {
    std::ifstream status("/proc/self/status");
    std::string word;
    while (status >> word) {
        if (word == key) {
            double kb = 0;
            status >> kb;
            return kb * 1024;
        }
        status.ignore(1 << 16, '\n');
    }
    return 0;
}

bool memoryWhileSending(int64_t megabytes) {
    const std::string source = writeTemp("vorl-bench-sender-big.nc", "");
    {
        std::ofstream out(source, std::ios::binary);
        const std::string chunk = partProgram(1 << 20);
        for (int64_t written = 0; written < megabytes << 20; written += int64_t(chunk.size())) {
            out << chunk;
        }
    }
    LinePty line(11520);
    setenv("VORL_COM8", line.path().c_str(), 1);
    MachineList machines = benchMachines(1, 115200);
    StatusView view;
    view.file = source;
    TTransferEngine engine(machines, view, std::make_shared<QtDelivery>());
    engine.mnuCommDownloadClick(1);
    engine.cmdGoClick(); // Connect: prepares the file
    std::remove(source.c_str());
    if (engine.goState() != TTransferEngine::GoState::Transmit) {
        std::fprintf(stderr, "cannot connect: %s\n", view.status.c_str());
        return false;
    }
    struct stat st {};
    ::stat(engine.transfer.tempFileName.c_str(), &st);
    const double size = double(st.st_size);
    std::ofstream("/proc/self/clear_refs") << "5"; // the peak starts again from here
    const double idle = memory("VmRSS:");
    QTimer::singleShot(3000, &engine, [&engine] { engine.cmdStopClick(); });
    engine.cmdGoClick(); // Transmit, until Stop
    const double grown = memory("VmHWM:") - idle;
    std::printf("%.0f MB prepared program, sent for 3 s: peak memory above idle %.1f MB, "
                "target at most 64 MB, ratio %.3f; %.4f x the file's size\n",
                size / 1048576, grown / 1048576, grown / (64.0 * 1048576), grown / size);
    return view.status == "Download cancelled";
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const size_t kb = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 64;
    const int64_t megabytes = argc > 2 ? std::strtoll(argv[2], nullptr, 10) : 1024;
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
    std::fflush(stdout);
    const bool sent = view.status == "Download complete";
    return sent && memoryWhileSending(megabytes) ? 0 : 1;
}
