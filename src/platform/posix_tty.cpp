#include "platform/posix_tty.h"

#include "platform/tty_rate.h"

#include "platform/error_codes.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>

namespace vorl::platform {

namespace {

struct BaudCode {
    uint32_t baud;
    speed_t code;
};

constexpr BaudCode kBauds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000},
};

bool SpeedFor(uint32_t baud, speed_t& code) {
    for (const auto& b : kBauds)
        if (b.baud == baud) {
            code = b.code;
            return true;
        }
    return false;
}

uint32_t BaudOf(speed_t code) {
    for (const auto& b : kBauds)
        if (b.code == code)
            return b.baud;
    return 9600;
}

// Rates the program's speed lists and legacy rate codes name that have no
// speed constant; they are set through the kernel's termios2 interface.
constexpr uint32_t kOtherRates[] = {14400, 56000, 128000, 256000};

bool OtherRate(uint32_t baud) {
    for (uint32_t r : kOtherRates)
        if (r == baud)
            return true;
    return false;
}

// What a failed call on the open device reports: the loss of the line has a
// code of its own; anything else is the system error, negated.
int FailureOf(int err) {
    return IsLineLostErrno(err) ? ecLineLost : -SystemErrorFromErrno(err);
}

// True when the tty has been hung up: a read then finds nothing, for good.
bool HungUp(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL));
}

void DrainEventFd(int efd) {
    uint64_t v;
    while (::read(efd, &v, sizeof v) > 0) {
    }
}

void SignalEventFd(int efd) {
    if (efd < 0)
        return;
    uint64_t one = 1;
    ssize_t r = ::write(efd, &one, sizeof one);
    (void)r; // a full counter already wakes the waiter
}

// Raw mode, our framing and flow; everything the line discipline would do to
// the bytes is off.
void BuildTermios(termios& t, const LineSettings& s, speed_t speed) {
    t.c_iflag = IGNBRK; // a break is reported through the error counters, not as data
    if (s.parityCheck)
        t.c_iflag |= INPCK;
    if (s.xonXoffOut)
        t.c_iflag |= IXON;
    t.c_oflag = 0;
    t.c_lflag = 0;
    t.c_cflag = CREAD | CLOCAL;
    switch (s.byteSize) {
    case 5:
        t.c_cflag |= CS5;
        break;
    case 6:
        t.c_cflag |= CS6;
        break;
    case 7:
        t.c_cflag |= CS7;
        break;
    default:
        t.c_cflag |= CS8;
        break;
    }
    if (s.stopBits != kOneStopBit)
        t.c_cflag |= CSTOPB;
    switch (s.parity) {
    case 1:
        t.c_cflag |= PARENB | PARODD;
        break;
    case 2:
        t.c_cflag |= PARENB;
        break;
    case 3:
        t.c_cflag |= PARENB | PARODD | CMSPAR;
        break;
    case 4:
        t.c_cflag |= PARENB | CMSPAR;
        break;
    default:
        break;
    }
    // Only "require CTS" lets the kernel hold our output on CTS; RTS driven
    // by input flow alone is ours (updateInputFlow).
    if (s.ctsOutFlow)
        t.c_cflag |= CRTSCTS;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    t.c_cc[VSTART] = s.xonChar;
    t.c_cc[VSTOP] = s.xoffChar;
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
}

LineSettings SettingsFromTermios(const termios& t) {
    LineSettings s;
    s.baud = BaudOf(cfgetospeed(&t));
    switch (t.c_cflag & CSIZE) {
    case CS5:
        s.byteSize = 5;
        break;
    case CS6:
        s.byteSize = 6;
        break;
    case CS7:
        s.byteSize = 7;
        break;
    default:
        s.byteSize = 8;
        break;
    }
    if (t.c_cflag & PARENB) {
        bool odd = t.c_cflag & PARODD;
        if (t.c_cflag & CMSPAR)
            s.parity = odd ? 3 : 4;
        else
            s.parity = odd ? 1 : 2;
    }
    s.stopBits =
        (t.c_cflag & CSTOPB) ? (s.byteSize == 5 ? kOne5StopBits : kTwoStopBits) : kOneStopBit;
    s.ctsOutFlow = t.c_cflag & CRTSCTS;
    s.rtsControl = s.ctsOutFlow ? LineControl::Handshake : LineControl::On;
    s.xonXoffOut = t.c_iflag & IXON;
    s.xonChar = t.c_cc[VSTART];
    s.xoffChar = t.c_cc[VSTOP];
    return s;
}

} // namespace

int ModemControl::get(int fd, int& bits) {
    return ::ioctl(fd, TIOCMGET, &bits) == 0 ? 0 : errno;
}

int ModemControl::set(int fd, int bits) {
    return ::ioctl(fd, TIOCMBIS, &bits) == 0 ? 0 : errno;
}

int ModemControl::clear(int fd, int bits) {
    return ::ioctl(fd, TIOCMBIC, &bits) == 0 ? 0 : errno;
}

PosixTty::PosixTty(std::shared_ptr<ModemControl> modem)
    : modem_(modem ? std::move(modem) : std::make_shared<ModemControl>()) {}

PosixTty::~PosixTty() {
    close();
}

int PosixTty::open(const std::string& path) {
    std::unique_lock<std::shared_mutex> lk(fdLock_);
    if (fd_ >= 0)
        return -kSysInUse;
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -SystemErrorFromErrno(errno);
    // The advisory lock also stops a second opener running as root, whom the
    // kernel lets past TIOCEXCL.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int e = errno;
        ::close(fd);
        return e == EWOULDBLOCK ? -kSysInUse : -SystemErrorFromErrno(e);
    }
    termios t{};
    if (::tcgetattr(fd, &t) != 0) {
        int e = errno;
        ::close(fd);
        return e == ENOTTY ? -kSysNoSuchDevice : -SystemErrorFromErrno(e);
    }
    if (::ioctl(fd, TIOCEXCL) != 0) {
        int e = errno;
        ::close(fd);
        return -SystemErrorFromErrno(e);
    }
    int wi = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    int wo = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wi < 0 || wo < 0) {
        int e = errno;
        if (wi >= 0)
            ::close(wi);
        if (wo >= 0)
            ::close(wo);
        ::ioctl(fd, TIOCNXCL);
        ::close(fd);
        return -SystemErrorFromErrno(e);
    }
    original_ = t;
    LineSettings s = SettingsFromTermios(t);
    s.ctsOutFlow = false;
    s.rtsControl = LineControl::On;
    s.xonXoffOut = false;
    s.xonChar = 17;
    s.xoffChar = 19;
    // Raw at once, so nothing arriving before the first settings is echoed or
    // translated. A rate without a speed constant (left by another program)
    // must not become B0, which would hang the line up.
    speed_t speed = cfgetospeed(&t);
    if (!SpeedFor(BaudOf(speed), speed))
        speed = B9600;
    termios raw = t;
    BuildTermios(raw, s, speed);
    ::tcsetattr(fd, TCSANOW, &raw);

    fd_ = fd;
    wakeIn_ = wi;
    wakeOut_ = wo;
    closing_ = false;
    std::lock_guard<std::mutex> st(stateLock_);
    settings_ = s;
    linesKnown_ = true;
    countsKnown_ = false;
    takeLineErrors(fd); // what the counters held before is not ours
    xoffSent_ = false;
    dtrDropped_ = rtsDropped_ = false;
    dsrOutFlow_ = false;
    rs485_ = false;
    rs485Saved_ = false;
    accepted_ = 0;
    refused_ = false;
    lastLeft_ = 0;
    lastProgress_ = std::chrono::steady_clock::now();
    lineFreeAt_ = lastProgress_;
    return 0;
}

void PosixTty::close() {
    closing_ = true;
    SignalEventFd(wakeIn_);
    SignalEventFd(wakeOut_);
    std::unique_lock<std::shared_mutex> lk(fdLock_);
    if (fd_ < 0)
        return;
    bool resumePeer;
    {
        std::lock_guard<std::mutex> st(stateLock_);
        resumePeer = xoffSent_;
        xoffSent_ = false;
    }
    // An XOFF of ours would leave the machine tool stopped, waiting for an
    // XON that nobody sends once the port is closed.
    if (resumePeer)
        ::tcflow(fd_, TCION);
    restoreRs485();
    ::tcsetattr(fd_, TCSANOW, &original_);
    ::ioctl(fd_, TIOCNXCL);
    ::close(fd_); // also releases the flock
    ::close(wakeIn_);
    ::close(wakeOut_);
    fd_ = wakeIn_ = wakeOut_ = -1;
}

bool PosixTty::isOpen() const {
    std::shared_lock<std::shared_mutex> lk(fdLock_);
    return fd_ >= 0 && !closing_;
}

int PosixTty::setQueueSizes(uint32_t inQueue, uint32_t) {
    std::lock_guard<std::mutex> st(stateLock_);
    inQueueSize_ = inQueue ? inQueue : 4096;
    return 0;
}

int PosixTty::getLineSettings(LineSettings& out) {
    std::shared_lock<std::shared_mutex> lk(fdLock_);
    if (fd_ < 0)
        return -kSysNoSuchDevice;
    std::lock_guard<std::mutex> st(stateLock_);
    out = settings_;
    return 0;
}

int PosixTty::setLineSettings(const LineSettings& in) {
    if (in.rtsControl == LineControl::Toggle)
        return ecBadArgument; // RS-485 direction goes through setRs485()
    if (in.byteSize < 5 || in.byteSize > 8)
        return ecByteSize;
    speed_t speed = B9600;
    const bool otherRate = !SpeedFor(in.baud, speed);
    if (otherRate && !OtherRate(in.baud))
        return ecBaudRate;
    std::shared_lock<std::shared_mutex> lk(fdLock_);
    if (fd_ < 0 || closing_)
        return -kSysNoSuchDevice;
    termios t{};
    if (::tcgetattr(fd_, &t) != 0)
        return FailureOf(errno);
    BuildTermios(t, in, speed);
    if (otherRate) {
        // All settings with the rate in one step, so the line never runs at
        // a rate nobody asked for.
        int e = ApplyTtyWithRate(fd_, t.c_iflag, t.c_oflag, t.c_cflag, t.c_lflag, t.c_cc, NCCS,
                                 in.baud);
        if (e != 0)
            return e == EINVAL ? ecBaudRate : FailureOf(e);
    } else if (::tcsetattr(fd_, TCSANOW, &t) != 0) {
        return FailureOf(errno);
    }
    bool releaseInput = false;
    bool dtrUp, rtsUp;
    {
        std::lock_guard<std::mutex> st(stateLock_);
        releaseInput = xoffSent_ && !in.xonXoffIn;
        if (releaseInput)
            xoffSent_ = false;
        // A line no longer driven by input flow is no longer held low by it.
        if (in.dtrControl != LineControl::Handshake)
            dtrDropped_ = false;
        if (in.rtsControl != LineControl::Handshake || in.ctsOutFlow)
            rtsDropped_ = false;
        settings_ = in;
        dsrOutFlow_ = in.dsrOutFlow;
        dtrUp = in.dtrControl == LineControl::Handshake ? !dtrDropped_
                                                        : in.dtrControl == LineControl::On;
        rtsUp = in.rtsControl == LineControl::Handshake ? !rtsDropped_
                                                        : in.rtsControl == LineControl::On;
    }
    if (releaseInput)
        ::tcflow(fd_, TCION); // do not leave the peer stopped by an XOFF of ours
    // The lines follow the settings (a pty has none); under CRTSCTS the
    // kernel drives RTS, in RS-485 mode the driver does.
    modemBits(dtrUp ? TIOCM_DTR : 0, dtrUp ? 0 : TIOCM_DTR);
    if (!(t.c_cflag & CRTSCTS) && !rs485_)
        modemBits(rtsUp ? TIOCM_RTS : 0, rtsUp ? 0 : TIOCM_RTS);
    return 0;
}

long PosixTty::read(uint8_t* buf, size_t count) {
    std::shared_lock<std::shared_mutex> lk(fdLock_);
    if (fd_ < 0 || closing_)
        return ecNotOpen;
    ssize_t n = ::read(fd_, buf, count);
    if (n < 0)
        return (errno == EAGAIN || errno == EINTR) ? 0 : FailureOf(errno);
    // A hung-up tty reads as empty for ever; say that it is gone.
    if (n == 0 && count > 0 && HungUp(fd_))
        return ecLineLost;
    return n;
}

// True when "require DSR" holds our output now. A device without modem
// lines never holds. Caller holds fdLock_ shared.
bool PosixTty::dsrHolds() {
    if (!dsrOutFlow_)
        return false;
    int bits = 0;
    return modem_->get(fd_, bits) == 0 && !(bits & TIOCM_DSR);
}

// The most characters written ahead of the line while XON/XOFF paces it.
// Caller holds stateLock_.
uint32_t PosixTty::aheadLimitLocked() const {
    const auto perTime = uint32_t(std::chrono::nanoseconds(kAheadTime) / CharacterTime(settings_));
    return std::max(kAheadChars, perTime);
}

// Characters written that the line cannot have sent yet: by its rate, or
// what the kernel still queues when that is more (a line held by XOFF or
// CTS). Caller holds stateLock_.
uint32_t PosixTty::aheadLocked(std::chrono::steady_clock::time_point now, uint32_t outQueue) const {
    if (lineFreeAt_ <= now)
        return outQueue;
    const auto left = lineFreeAt_ - now;
    const auto chars = uint32_t((left + CharacterTime(settings_) - std::chrono::nanoseconds(1)) /
                                CharacterTime(settings_));
    return std::max(chars, outQueue);
}

long PosixTty::write(const uint8_t* buf, size_t count) {
    std::shared_lock<std::shared_mutex> lk(fdLock_);
    if (fd_ < 0 || closing_)
        return ecNotOpen;
    if (dsrHolds()) {
        refused_ = true;
        return 0;
    }
    std::unique_lock<std::mutex> st(stateLock_);
    const auto now = std::chrono::steady_clock::now();
    size_t allowed = count;
    if (settings_.xonXoffOut) {
        int outq = 0;
        if (::ioctl(fd_, TIOCOUTQ, &outq) != 0)
            outq = 0;
        const uint32_t ahead = aheadLocked(now, uint32_t(outq));
        const uint32_t limit = aheadLimitLocked();
        if (ahead >= limit)
            return 0; // the line's own pace, not a refusal: waitOutput() knows when
        allowed = std::min<size_t>(count, limit - ahead);
    }
    ssize_t n = ::write(fd_, buf, allowed);
    if (n < 0) {
        if (errno == EAGAIN || errno == EINTR) {
            refused_ = true;
            return 0;
        }
        return FailureOf(errno);
    }
    lineFreeAt_ = std::max(lineFreeAt_, now) + n * CharacterTime(settings_);
    accepted_ += uint64_t(n);
    refused_ = size_t(n) < allowed;
    return n;
}

namespace {

// One deadline for the whole wait: a poll interrupted by a signal goes on
// with what is left of the time-out, never with all of it again.
WaitResult PollTwo(int fd, short events, int wakeFd, int timeoutMs) {
    using namespace std::chrono;
    pollfd p[2] = {{wakeFd, POLLIN, 0}, {fd, events, 0}};
    nfds_t n = events ? 2 : 1;
    const auto deadline = steady_clock::now() + milliseconds(std::max(timeoutMs, 0));
    int wait = timeoutMs;
    for (;;) {
        int r = ::poll(p, n, wait);
        if (r < 0) {
            if (errno != EINTR)
                return WaitResult::Failed;
            if (timeoutMs >= 0)
                wait = int(std::max<int64_t>(
                    ceil<milliseconds>(deadline - steady_clock::now()).count(), 0));
            continue;
        }
        if (r == 0)
            return WaitResult::Timeout;
        if (p[0].revents) {
            DrainEventFd(wakeFd);
            return WaitResult::Woken;
        }
        if (p[1].revents & (POLLERR | POLLNVAL))
            return WaitResult::Failed;
        return WaitResult::Ready; // data, room, or a hang-up the next read reports
    }
}

} // namespace

WaitResult PosixTty::waitInput(bool wantData, int timeoutMs) {
    std::shared_lock<std::shared_mutex> lk(fdLock_);
    if (fd_ < 0 || closing_)
        return WaitResult::Failed;
    WaitResult r = PollTwo(fd_, wantData ? POLLIN : 0, wakeIn_, timeoutMs);
    return closing_ ? WaitResult::Failed : r;
}

WaitResult PosixTty::waitOutput(int timeoutMs) {
    std::shared_lock<std::shared_mutex> lk(fdLock_);
    if (fd_ < 0 || closing_)
        return WaitResult::Failed;
    // Paced by XON/XOFF: until the line has sent half of what is ahead of it
    // the tty's room means nothing; then room decides as usual.
    // A line held by XOFF keeps its kernel queue full: that is looked at
    // again every 20 ms at most (the kernel gives no notice when it moves).
    int paceMs = -1;
    {
        std::lock_guard<std::mutex> st(stateLock_);
        if (settings_.xonXoffOut) {
            using namespace std::chrono;
            int outq = 0;
            if (::ioctl(fd_, TIOCOUTQ, &outq) != 0)
                outq = 0;
            const auto now = steady_clock::now();
            const uint32_t half = aheadLimitLocked() / 2;
            if (aheadLocked(now, uint32_t(outq)) > half) {
                const auto at = lineFreeAt_ - half * CharacterTime(settings_);
                auto wait =
                    at > now ? at - now : (uint32_t(outq) - half) * CharacterTime(settings_);
                wait = std::min<steady_clock::duration>(wait, milliseconds(20));
                paceMs = int(std::max<int64_t>(1, ceil<milliseconds>(wait).count()));
            }
        }
    }
    if (paceMs >= 0) {
        const int wait = timeoutMs < 0 ? paceMs : std::min(paceMs, timeoutMs);
        WaitResult r = PollTwo(fd_, 0, wakeOut_, wait);
        if (r == WaitResult::Timeout && wait == paceMs)
            r = WaitResult::Ready; // the line has made room
        return closing_ ? WaitResult::Failed : r;
    }
    // Held by DSR, room in the tty means nothing: only a wake-up (a modem
    // line changed, a flush, the close) or the time-out ends the wait.
    WaitResult r = PollTwo(fd_, dsrHolds() ? 0 : POLLOUT, wakeOut_, timeoutMs);
    return closing_ ? WaitResult::Failed : r;
}

void PosixTty::wakeInput() {
    std::shared_lock<std::shared_mutex> lk(fdLock_);
    SignalEventFd(wakeIn_);
}

void PosixTty::wakeOutput() {
    std::shared_lock<std::shared_mutex> lk(fdLock_);
    SignalEventFd(wakeOut_);
}

uint8_t PosixTty::modemLines() {
    std::shared_lock<std::shared_mutex> lk(fdLock_);
    if (fd_ < 0)
        return 0;
    int bits = 0;
    if (modem_->get(fd_, bits) != 0) {
        std::lock_guard<std::mutex> st(stateLock_);
        linesKnown_ = false;
        return 0;
    }
    uint8_t lines = 0;
    if (bits & TIOCM_CTS)
        lines |= kLineCTS;
    if (bits & TIOCM_DSR)
        lines |= kLineDSR;
    if (bits & TIOCM_RNG)
        lines |= kLineRI;
    if (bits & TIOCM_CAR)
        lines |= kLineDCD;
    return lines;
}

bool PosixTty::hasModemLines() {
    modemLines();
    std::lock_guard<std::mutex> st(stateLock_);
    return linesKnown_;
}

// Sets and clears modem control bits; a device without them (a pty) accepts
// silently. Caller holds fdLock_ shared.
int PosixTty::modemBits(int set, int clear) {
    int e = set ? modem_->set(fd_, set) : 0;
    if (e != 0 && e != ENOTTY && e != EINVAL)
        return FailureOf(e);
    e = clear ? modem_->clear(fd_, clear) : 0;
    if (e != 0 && e != ENOTTY && e != EINVAL)
        return FailureOf(e);
    return 0;
}

namespace {

// A modem control call's result for the dispatcher: a refusal is a bad
// argument, the loss of the line says so.
int ModemResult(int r) {
    return r == 0 || r == ecLineLost ? r : ecBadArgument;
}

} // namespace

int PosixTty::setDtr(bool on) {
    std::shared_lock<std::shared_mutex> lk(fdLock_);
    if (fd_ < 0)
        return -kSysNoSuchDevice;
    {
        std::lock_guard<std::mutex> st(stateLock_);
        if (settings_.dtrControl == LineControl::Handshake)
            return ecBadArgument; // input flow drives DTR
    }
    return ModemResult(modemBits(on ? TIOCM_DTR : 0, on ? 0 : TIOCM_DTR));
}

int PosixTty::setRts(bool on) {
    std::shared_lock<std::shared_mutex> lk(fdLock_);
    if (fd_ < 0)
        return -kSysNoSuchDevice;
    {
        std::lock_guard<std::mutex> st(stateLock_);
        if (settings_.rtsControl == LineControl::Handshake || rs485_)
            return ecBadArgument; // input flow or the RS-485 driver drives RTS
    }
    return ModemResult(modemBits(on ? TIOCM_RTS : 0, on ? 0 : TIOCM_RTS));
}

int PosixTty::setBreak(bool on) {
    std::shared_lock<std::shared_mutex> lk(fdLock_);
    if (fd_ < 0)
        return -kSysNoSuchDevice;
    if (::ioctl(fd_, on ? TIOCSBRK : TIOCCBRK) != 0 && errno != ENOTTY && errno != EINVAL)
        return ModemResult(FailureOf(errno));
    return 0;
}

int PosixTty::setRs485(bool on) {
    std::shared_lock<std::shared_mutex> lk(fdLock_);
    if (fd_ < 0)
        return -kSysNoSuchDevice;
    std::lock_guard<std::mutex> st(stateLock_);
    if (!on) {
        restoreRs485(); // back to what the device had, never further
        return 0;
    }
    serial_rs485 conf{};
    if (::ioctl(fd_, TIOCGRS485, &conf) != 0)
        return IsLineLostErrno(errno) ? ecLineLost : ecNotSupported;
    if (!rs485Saved_) {
        originalRs485_ = conf;
        rs485Saved_ = true;
    }
    conf.flags |= SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
    conf.flags &= ~uint32_t(SER_RS485_RTS_AFTER_SEND);
    if (::ioctl(fd_, TIOCSRS485, &conf) != 0)
        return IsLineLostErrno(errno) ? ecLineLost : ecNotSupported;
    rs485_ = true;
    return 0;
}

// Puts back the RS-485 setting found before we switched it on. Caller holds
// fdLock_ (and stateLock_ unless closing).
void PosixTty::restoreRs485() {
    if (!rs485_)
        return;
    serial_rs485 conf = originalRs485_;
    ::ioctl(fd_, TIOCSRS485, &conf);
    rs485_ = false;
}

int PosixTty::purge(unsigned which) {
    std::shared_lock<std::shared_mutex> lk(fdLock_);
    if (fd_ < 0)
        return -kSysNoSuchDevice;
    int q = (which & PurgeRx) && (which & PurgeTx) ? TCIOFLUSH
            : (which & PurgeRx)                    ? TCIFLUSH
                                                   : TCOFLUSH;
    if (::tcflush(fd_, q) != 0)
        return FailureOf(errno);
    if (which & PurgeTx) {
        // What was queued is gone; the hold inference starts afresh.
        refused_ = false;
        std::lock_guard<std::mutex> st(stateLock_);
        lastProgress_ = std::chrono::steady_clock::now();
        lineFreeAt_ = std::min(lineFreeAt_, lastProgress_);
    }
    return 0;
}

// Our own input flow: XOFF when the bytes waiting in the kernel reach the
// XOFF point, XON when they are down to the XON limit. The kernel's read
// buffer holds at most 4095 bytes, so the XOFF point stays below that with
// room for what the peer sends after our XOFF. Caller holds both locks.
void PosixTty::updateInputFlow(uint32_t inQueue) {
    const bool dtrFlow = settings_.dtrControl == LineControl::Handshake;
    const bool rtsFlow = settings_.rtsControl == LineControl::Handshake && !settings_.ctsOutFlow &&
                         !rs485_; // under CRTSCTS the kernel drives RTS
    if (!settings_.xonXoffIn && !dtrFlow && !rtsFlow)
        return;
    uint32_t xoffAt = inQueueSize_ > settings_.xoffLimit ? inQueueSize_ - settings_.xoffLimit : 1;
    if (xoffAt > 3584)
        xoffAt = 3584;
    if (xoffAt == 0)
        xoffAt = 1;
    const bool full = inQueue >= xoffAt;
    const bool drained = inQueue <= settings_.xonLimit;
    if (settings_.xonXoffIn) {
        if (!xoffSent_ && full) {
            if (::tcflow(fd_, TCIOFF) == 0)
                xoffSent_ = true;
        } else if (xoffSent_ && drained) {
            if (::tcflow(fd_, TCION) == 0)
                xoffSent_ = false;
        }
    }
    // DTR and RTS driven by input flow: low while the input backs up.
    auto drive = [&](bool on, bool& dropped, int bit) {
        if (!on)
            return;
        if (!dropped && full && modemBits(0, bit) == 0)
            dropped = true;
        else if (dropped && drained && modemBits(bit, 0) == 0)
            dropped = false;
    };
    drive(dtrFlow, dtrDropped_, TIOCM_DTR);
    drive(rtsFlow, rtsDropped_, TIOCM_RTS);
}

// True when output waits and none of it has moved for long enough that only
// a stopped line explains it. Caller holds stateLock_.
bool PosixTty::outputStalled(uint32_t outQueue) {
    auto now = std::chrono::steady_clock::now();
    uint64_t accepted = accepted_;
    uint64_t left = accepted >= outQueue ? accepted - outQueue : 0;
    bool pending = outQueue > 0 || refused_;
    if (!pending || left != lastLeft_) {
        lastLeft_ = left;
        lastProgress_ = now;
        return false;
    }
    auto limit = std::max<std::chrono::steady_clock::duration>(std::chrono::milliseconds(100),
                                                               3 * CharacterTime(settings_));
    return now - lastProgress_ >= limit;
}

uint32_t PosixTty::outputQueued() {
    std::shared_lock<std::shared_mutex> lk(fdLock_);
    int outq = 0;
    if (fd_ < 0 || ::ioctl(fd_, TIOCOUTQ, &outq) != 0)
        return 0;
    return uint32_t(outq);
}

int PosixTty::drain(int graceMs) {
    using namespace std::chrono;
    auto deadline = steady_clock::now() + milliseconds(std::max(graceMs, 0));
    for (bool first = true;; first = false) {
        int outq = 0;
        bool transmitterEmpty = true;
        nanoseconds charTime;
        {
            std::shared_lock<std::shared_mutex> lk(fdLock_);
            if (fd_ < 0 || closing_)
                return ecNotOpen;
            if (::ioctl(fd_, TIOCOUTQ, &outq) != 0)
                outq = 0;
            // The last characters still in the UART after the kernel's queue
            // is empty; a device without the call (a pty) has none.
            unsigned int lsr = 0;
            if (::ioctl(fd_, TIOCSERGETLSR, &lsr) == 0)
                transmitterEmpty = lsr & TIOCSER_TEMT;
            std::lock_guard<std::mutex> st(stateLock_);
            charTime = CharacterTime(settings_);
        }
        if (outq == 0 && transmitterEmpty)
            return 0;
        if (first)
            deadline += (outq + 1) * charTime; // the line's time for the queue
        const auto now = steady_clock::now();
        if (now >= deadline)
            return ecTimeout;
        // About when the line should be done, looked at again at least every
        // 20 ms; the queue gives no notice of its own.
        auto step =
            std::clamp<nanoseconds>((outq + 1) * charTime, milliseconds(1), milliseconds(20));
        std::this_thread::sleep_for(std::min<nanoseconds>(step, deadline - now));
    }
}

// The line errors counted since the last look (TIOCGICOUNT deltas), as
// kErr... bits; none the first time the counters answer, and none from a
// device without them (a pty). Caller holds stateLock_.
uint8_t PosixTty::takeLineErrors(int fd) {
    serial_icounter_struct ic{};
    if (::ioctl(fd, TIOCGICOUNT, &ic) != 0) {
        countsKnown_ = false;
        return 0;
    }
    uint8_t errors = 0;
    if (countsKnown_) {
        const serial_icounter_struct& was = lastCounts_;
        if (ic.frame != was.frame)
            errors |= kErrFraming;
        if (ic.overrun != was.overrun)
            errors |= kErrOverrun;
        if (ic.parity != was.parity)
            errors |= kErrParity;
        if (ic.brk != was.brk)
            errors |= kErrBreak;
        if (ic.buf_overrun != was.buf_overrun)
            errors |= kErrRxOverflow;
    }
    countsKnown_ = true;
    lastCounts_ = ic;
    return errors;
}

DeviceStatus PosixTty::status() {
    DeviceStatus ds;
    std::shared_lock<std::shared_mutex> lk(fdLock_);
    if (fd_ < 0)
        return ds;
    int inq = 0, outq = 0;
    if (::ioctl(fd_, FIONREAD, &inq) != 0)
        inq = 0;
    if (::ioctl(fd_, TIOCOUTQ, &outq) != 0)
        outq = 0;
    ds.inQueue = uint32_t(inq);
    ds.outQueue = uint32_t(outq);
    int lines = 0;
    bool linesOk = modem_->get(fd_, lines) == 0;

    std::lock_guard<std::mutex> st(stateLock_);
    ds.errors = takeLineErrors(fd_);
    linesKnown_ = linesOk;
    bool ctsHeld = settings_.ctsOutFlow && linesOk && !(lines & TIOCM_CTS);
    bool dsrHeld = settings_.dsrOutFlow && linesOk && !(lines & TIOCM_DSR);
    if (ctsHeld)
        ds.holds |= kHoldCTS;
    if (dsrHeld)
        ds.holds |= kHoldDSR;
    if (outputStalled(ds.outQueue) && settings_.xonXoffOut && !ctsHeld && !dsrHeld)
        ds.holds |= kHoldXoff;
    updateInputFlow(ds.inQueue);
    if (xoffSent_)
        ds.holds |= kHoldXoffSent;
    return ds;
}

} // namespace vorl::platform
