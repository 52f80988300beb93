// Processor time while the download waits for a Ready string that never
// comes, against the same process idle with the port open, in the same run.
//   bench_ready_wait [seconds]     (default 5 each)
#include "engine_bench.h"
#include "serial/ui/qt_delivery.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <cstdlib>

using namespace vorl;
using namespace vorl::bench;

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 5;
    LinePty line(0);
    setenv("VORL_COM8", line.path().c_str(), 1);
    MachineList machines = benchMachines(1, 9600);
    machines[1].triggers[DownloadStart] = "\x12";
    machines[1].triggers[DownloadReady] = "\x11"; // the machine tool never sends it
    StatusView view;
    view.file = writeTemp("vorl-bench-ready.nc", partProgram(2000));
    TTransferEngine engine(machines, view, std::make_shared<QtDelivery>());
    engine.mnuCommDownloadClick(1);
    engine.cmdGoClick(); // Connect
    if (engine.goState() != TTransferEngine::GoState::Transmit) {
        std::fprintf(stderr, "cannot connect: %s\n", view.status.c_str());
        return 1;
    }

    auto measure = [&](auto&& run) {
        const auto wall0 = std::chrono::steady_clock::now();
        const double cpu0 = processCpuSeconds();
        run();
        const double cpu = processCpuSeconds() - cpu0;
        const double wall =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
        return 100.0 * cpu / wall;
    };
    const double idle = measure([&] {
        QEventLoop loop;
        QTimer::singleShot(seconds * 1000, &loop, &QEventLoop::quit);
        loop.exec();
    });
    const double waiting = measure([&] {
        QTimer::singleShot(seconds * 1000, &engine, [&] { engine.cmdResetClick(); });
        engine.cmdGoClick(); // Transmit: waits for the Ready string until Reset
    });
    std::printf("waiting for a Ready string: %.2f%% of a core over %d s "
                "(the same process idle with the port open: %.2f%%; target under 1%%)\n",
                waiting, seconds, idle);
    return 0;
}
