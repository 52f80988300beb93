#include "net_peers.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vorl::test {

namespace {

using Clock = std::chrono::steady_clock;

sockaddr_in Loopback(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
}

int Listen(uint16_t& port, int backlog) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a = Loopback(port);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, backlog) != 0)
        throw std::runtime_error(std::string("listen: ") + std::strerror(errno));
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    return fd;
}

int Connect(uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = Loopback(port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

void SendAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (fd >= 0 && done < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) {
            if (n < 0 && errno == EINTR)
                continue;
            return;
        }
        done += size_t(n);
    }
}

// Replaces every `from` in `s` by `to`.
int ReplaceAll(std::string& s, const std::string& from, const std::string& to) {
    int count = 0;
    for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size())) {
        s.replace(at, from.size(), to);
        ++count;
    }
    return count;
}

const std::string kWillComPort = "\xff\xfb\x2c";
const std::string kDoComPort = "\xff\xfd\x2c";
const std::string kDontComPort = "\xff\xfe\x2c";

// Whether something listens on 127.0.0.1:`port`, by the kernel's table.
bool Listening(uint16_t port) {
    std::ifstream in("/proc/net/tcp");
    std::string line;
    char want[32];
    std::snprintf(want, sizeof want, "0100007F:%04X", port);
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        if (local == want && state == "0A")
            return true;
    }
    return false;
}

} // namespace

uint16_t FreePort() {
    uint16_t port = 0;
    int fd = Listen(port, 1);
    ::close(fd);
    return port;
}

// ---- ser2net --------------------------------------------------------------------

Ser2net::Ser2net(const std::string& device, const std::string& dir)
    : raw_(FreePort()), telnet_(FreePort()) {
    const std::string config = dir + "/ser2net.yaml";
    {
        std::ofstream f(config);
        for (int telnet = 0; telnet < 2; ++telnet) {
            f << "connection: &" << (telnet ? "telnet" : "raw") << "\n"
              << "    accepter: " << (telnet ? "telnet(rfc2217)," : "") << "tcp,127.0.0.1,"
              << (telnet ? telnet_ : raw_) << "\n"
              << "    options:\n"
              << "      kickolduser: true\n"
              // Its wait of two character times (at least 1 ms) before passing
              // on what the line sent would be every answer's delay.
              << "      chardelay: false\n"
              << "    connector: serialdev," << device << ",9600n81,local\n";
        }
    }
    const std::string log = dir + "/ser2net.log";
    const std::string pidFile = dir + "/ser2net.pid";
    pid_ = ::fork();
    if (pid_ == 0) {
        int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out >= 0) {
            ::dup2(out, 1);
            ::dup2(out, 2);
        }
        ::execlp("ser2net", "ser2net", "-n", "-u", "-c", config.c_str(), "-P", pidFile.c_str(),
                 static_cast<char*>(nullptr));
        ::_exit(127);
    }
    // Up when both ports listen. A trial connection would have it open the
    // device and close it again, and a test's own connection could then meet
    // a port still being let go.
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    for (uint16_t port : {raw_, telnet_}) {
        for (;;) {
            if (Listening(port))
                break;
            int status;
            if (::waitpid(pid_, &status, WNOHANG) == pid_ || Clock::now() > deadline) {
                pid_ = -1;
                return;
            }
            ::poll(nullptr, 0, 20);
        }
    }
}

Ser2net::~Ser2net() {
    if (pid_ <= 0)
        return;
    ::kill(pid_, SIGTERM);
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    int status;
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
        if (Clock::now() > deadline) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
            break;
        }
        ::poll(nullptr, 0, 10);
    }
}

// ---- The second server --------------------------------------------------------------

UartServer::UartServer(const std::string& device, const std::string& dir)
    : port_(FreePort()), log_(dir + "/uart_server.log") {
    std::remove(log_.c_str());
    const std::string port = std::to_string(port_);
    pid_ = ::fork();
    if (pid_ == 0) {
        int err = ::open((dir + "/uart_server.err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (err >= 0)
            ::dup2(err, 2);
        // Debian's own interpreter: the server comes with its python3-serial.
        ::execl("/usr/bin/python3", "python3", VORL_UART_SERVER_PATH, port.c_str(), device.c_str(),
                log_.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (!Listening(port_)) {
        int status;
        if (::waitpid(pid_, &status, WNOHANG) == pid_ || Clock::now() > deadline) {
            pid_ = -1;
            return;
        }
        ::poll(nullptr, 0, 20);
    }
}

UartServer::~UartServer() {
    if (pid_ <= 0)
        return;
    ::kill(pid_, SIGKILL);
    int status;
    ::waitpid(pid_, &status, 0);
}

std::string UartServer::log() const {
    std::ifstream in(log_);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// ---- The fault relay --------------------------------------------------------------

FaultRelay::FaultRelay(uint16_t serverPort) : server_(serverPort) {
    listen_ = Listen(port_, 4);
    wake_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    thread_ = std::thread([this] { run(); });
}

FaultRelay::~FaultRelay() {
    stop_ = true;
    uint64_t one = 1;
    ssize_t r = ::write(wake_, &one, sizeof one);
    (void)r;
    thread_.join();
    ::close(listen_);
    ::close(wake_);
}

void FaultRelay::dropAfter(size_t bytes) {
    std::lock_guard<std::mutex> lk(m_);
    dropAfter_ = fromClient_ + bytes;
}

void FaultRelay::dropAfterReplies(size_t bytes) {
    std::lock_guard<std::mutex> lk(m_);
    dropAfterReplies_ = fromServer_ + bytes;
}

void FaultRelay::delayReplies(std::chrono::milliseconds delay) {
    std::lock_guard<std::mutex> lk(m_);
    delay_ = delay;
}

void FaultRelay::refuseComPort() {
    std::lock_guard<std::mutex> lk(m_);
    refuse_ = true;
}

void FaultRelay::answerBaud(uint32_t baud) {
    std::lock_guard<std::mutex> lk(m_);
    baud_ = baud;
}

void FaultRelay::dropAnswers(uint8_t code) {
    std::lock_guard<std::mutex> lk(m_);
    dropCode_ = code;
}

int FaultRelay::controls(uint8_t value) const {
    std::lock_guard<std::mutex> lk(m_);
    return int(std::count(commands_.begin(), commands_.end(), char(value)));
}

void FaultRelay::inject(const std::string& bytes) {
    {
        std::lock_guard<std::mutex> lk(m_);
        inject_ += bytes;
    }
    uint64_t one = 1;
    ssize_t r = ::write(wake_, &one, sizeof one);
    (void)r;
}

void FaultRelay::run() {
    int client = -1, server = -1;
    std::deque<std::pair<Clock::time_point, std::string>> delayed;
    auto endConnection = [&] {
        if (client >= 0)
            ::close(client);
        if (server >= 0)
            ::close(server);
        client = server = -1;
        delayed.clear();
    };
    while (!stop_) {
        int timeout = -1;
        if (!delayed.empty()) {
            auto left = delayed.front().first - Clock::now();
            timeout = int(
                std::max<int64_t>(0, std::chrono::ceil<std::chrono::milliseconds>(left).count()));
        }
        pollfd p[4] = {
            {wake_, POLLIN, 0}, {listen_, POLLIN, 0}, {client, POLLIN, 0}, {server, POLLIN, 0}};
        ::poll(p, 4, timeout);
        if (p[0].revents) {
            uint64_t v;
            ssize_t r = ::read(wake_, &v, sizeof v);
            (void)r;
        }
        if (p[1].revents) {
            endConnection();
            client = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
            int one = 1;
            ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            server = Connect(server_);
            ++connections_;
            if (server < 0)
                endConnection();
        }
        if (client >= 0 && (p[2].revents & (POLLIN | POLLHUP | POLLERR))) {
            char buf[4096];
            ssize_t n = ::recv(client, buf, sizeof buf, 0);
            if (n <= 0) {
                endConnection();
            } else {
                std::string bytes(buf, size_t(n));
                size_t budget = SIZE_MAX;
                bool refuse;
                {
                    std::lock_guard<std::mutex> lk(m_);
                    if (dropAfter_ != SIZE_MAX)
                        budget = dropAfter_ > fromClient_ ? dropAfter_ - fromClient_ : 0;
                    refuse = refuse_;
                }
                const bool drop = budget != SIZE_MAX && bytes.size() >= budget;
                if (drop)
                    bytes.resize(budget);
                fromClient_ += bytes.size();
                {
                    // IAC SB COM-PORT-OPTION SET-CONTROL <value>
                    std::lock_guard<std::mutex> lk(m_);
                    const std::string seen = tail_ + bytes;
                    const std::string head = "\xff\xfa\x2c\x05";
                    for (size_t at = seen.find(head, 0); at != std::string::npos;
                         at = seen.find(head, at + 1))
                        if (at + 4 < seen.size() && at + 4 >= tail_.size())
                            commands_ += seen[at + 4];
                    tail_ = seen.substr(seen.size() - std::min<size_t>(seen.size(), 4));
                }
                if (refuse && ReplaceAll(bytes, kWillComPort, "") > 0)
                    SendAll(client, kDontComPort);
                SendAll(server, bytes);
                if (drop) {
                    std::lock_guard<std::mutex> lk(m_);
                    dropAfter_ = SIZE_MAX; // once: the next connection lives
                }
                if (drop)
                    endConnection();
            }
        }
        if (server >= 0 && (p[3].revents & (POLLIN | POLLHUP | POLLERR))) {
            char buf[4096];
            ssize_t n = ::recv(server, buf, sizeof buf, 0);
            if (n <= 0) {
                endConnection();
            } else {
                std::string bytes(buf, size_t(n));
                std::chrono::milliseconds delay;
                bool drop = false;
                {
                    std::lock_guard<std::mutex> lk(m_);
                    if (dropAfterReplies_ != SIZE_MAX &&
                        fromServer_ + bytes.size() >= dropAfterReplies_) {
                        bytes.resize(dropAfterReplies_ - std::min(fromServer_, dropAfterReplies_));
                        dropAfterReplies_ = SIZE_MAX; // once: the next connection lives
                        drop = true;
                    }
                    fromServer_ += bytes.size();
                    if (refuse_)
                        ReplaceAll(bytes, kDoComPort, "");
                    if (dropCode_ >= 0) {
                        // IAC SB COM-PORT-OPTION <code + 100> ... IAC SE
                        const std::string head =
                            std::string("\xff\xfa\x2c") + char(dropCode_ + 100);
                        for (size_t at = bytes.find(head); at != std::string::npos;
                             at = bytes.find(head, at)) {
                            const size_t end = bytes.find("\xff\xf0", at);
                            if (end == std::string::npos)
                                break;
                            bytes.erase(at, end + 2 - at);
                        }
                    }
                    if (baud_ != 0) {
                        // IAC SB COM-PORT-OPTION 101 <4 bytes> IAC SE
                        const std::string head = "\xff\xfa\x2c\x65";
                        for (size_t at = bytes.find(head);
                             at != std::string::npos && at + 8 <= bytes.size();
                             at = bytes.find(head, at + 1)) {
                            for (int i = 0; i < 4; ++i)
                                bytes[at + 4 + i] = char((baud_ >> (24 - 8 * i)) & 0xFF);
                        }
                    }
                    delay = delay_;
                }
                if (delay.count() > 0)
                    delayed.emplace_back(Clock::now() + delay, bytes);
                else
                    SendAll(client, bytes);
                if (drop)
                    endConnection();
            }
        }
        while (!delayed.empty() && delayed.front().first <= Clock::now()) {
            SendAll(client, delayed.front().second);
            delayed.pop_front();
        }
        std::string injected;
        {
            std::lock_guard<std::mutex> lk(m_);
            if (client >= 0)
                injected.swap(inject_);
        }
        if (!injected.empty())
            SendAll(client, injected);
    }
    endConnection();
}

// ---- A bare server ------------------------------------------------------------------

BareServer::BareServer(bool silent) {
    listen_ = Listen(port_, silent ? 0 : 4);
    if (silent) {
        // The one connection the queue holds; the kernel leaves later ones
        // unanswered, as a host that is not there.
        filler_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in a = Loopback(port_);
        ::connect(filler_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        pollfd p{filler_, POLLOUT, 0};
        ::poll(&p, 1, 5000);
    }
}

BareServer::~BareServer() {
    for (int fd : {client_, filler_, listen_})
        if (fd >= 0)
            ::close(fd);
}

bool BareServer::accept(std::chrono::milliseconds deadline) {
    pollfd p{listen_, POLLIN, 0};
    if (::poll(&p, 1, int(deadline.count())) <= 0)
        return false;
    client_ = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
    return client_ >= 0;
}

void BareServer::send(const std::string& bytes) {
    SendAll(client_, bytes);
}

std::string BareServer::read(size_t n, std::chrono::milliseconds deadline) {
    std::string got;
    const auto end = Clock::now() + deadline;
    while (got.size() < n && client_ >= 0) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now()).count();
        if (left <= 0)
            break;
        pollfd p{client_, POLLIN, 0};
        if (::poll(&p, 1, int(left)) <= 0)
            continue;
        char buf[4096];
        ssize_t r = ::recv(client_, buf, std::min(sizeof buf, n - got.size()), 0);
        if (r <= 0)
            break;
        got.append(buf, size_t(r));
    }
    return got;
}

void BareServer::closeClient() {
    if (client_ >= 0)
        ::close(client_);
    client_ = -1;
}

} // namespace vorl::test
