// What the Xmodem benchmarks share: the file they send (seeded random bytes,
// so IAC and the protocol's own characters come up), the check of the file
// rx wrote, and rounds of two ways of sending it, of which the best round of
// each counts, since other work on the machine only makes a run slower.
#pragma once

#include <algorithm>
#include <cstdio>
#include <functional>
#include <random>
#include <string>

namespace vorl::bench {

// `kib` KiB of random bytes, the same in every run.
inline std::string XmodemData(size_t kib) {
    std::mt19937 rng(5);
    std::string data(kib * 1024, '\0');
    for (char& c : data)
        c = char(rng() & 0xFF);
    return data;
}

// rx writes whole blocks: the data, then ^Z padding to the block's end.
inline bool SameXmodemData(const std::string& got, const std::string& data) {
    if (got.size() < data.size() || got.compare(0, data.size(), data) != 0)
        return false;
    return got.find_first_not_of('\x1A', data.size()) == std::string::npos;
}

// One way of sending: its name and a run that returns the seconds it took,
// setting `ok` false when the transfer failed or the file differs.
struct XmodemWay {
    const char* name;
    std::function<double(bool& ok)> run;
};

// Runs `base` and `measured` in turn, `rounds` times; prints each round, the
// best of each and the ratio measured / base. 0, or 1 when a run failed.
// A goal of 0 prints the ratio without one; `ratio` (when given) takes it.
inline int CompareBestRounds(int rounds, const XmodemWay& base, const XmodemWay& measured,
                             const std::string& what, double goal, double* ratio = nullptr) {
    double best[2] = {1e9, 1e9};
    for (int r = 0; r < rounds; ++r) {
        bool okBase = false, okMeasured = false;
        const double b = base.run(okBase);
        const double m = measured.run(okMeasured);
        if (!okBase || !okMeasured) {
            std::fprintf(stderr, "round %d failed (%s %s, %s %s)\n", r + 1, base.name,
                         okBase ? "ok" : "FAILED", measured.name, okMeasured ? "ok" : "FAILED");
            return 1;
        }
        std::printf("round %d: %s %.3f s, %s %.3f s\n", r + 1, base.name, b, measured.name, m);
        best[0] = std::min(best[0], b);
        best[1] = std::min(best[1], m);
    }
    std::printf("%s: %s %.3f s, %s %.3f s\n", what.c_str(), base.name, best[0], measured.name,
                best[1]);
    if (goal > 0)
        std::printf("time ratio (%s / %s): %.2f (goal: at most %.1f)\n", measured.name, base.name,
                    best[1] / best[0], goal);
    else
        std::printf("time ratio (%s / %s): %.2f\n", measured.name, base.name, best[1] / best[0]);
    if (ratio)
        *ratio = best[1] / best[0];
    std::fflush(stdout);
    return 0;
}

} // namespace vorl::bench
