// Processor time of an open port with nothing happening, as a share of one
// core over the same stretch of wall time.
#include "serial/dispatcher.h"

#include <chrono>
#include <cstdio>
#include <pty.h>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

namespace {

double CpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

void OnNotice(uint32_t, uint32_t, uint32_t) {}

} // namespace

int main(int argc, char** argv) {
    double seconds = argc > 1 ? std::atof(argv[1]) : 5.0;
    int master, slave;
    char name[128];
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0)
        return 1;
    vorl::TLinuxDispatcher d(nullptr);
    if (d.InitPort(name, 9600, 0, 8, 1, 4096, 8192, 3) != vorl::ecOK)
        return 1;
    // What an idle transfer keeps armed: the length trigger, a data trigger,
    // a timer far off and a handler.
    d.ChangeLengthTrigger(1);
    d.AddDataTrigger("%", false);
    int32_t t = d.AddTimerTrigger();
    d.SetTimerTrigger(uint32_t(t), vorl::Secs2Ticks(3600), true);
    d.RegisterProcTriggerHandler(&OnNotice);

    double c0 = CpuSeconds();
    auto w0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    double cpu = CpuSeconds() - c0;
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - w0).count();
    d.DonePort();
    close(master);
    close(slave);
    std::printf("idle open port: %.3f s processor in %.2f s: %.3f%% of a core (target < 1%%)\n",
                cpu, wall, 100.0 * cpu / wall);
    return 0;
}
