#include "platform/tcp_device.h"

#include "platform/open_wait.h"

#include "platform/error_codes.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/sockios.h>
#include <memory>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vorl::platform {

namespace {

using Clock = std::chrono::steady_clock;

// The socket's send buffer as asked (the kernel doubles it for its own
// bookkeeping): a few kilobytes on the way, so what the line has not yet
// taken stays countable here instead of piling up unseen.
constexpr int kSendBuffer = 4096;

bool StartsWithNoCase(const std::string& s, const char* prefix) {
    size_t n = std::strlen(prefix);
    if (s.size() < n)
        return false;
    for (size_t i = 0; i < n; ++i)
        if (std::tolower((unsigned char)s[i]) != prefix[i])
            return false;
    return true;
}

void Signal(int efd) {
    if (efd < 0)
        return;
    uint64_t one = 1;
    ssize_t r = ::write(efd, &one, sizeof one);
    (void)r; // a full counter already wakes the waiter
}

void Drain(int efd) {
    uint64_t v;
    while (::read(efd, &v, sizeof v) > 0) {
    }
}

// Milliseconds to `deadline` for poll(), rounded up so a wait never spins on
// a remainder below one millisecond; -1 for no deadline.
int RemainingMs(Clock::time_point deadline) {
    if (deadline == Clock::time_point::max())
        return -1;
    auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero())
        return 0;
    return int(std::chrono::ceil<std::chrono::milliseconds>(left).count());
}

Clock::time_point DeadlineIn(int timeoutMs) {
    return timeoutMs < 0 ? Clock::time_point::max()
                         : Clock::now() + std::chrono::milliseconds(timeoutMs);
}

std::string Seconds(int ms) {
    char buf[32];
    if (ms % 1000 == 0)
        std::snprintf(buf, sizeof buf, "%d s", ms / 1000);
    else
        std::snprintf(buf, sizeof buf, "%.1f s", ms / 1000.0);
    return buf;
}

void SetOption(int fd, int level, int name, int value) {
    ::setsockopt(fd, level, name, &value, sizeof value);
}

} // namespace

// The outcome of a name look-up that runs on a thread of its own: it may
// outlast the connect deadline, and then nobody waits for it any more.
struct NameLookup {
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    bool abandoned = false;
    int rc = 0;
    int err = 0;
    addrinfo* result = nullptr;
};

// ---- Addresses ----------------------------------------------------------------

std::optional<NetworkKind> NetworkKindOf(const std::string& path) {
    if (StartsWithNoCase(path, "tcp://"))
        return NetworkKind::Tcp;
    if (StartsWithNoCase(path, "rfc2217://"))
        return NetworkKind::Rfc2217;
    return std::nullopt;
}

std::string NetworkAddress::hostPort() const {
    std::string h = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    return h + ":" + std::to_string(port);
}

std::optional<NetworkAddress> ParseNetworkAddress(const std::string& path, std::string* error) {
    auto fail = [&](const std::string& why) -> std::optional<NetworkAddress> {
        if (error)
            *error = "Bad network port address " + path + ": " + why;
        return std::nullopt;
    };
    auto kind = NetworkKindOf(path);
    if (!kind)
        return fail("it must begin with tcp:// or rfc2217://");
    // A comment or a second word after the address (a port map line with
    // more on it) is named, not taken for part of the port or an option.
    if (size_t blank = path.find_first_of(" \t"); blank != std::string::npos) {
        const size_t junk = path.find_first_not_of(" \t", blank);
        return fail("'" + path.substr(junk) + "' after the address is not part of it");
    }
    NetworkAddress a;
    a.kind = *kind;
    std::string rest = path.substr(path.find("://") + 3);
    std::string query;
    if (size_t q = rest.find('?'); q != std::string::npos) {
        query = rest.substr(q + 1);
        rest.erase(q);
    }
    if (!rest.empty() && rest.back() == '/')
        rest.pop_back();
    size_t colon;
    if (!rest.empty() && rest[0] == '[') {
        size_t close = rest.find(']');
        if (close == std::string::npos)
            return fail("']' missing after the IPv6 address");
        a.host = rest.substr(1, close - 1);
        if (close + 1 >= rest.size() || rest[close + 1] != ':')
            return fail("the port number is missing (host:port)");
        colon = close + 1;
    } else {
        colon = rest.rfind(':');
        if (colon == std::string::npos)
            return fail("the port number is missing (host:port)");
        a.host = rest.substr(0, colon);
        if (a.host.find(':') != std::string::npos)
            return fail("an IPv6 address goes in brackets, as [::1]:4001");
    }
    if (a.host.empty())
        return fail("the host is missing (host:port)");
    std::string port = rest.substr(colon + 1);
    if (const size_t digits = port.find_first_not_of("0123456789");
        digits != 0 && digits != std::string::npos)
        return fail("'" + port.substr(digits) + "' after the port number " +
                    port.substr(0, digits) + " is not part of the address");
    if (port.empty() || port.size() > 5 ||
        port.find_first_not_of("0123456789") != std::string::npos || std::stol(port) < 1 ||
        std::stol(port) > 65535)
        return fail("the port must be a number from 1 to 65535");
    a.port = uint16_t(std::stol(port));
    a.timeoutMs = kDefaultConnectTimeoutMs;
    while (!query.empty()) {
        size_t amp = query.find('&');
        std::string item = query.substr(0, amp);
        query = amp == std::string::npos ? std::string() : query.substr(amp + 1);
        size_t eq = item.find('=');
        std::string key = item.substr(0, eq);
        std::string value = eq == std::string::npos ? std::string() : item.substr(eq + 1);
        if (key != "timeout")
            return fail("unknown option '" + key + "' (known: timeout)");
        char* end = nullptr;
        double seconds = std::strtod(value.c_str(), &end);
        if (value.empty() || *end != '\0' || !(seconds >= 0.1 && seconds <= 600))
            return fail("timeout must be seconds from 0.1 to 600");
        a.timeoutMs = int(seconds * 1000 + 0.5);
    }
    return a;
}

// ---- Opening and closing ----------------------------------------------------

TcpDevice::TcpDevice() : ring_(kRingSize) {}

TcpDevice::~TcpDevice() {
    close();
}

int TcpDevice::open(const std::string& path) {
    if (open_)
        return -kSysInUse;
    std::string why;
    auto addr = ParseNetworkAddress(path, &why);
    {
        std::lock_guard<std::mutex> lk(io_);
        error_.clear();
        if (!addr) {
            error_ = why;
            return -kSysNoSuchDevice;
        }
        addr_ = *addr;
        settings_ = LineSettings{};
        rxHead_ = rxTail_ = 0;
        staging_.clear();
        lost_ = 0;
        xoffHeld_ = xoffSent_ = lineEvent_ = false;
        lines_ = errors_ = 0;
        linesKnown_ = false;
    }
    wakeIn_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    wakeOut_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    answer_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    auto closeAll = [this] {
        for (int* fd : {&wakeIn_, &wakeOut_, &answer_, &sock_})
            if (*fd >= 0) {
                ::close(*fd);
                *fd = -1;
            }
    };
    if (wakeIn_ < 0 || wakeOut_ < 0 || answer_ < 0) {
        int e = errno;
        closeAll();
        return -SystemErrorFromErrno(e);
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(addr_.timeoutMs);
    connectResult_ = 0;
    cancelled_ = false;
    Completion done;
    // A cancel (the operator's Reset) ends every wait of the connect thread.
    done.onCancel([this] {
        cancelled_ = true;
        Signal(answer_);
        std::lock_guard<std::mutex> lk(lookupLock_);
        if (lookup_) {
            std::lock_guard<std::mutex> l(lookup_->m);
            lookup_->cv.notify_all();
        }
    });
    connector_ = std::thread([this, deadline, &done] {
        connectThread(deadline);
        done.finish();
    });
    // The connect thread keeps to the deadline by itself (the line settings
    // have one more time-out); the limit only guards against a wait that
    // would never end.
    WaitForCompletion(done, std::chrono::milliseconds(2 * addr_.timeoutMs + 5000));
    done.onCancel(nullptr);
    connector_.join();
    if (connectResult_ != 0) {
        closeAll();
        return connectResult_;
    }
    closing_ = false;
    open_ = true;
    return 0;
}

void TcpDevice::connectThread(Clock::time_point deadline) {
    int fd = connectSocket(deadline);
    std::unique_lock<std::mutex> lk(io_);
    if (fd >= 0) {
        sock_ = fd;
        connectResult_ = negotiateLocked(lk, deadline);
        // The line as the caller will set it, the server's answers awaited
        // here rather than on the caller's thread.
        if (connectResult_ == 0 && preset_)
            connectResult_ = applyLineSettingsLocked(lk, *preset_);
    } else {
        connectResult_ = fd;
    }
    if (cancelled_) {
        error_ = "Connecting to " + addr_.hostPort() + " was cancelled";
        connectResult_ = -ECANCELED;
    }
}

void TcpDevice::presetLineSettings(const LineSettings& expected) {
    std::lock_guard<std::mutex> lk(io_);
    preset_ = expected;
}

int TcpDevice::connectSocket(Clock::time_point deadline) {
    const NetworkAddress a = addr_;
    auto lookup = std::make_shared<NameLookup>();
    {
        std::lock_guard<std::mutex> lk(lookupLock_);
        lookup_ = lookup;
    }
    std::thread([lookup, host = a.host, port = std::to_string(a.port)] {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* result = nullptr;
        int rc = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &result);
        int err = errno;
        std::lock_guard<std::mutex> lk(lookup->m);
        if (lookup->abandoned) {
            if (result)
                ::freeaddrinfo(result);
            return;
        }
        lookup->rc = rc;
        lookup->err = err;
        lookup->result = result;
        lookup->done = true;
        lookup->cv.notify_all();
    }).detach();
    addrinfo* list = nullptr;
    {
        std::unique_lock<std::mutex> lk(lookup->m);
        if (!lookup->cv.wait_until(lk, deadline, [&] { return lookup->done || cancelled_; }) ||
            !lookup->done) {
            lookup->abandoned = true;
            std::lock_guard<std::mutex> io(io_);
            error_ = "No answer from the name service for " + a.hostPort() + " within " +
                     Seconds(a.timeoutMs);
            return -ETIMEDOUT;
        }
        if (lookup->rc != 0) {
            std::lock_guard<std::mutex> io(io_);
            std::string reason =
                lookup->rc == EAI_SYSTEM ? std::strerror(lookup->err) : ::gai_strerror(lookup->rc);
            error_ = "Cannot find the host of " + a.hostPort() + " (" + reason + ")";
            return -kSysNoSuchDevice;
        }
        list = lookup->result;
    }
    int lastErr = ETIMEDOUT;
    int fd = -1;
    for (addrinfo* ai = list; ai && fd < 0; ai = ai->ai_next) {
        int s =
            ::socket(ai->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
        if (s < 0) {
            lastErr = errno;
            continue;
        }
        SetOption(s, SOL_SOCKET, SO_SNDBUF, kSendBuffer);
        SetOption(s, IPPROTO_TCP, TCP_NODELAY, 1); // a lone ACK must not wait
        SetOption(s, SOL_SOCKET, SO_KEEPALIVE, 1);
        SetOption(s, IPPROTO_TCP, TCP_KEEPIDLE, 10);
        SetOption(s, IPPROTO_TCP, TCP_KEEPINTVL, 5);
        SetOption(s, IPPROTO_TCP, TCP_KEEPCNT, 2);
        SetOption(s, IPPROTO_TCP, TCP_USER_TIMEOUT, 20000);
        int r = ::connect(s, ai->ai_addr, ai->ai_addrlen);
        int err = r == 0 ? 0 : errno;
        if (err == EINPROGRESS) {
            for (;;) {
                pollfd p[2] = {{s, POLLOUT, 0}, {answer_, POLLIN, 0}};
                int left = RemainingMs(deadline);
                int pr = left == 0 ? 0 : ::poll(p, 2, left);
                if (pr < 0 && errno == EINTR)
                    continue;
                if (cancelled_) {
                    err = ECANCELED;
                    break;
                }
                if (pr <= 0) {
                    err = ETIMEDOUT;
                    break;
                }
                if (p[1].revents)
                    Drain(answer_);
                if (!p[0].revents)
                    continue; // a wake-up that was no cancel
                socklen_t len = sizeof err;
                if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
                    err = errno;
                break;
            }
        }
        if (err == 0) {
            fd = s;
        } else {
            ::close(s);
            lastErr = err;
            if (err == ETIMEDOUT || err == ECANCELED)
                break; // the deadline is spent, or nobody waits any more
        }
    }
    ::freeaddrinfo(list);
    if (fd >= 0)
        return fd;
    std::lock_guard<std::mutex> io(io_);
    switch (lastErr) {
    case ETIMEDOUT:
        error_ = "No answer from " + a.hostPort() + " within " + Seconds(a.timeoutMs);
        break;
    case ECONNREFUSED:
        error_ = "Connection refused by " + a.hostPort() + " (no server port open there)";
        break;
    default:
        error_ = "Cannot connect to " + a.hostPort() + " (" + std::strerror(lastErr) + ")";
        break;
    }
    return -lastErr;
}

int TcpDevice::negotiateLocked(std::unique_lock<std::mutex>&, Clock::time_point) {
    return 0;
}

void TcpDevice::close() {
    closing_ = true;
    Signal(wakeIn_);
    Signal(wakeOut_);
    Signal(answer_);
    std::unique_lock<std::shared_mutex> lk(fdLock_);
    if (!open_)
        return;
    {
        std::lock_guard<std::mutex> io(io_);
        // An XOFF of ours would leave the machine tool stopped, waiting for an
        // XON that nobody sends once the port is closed.
        if (xoffSent_ && lost_ == 0) {
            std::string wire;
            encodeLocked(&settings_.xonChar, 1, wire);
            sendWireLocked(wire);
        }
        xoffSent_ = false;
        ::close(sock_);
        sock_ = -1;
    }
    for (int* fd : {&wakeIn_, &wakeOut_, &answer_}) {
        ::close(*fd);
        *fd = -1;
    }
    open_ = false;
}

bool TcpDevice::isOpen() const {
    return open_ && !closing_;
}

int TcpDevice::setQueueSizes(uint32_t inQueue, uint32_t) {
    std::lock_guard<std::mutex> lk(io_);
    inQueueSize_ = inQueue ? inQueue : 4096;
    return 0;
}

std::string TcpDevice::errorText() const {
    std::lock_guard<std::mutex> lk(io_);
    return error_;
}

void TcpDevice::setErrorLocked(const std::string& text) {
    error_ = text;
}

// ---- Line settings and lines --------------------------------------------------

int TcpDevice::getLineSettings(LineSettings& out) {
    std::shared_lock<std::shared_mutex> lk(fdLock_);
    if (!open_)
        return -kSysNoSuchDevice;
    std::lock_guard<std::mutex> io(io_);
    out = settings_;
    return 0;
}

int TcpDevice::setLineSettings(const LineSettings& in) {
    std::shared_lock<std::shared_mutex> lk(fdLock_);
    if (!open_ || closing_)
        return -kSysNoSuchDevice;
    std::unique_lock<std::mutex> io(io_);
    if (lost_ != 0)
        return ecLineLost;
    int r = applyLineSettingsLocked(io, in);
    if (r == 0)
        r = afterLineSettingsLocked(io, in);
    if (r != 0)
        return r;
    const bool heldBefore = outputHeldLocked();
    const bool releaseInput = xoffSent_ && !in.xonXoffIn;
    settings_ = in;
    if (!ourXonXoffLocked())
        xoffHeld_ = false;
    if (releaseInput) {
        // Do not leave the peer stopped by an XOFF of ours.
        xoffSent_ = false;
        std::string wire;
        encodeLocked(&settings_.xonChar, 1, wire);
        sendWireLocked(wire);
    }
    if (heldBefore && !outputHeldLocked())
        wakeOutputLocked();
    return 0;
}

int TcpDevice::applyLineSettingsLocked(std::unique_lock<std::mutex>&, const LineSettings& in) {
    // The server's own configuration sets the line; only nonsense is refused.
    if (in.byteSize < 5 || in.byteSize > 8)
        return ecByteSize;
    return 0;
}

uint8_t TcpDevice::modemLines() {
    std::shared_lock<std::shared_mutex> lk(fdLock_);
    if (!open_)
        return 0;
    std::lock_guard<std::mutex> io(io_);
    pumpLocked(false); // a report waiting in the socket counts
    return linesKnown_ ? uint8_t(lines_ & 0xF0) : 0;
}

bool TcpDevice::hasModemLines() {
    std::shared_lock<std::shared_mutex> lk(fdLock_);
    if (!open_)
        return false;
    std::lock_guard<std::mutex> io(io_);
    pumpLocked(false);
    return linesKnown_;
}

int TcpDevice::lineControlLocked(LineControlKind, bool) {
    return 0;
}

void TcpDevice::purgeServerLocked(unsigned) {}

int TcpDevice::lineControl(LineControlKind which, bool on) {
    std::shared_lock<std::shared_mutex> lk(fdLock_);
    if (!open_)
        return -kSysNoSuchDevice;
    std::lock_guard<std::mutex> io(io_);
    if (lost_ != 0)
        return ecLineLost;
    return lineControlLocked(which, on);
}

int TcpDevice::setDtr(bool on) {
    return lineControl(LineControlKind::Dtr, on);
}

int TcpDevice::setRts(bool on) {
    return lineControl(LineControlKind::Rts, on);
}

int TcpDevice::setBreak(bool on) {
    return lineControl(LineControlKind::Break, on);
}

int TcpDevice::setRs485(bool on) {
    return on ? ecNotSupported : 0;
}

// ---- Moving bytes -------------------------------------------------------------

void TcpDevice::pumpLocked(bool reader) {
    if (sock_ < 0 || lost_ != 0)
        return;
    const bool heldBefore = outputHeldLocked();
    const uint64_t headBefore = rxHead_;
    uint8_t buf[kRingSize];
    for (;;) {
        size_t room = kRingSize - ringUsed();
        if (room == 0)
            break;
        ssize_t n = ::recv(sock_, buf, room, MSG_DONTWAIT);
        if (n > 0) {
            decodeLocked(buf, size_t(n));
            if (size_t(n) < room)
                break;
            continue;
        }
        if (retryAfterLocked(n))
            continue;
        break;
    }
    if (!reader && rxHead_ != headBefore)
        Signal(wakeIn_); // the reader takes what another thread brought in
    if (heldBefore && !outputHeldLocked())
        wakeOutputLocked();
}

void TcpDevice::decodeLocked(const uint8_t* in, size_t n) {
    deliverLocked(in, n);
}

void TcpDevice::encodeLocked(const uint8_t* in, size_t n, std::string& out) {
    out.append(reinterpret_cast<const char*>(in), n);
}

void TcpDevice::deliverLocked(const uint8_t* data, size_t n) {
    const bool flow = ourXonXoffLocked();
    for (size_t i = 0; i < n; ++i) {
        uint8_t b = data[i];
        if (flow && b == settings_.xoffChar) {
            xoffHeld_ = true;
            continue;
        }
        if (flow && b == settings_.xonChar) {
            xoffHeld_ = false;
            continue;
        }
        if (ringUsed() >= kRingSize) {
            errors_ |= kErrRxOverflow;
            continue;
        }
        ring_[rxHead_ % kRingSize] = b;
        ++rxHead_;
    }
}

// The connection has ended or broken: the line is lost for good. Waiters
// wake to find out; reads and writes fail with an errno that says a line is
// gone (a time-out of the keep-alive probes is one too).
void TcpDevice::loseLocked(int err) {
    lost_ = IsLineLostErrno(err) ? err : ECONNRESET;
    Signal(wakeIn_);
    Signal(wakeOut_);
    Signal(answer_);
}

void TcpDevice::sendWireLocked(const std::string& wire) {
    staging_ += wire;
    flushStagingLocked();
}

size_t TcpDevice::sendNowLocked(const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size() && sock_ >= 0 && lost_ == 0) {
        ssize_t n =
            ::send(sock_, bytes.data() + sent, bytes.size() - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            sent += size_t(n);
            wireSent_ += uint64_t(n);
            continue;
        }
        if (retryAfterLocked(n))
            continue;
        break;
    }
    return sent;
}

bool TcpDevice::retryAfterLocked(ssize_t n) {
    if (n < 0 && errno == EINTR)
        return true;
    if (!(n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)))
        loseLocked(n == 0 ? ECONNRESET : errno);
    return false;
}

void TcpDevice::flushStagingLocked() {
    staging_.erase(0, sendNowLocked(staging_));
}

bool TcpDevice::outputHeldLocked() const {
    if (ourXonXoffLocked() && xoffHeld_)
        return true;
    if (serverHoldsLocked())
        return true;
    if (linesKnown_ && settings_.ctsOutFlow && !(lines_ & kLineCTS))
        return true;
    return linesKnown_ && settings_.dsrOutFlow && !(lines_ & kLineDSR);
}

uint32_t TcpDevice::outputQueuedLocked() const {
    if (lost_ != 0)
        return 0; // it will never go: nothing waits for it
    int queued = 0;
    if (sock_ < 0 || ::ioctl(sock_, SIOCOUTQ, &queued) != 0)
        queued = 0;
    return uint32_t(staging_.size()) + uint32_t(std::max(queued, 0));
}

long TcpDevice::read(uint8_t* buf, size_t count) {
    std::shared_lock<std::shared_mutex> lk(fdLock_);
    if (!open_ || closing_)
        return ecNotOpen;
    std::lock_guard<std::mutex> io(io_);
    pumpLocked(true);
    size_t n = std::min(count, ringUsed());
    for (size_t i = 0; i < n; ++i)
        buf[i] = ring_[(rxTail_ + i) % kRingSize];
    rxTail_ += n;
    if (n == 0 && lost_ != 0)
        return ecLineLost;
    return long(n);
}

long TcpDevice::write(const uint8_t* buf, size_t count) {
    std::shared_lock<std::shared_mutex> lk(fdLock_);
    if (!open_ || closing_)
        return ecNotOpen;
    std::lock_guard<std::mutex> io(io_);
    pumpLocked(false); // an XOFF that came meanwhile stops us here
    // Commands and replies wait behind data only for the socket, never for
    // the machine tool's XOFF.
    flushStagingLocked();
    if (lost_ != 0)
        return ecLineLost;
    if (count == 0 || outputHeldLocked() || !staging_.empty())
        return 0;
    size_t take = std::min(count, kChunk);
    if (serverDoesXonXoffLocked()) {
        const uint32_t ahead = aheadLocked(Clock::now()), limit = aheadLimitLocked();
        if (ahead >= limit)
            return 0; // the line's own pace: waitOutput() knows when
        take = std::min<size_t>(take, limit - ahead);
    }
    std::string wire;
    encodeLocked(buf, take, wire);
    const size_t sent = sendNowLocked(wire);
    if (lost_ != 0)
        return ecLineLost;
    // Only the bytes the socket took count as taken: data never waits here
    // unseen. A byte whose wire form the socket took in part is taken, and
    // the rest of its form waits (a byte) for the next chance to go.
    size_t taken = 0, covered = 0;
    while (taken < take && covered < sent)
        covered += wireLengthLocked(buf[taken++]);
    if (covered > sent)
        staging_.append(wire, sent, covered - sent);
    lineFreeAt_ = std::max(lineFreeAt_, Clock::now()) + long(taken) * CharacterTime(settings_);
    return long(taken);
}

size_t TcpDevice::wireLengthLocked(uint8_t) const {
    return 1;
}

void TcpDevice::waitSocketOrAnswer(int sock, int answerFd, Clock::time_point deadline) {
    pollfd p[2] = {{answerFd, POLLIN, 0}, {sock, POLLIN, 0}};
    int r = ::poll(p, sock >= 0 ? 2 : 1, RemainingMs(deadline));
    if (r > 0 && p[0].revents)
        Drain(answerFd);
}

std::optional<WaitResult> TcpDevice::sleepOnSocket(int wakeFd, short events,
                                                   Clock::time_point deadline) {
    pollfd p[2] = {{wakeFd, POLLIN, 0}, {sock_, events, 0}};
    int r = ::poll(p, events ? 2 : 1, RemainingMs(deadline));
    if (r < 0)
        return errno == EINTR ? std::nullopt : std::optional(WaitResult::Failed);
    if (r == 0)
        return WaitResult::Timeout;
    if (p[0].revents) {
        Drain(wakeFd);
        return closing_ ? WaitResult::Failed : WaitResult::Woken;
    }
    return std::nullopt;
}

WaitResult TcpDevice::waitInput(bool wantData, int timeoutMs) {
    std::shared_lock<std::shared_mutex> lk(fdLock_);
    if (!open_ || closing_)
        return WaitResult::Failed;
    const auto deadline = DeadlineIn(timeoutMs);
    for (;;) {
        short events = 0;
        {
            std::lock_guard<std::mutex> io(io_);
            if (lineEvent_) {
                lineEvent_ = false;
                return WaitResult::Ready;
            }
            if (wantData && (ringUsed() > 0 || lost_ != 0))
                return WaitResult::Ready;
            if (wantData && lost_ == 0 && ringUsed() < kRingSize)
                events |= POLLIN;
            // A reply or the tail of a byte the socket had no room for goes
            // as soon as there is room, whether or not anyone writes.
            if (!staging_.empty() && lost_ == 0)
                events |= POLLOUT;
        }
        if (auto ended = sleepOnSocket(wakeIn_, events, deadline))
            return *ended;
        // Only telnet commands may have come: look before saying "ready".
        std::lock_guard<std::mutex> io(io_);
        pumpLocked(true);
        flushStagingLocked();
    }
}

WaitResult TcpDevice::waitOutput(int timeoutMs) {
    std::shared_lock<std::shared_mutex> lk(fdLock_);
    if (!open_ || closing_)
        return WaitResult::Failed;
    const auto deadline = DeadlineIn(timeoutMs);
    for (;;) {
        short events = 0;
        auto until = deadline;
        {
            std::lock_guard<std::mutex> io(io_);
            if (lost_ != 0)
                return WaitResult::Ready; // the next write reports it
            const bool held = outputHeldLocked();
            if (!held && staging_.empty()) {
                // Paced (XON/XOFF at the server): ready once the line has
                // sent half of what is ahead of it.
                const uint32_t half = aheadLimitLocked() / 2;
                if (!serverDoesXonXoffLocked() || aheadLocked(Clock::now()) <= half)
                    return WaitResult::Ready;
                until = std::min(deadline, lineFreeAt_ - half * CharacterTime(settings_));
            } else {
                // Held: the release comes as input (XON, a modem or flow
                // report), which this thread reads itself should the reader
                // be busy.
                events = held ? (ringUsed() < kRingSize ? POLLIN : 0) : POLLOUT;
            }
        }
        if (auto ended = sleepOnSocket(wakeOut_, events, until)) {
            if (*ended != WaitResult::Timeout || until == deadline)
                return *ended;
        }
        std::lock_guard<std::mutex> io(io_);
        pumpLocked(false);
        flushStagingLocked();
    }
}

void TcpDevice::wakeInput() {
    std::shared_lock<std::shared_mutex> lk(fdLock_);
    Signal(wakeIn_);
}

void TcpDevice::wakeOutput() {
    std::shared_lock<std::shared_mutex> lk(fdLock_);
    Signal(wakeOut_);
}

void TcpDevice::wakeOutputLocked() {
    Signal(wakeOut_);
}

void TcpDevice::signalAnswerLocked() {
    Signal(answer_);
}

void TcpDevice::lineEventLocked() {
    lineEvent_ = true;
    Signal(wakeIn_);
}

int TcpDevice::purge(unsigned which) {
    std::shared_lock<std::shared_mutex> lk(fdLock_);
    if (!open_)
        return -kSysNoSuchDevice;
    std::lock_guard<std::mutex> io(io_);
    if (lost_ != 0)
        return ecLineLost;
    // What the socket and our staging already hold (a few kilobytes at most)
    // cannot be called back; the server is asked to drop what it holds.
    purgeServerLocked(which);
    if (which & PurgeTx)
        lineFreeAt_ = std::min(lineFreeAt_, Clock::now());
    if (which & PurgeRx) {
        // What waits here now was on its way before the purge: gone with it.
        for (int i = 0; i < 64 && lost_ == 0; ++i) {
            rxTail_ = rxHead_;
            pumpLocked(true);
            if (rxHead_ == rxTail_)
                break;
        }
        rxTail_ = rxHead_;
    }
    return 0;
}

// Our own input flow: XOFF into the data when the bytes waiting reach the
// XOFF point, XON when they are down to the XON limit.
void TcpDevice::updateInputFlowLocked() {
    if (!settings_.xonXoffIn || sock_ < 0 || lost_ != 0)
        return;
    int waiting = 0;
    if (::ioctl(sock_, FIONREAD, &waiting) != 0)
        waiting = 0;
    const uint32_t inQueue = uint32_t(ringUsed()) + uint32_t(std::max(waiting, 0));
    uint32_t xoffAt = inQueueSize_ > settings_.xoffLimit ? inQueueSize_ - settings_.xoffLimit : 1;
    xoffAt = std::clamp<uint32_t>(xoffAt, 1, kRingSize - 512);
    std::string wire;
    if (!xoffSent_ && inQueue >= xoffAt) {
        encodeLocked(&settings_.xoffChar, 1, wire);
        xoffSent_ = true;
    } else if (xoffSent_ && inQueue <= settings_.xonLimit) {
        encodeLocked(&settings_.xonChar, 1, wire);
        xoffSent_ = false;
    }
    if (!wire.empty())
        sendWireLocked(wire);
}

DeviceStatus TcpDevice::status() {
    DeviceStatus ds;
    std::shared_lock<std::shared_mutex> lk(fdLock_);
    if (!open_)
        return ds;
    std::lock_guard<std::mutex> io(io_);
    pumpLocked(false);
    flushStagingLocked();
    ds.errors = errors_;
    errors_ = 0;
    int waiting = 0;
    if (sock_ < 0 || ::ioctl(sock_, FIONREAD, &waiting) != 0)
        waiting = 0;
    ds.inQueue = uint32_t(ringUsed()) + uint32_t(std::max(waiting, 0));
    ds.outQueue = outputQueuedLocked();
    if (linesKnown_ && settings_.ctsOutFlow && !(lines_ & kLineCTS))
        ds.holds |= kHoldCTS;
    if (linesKnown_ && settings_.dsrOutFlow && !(lines_ & kLineDSR))
        ds.holds |= kHoldDSR;
    if ((ourXonXoffLocked() && xoffHeld_) || serverHoldsLocked() || serverStalledLocked())
        ds.holds |= kHoldXoff;
    updateInputFlowLocked();
    if (xoffSent_)
        ds.holds |= kHoldXoffSent;
    return ds;
}

uint32_t TcpDevice::outputQueued() {
    std::shared_lock<std::shared_mutex> lk(fdLock_);
    if (!open_)
        return 0;
    std::lock_guard<std::mutex> io(io_);
    return outputQueuedLocked();
}

} // namespace vorl::platform
