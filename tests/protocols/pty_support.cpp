#include "pty_support.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <stdexcept>

extern char** environ;

namespace vorl::test {

namespace {

void openPair(int& master, int& slave, std::string& path) {
    char name[256];
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0)
        throw std::runtime_error("openpty failed");
    path = name;
    termios t{};
    tcgetattr(slave, &t);
    cfmakeraw(&t);
    tcsetattr(slave, TCSANOW, &t);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
}

} // namespace

PtyRelay::PtyRelay(Faults faults) : faults_(faults) {
    openPair(masterA_, slaveA_, pathA_);
    if (pipe2(wake_, O_CLOEXEC) != 0 || pipe2(toPeer_, O_CLOEXEC) != 0 ||
        pipe2(fromPeer_, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    fcntl(toPeer_[1], F_SETFL, O_NONBLOCK);
    fcntl(fromPeer_[0], F_SETFL, O_NONBLOCK);
    thread_ = std::thread([this] { run(); });
}

PtyRelay::~PtyRelay() {
    char c = 1;
    (void)!write(wake_[1], &c, 1);
    thread_.join();
    for (int fd : {masterA_, slaveA_, toPeer_[0], toPeer_[1], fromPeer_[0], fromPeer_[1], wake_[0],
                   wake_[1]})
        close(fd);
}

void PtyRelay::run() {
    std::mt19937 rng(faults_.seed);
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    std::uniform_int_distribution<int> pattern(1, 255);
    // VORL_RELAY_TRACE names a file that gets every byte passing (debugging):
    // ">" towards the peer, "<" from it, "!" when damaged, "-" when dropped.
    FILE* trace = getenv("VORL_RELAY_TRACE") ? fopen(getenv("VORL_RELAY_TRACE"), "a") : nullptr;
    auto start = std::chrono::steady_clock::now();
    std::string toB, toA; // bytes on their way to the peer, to the pty
    std::chrono::steady_clock::time_point lineFreeA{}, lineFreeB{};
    constexpr size_t kHold = 1 << 16;
    uint8_t buf[4096];
    for (;;) {
        pollfd fds[5] = {
            {wake_[0], POLLIN, 0},
            {masterA_, short(toB.size() < kHold ? POLLIN : 0), 0},
            {fromPeer_[0], short(toA.size() < kHold ? POLLIN : 0), 0},
            {masterA_, short(toA.empty() ? 0 : POLLOUT), 0},
            {toPeer_[1], short(toB.empty() ? 0 : POLLOUT), 0},
        };
        // With a line rate, a direction's next bytes wait until the line has
        // carried the last ones.
        const auto now = std::chrono::steady_clock::now();
        int waitMs = -1;
        if (faults_.lineRate > 0) {
            for (int i : {3, 4}) {
                const auto freeAt = i == 3 ? lineFreeA : lineFreeB;
                if (fds[i].events && freeAt > now) {
                    fds[i].events = 0;
                    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(freeAt - now);
                    waitMs = waitMs < 0 ? int(ms.count()) : std::min(waitMs, int(ms.count()));
                }
            }
        }
        if (poll(fds, 5, waitMs) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[0].revents) {
            if (trace)
                fclose(trace);
            return;
        }
        struct Dir {
            pollfd& from;
            std::string& into;
        };
        for (Dir d : {Dir{fds[1], toB}, Dir{fds[2], toA}}) {
            if (!(d.from.revents & POLLIN))
                continue;
            ssize_t n = read(d.from.fd, buf, sizeof buf);
            if (n > 0 && &d.into == &toB && faults_.lineRate == 0)
                lastToPeer_ = std::chrono::steady_clock::now().time_since_epoch().count();
            if (trace && n > 0)
                fprintf(trace, "\n%c %lld ms:", &d.into == &toA ? '<' : '>',
                        (long long)std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - start)
                            .count());
            for (ssize_t i = 0; i < n; ++i) {
                ++relayed_;
                if (faults_.drop > 0 && chance(rng) < faults_.drop) {
                    ++damaged_;
                    if (trace)
                        fprintf(trace, " -%02x", buf[i]);
                    continue;
                }
                uint8_t c = buf[i];
                bool bad = faults_.corrupt > 0 && chance(rng) < faults_.corrupt;
                if (bad) {
                    c ^= uint8_t(pattern(rng));
                    ++damaged_;
                }
                if (trace && (bad || n < 8))
                    fprintf(trace, " %s%02x", bad ? "!" : "", c);
                d.into += char(c);
            }
        }
        struct Out {
            pollfd& to;
            std::string& from;
            std::chrono::steady_clock::time_point& lineFree;
        };
        for (Out o : {Out{fds[3], toA, lineFreeA}, Out{fds[4], toB, lineFreeB}}) {
            if (!(o.to.revents & POLLOUT) || o.from.empty())
                continue;
            // Paced: what a line carries in 5 ms goes at a time.
            const size_t most = faults_.lineRate > 0
                                    ? std::max<size_t>(1, faults_.lineRate / 10 / 200)
                                    : o.from.size();
            ssize_t n = write(o.to.fd, o.from.data(), std::min(most, o.from.size()));
            if (n <= 0)
                continue;
            o.from.erase(0, size_t(n));
            if (faults_.lineRate > 0) {
                const auto now = std::chrono::steady_clock::now();
                o.lineFree = std::max(o.lineFree, now) +
                             std::chrono::microseconds(int64_t(n) * 10'000'000 / faults_.lineRate);
                if (&o.from == &toB)
                    lastToPeer_ = o.lineFree.time_since_epoch().count();
            }
        }
    }
}

PeerProcess::PeerProcess(const std::vector<std::string>& argv, int stdinFd, int stdoutFd,
                         const std::string& cwd, int stderrFd) {
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, stdinFd, 0);
    posix_spawn_file_actions_adddup2(&fa, stdoutFd, 1);
    // VORL_PEER_LOG names a file for the peer's messages (debugging).
    const char* log = getenv("VORL_PEER_LOG");
    if (stderrFd >= 0)
        posix_spawn_file_actions_adddup2(&fa, stderrFd, 2);
    else
        posix_spawn_file_actions_addopen(&fa, 2, log ? log : "/dev/null",
                                         O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_addchdir_np(&fa, cwd.c_str());
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    int rc = posix_spawnp(&pid_, args[0], &fa, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0)
        throw std::runtime_error("cannot start " + argv[0]);
}

PeerProcess::~PeerProcess() {
    if (pid_ > 0 && !wait(std::chrono::milliseconds(0))) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

bool PeerProcess::wait(std::chrono::milliseconds timeout) {
    if (pid_ <= 0)
        return true;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            pid_ = -1;
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

PortSide::PortSide(const std::string& path, int comNumber, TProtocolType type)
    : delivery(std::make_shared<LoopDelivery>()), port(delivery), proto(delivery) {
    setenv(("VORL_COM" + std::to_string(comNumber)).c_str(), path.c_str(), 1);
    port.SetAutoOpen(false);
    port.SetPromptForPort(false);
    port.SetComNumber(uint16_t(comNumber));
    port.SetBaud(115200);
    port.SetOpen(true);
    proto.SetComPort(&port);
    proto.SetProtocolType(type);
    proto.SetUpcaseFileNames(true);
    proto.OnProtocolFinish = [this](TCustomProtocol&, int32_t code) { finishes.push_back(code); };
    proto.OnProtocolError = [this](TCustomProtocol&, int32_t code) { errors.push_back(code); };
}

PortSide::~PortSide() {
    proto.CancelProtocol();
    delivery->pump();
    if (proto.InProgress())
        waitFinish(std::chrono::milliseconds(3000));
    proto.SetComPort(nullptr);
    port.SetOpen(false);
    // A close that had to wait for a notice in progress finishes on this
    // thread's loop.
    delivery->pumpUntil([this] { return port.PortState() == psClosed; },
                        std::chrono::milliseconds(5000));
}

bool PortSide::waitFinish(std::chrono::milliseconds timeout) {
    return delivery->pumpUntil([this] { return !finishes.empty(); }, timeout);
}

size_t SxOneKLength(size_t size) {
    size_t pos = 0;
    while (pos < size)
        pos += size - pos > 896 ? 1024 : 128;
    return pos;
}

} // namespace vorl::test
