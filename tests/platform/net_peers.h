// Test peers for the network devices, all on 127.0.0.1: a serial device
// server (ser2net) in front of a pty, a fault-injecting relay, and a bare
// listening socket. Every wait has a deadline; none sleeps.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vorl::test {

// A port on 127.0.0.1 that was free a moment ago.
uint16_t FreePort();

// ser2net serving `device` on a raw TCP port and on a telnet serial port
// control port of its own, both on 127.0.0.1.
class Ser2net {
public:
    Ser2net(const std::string& device, const std::string& dir);
    ~Ser2net();
    bool running() const { return pid_ > 0; }
    uint16_t rawPort() const { return raw_; }
    uint16_t telnetPort() const { return telnet_; }
    std::string rawUrl() const { return "tcp://127.0.0.1:" + std::to_string(raw_); }
    std::string telnetUrl() const { return "rfc2217://127.0.0.1:" + std::to_string(telnet_); }

private:
    int pid_ = -1;
    uint16_t raw_ = 0, telnet_ = 0;
};

// A second kind of server: the telnet serial port control server of Debian's
// python3-serial in front of a modelled UART (uart_server.py), which sends to
// `device` at the speed the client set and drops what it holds on a purge.
class UartServer {
public:
    UartServer(const std::string& device, const std::string& dir);
    ~UartServer();
    bool running() const { return pid_ > 0; }
    uint16_t port() const { return port_; }
    std::string url() const { return "rfc2217://127.0.0.1:" + std::to_string(port_); }
    // What the server wrote about itself (one line per purge).
    std::string log() const;

private:
    int pid_ = -1;
    uint16_t port_ = 0;
    std::string log_;
};

// A TCP relay on 127.0.0.1 between the device under test (the client) and a
// server, one connection at a time; a new client gets a new connection to the
// server. Faults are set before or during a connection.
class FaultRelay {
public:
    explicit FaultRelay(uint16_t serverPort);
    ~FaultRelay();
    uint16_t port() const { return port_; }
    std::string url(const std::string& scheme) const {
        return scheme + "://127.0.0.1:" + std::to_string(port_);
    }

    // Ends both sides once the client has sent `bytes` more bytes (once).
    void dropAfter(size_t bytes);
    // Ends both sides once the server has sent `bytes` more bytes (once).
    void dropAfterReplies(size_t bytes);
    // Holds every reply of the server this long before passing it on.
    void delayReplies(std::chrono::milliseconds delay);
    // Answers the client's request for serial port control with DONT and
    // hides the server's own offer of it.
    void refuseComPort();
    // Changes the speed in the server's answers to SET-BAUDRATE.
    void answerBaud(uint32_t baud);
    // Drops the server's answers to the serial port control command `code`
    // (a server that does not answer it).
    void dropAnswers(uint8_t code);
    // Bytes to the client as if from the server.
    void inject(const std::string& bytes);

    size_t fromClient() const { return fromClient_; }
    // How often the client sent IAC SB COM-PORT-OPTION SET-CONTROL `value`.
    int controls(uint8_t value) const;
    int connections() const { return connections_; }

private:
    void run();
    void pass(std::string& buf, bool toClient);

    int listen_ = -1;
    int wake_ = -1;
    uint16_t port_ = 0;
    uint16_t server_ = 0;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    mutable std::mutex m_;
    size_t dropAfter_ = SIZE_MAX;
    size_t dropAfterReplies_ = SIZE_MAX;
    size_t fromServer_ = 0;
    std::chrono::milliseconds delay_{0};
    bool refuse_ = false;
    uint32_t baud_ = 0;
    int dropCode_ = -1;
    std::string inject_;
    std::string commands_; // every SET-CONTROL value the client sent
    std::string tail_;     // the client's last bytes, for a command split in two
    std::atomic<size_t> fromClient_{0};
    std::atomic<int> connections_{0};
};

// A listening socket that accepts one client and lets the test read and write.
class BareServer {
public:
    // backlog 0 and one queued connection: later connects get no answer.
    explicit BareServer(bool silent = false);
    ~BareServer();
    uint16_t port() const { return port_; }
    bool accept(std::chrono::milliseconds deadline = std::chrono::milliseconds(5000));
    void send(const std::string& bytes);
    // Reads until `n` bytes have come or the deadline passed.
    std::string read(size_t n,
                     std::chrono::milliseconds deadline = std::chrono::milliseconds(5000));
    void closeClient();

private:
    int listen_ = -1;
    int client_ = -1;
    int filler_ = -1;
    uint16_t port_ = 0;
};

} // namespace vorl::test
