#include "sim_process.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

extern char** environ;

namespace vorl::sim::test {

namespace {

using Clock = std::chrono::steady_clock;

int remainingMs(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

} // namespace

TempDir::TempDir() {
    char tmpl[] = "/tmp/vorl-sim-XXXXXX";
    if (!mkdtemp(tmpl))
        throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

Report readReport(const std::string& path) {
    Report r;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        size_t eq = line.find('=');
        if (eq != std::string::npos)
            r[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return r;
}

long long num(const Report& r, const std::string& key) {
    auto it = r.find(key);
    return it == r.end() || it->second.empty() ? -1 : std::stoll(it->second);
}

std::string text(const Report& r, const std::string& key) {
    auto it = r.find(key);
    return it == r.end() ? "(absent)" : it->second;
}

Report waitReport(const std::string& path, const std::function<bool(const Report&)>& ready,
                  std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    // The simulator renames a new report into place: watch the directory
    // before the first look so no replacement slips between look and wait.
    int in = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    std::string dir = std::filesystem::path(path).parent_path().string();
    inotify_add_watch(in, dir.c_str(), IN_MOVED_TO | IN_CLOSE_WRITE);
    Report r;
    for (;;) {
        r = readReport(path);
        if (ready(r) || Clock::now() >= deadline)
            break;
        pollfd p{in, POLLIN, 0};
        if (poll(&p, 1, remainingMs(deadline)) > 0) {
            char buf[4096];
            while (::read(in, buf, sizeof buf) > 0) {
            }
        }
    }
    ::close(in);
    return r;
}

SimProcess::SimProcess(const std::vector<std::string>& args, const std::string& stderrPath) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&fa, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&fa, STDERR_FILENO, stderrPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<std::string> all{VORL_SIMMACHINE_PATH};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    int rc = posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    ::close(in[0]);
    ::close(out[1]);
    stdinFd_ = in[1];
    stdoutFd_ = out[0];
    if (rc != 0) {
        pid_ = -1;
        throw std::runtime_error("cannot start " + std::string(VORL_SIMMACHINE_PATH));
    }
    // The first line names the line; it comes before anything else happens.
    auto deadline = Clock::now() + kWait;
    std::string got;
    while (got.find('\n') == std::string::npos) {
        pollfd p{stdoutFd_, POLLIN, 0};
        if (poll(&p, 1, remainingMs(deadline)) <= 0)
            break;
        char buf[256];
        ssize_t n = ::read(stdoutFd_, buf, sizeof buf);
        if (n <= 0)
            break;
        got.append(buf, static_cast<size_t>(n));
    }
    if (size_t nl = got.find('\n'); nl != std::string::npos)
        firstLine_ = got.substr(0, nl);
}

SimProcess::~SimProcess() {
    if (pid_ > 0)
        stop(SIGKILL);
    if (stdinFd_ >= 0)
        ::close(stdinFd_);
    if (stdoutFd_ >= 0)
        ::close(stdoutFd_);
}

std::string SimProcess::ptyPath() const {
    return firstLine_.rfind("PTY ", 0) == 0 ? firstLine_.substr(4) : std::string();
}

void SimProcess::command(const std::string& line) {
    std::string l = line + "\n";
    if (::write(stdinFd_, l.data(), l.size()) != static_cast<ssize_t>(l.size()))
        throw std::runtime_error("cannot write to the simulator's stdin");
}

int SimProcess::stop(int sig) {
    if (pid_ <= 0)
        return -1;
    kill(pid_, sig);
    return waitExit();
}

int SimProcess::waitExit() {
    if (pid_ <= 0)
        return -1;
    // A pidfd would do; polling a pipe's hang-up is as good and older: the
    // child's stdout closes when it exits.
    auto deadline = Clock::now() + kWait;
    for (;;) {
        int status = 0;
        pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        if (Clock::now() >= deadline) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            pid_ = -1;
            return -1;
        }
        pollfd p{stdoutFd_, POLLIN, 0};
        if (poll(&p, 1, remainingMs(deadline)) > 0) {
            char buf[256];
            if (::read(stdoutFd_, buf, sizeof buf) <= 0) {
                // Closed: the child is gone or going; reap it.
                waitpid(pid_, &status, 0);
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
        }
    }
}

Computer::Computer(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0)
        return;
    termios t{};
    tcgetattr(fd_, &t);
    cfmakeraw(&t);
    tcsetattr(fd_, TCSANOW, &t);
}

Computer::Computer(int fd) : fd_(fd) {
    fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
}

Computer::~Computer() {
    close();
}

void Computer::close() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

void Computer::send(const std::string& bytes) {
    size_t done = 0;
    auto deadline = Clock::now() + kWait;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            throw std::runtime_error(std::string("write to the pty: ") + std::strerror(errno));
        pollfd p{fd_, POLLOUT, 0};
        if (poll(&p, 1, remainingMs(deadline)) <= 0)
            throw std::runtime_error("the pty took no more bytes before the deadline");
    }
}

std::string Computer::read(size_t n, std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    std::string got;
    while (got.size() < n) {
        char buf[4096];
        ssize_t r = ::read(fd_, buf, std::min(sizeof buf, n - got.size()));
        if (r > 0) {
            got.append(buf, static_cast<size_t>(r));
            continue;
        }
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, remainingMs(deadline)) <= 0)
            break;
    }
    return got;
}

std::string Computer::available() {
    std::string got;
    char buf[4096];
    ssize_t r;
    while ((r = ::read(fd_, buf, sizeof buf)) > 0)
        got.append(buf, static_cast<size_t>(r));
    return got;
}

} // namespace vorl::sim::test
