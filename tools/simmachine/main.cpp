// vorl-simmachine: a simulated machine tool controller on a pty or a tty.
//
// One thread, one poll() loop over the line, a signalfd and stdin. The
// controller says when it next needs the clock (buffer drain, upload pacing),
// so a simulator waiting for a transfer sleeps in poll() without a timeout.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "controller.h"
#include "line.h"
#include "options.h"
#include "report.h"

using namespace vorl::sim;

namespace {

constexpr int64_t kReportIntervalNs = 50'000'000; // counts in the report at most this old
constexpr int64_t kRepollNs = 100'000'000;        // hung-up line: look again this often

int64_t monotonicNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

bool writeAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

class Simulator : public ControllerOutput {
public:
    explicit Simulator(const SimOptions& o) : opt_(o), start_(monotonicNs()) {}
    int run();

    void programBegun() override {
        if (receivedFd_ >= 0 &&
            (ftruncate(receivedFd_, 0) != 0 || lseek(receivedFd_, 0, SEEK_SET) != 0))
            fileError("cannot rewrite " + opt_.receivedPath);
    }
    void programData(const std::string& bytes) override {
        if (receivedFd_ >= 0 && !writeAll(receivedFd_, bytes))
            fileError("cannot write " + opt_.receivedPath);
    }
    std::optional<std::string> loadProgram() override {
        if (opt_.programPath.empty()) {
            message(0, "no program to upload: start with --program FILE");
            return std::nullopt;
        }
        std::ifstream in(opt_.programPath, std::ios::binary);
        if (!in) {
            message(0, "cannot read the program " + opt_.programPath + ": " + std::strerror(errno));
            return std::nullopt;
        }
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    void message(int level, const std::string& text) override {
        if (level > opt_.verbosity && level > 0)
            return;
        double t = static_cast<double>(monotonicNs() - start_) / 1e9;
        std::fprintf(stderr, "vorl-simmachine [%9.3f] %s\n", t, text.c_str());
    }

private:
    bool setUp(std::string& error);
    void tearDown();
    bool writeLine();
    bool readLine(int64_t now);
    void readStdin(int64_t now);
    void command(const std::string& cmd, int64_t now);
    void writeReport(bool running);
    void summary();
    void fileError(const std::string& text) {
        message(0, text + ": " + std::strerror(errno));
        fileFailed_ = true;
    }

    const SimOptions& opt_;
    int64_t start_;
    Line line_;
    std::optional<Controller> ctl_;
    int sigFd_ = -1;
    int receivedFd_ = -1;
    int captureFd_ = -1;
    bool stdinOpen_ = true;
    std::string stdinLine_;
    bool lineDown_ = false; // the master hung up: no slave open (--no-hold)
    bool quit_ = false;
    bool fileFailed_ = false;
    bool reportPending_ = false;
    int64_t lastReport_ = 0;
    bool linkMade_ = false;
    bool ptyFileMade_ = false;
};

bool Simulator::setUp(std::string& error) {
    sigset_t set;
    sigemptyset(&set);
    for (int s : {SIGTERM, SIGINT, SIGHUP, SIGUSR1})
        sigaddset(&set, s);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    sigFd_ = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    std::signal(SIGPIPE, SIG_IGN);
    if (sigFd_ < 0) {
        error = std::string("signalfd: ") + std::strerror(errno);
        return false;
    }

    bool ok = opt_.ttyPath.empty() ? openPty(line_, opt_.holdSlave, error)
                                   : openTty(line_, opt_.ttyPath, opt_.baud, error);
    if (!ok)
        return false;

    if (!opt_.linkPath.empty()) {
        struct stat st {};
        if (lstat(opt_.linkPath.c_str(), &st) == 0) {
            if (!S_ISLNK(st.st_mode)) {
                error = opt_.linkPath + " exists and is not a symlink: not replaced";
                return false;
            }
            unlink(opt_.linkPath.c_str());
        }
        if (symlink(line_.path.c_str(), opt_.linkPath.c_str()) != 0) {
            error = "cannot make the symlink " + opt_.linkPath + ": " + std::strerror(errno);
            return false;
        }
        linkMade_ = true;
    }
    if (!opt_.ptyFile.empty()) {
        if (!writeFileAtomically(opt_.ptyFile, line_.path + "\n", error))
            return false;
        ptyFileMade_ = true;
    }
    auto openOut = [&error](const std::string& path, int& fd) {
        if (path.empty())
            return true;
        fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0)
            error = "cannot create " + path + ": " + std::strerror(errno);
        return fd >= 0;
    };
    if (!openOut(opt_.receivedPath, receivedFd_) || !openOut(opt_.capturePath, captureFd_))
        return false;
    if (!opt_.programPath.empty() && access(opt_.programPath.c_str(), R_OK) != 0)
        message(0, "warning: the program " + opt_.programPath +
                       " cannot be read now; an upload will need it");
    return true;
}

void Simulator::tearDown() {
    if (linkMade_)
        unlink(opt_.linkPath.c_str());
    if (ptyFileMade_)
        unlink(opt_.ptyFile.c_str());
    for (int* fd : {&receivedFd_, &captureFd_, &sigFd_}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
    closeLine(line_);
}

// Our XON/XOFF first; the rest unless the computer's XOFF holds us.
bool Simulator::writeLine() {
    for (std::string* q : {&ctl_->urgent(), &ctl_->output()}) {
        if (q == &ctl_->output() && ctl_->outputHeld())
            break;
        while (!q->empty()) {
            ssize_t n = write(line_.fd, q->data(), q->size());
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EIO))
                return true; // full, or nobody on the other side: poll tells when
            if (n < 0) {
                message(0, std::string("cannot write to the line: ") + std::strerror(errno));
                return false;
            }
            ctl_->noteSent(static_cast<size_t>(n));
            q->erase(0, static_cast<size_t>(n));
        }
    }
    return true;
}

bool Simulator::readLine(int64_t now) {
    char buf[4096];
    for (int i = 0; i < 16; ++i) {
        ssize_t n = read(line_.fd, buf, sizeof buf);
        if (n > 0) {
            if (captureFd_ >= 0 && !writeAll(captureFd_, std::string(buf, static_cast<size_t>(n))))
                fileError("cannot write " + opt_.capturePath);
            ctl_->received(buf, static_cast<size_t>(n), now);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            return true;
        if (n == 0 || errno == EIO) {
            // The other side is closed (a pty without its slave, a tty that
            // hung up): look again from time to time until it comes back.
            if (!lineDown_)
                message(1, "line closed on the other side; waiting for it to reopen");
            lineDown_ = true;
            return true;
        }
        message(0, std::string("cannot read from the line: ") + std::strerror(errno));
        return false;
    }
    return true;
}

void Simulator::command(const std::string& line, int64_t now) {
    const size_t space = line.find(' ');
    const std::string cmd = line.substr(0, space);
    const std::string arg = space == std::string::npos ? std::string() : line.substr(space + 1);
    if (cmd == "request" && !arg.empty()) {
        std::string program = opt_.requestProgram;
        for (size_t at = 0; (at = program.find("{name}", at)) != std::string::npos;
             at += arg.size())
            program.replace(at, 6, arg);
        ctl_->punch(now, program, true);
    } else if ((cmd == "punch" || cmd == "punch-behind-answer") && !arg.empty()) {
        std::ifstream in(arg, std::ios::binary);
        if (!in) {
            message(0, "cannot read the program " + arg + ": " + std::strerror(errno));
            return;
        }
        std::string program(std::istreambuf_iterator<char>(in), {});
        if (cmd == "punch")
            ctl_->punch(now, std::move(program), false);
        else
            ctl_->punchBehindAnswer(std::move(program));
    } else if (cmd == "upload")
        ctl_->startUpload(now);
    else if (cmd == "download")
        ctl_->beginDownload(now);
    else if (cmd == "answer")
        ctl_->answer(now);
    else if (cmd == "reset")
        ctl_->reset(now);
    else if (cmd == "report") {
        writeReport(true);
        summary();
    } else if (cmd == "quit")
        quit_ = true;
    else if (!cmd.empty())
        message(0, "unknown command '" + line +
                       "' (upload, download, answer, request NAME, punch FILE, "
                       "punch-behind-answer FILE, reset, report, quit)");
}

void Simulator::readStdin(int64_t now) {
    char buf[256];
    ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
    if (n < 0 && errno == EINTR)
        return;
    if (n <= 0) {
        stdinOpen_ = false;
        return;
    }
    stdinLine_.append(buf, static_cast<size_t>(n));
    size_t nl;
    while ((nl = stdinLine_.find('\n')) != std::string::npos) {
        std::string cmd = stdinLine_.substr(0, nl);
        stdinLine_.erase(0, nl + 1);
        while (!cmd.empty() && (cmd.back() == '\r' || cmd.back() == ' '))
            cmd.pop_back();
        command(cmd, now);
    }
}

void Simulator::writeReport(bool running) {
    reportPending_ = false;
    lastReport_ = monotonicNs();
    if (opt_.reportPath.empty())
        return;
    ReportHeader h{static_cast<int>(getpid()), line_.path, running};
    std::string error;
    if (!writeFileAtomically(opt_.reportPath, formatReport(h, *ctl_), error)) {
        message(0, error);
        fileFailed_ = true;
    }
}

void Simulator::summary() {
    const Counters& c = ctl_->counters();
    message(0, "received " + std::to_string(c.bytesReceived) + " bytes, sent " +
                   std::to_string(c.bytesSent) + "; downloads " +
                   std::to_string(c.downloadsCompleted) + "/" + std::to_string(c.downloads) +
                   ", uploads " + std::to_string(c.uploadsCompleted) + "/" +
                   std::to_string(c.uploads) + "; XOFF " + std::to_string(c.xoffSent) +
                   ", most characters after an XOFF " + std::to_string(c.afterXoffMax));
    if (c.overflow > 0)
        message(0, "OVERFLOW: " + std::to_string(c.overflow) +
                       " characters arrived with the receive buffer full");
}

int Simulator::run() {
    std::string error;
    if (!setUp(error)) {
        std::fprintf(stderr, "vorl-simmachine: %s\n", error.c_str());
        tearDown();
        return 1;
    }
    ctl_.emplace(opt_, *this, monotonicNs());
    std::printf("%s %s\n", line_.isPty ? "PTY" : "TTY", line_.path.c_str());
    std::fflush(stdout);
    message(1, "controller ready on " + line_.path);

    bool failed = false;
    while (!quit_ && !failed) {
        int64_t now = monotonicNs();
        ctl_->tick(now);
        if (!lineDown_ && !writeLine()) {
            failed = true;
            break;
        }
        int due = ctl_->takeReportDue();
        if (due == 2 || ((due == 1 || reportPending_) && now - lastReport_ >= kReportIntervalNs))
            writeReport(true);
        else if (due == 1)
            reportPending_ = true;

        int64_t deadline = ctl_->nextDeadline();
        auto consider = [&deadline](int64_t t) {
            if (deadline < 0 || t < deadline)
                deadline = t;
        };
        if (reportPending_)
            consider(lastReport_ + kReportIntervalNs);
        if (lineDown_)
            consider(now + kRepollNs);

        pollfd fds[3];
        nfds_t count = 0;
        fds[count++] = {sigFd_, POLLIN, 0};
        int lineIndex = -1, stdinIndex = -1;
        if (!lineDown_) {
            short events = POLLIN;
            if (!ctl_->urgent().empty() || (!ctl_->output().empty() && !ctl_->outputHeld()))
                events |= POLLOUT;
            lineIndex = static_cast<int>(count);
            fds[count++] = {line_.fd, events, 0};
        }
        if (stdinOpen_) {
            stdinIndex = static_cast<int>(count);
            fds[count++] = {STDIN_FILENO, POLLIN, 0};
        }
        int timeoutMs = -1;
        if (deadline >= 0)
            timeoutMs =
                deadline <= now ? 0 : static_cast<int>((deadline - now + 999'999) / 1'000'000);

        int r = poll(fds, count, timeoutMs);
        if (r < 0 && errno != EINTR) {
            message(0, std::string("poll: ") + std::strerror(errno));
            failed = true;
            break;
        }
        now = monotonicNs();

        if (lineDown_) {
            pollfd p{line_.fd, POLLIN, 0};
            if (poll(&p, 1, 0) >= 0 && !(p.revents & POLLHUP)) {
                lineDown_ = false;
                message(1, "line open again");
            }
        }
        if (r <= 0)
            continue;
        if (fds[0].revents & POLLIN) {
            signalfd_siginfo si{};
            while (read(sigFd_, &si, sizeof si) == static_cast<ssize_t>(sizeof si)) {
                if (si.ssi_signo == SIGUSR1) {
                    writeReport(true);
                    summary();
                } else {
                    quit_ = true;
                }
            }
        }
        if (lineIndex >= 0 && fds[lineIndex].revents) {
            short ev = fds[lineIndex].revents;
            if (ev & (POLLIN | POLLHUP | POLLERR))
                failed = !readLine(now);
            if (!failed && (ev & POLLHUP) && !(ev & POLLIN)) {
                if (!lineDown_)
                    message(1, "line closed on the other side; waiting for it to reopen");
                lineDown_ = true;
            }
        }
        if (stdinIndex >= 0 && fds[stdinIndex].revents) {
            if (fds[stdinIndex].revents & (POLLIN | POLLHUP))
                readStdin(now);
            else
                stdinOpen_ = false;
        }
    }

    ctl_->finish();
    writeReport(false);
    summary();
    tearDown();
    if (failed || fileFailed_)
        return 1;
    return ctl_->counters().overflow > 0 ? 3 : 0;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    ParseResult parsed = parseOptions(args);
    if (parsed.help || parsed.version) {
        const std::string text = parsed.help ? usageText() : versionText();
        return std::fputs(text.c_str(), stdout) < 0 || std::fflush(stdout) != 0 ? 1 : 0;
    }
    if (!parsed.options) {
        std::fprintf(stderr, "vorl-simmachine: %s\nTry 'vorl-simmachine --help'.\n",
                     parsed.error.c_str());
        return 2;
    }
    SimOptions options = *parsed.options;
    Simulator sim(options);
    return sim.run();
}
