// A serial line on a POSIX tty (a real port, a USB adapter or a pty).
//
// How it works
// - Opened O_RDWR|O_NOCTTY|O_NONBLOCK, then claimed with TIOCEXCL and an
//   advisory flock(), so a second program (ours or another) gets "in use". The
//   termios found at open is restored at close.
// - Waits use poll() on the tty and an eventfd per direction for wake-ups.
// - Modem lines come from TIOCMGET, line errors from the deltas of TIOCGICOUNT
//   (frame, overrun, parity, break, buffer overrun). A pty answers neither
//   ioctl: that reads as "no modem lines, no errors".
// - Output flow by XON/XOFF is the kernel's IXON: the tty stops at once when the
//   peer's XOFF arrives, within the UART's own FIFO, which user space cannot
//   match (whatever it has handed to the kernel goes out regardless). The kernel
//   does not say that it stopped, so the hold is inferred: output waiting
//   (queued in the kernel, or refused by it) and none of it moving for
//   max(100 ms, 3 character times) while IXON is on and CTS is not the reason.
//   Measured against a pty peer that throttles a running stream (serial
//   tests): nothing left after its XOFF once the XOFF had reached the tty;
//   only what a pty had already carried across can still arrive.
// - What is written ahead of the line is kept short while XON/XOFF holds our
//   output. The kernel stops the tty at once on the peer's XOFF, but what it
//   has already handed on still goes: a pty carries every byte across the
//   moment it is written (the peer has it all, however fast the line), and a
//   UART sends out what its FIFO holds. So write() takes no more than the
//   line can have sent plus a few characters: the bytes not yet sent by the
//   line's own rate (or queued in the kernel, whichever is more) stay below
//   kAheadChars, or below what the line carries in kAheadTime at speeds
//   where that is more, and the writer goes on when half of that has gone
//   (so it wakes some 700 times a second at most, a few microseconds each).
//   Up to 19,200 bit/s at most about ten characters can then follow an XOFF:
//   what is ahead, and what the writer hands on in the moment the kernel
//   takes to act on the XOFF (bench_xoff_overrun measures it against a
//   control that throttles). The kernel's queue is never filled to a length
//   that outruns the control. Without XON/XOFF nothing is paced: RTS/CTS stops the UART
//   itself, and an unpaced line is what the speed benchmarks compare with.
// - drain() waits for the kernel's output queue and the transmitter to be
//   empty (TIOCOUTQ, TIOCSERGETLSR; a pty has neither and is empty as soon
//   as written).
// - Input flow by XON/XOFF is ours: the kernel's IXOFF has fixed thresholds and
//   would send XON behind our back. We send XOFF (tcflow TCIOFF) when the bytes
//   waiting in the kernel reach the XOFF point and XON (TCION) when they fall to
//   the XON limit; so "XOFF sent" is known exactly. Closing sends the XON an
//   XOFF of ours still owes the peer.
// - "Require CTS" is the kernel's CRTSCTS: the tty stops at once when CTS
//   drops (and the kernel then also drives RTS). The other hardware flow
//   options have no termios equivalent and are ours: DTR or RTS driven by
//   input flow drop when the bytes waiting in the kernel reach the XOFF
//   point and rise again at the XON limit, as our XOFF/XON do; "require DSR"
//   refuses writes while DSR is low, and the output wait then sleeps until
//   woken (the dispatcher's com thread wakes it when a modem line changes).
//   RTS flow without "require CTS" never holds our output on CTS.
// - RS-485: the kernel's TIOCSRS485 raises RTS while sending; a device
//   whose driver does not offer it refuses the mode with ecNotSupported. The
//   RS-485 setting found at open is restored at close.
// - Modem lines go through a `ModemControl` (the ioctls by default), so a
//   test can give a pty the lines it lacks.
// - Rates without a speed constant that the program names (14400 and the
//   legacy 56000, 128000, 256000) go through termios2 (tty_rate.h); others
//   are refused with ecBaudRate.
// - A pty ignores the rate and always carries 8 data bits without parity; it
//   keeps no output queue of its own, so a held pty shows as refused writes.
#pragma once

#include "platform/device.h"

#include <atomic>
#include <chrono>
#include <linux/serial.h>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <termios.h>

namespace vorl::platform {

// Access to a tty's modem lines, with the kernel's TIOCM_ bits. Each call
// returns 0 or an errno.
class ModemControl {
public:
    virtual ~ModemControl() = default;
    virtual int get(int fd, int& bits);  // TIOCMGET
    virtual int set(int fd, int bits);   // TIOCMBIS
    virtual int clear(int fd, int bits); // TIOCMBIC
};

class PosixTty final : public Device {
public:
    // `modem`: how the lines are read and set (default: the ioctls).
    explicit PosixTty(std::shared_ptr<ModemControl> modem = nullptr);
    ~PosixTty() override;

    int open(const std::string& path) override;
    void close() override;
    bool isOpen() const override;
    int setQueueSizes(uint32_t inQueue, uint32_t outQueue) override;
    int getLineSettings(LineSettings& out) override;
    int setLineSettings(const LineSettings& in) override;
    long read(uint8_t* buf, size_t count) override;
    long write(const uint8_t* buf, size_t count) override;
    WaitResult waitInput(bool wantData, int timeoutMs) override;
    WaitResult waitOutput(int timeoutMs) override;
    void wakeInput() override;
    void wakeOutput() override;
    uint8_t modemLines() override;
    bool hasModemLines() override;
    int setDtr(bool on) override;
    int setRts(bool on) override;
    int setBreak(bool on) override;
    int setRs485(bool on) override;
    int purge(unsigned which) override;
    DeviceStatus status() override;
    uint32_t outputQueued() override;
    int drain(int graceMs) override;

    // The descriptor (tests only; -1 when closed).
    int fd() const { return fd_; }

    // Written ahead of the line while XON/XOFF paces the output: at most
    // this many characters, or what the line carries in kAheadTime.
    static constexpr uint32_t kAheadChars = 6;
    static constexpr std::chrono::milliseconds kAheadTime{3};

private:
    int modemBits(int set, int clear);
    bool dsrHolds();
    uint8_t takeLineErrors(int fd);
    void updateInputFlow(uint32_t inQueue);
    bool outputStalled(uint32_t outQueue);
    uint32_t aheadLimitLocked() const;
    uint32_t aheadLocked(std::chrono::steady_clock::time_point now, uint32_t outQueue) const;
    void restoreRs485();

    std::shared_ptr<ModemControl> modem_;

    mutable std::shared_mutex fdLock_; // exclusive only for open and close
    int fd_ = -1;
    int wakeIn_ = -1; // eventfds
    int wakeOut_ = -1;
    std::atomic<bool> closing_{false};
    bool locked_ = false;
    termios original_{};

    std::mutex stateLock_; // everything below
    LineSettings settings_{};
    uint32_t inQueueSize_ = 4096;
    bool linesKnown_ = true;  // cleared when TIOCMGET fails
    bool countsKnown_ = true; // cleared when TIOCGICOUNT fails
    serial_icounter_struct lastCounts_{};
    bool xoffSent_ = false;
    bool dtrDropped_ = false; // input flow has DTR (RTS) low
    bool rtsDropped_ = false;
    std::atomic<bool> dsrOutFlow_{false}; // settings_.dsrOutFlow, for write()
    std::atomic<bool> rs485_{false};      // we switched RS-485 on
    bool rs485Saved_ = false;             // original RS-485 setting kept below
    serial_rs485 originalRs485_{};
    // Output progress, for inferring an XOFF hold.
    std::atomic<uint64_t> accepted_{0}; // bytes the kernel took
    std::atomic<bool> refused_{false};  // the last write found no room
    uint64_t lastLeft_ = 0;             // bytes that had left the kernel queue
    std::chrono::steady_clock::time_point lastProgress_{};
    // When the line will have sent what we wrote, by its rate (pacing).
    std::chrono::steady_clock::time_point lineFreeAt_{};
};

} // namespace vorl::platform
