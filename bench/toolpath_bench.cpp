// The toolpath of a large part program in the review window's panel: read on
// its thread and shown as it grows, until the first picture and until it is
// fully drawn at Fit, against reading the same file in pieces and doing
// nothing with them, in the same run:
//   ratio = time / read time   (targets at 50 MB: first picture 0.3 s, all 2 s)
// with the longest the window's event loop did not turn meanwhile, and the
// peak memory of the process against the file's size (the aim: at most a
// quarter of the file's size plus 64 MB). Elapsed and processor time are
// shown: on a busy machine the elapsed time mostly measures the others. The
// best of several rounds counts.
//
//   bench_toolpath [megabytes] [rounds]      (default 50 MB, 3 rounds)
#include "restart/toolpath.h"
#include "viewers/toolpath_panel.h"
#include "viewers/toolpath_view.h"

#include <QApplication>
#include <QPixmap>
#include <QTimer>

#include "best_times.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

namespace {

using bench::Clock;
using bench::cpuSeconds;
using bench::measure;
using bench::readFile;
using bench::Times;

// CAM output for a mill: tools in turn, each with its approach and a long run
// of feed moves and arcs that join them (valid arcs: the end lies on the
// circle), pockets of drilled holes now and then, a comment here and there.
int writeProgram(const std::string& path, size_t bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) {
        std::perror(path.c_str());
        std::exit(1);
    }
    std::fputs("%\r\nO1234 (BENCH)\r\nG21 G17 G40 G49 G80 G90 G94\r\n", f);
    size_t written = 0;
    int lines = 3;
    unsigned seed = 1;
    auto next = [&seed](int range) {
        seed = seed * 1103515245u + 12345u;
        return static_cast<int>((seed >> 8) % static_cast<unsigned>(range));
    };
    char line[160];
    auto put = [&](int n) {
        std::fwrite(line, 1, static_cast<size_t>(n), f);
        written += static_cast<size_t>(n);
        ++lines;
    };
    for (int tool = 1; written < bytes; ++tool) {
        put(std::snprintf(line, sizeof line, "N%d T%d M06\r\n", lines * 10, tool % 20 + 1));
        put(std::snprintf(line, sizeof line, "S%d M03\r\n", 1000 + next(5000)));
        put(std::snprintf(line, sizeof line, "G54 G00 X0. Y0.\r\n"));
        put(std::snprintf(line, sizeof line, "G43 H%d Z25. M08\r\n", tool % 20 + 1));
        put(std::snprintf(line, sizeof line, "G01 Z-2. F300.\r\n"));
        double x = 0;
        double y = 0;
        for (int i = 0; i < 20000 && written < bytes; ++i) {
            if (i % 500 == 0) {
                put(std::snprintf(line, sizeof line, "(PASS %d)\r\n", i / 500));
            } else if (i % 7 == 0) {
                // A half circle to a point 2r away along X: its centre is
                // r ahead, so the arc is exact.
                const double r = 1 + next(20);
                x += x > 400 ? -2 * r : 2 * r;
                put(std::snprintf(line, sizeof line, "N%d G02 X%.3f Y%.3f R%.3f\r\n", lines * 10, x,
                                  y, r));
            } else {
                x = next(500) + next(1000) / 1000.0;
                y = next(500) + next(1000) / 1000.0;
                put(std::snprintf(line, sizeof line, "N%d G01 X%.3f Y%.3f F%d\r\n", lines * 10, x,
                                  y, 100 + next(2000)));
            }
        }
        put(std::snprintf(line, sizeof line, "G00 Z25. M09\r\n"));
        put(std::snprintf(line, sizeof line, "G91 G28 Z0.\r\n"));
        put(std::snprintf(line, sizeof line, "G90\r\n"));
    }
    std::fputs("M30\r\n%\r\n", f);
    std::fclose(f);
    return lines + 2;
}

double peakMegabytes() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

void line(const char* what, const Times& t, const Times& read) {
    std::printf("%-22s %.3f s  ratio %5.1f  %.3f s  ratio %5.1f\n", what, t.elapsed,
                t.elapsed / read.elapsed, t.cpu, t.cpu / read.cpu);
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const long megabytes = argc > 1 ? std::atol(argv[1]) : 50;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    const std::string path = (std::filesystem::temp_directory_path() /
                              ("vorl-bench-toolpath-" + std::to_string(getpid())))
                                 .string();
    const int lines = writeProgram(path, static_cast<size_t>(megabytes) << 20);
    const double before = peakMegabytes();

    Times read;
    Times first;
    Times whole;
    double stall = 1e9;
    size_t segments = 0;
    for (int round = 0; round < rounds; ++round) {
        measure(read, [&] { readFile(path); });
        // The review window's panel: read on its thread, shown as it grows.
        vorl::ToolpathPanel panel;
        panel.resize(1000, 700);
        panel.show();
        bool done = false;
        QObject::connect(&panel, &vorl::ToolpathPanel::loaded, [&] { done = true; });
        // The longest the window's event loop went without turning.
        double longest = 0;
        auto turned = Clock::now();
        QTimer tick;
        QObject::connect(&tick, &QTimer::timeout, [&] {
            const auto now = Clock::now();
            longest = std::max(longest, std::chrono::duration<double>(now - turned).count());
            turned = now;
        });
        tick.start(5);
        const auto start = Clock::now();
        const double cpu = cpuSeconds();
        panel.load(path, {vorl::ControlDialect::Mill, 10000});
        while (panel.view()->path()->segments.empty() && !done) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        }
        if (panel.view()->grab().isNull()) {
            return 1;
        }
        first.elapsed =
            std::min(first.elapsed, std::chrono::duration<double>(Clock::now() - start).count());
        first.cpu = std::min(first.cpu, cpuSeconds() - cpu);
        while (!done || !panel.view()->drawnWhole()) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        }
        if (panel.view()->grab().isNull()) {
            return 1;
        }
        whole.elapsed =
            std::min(whole.elapsed, std::chrono::duration<double>(Clock::now() - start).count());
        whole.cpu = std::min(whole.cpu, cpuSeconds() - cpu);
        stall = std::min(stall, longest);
        segments = panel.view()->path()->segments.size();
    }
    if (std::getenv("VORL_BENCH_KEEP") == nullptr) {
        std::remove(path.c_str());
    }
    const double peak = peakMegabytes();
    std::printf("toolpath of a %ld MB program: %d blocks, %zu segments\n", megabytes, lines,
                segments);
    std::printf("                       elapsed            processor (both threads)\n");
    std::printf("%-22s %.3f s                %.3f s\n", "reading the file", read.elapsed, read.cpu);
    line("first picture", first, read);
    line("fully drawn at Fit", whole, read);
    std::printf("longest the window did not answer while it grew: %.3f s\n", stall);
    std::printf("peak memory %.0f MB (%.0f MB before reading), aim %.0f MB (a quarter of the "
                "file and 64 MB)\n",
                peak, before, static_cast<double>(megabytes) / 4 + 64);
    return 0;
}
