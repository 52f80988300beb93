// Helpers of the serial tests: a pty pair whose master side plays the machine
// tool, waits with deadlines, and a recorder of notices.
#pragma once

#include "serial/delivery.h"
#include "serial/dispatcher.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vorl::test {

// Polls `cond` until it holds or `timeout` has passed; returns cond().
bool WaitUntil(const std::function<bool()>& cond,
               std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

// A pty pair. The slave's path is what the dispatcher opens; the test writes
// and reads the master as the controller would.
class PtyPeer {
public:
    PtyPeer();
    ~PtyPeer();
    const std::string& path() const { return path_; }
    int master() const { return master_; }
    int slave() const { return slave_; }
    void send(const std::string& bytes);
    // Reads until `count` bytes came or `timeout` passed.
    std::string receive(size_t count,
                        std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
    // One read of what waits now (nothing when nothing does).
    std::string readNow();
    // What arrives within `window` (for checks that nothing arrives).
    std::string receiveFor(std::chrono::milliseconds window);
    // Bytes waiting in the kernel on the slave side, not yet read.
    int slaveInQueue() const;
    // Closes the master: the slave is hung up, as by an unplugged adapter.
    void hangUp();

private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

struct Notice {
    uint32_t msg, first, second;
};

// Collects notices from any thread.
class NoticeLog {
public:
    void add(uint32_t msg, uint32_t first, uint32_t second);
    std::vector<Notice> all();
    size_t count(uint32_t msg);
    bool waitFor(const std::function<bool(const std::vector<Notice>&)>& cond,
                 std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

private:
    std::mutex m_;
    std::vector<Notice> notices_;
};

} // namespace vorl::test
