#include "engine_fixture.h"

#include <QCoreApplication>
#include <QTest>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <pty.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

extern char** environ;

namespace vorl::test {

bool FakeView::sawStatus(const std::string& text) const {
    for (const std::string& s : statuses) {
        if (s == text) {
            return true;
        }
    }
    return false;
}

void FakeView::ShowStatus(const std::string& text) {
    status = text;
    if (statuses.empty() || statuses.back() != text) {
        statuses.push_back(text);
    }
}

// ---- PtyDrain -----------------------------------------------------------------

PtyDrain::PtyDrain() {
    char name[128];
    termios raw{};
    cfmakeraw(&raw);
    if (openpty(&master_, &slave_, name, &raw, nullptr) != 0) {
        throw std::runtime_error("openpty failed");
    }
    path_ = name;
    reader_ = std::thread([this] {
        char buf[4096];
        while (!stop_) {
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) {
                continue;
            }
            const ssize_t n = ::read(master_, buf, sizeof buf);
            if (n > 0) {
                std::lock_guard<std::mutex> lock(m_);
                received_.append(buf, static_cast<size_t>(n));
            }
        }
    });
}

PtyDrain::~PtyDrain() {
    hangUp();
    ::close(slave_);
}

void PtyDrain::hangUp() {
    stop_ = true;
    if (reader_.joinable()) {
        reader_.join();
    }
    if (master_ >= 0) {
        ::close(master_);
        master_ = -1;
    }
}

std::string PtyDrain::received() {
    std::lock_guard<std::mutex> lock(m_);
    return received_;
}

void PtyDrain::send(const std::string& bytes) {
    ssize_t n = ::write(master_, bytes.data(), bytes.size());
    (void)n;
}

// ---- SimMachine -----------------------------------------------------------------

SimMachine::SimMachine(const TempDir& d, std::vector<std::string> args)
    : dir(d), process(
                  [&] {
                      for (std::string name : {"report", "received"}) {
                          args.push_back("--" + name);
                          args.push_back(d.file(name));
                      }
                      args.push_back("--quiet");
                      return args;
                  }(),
                  d.file("sim.stderr")) {}

Report SimMachine::report() const {
    return sim::test::readReport(dir.file("report"));
}

Report SimMachine::waitFor(const std::function<bool(const Report&)>& ready) {
    Report r;
    runUntil([&] {
        r = report();
        return ready(r);
    });
    return r;
}

std::string SimMachine::received() const {
    return sim::test::readFile(dir.file("received"));
}

long long num(const Report& r, const std::string& key) {
    return sim::test::num(r, key);
}

// ---- Waiting ---------------------------------------------------------------------

bool runUntil(const std::function<bool()>& cond, std::chrono::milliseconds deadline) {
    return QTest::qWaitFor(cond, static_cast<int>(deadline.count()));
}

void whenever(QObject* owner, std::function<bool()> cond, std::function<void()> action) {
    auto* timer = new QTimer(owner);
    timer->setInterval(2);
    QObject::connect(timer, &QTimer::timeout, owner, [timer, cond, action] {
        if (cond()) {
            timer->stop();
            timer->deleteLater();
            action();
        }
    });
    timer->start();
}

// ---- SocatPeer ---------------------------------------------------------------------

SocatPeer::SocatPeer(const std::string& link, const std::string& command,
                     const std::string& workDir) {
    const std::string first = "PTY,rawer,wait-slave,link=" + link;
    const std::string second = "SYSTEM:" + command;
    std::vector<std::string> args = {"socat", "-T", "30", first, second};
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, workDir.c_str());
    pid_t pid = -1;
    if (posix_spawnp(&pid, "socat", &actions, nullptr, argv.data(), environ) == 0) {
        pid_ = pid;
    }
    posix_spawn_file_actions_destroy(&actions);
    // socat makes the link once its pty exists.
    runUntil([&] { return ::access(link.c_str(), F_OK) == 0; });
}

SocatPeer::~SocatPeer() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }
}

int SocatPeer::wait(std::chrono::milliseconds deadline) {
    int status = 0;
    const bool ended =
        runUntil([&] { return pid_ > 0 && ::waitpid(pid_, &status, WNOHANG) == pid_; }, deadline);
    if (!ended) {
        return -1;
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// ---- EngineTest ---------------------------------------------------------------------

EngineTest::EngineTest() : m(machines[1]), delivery(std::make_shared<QtDelivery>()) {
    machines[0].capability = 'T';
    m.capability = 'B';
    m.name = "Test mill";
    m.port = kPort;
    m.baudRate = 115200;
    m.dataBits = 8;
    m.stopBits = 1;
    m.eobMode = 2; // LF
    m.downloadExtension = ".nc";
    m.uploadExtension = ".nc";
    machines.count = 2;
    engine = std::make_unique<TTransferEngine>(machines, view, delivery);
    // The long waits, short: a silent sender ends an upload after about
    // half a second, an unanswered Xmodem handshake after about a second.
    engine->Protocol1.SetAsciiEOFTimeout(10);
    engine->Protocol1.SetHandshakeWait(18);
    engine->Protocol1.SetHandshakeRetry(3);
}

EngineTest::~EngineTest() {
    engine.reset();
    unsetenv("VORL_COM7");
}

void EngineTest::usePort(const std::string& path) {
    setenv("VORL_COM7", path.c_str(), 1);
}

std::string EngineTest::program(int blocks) {
    std::string text = "%\n";
    for (int i = 1; i <= blocks; ++i) {
        text += "N" + std::to_string(i * 10) + " G01 X" + std::to_string(i) + ".5 Y-" +
                std::to_string(i % 97) + ". F200\n";
    }
    return text + "M30\n%\n";
}

std::string EngineTest::writeProgram(const std::string& name, const std::string& bytes) {
    sim::test::writeFile(dir.file(name), bytes);
    return dir.file(name);
}

void EngineTest::chooseDownload(const std::string& path) {
    view.openAnswer = path;
    engine->mnuCommDownloadClick(1);
}

void EngineTest::chooseUpload(const std::string& path) {
    view.saveAnswer = path;
    engine->mnuCommUploadClick(1);
}

std::string EngineTest::prepared() const {
    return sim::test::readFile(engine->transfer.tempFileName);
}

} // namespace vorl::test
