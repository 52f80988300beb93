#include "serial_test_util.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace vorl::test {

bool WaitUntil(const std::function<bool()>& cond, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!cond()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return cond();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

PtyPeer::PtyPeer() {
    char name[128];
    if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0)
        throw std::runtime_error("openpty failed");
    path_ = name;
    // The master's own settings are raw already; termios calls on it would
    // change the slave, which is the dispatcher's to set.
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
}

PtyPeer::~PtyPeer() {
    if (master_ >= 0)
        ::close(master_);
    ::close(slave_);
}

void PtyPeer::hangUp() {
    if (master_ >= 0)
        ::close(master_);
    master_ = -1;
}

void PtyPeer::send(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += size_t(n);
            continue;
        }
        pollfd p{master_, POLLOUT, 0};
        ::poll(&p, 1, 100);
    }
}

std::string PtyPeer::receive(size_t count, std::chrono::milliseconds timeout) {
    std::string got;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    char buf[4096];
    while (got.size() < count) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{master_, POLLIN, 0};
        if (::poll(&p, 1, int(std::max<int64_t>(0, left.count()))) > 0) {
            ssize_t n = ::read(master_, buf, std::min(sizeof buf, count - got.size()));
            if (n > 0) {
                got.append(buf, size_t(n));
                continue;
            }
        }
        if (left.count() <= 0)
            break;
    }
    return got;
}

std::string PtyPeer::receiveFor(std::chrono::milliseconds window) {
    return receive(SIZE_MAX, window);
}

std::string PtyPeer::readNow() {
    char buf[65536];
    ssize_t n = ::read(master_, buf, sizeof buf);
    return n > 0 ? std::string(buf, size_t(n)) : std::string();
}

int PtyPeer::slaveInQueue() const {
    int n = 0;
    ioctl(slave_, FIONREAD, &n);
    return n;
}

void NoticeLog::add(uint32_t msg, uint32_t first, uint32_t second) {
    std::lock_guard<std::mutex> lk(m_);
    notices_.push_back({msg, first, second});
}

std::vector<Notice> NoticeLog::all() {
    std::lock_guard<std::mutex> lk(m_);
    return notices_;
}

size_t NoticeLog::count(uint32_t msg) {
    std::lock_guard<std::mutex> lk(m_);
    size_t n = 0;
    for (auto& x : notices_)
        n += x.msg == msg;
    return n;
}

bool NoticeLog::waitFor(const std::function<bool(const std::vector<Notice>&)>& cond,
                        std::chrono::milliseconds timeout) {
    return WaitUntil([&] { return cond(all()); }, timeout);
}

} // namespace vorl::test
