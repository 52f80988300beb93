// Builds the restart prefix for the last block of a large part program (the
// whole program is read up to it) and compares it with reading the same file
// in pieces of the same size and doing nothing with them, in the same run:
//   ratio = prefix time / read time        (target: the prefix within 1 s at 50 MB)
// Both elapsed and processor time are shown: on a busy machine the elapsed
// time mostly measures the others. The best of several rounds counts, since
// other work on the machine only ever makes a run slower.
//
//   bench_restart_prefix [megabytes] [rounds]      (default 50 MB, 3 rounds)
#include "restart/restart_prefix.h"

#include "best_times.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

namespace {

using bench::Clock;
using bench::measure;
using bench::readFile;
using bench::Times;

// CAM output for a mill: a header, then tools in turn, each with its
// approach and a long run of feed moves and arcs, a comment now and then.
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
    char line[128];
    for (int tool = 1; written < bytes; ++tool) {
        int n = std::snprintf(line, sizeof line,
                              "N%d T%d M06\r\nS%d M03\r\nG54 G00 X0 Y0\r\nG43 H%d Z25. M08\r\n"
                              "G01 Z-2. F300.\r\n",
                              lines * 10, tool % 20 + 1, 1000 + next(5000), tool % 20 + 1);
        std::fwrite(line, 1, static_cast<size_t>(n), f);
        written += static_cast<size_t>(n);
        lines += 5;
        for (int i = 0; i < 20000 && written < bytes; ++i) {
            ++lines;
            if (i % 500 == 0) {
                n = std::snprintf(line, sizeof line, "(PASS %d)\r\n", i / 500);
            } else if (i % 7 == 0) {
                n = std::snprintf(line, sizeof line, "N%d G02 X%d.%03d Y%d.%03d R%d.\r\n",
                                  lines * 10, next(500), next(1000), next(500), next(1000),
                                  5 + next(50));
            } else {
                n = std::snprintf(line, sizeof line, "N%d G01 X%d.%03d Y%d.%03d F%d\r\n",
                                  lines * 10, next(500), next(1000), next(500), next(1000),
                                  100 + next(2000));
            }
            std::fwrite(line, 1, static_cast<size_t>(n), f);
            written += static_cast<size_t>(n);
        }
        std::fputs("G00 Z25. M09\r\nG91 G28 Z0\r\nG90\r\n", f);
        written += 30;
        lines += 3;
    }
    std::fputs("M30\r\n%\r\n", f);
    lines += 2;
    std::fclose(f);
    return lines;
}

} // namespace

int main(int argc, char** argv) {
    const long megabytes = argc > 1 ? std::atol(argv[1]) : 50;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    const std::string path = (std::filesystem::temp_directory_path() /
                              ("vorl-bench-restart-" + std::to_string(getpid())))
                                 .string();
    const int lines = writeProgram(path, static_cast<size_t>(megabytes) << 20);

    Times read;
    Times prefix;
    vorl::RestartPrefix result;
    const vorl::RestartOptions options{vorl::ControlDialect::Mill, "G91 G28 Z0"};
    for (int round = 0; round < rounds; ++round) {
        measure(read, [&] { readFile(path); });
        measure(prefix, [&] { result = vorl::BuildRestartPrefix(path, lines, options); });
    }
    if (std::getenv("VORL_BENCH_KEEP") == nullptr) {
        std::remove(path.c_str());
    }
    if (!result.ok) {
        std::fprintf(stderr, "%s\n", result.error.c_str());
        return 1;
    }
    std::printf("restart prefix at the last block (%d) of a %ld MB program\n", lines, megabytes);
    std::printf("                 elapsed            processor\n");
    std::printf("reading the file %.3f s            %.3f s\n", read.elapsed, read.cpu);
    std::printf("prefix           %.3f s  ratio %.1f  %.3f s  ratio %.1f  (%s)\n", prefix.elapsed,
                prefix.elapsed / read.elapsed, prefix.cpu, prefix.cpu / read.cpu,
                result.certain ? "certain" : "not certain");
    return 0;
}
