// What the benchmarks that read a large program share: the best elapsed and
// processor times of several rounds, and the baseline of reading the file in
// pieces and doing nothing with them.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

namespace bench {

using Clock = std::chrono::steady_clock;

struct Times {
    double elapsed = 1e9;
    double cpu = 1e9;
};

inline double cpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// Keeps the best of each: other work on the machine only ever makes a run
// slower.
template <typename F> void measure(Times& best, F&& run) {
    const auto start = Clock::now();
    const double cpu = cpuSeconds();
    run();
    best.cpu = std::min(best.cpu, cpuSeconds() - cpu);
    best.elapsed =
        std::min(best.elapsed, std::chrono::duration<double>(Clock::now() - start).count());
}

inline void readFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY);
    std::vector<char> piece(size_t{1} << 20);
    size_t total = 0;
    ssize_t got = 0;
    while ((got = ::read(fd, piece.data(), piece.size())) > 0) {
        total += static_cast<size_t>(got);
    }
    ::close(fd);
    if (total == 0) {
        std::exit(1);
    }
}

} // namespace bench
