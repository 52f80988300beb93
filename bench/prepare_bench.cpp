// Prepares a large part program for an EIA machine with every download filter
// on, and compares it with copying the same file with cp in the same run:
//   time ratio    = preparation time / cp time          (target: at most 2)
//   memory ratio  = peak resident memory / file size    (target: at most 3)
// Each run happens in a child process, so the peak memory measured is that of
// the preparation alone. The best of several rounds counts for both, since
// other work on the machine only ever makes a run slower.
//
//   bench_prepare [megabytes] [rounds]      (default 200 MB, 3 rounds)
#include "transfer/data_preparation.h"
#include "transfer/temp_file.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

vorl::MachineConfig benchMachine() {
    vorl::MachineConfig m;
    m.capability = 'D';
    m.eobMode = 0;
    m.charCode = 1;
    m.downloadStripNulls = 1;
    m.downloadStripSpaces = 1;
    m.downloadStripComments = 1;
    m.downloadFilterChars = ";";
    m.punchLeader = m.punchTrailer = 1;
    m.leaderLength = 5;
    return m;
}

// A program of CAM output: linear moves with a comment now and then.
bool writeProgram(const std::string& path, size_t bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) {
        return false;
    }
    std::vector<char> buffer(1 << 20);
    std::setvbuf(f, buffer.data(), _IOFBF, buffer.size());
    unsigned seed = 12345;
    auto next = [&seed](int range) {
        seed = seed * 1103515245u + 12345u;
        return static_cast<int>((seed >> 8) % static_cast<unsigned>(range));
    };
    size_t written = 0;
    for (long n = 10; written < bytes; n += 10) {
        int len;
        if (n % 500 == 0) {
            len = std::fprintf(f, "N%ld (ROUGHING PASS %ld)\r\n", n, n / 500);
        } else {
            len = std::fprintf(f, "N%ld G01 X%d.%03d Y-%d.%03d Z%d.%03d F%d.\r\n", n, next(500),
                               next(1000), next(500), next(1000), next(50), next(1000),
                               50 + next(3000));
        }
        written += static_cast<size_t>(len);
    }
    return std::fclose(f) == 0;
}

struct Run {
    double seconds = 0;
    long maxRssKb = 0;
    bool ok = false;
};

// Runs `argv` as a child and measures its wall time and peak memory.
Run measure(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const auto& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    const auto start = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    struct rusage usage {};
    wait4(pid, &status, 0, &usage);
    Run run;
    run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    run.maxRssKb = usage.ru_maxrss;
    run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return run;
}

int prepareOnly(const char* source, const char* target) {
    vorl::DownloadRequest request;
    request.sourcePath = source;
    const vorl::PreparedDownload result = vorl::PrepareDownloadFile(benchMachine(), request);
    if (!result.ok) {
        std::fprintf(stderr, "%s\n", result.message.c_str());
        return 1;
    }
    // Keep the file where the parent can remove it.
    return std::rename(result.tempFileName.c_str(), target) == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[1]) == "--prepare") {
        return prepareOnly(argv[2], argv[3]);
    }
    const size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 200;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    const std::string dir = vorl::temporaryDirectory();
    const std::string source = dir + "/vorl_bench_program.nc";
    const std::string copy = dir + "/vorl_bench_copy.nc";
    const std::string prepared = dir + "/vorl_bench_prepared.tap";
    const size_t bytes = megabytes * 1000 * 1000;
    if (!writeProgram(source, bytes)) {
        std::perror(source.c_str());
        return 1;
    }
    std::printf("program: %zu MB in %s\n", megabytes, dir.c_str());

    Run bestCp, bestPrepare;
    bestCp.seconds = bestPrepare.seconds = 1e9;
    for (int round = 0; round < rounds; ++round) {
        // Each run starts with no dirty pages left by the one before.
        std::remove(copy.c_str());
        sync();
        const Run cp = measure({"cp", source, copy});
        std::remove(prepared.c_str());
        sync();
        const Run prep = measure({argv[0], "--prepare", source, prepared});
        if (!cp.ok || !prep.ok) {
            std::fprintf(stderr, "a run failed\n");
            return 1;
        }
        std::printf("round %d: cp %.3f s, prepare %.3f s, peak memory %.1f MB\n", round + 1,
                    cp.seconds, prep.seconds, prep.maxRssKb / 1024.0);
        if (cp.seconds < bestCp.seconds) {
            bestCp = cp;
        }
        if (prep.seconds < bestPrepare.seconds) {
            bestPrepare = prep;
        }
    }
    std::remove(copy.c_str());
    std::remove(prepared.c_str());
    std::remove(source.c_str());

    const double timeRatio = bestPrepare.seconds / bestCp.seconds;
    const double memoryRatio = bestPrepare.maxRssKb * 1024.0 / static_cast<double>(bytes);
    std::printf("time ratio (prepare / cp):          %.2f  (target <= 2)\n", timeRatio);
    std::printf("memory ratio (peak RSS / file size): %.3f (target <= 3)\n", memoryRatio);
    return 0;
}
