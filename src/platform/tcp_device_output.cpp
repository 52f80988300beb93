// The network ports' output at the pace of the server's line: how much of it
// the line cannot have sent yet (pacing where the server does XON/XOFF, and
// the hold a backed-up socket shows), and draining before a close.
#include "platform/tcp_device.h"

#include "platform/error_codes.h"

#include <algorithm>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <thread>

namespace vorl::platform {

// Characters written that the server's line cannot have sent yet, at its
// rate.
uint32_t TcpDevice::aheadLocked(Clock::time_point now) const {
    if (lineFreeAt_ <= now)
        return 0;
    const auto ct = CharacterTime(settings_);
    return uint32_t((lineFreeAt_ - now + ct - std::chrono::nanoseconds(1)) / ct);
}

// What may be written ahead of the line while the server does XON/XOFF: a few
// characters, or what the line carries in kAheadTime where that is more
// (the network's own delays then leave the line idle only rarely).
uint32_t TcpDevice::aheadLimitLocked() const {
    const auto perTime = uint32_t(std::chrono::nanoseconds(kAheadTime) / CharacterTime(settings_));
    return std::max(kAheadChars, perTime);
}

// With XON/XOFF at the server, its hold shows only as our output backing
// up: bytes wait in the socket and none of them has reached the server for
// a while (the server reads no more once its own buffer is full).
bool TcpDevice::serverStalledLocked() {
    const auto now = Clock::now();
    int queued = 0;
    if (!serverDoesXonXoffLocked() || sock_ < 0 || ::ioctl(sock_, SIOCOUTQ, &queued) != 0 ||
        queued <= 0) {
        lastArrived_ = wireSent_;
        lastProgress_ = now;
        return false;
    }
    const uint64_t arrived = wireSent_ - uint64_t(queued);
    if (arrived != lastArrived_) {
        lastArrived_ = arrived;
        lastProgress_ = now;
        return false;
    }
    return now - lastProgress_ >= std::chrono::milliseconds(200);
}

int TcpDevice::drain(int graceMs) {
    std::shared_lock<std::shared_mutex> lk(fdLock_);
    if (!open_ || closing_)
        return ecNotOpen;
    std::unique_lock<std::mutex> io(io_);
    const auto charTime = CharacterTime(settings_);
    const auto start = Clock::now();
    auto deadline = std::max(lineFreeAt_, start) + std::chrono::milliseconds(std::max(graceMs, 0)) +
                    long(outputQueuedLocked()) * charTime;
    // The server has it all once the socket's queue is empty; the queue gives
    // no notice of that, so it is looked at every few milliseconds.
    for (;;) {
        pumpLocked(false);
        flushStagingLocked();
        if (lost_ != 0)
            return ecLineLost;
        if (outputQueuedLocked() == 0)
            break;
        const auto now = Clock::now();
        if (now >= deadline)
            return ecTimeout;
        io.unlock();
        lk.unlock();
        std::this_thread::sleep_for(
            std::min<Clock::duration>(std::chrono::milliseconds(5), deadline - now));
        lk.lock();
        if (!open_ || closing_)
            return ecNotOpen;
        io.lock();
    }
    // Then the time its line needs for the last of it (a close meanwhile
    // does not wait for this sleep).
    const auto lineDone = lineFreeAt_;
    io.unlock();
    lk.unlock();
    const auto now = Clock::now();
    if (lineDone > now)
        std::this_thread::sleep_for(std::min<Clock::duration>(lineDone - now, deadline - now));
    return lineDone <= deadline ? 0 : ecTimeout;
}

} // namespace vorl::platform
