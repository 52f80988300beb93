// Test support for transfers over real pseudo-terminals: a relay that joins
// two pty pairs and can damage what passes, a peer program (lrzsz's sx or rx)
// run on one end, and a port and protocol component on the other.
#pragma once

#include "protocols/protocol.h"
#include "serial/com_port.h"
#include "serial/delivery.h"

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vorl::test {

// A line from a pty to a peer program, with a relay thread in the middle:
// the program under test opens the pty's slave (pathA); the peer reads and
// writes the relay's pipes (peerStdin, peerStdout) as its standard input and
// output. Each byte passing may be damaged (a random bit pattern XORed in) or
// dropped at the given rates, from a seeded random sequence.
//
// The peer is on pipes, not on a second pty, because lrzsz empties its tty's
// queues right after its last acknowledgement as it exits; on a pty that
// acknowledgement is lost unless the other end reads it within microseconds.
// The relay holds every end open, so programs may come and go.
struct RelayFaults {
    double corrupt = 0; // chance per byte
    double drop = 0;    // chance per byte
    uint32_t seed = 1;
    // Paces both directions as a serial line at this many bits per second
    // (ten bits a character); 0 passes bytes as fast as the pty takes them.
    uint32_t lineRate = 0;
};

class PtyRelay {
public:
    using Faults = RelayFaults;
    explicit PtyRelay(Faults faults = Faults());
    ~PtyRelay();
    PtyRelay(const PtyRelay&) = delete;
    PtyRelay& operator=(const PtyRelay&) = delete;

    const std::string& pathA() const { return pathA_; } // the program's port
    int peerStdin() const { return toPeer_[0]; }
    int peerStdout() const { return fromPeer_[1]; }
    uint64_t damaged() const { return damaged_; }
    uint64_t relayed() const { return relayed_; }
    // When the last byte towards the peer passed (steady clock).
    std::chrono::steady_clock::time_point lastToPeer() const {
        return std::chrono::steady_clock::time_point(
            std::chrono::steady_clock::duration(lastToPeer_.load()));
    }

private:
    void run();

    Faults faults_;
    int masterA_ = -1, slaveA_ = -1;
    int toPeer_[2] = {-1, -1};
    int fromPeer_[2] = {-1, -1};
    int wake_[2] = {-1, -1};
    std::string pathA_;
    std::atomic<uint64_t> damaged_{0};
    std::atomic<uint64_t> relayed_{0};
    std::atomic<std::chrono::steady_clock::rep> lastToPeer_{0};
    std::thread thread_;
};

// A program run with the given standard input and output.
class PeerProcess {
public:
    // `stderrFd` -1: the program's messages go to VORL_PEER_LOG or nowhere.
    PeerProcess(const std::vector<std::string>& argv, int stdinFd, int stdoutFd,
                const std::string& cwd, int stderrFd = -1);
    PeerProcess(const std::vector<std::string>& argv, const PtyRelay& relay, const std::string& cwd)
        : PeerProcess(argv, relay.peerStdin(), relay.peerStdout(), cwd) {}
    ~PeerProcess(); // kills the program if it still runs
    PeerProcess(const PeerProcess&) = delete;
    PeerProcess& operator=(const PeerProcess&) = delete;

    // Waits at most `timeout` for the program to end; true when it has.
    bool wait(std::chrono::milliseconds timeout);
    int exitCode() const { return exitCode_; }

private:
    pid_t pid_ = -1;
    int exitCode_ = -1;
};

// A port component on a device path (as COM n) and a protocol component on
// it; events go to the test's thread through a loop delivery.
struct PortSide {
    PortSide(const std::string& path, int comNumber, TProtocolType type);
    ~PortSide();

    // Pumps events until the transfer finished or `timeout` passed.
    bool waitFinish(std::chrono::milliseconds timeout);
    int32_t code() const { return finishes.empty() ? 1 : finishes.front(); }

    std::shared_ptr<LoopDelivery> delivery;
    TComPort port;
    TProtocol proto;
    std::vector<int32_t> finishes;
    std::vector<int32_t> errors;
};

// The length lrzsz's "sx -k" gives a file: 1024-byte blocks while more than
// 896 bytes are left, 128-byte blocks for the rest.
size_t SxOneKLength(size_t size);

} // namespace vorl::test
