// A serial line on a serial device server, reached over TCP. `TcpDevice` is a
// raw TCP port ("tcp://host:port": the socket carries the line's bytes, the
// server's own configuration sets speed and framing); it is also the base of
// the telnet serial port control client (rfc2217_device.h).
//
// How it works
// - Address: "tcp://host:port" or "rfc2217://host:port", host a name, an IPv4
//   address or an IPv6 address in brackets, optionally followed by
//   "?timeout=<seconds>" (default 5), the deadline for connecting.
// - open() resolves, connects and (for the telnet kind) negotiates on a
//   thread of its own, all under that one deadline; the opening thread waits
//   through WaitForCompletion() (open_wait.h), which the desktop front end
//   makes keep its window running, and which its Reset cancels at once.
//   Line settings told before the open (presetLineSettings) are set there
//   too, the server's answers awaited on that thread: the window never
//   waits for them. A name that does not resolve, a refused
//   connection and a host that does not answer end the open with a negated
//   system error number and a text (`errorText()`) naming the address.
// - Input: whichever thread comes first (read, write, status, a wait) reads
//   what the socket holds into a small input ring, under one lock, and takes
//   the XON/XOFF characters out when output flow by XON/XOFF is on. There is
//   no line discipline on a socket to stop our output when the machine tool
//   sends XOFF: we do it here, so the XOFF holds our output from the moment
//   any thread has seen it, and write() looks for one before it sends.
// - Where the server does XON/XOFF (rfc2217_device.h), what is written is
//   kept a few characters ahead of the server's line, at the line's rate:
//   what the server holds when the machine tool's XOFF comes is what the
//   control gets after its XOFF once it sends XON again, all at once on a
//   server whose port forwards faster than the line (a pty).
// - Draining (before a close that keeps the output): the socket and our
//   staging empty, so the server has every byte, and then the time the
//   server's line needs to send them at the line's rate, counted from when
//   each was handed over; the server's own buffers give no sign of it.
// - Output: write() hands the socket at most kChunk bytes at a time and
//   takes only what the socket took (but for the tail of a byte's telnet form,
//   which goes with the next chance). The socket's send buffer is kept small
//   and what it still holds (SIOCOUTQ: not yet sent or not yet acknowledged)
//   counts as output queued, so "output empty" means the server has it all.
// - Input flow by XON/XOFF is ours, as on a tty: XOFF goes into the data
//   when the bytes waiting (ring and socket) reach the XOFF point, XON when
//   they are down to the XON limit; closing sends an XON still owed.
// - A connection that ends or breaks is a lost line: every call fails with
//   ecLineLost and waits return at once, as on a hung-up tty; the next open
//   connects again. Keep-alive probes and a user time-out find a peer that
//   vanished without a word within about 20 s, even on an idle line.
// - A raw TCP port has no modem lines and no line errors; DTR, RTS and break
//   are accepted and do nothing, as on a pty.
#pragma once

#include "platform/device.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace vorl::platform {

enum class NetworkKind { Tcp, Rfc2217 };

struct NameLookup; // a name look-up on a thread of its own

// The kind of a network address by its scheme, or none for a local path.
std::optional<NetworkKind> NetworkKindOf(const std::string& path);

struct NetworkAddress {
    NetworkKind kind = NetworkKind::Tcp;
    std::string host; // without brackets
    uint16_t port = 0;
    int timeoutMs = 5000;
    std::string hostPort() const; // "host:port", "[v6]:port"
};

constexpr int kDefaultConnectTimeoutMs = 5000;

// Parses a network address; on failure returns none and says why in `error`.
std::optional<NetworkAddress> ParseNetworkAddress(const std::string& path, std::string* error);

class TcpDevice : public Device {
public:
    TcpDevice();
    ~TcpDevice() override;

    int open(const std::string& path) override;
    void close() override;
    bool isOpen() const override;
    int setQueueSizes(uint32_t inQueue, uint32_t outQueue) override;
    int getLineSettings(LineSettings& out) override;
    int setLineSettings(const LineSettings& in) override;
    // The settings the line will be given once open, told before open():
    // they are set while connecting, off the opening thread, so the
    // caller's later setLineSettings() finds them done.
    void presetLineSettings(const LineSettings& expected);
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
    // A network serial server has no RS-485 direction control to offer.
    int setRs485(bool on) override;
    int purge(unsigned which) override;
    DeviceStatus status() override;
    uint32_t outputQueued() override;
    int drain(int graceMs) override;
    std::string errorText() const override;

    // Most data bytes one write() hands the socket: the most that can still
    // go out after an XOFF that arrived while it ran.
    static constexpr size_t kChunk = 512;
    // Written ahead of the line while the server does XON/XOFF: at most this
    // many characters, or what the line carries in kAheadTime.
    static constexpr uint32_t kAheadChars = 8;
    static constexpr std::chrono::milliseconds kAheadTime{10};
    static constexpr size_t kRingSize = 4096;

protected:
    using Clock = std::chrono::steady_clock;

    // Runs on the connect thread once connected, the device not yet open to
    // anyone else; may wait (waitForLocked) until `deadline`. 0 or a negated
    // system error number, with the text set by setErrorLocked.
    virtual int negotiateLocked(std::unique_lock<std::mutex>& lk, Clock::time_point deadline);
    // Bytes as they came from the socket; data goes on through deliverLocked.
    virtual void decodeLocked(const uint8_t* in, size_t n);
    // The wire form of data bytes, appended to `out`, and its length for one.
    virtual void encodeLocked(const uint8_t* in, size_t n, std::string& out);
    virtual size_t wireLengthLocked(uint8_t byte) const;
    // Line settings for a connected device (raw: kept, the server decides).
    virtual int applyLineSettingsLocked(std::unique_lock<std::mutex>& lk, const LineSettings& in);
    // Modem lines, DTR/RTS and break, purge of the server's buffers: nothing on
    // a raw port.
    enum class LineControlKind { Dtr, Rts, Break };
    virtual int lineControlLocked(LineControlKind which, bool on);
    virtual void purgeServerLocked(unsigned which);
    // The server asks us to hold our data (telnet flow control).
    virtual bool serverHoldsLocked() const { return false; }
    // The server's port does XON/XOFF output flow itself: the machine tool's
    // XOFF stops its UART at once, and the characters are not ours to take.
    virtual bool serverDoesXonXoffLocked() const { return false; }
    // After applyLineSettingsLocked has set the line: the output flow the
    // server does itself (nothing on a raw port). 0 or a failure.
    virtual int afterLineSettingsLocked(std::unique_lock<std::mutex>&, const LineSettings&) {
        return 0;
    }

    // Received data byte(s), after the transport's own framing.
    void deliverLocked(const uint8_t* data, size_t n);
    // Bytes for the wire as they are (commands, replies): queued behind what
    // waits and sent as far as the socket takes them.
    void sendWireLocked(const std::string& wire);
    // Reads what waits in the socket (as much as the ring has room for) and
    // decodes it. `reader` is true on the thread that takes the data.
    void pumpLocked(bool reader);
    // Waits, pumping the socket, until `done()` holds, the connection ends or
    // `deadline` passes; true when done. Releases the lock while it sleeps.
    template <class Pred>
    bool waitForLocked(std::unique_lock<std::mutex>& lk, Clock::time_point deadline, Pred done);
    // Something arrived that a waiter in waitForLocked may be waiting for.
    void signalAnswerLocked();
    // A line event (modem lines, line errors) for the input wait to report.
    void lineEventLocked();
    void wakeOutputLocked();
    void loseLocked(int err);
    void setErrorLocked(const std::string& text);

    const NetworkAddress& address() const { return addr_; }
    const LineSettings& settingsLocked() const { return settings_; }
    int lostLocked() const { return lost_; }

    mutable std::mutex io_; // everything below but the descriptors
    uint8_t lines_ = 0;
    bool linesKnown_ = false;
    uint8_t errors_ = 0;

private:
    static void waitSocketOrAnswer(int sock, int answerFd, Clock::time_point deadline);
    // One sleep of a wait, until `wakeFd` is signalled, the socket has
    // `events` or the deadline passes: how the wait ends, or none when the
    // socket is ready (or a signal came) and the caller looks again.
    std::optional<WaitResult> sleepOnSocket(int wakeFd, short events, Clock::time_point deadline);
    void connectThread(Clock::time_point deadline);
    int connectSocket(Clock::time_point deadline);
    // DTR, RTS or break on an open device whose connection stands.
    int lineControl(LineControlKind which, bool on);
    // Puts what the socket takes at once of `bytes` (never waits) and
    // returns how many it took; a failed send loses the connection.
    size_t sendNowLocked(const std::string& bytes);
    // After a send or receive that moved nothing: true to try again (a
    // signal came), false to stop (the socket is full or empty, or the
    // connection is lost, which it records).
    bool retryAfterLocked(ssize_t n);
    void flushStagingLocked();
    bool outputHeldLocked() const;
    // XON/XOFF output flow is on and done here, not by the server.
    bool ourXonXoffLocked() const { return settings_.xonXoffOut && !serverDoesXonXoffLocked(); }
    uint32_t outputQueuedLocked() const;
    bool serverStalledLocked();
    uint32_t aheadLocked(Clock::time_point now) const;
    uint32_t aheadLimitLocked() const;
    void updateInputFlowLocked();
    size_t ringUsed() const { return size_t(rxHead_ - rxTail_); }

    mutable std::shared_mutex fdLock_; // exclusive only for close
    int sock_ = -1;
    int wakeIn_ = -1; // eventfds
    int wakeOut_ = -1;
    int answer_ = -1;
    std::atomic<bool> open_{false};
    std::atomic<bool> closing_{false};
    NetworkAddress addr_;
    std::thread connector_;
    int connectResult_ = 0;
    std::optional<LineSettings> preset_;
    // The connect was cancelled: its waits end and it fails.
    std::atomic<bool> cancelled_{false};
    std::mutex lookupLock_;
    std::shared_ptr<NameLookup> lookup_; // the name look-up under way

    std::string error_;
    LineSettings settings_{};
    uint32_t inQueueSize_ = 4096;
    std::vector<uint8_t> ring_;
    uint64_t rxHead_ = 0, rxTail_ = 0;
    std::string staging_; // wire bytes the socket has not taken yet
    int lost_ = 0;        // errno of a connection that ended
    bool xoffHeld_ = false;
    bool xoffSent_ = false;
    bool lineEvent_ = false;
    // When the server's line will have sent what we wrote, at the line's
    // rate: the server rarely tells when its output is empty.
    Clock::time_point lineFreeAt_{};
    // Output progress, for seeing a hold at a server that does XON/XOFF.
    uint64_t wireSent_ = 0;    // bytes the socket took
    uint64_t lastArrived_ = 0; // of them, acknowledged by the server
    Clock::time_point lastProgress_{};
};

template <class Pred>
bool TcpDevice::waitForLocked(std::unique_lock<std::mutex>& lk, Clock::time_point deadline,
                              Pred done) {
    for (;;) {
        pumpLocked(false);
        if (done())
            return true;
        if (lost_ != 0 || cancelled_ || Clock::now() >= deadline)
            return false;
        // With the ring full the socket is left to the reader, who makes room.
        const int sock = ringUsed() < kRingSize ? sock_ : -1;
        const int answer = answer_;
        lk.unlock();
        waitSocketOrAnswer(sock, answer, deadline);
        lk.lock();
    }
}

} // namespace vorl::platform
