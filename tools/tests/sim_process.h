// Test helpers: the simulator as a child process, the computer's end of its
// pty, and waits on its report file. Every wait has a deadline; none sleeps.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

namespace vorl::sim::test {

constexpr std::chrono::milliseconds kWait{10000};

class TempDir {
public:
    TempDir();
    ~TempDir();
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);

using Report = std::map<std::string, std::string>;
Report readReport(const std::string& path);
long long num(const Report& r, const std::string& key);    // -1 when absent
std::string text(const Report& r, const std::string& key); // "(absent)" when absent

// Waits until the report satisfies `ready`; returns the report that did, or
// the last one read when the deadline passed (the caller's checks then fail).
Report waitReport(const std::string& path, const std::function<bool(const Report&)>& ready,
                  std::chrono::milliseconds timeout = kWait);

class SimProcess {
public:
    // Starts vorl-simmachine with `args`; stderr goes to `stderrPath`.
    SimProcess(const std::vector<std::string>& args, const std::string& stderrPath);
    ~SimProcess();
    // The first line on stdout ("PTY /dev/pts/N"), or empty when none came.
    const std::string& firstLine() const { return firstLine_; }
    std::string ptyPath() const;
    void command(const std::string& line); // one line on its stdin
    // Sends `sig` and waits for the exit; returns the exit status, or -1 when
    // it did not end in time (then it is killed).
    int stop(int sig);
    // Waits for an exit without sending anything (bad options end at once).
    int waitExit();

private:
    pid_t pid_ = -1;
    int stdinFd_ = -1;
    int stdoutFd_ = -1;
    std::string firstLine_;
};

// The computer's end: the pty slave opened raw, as the serial layer would.
class Computer {
public:
    explicit Computer(const std::string& path);
    explicit Computer(int fd); // takes over an open fd, made non-blocking
    ~Computer();
    bool isOpen() const { return fd_ >= 0; }
    void close();
    void send(const std::string& bytes);
    // Reads until `n` bytes have come or the deadline passed.
    std::string read(size_t n, std::chrono::milliseconds timeout = kWait);
    // What is waiting now, without waiting.
    std::string available();

private:
    int fd_ = -1;
};

} // namespace vorl::sim::test
