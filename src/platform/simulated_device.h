// An in-memory serial line for the paths a pty cannot show: modem lines, line
// errors, break, CTS/DSR flow. The test plays the peer through a
// `SimulatedLine`; the serial layer sees a `SimulatedDevice` on it.
//
// How it works
// - `SimulatedLine` holds both directions: bytes the peer sends (`peerSend`)
//   wait in an input queue until the device reads them; bytes the device writes
//   collect in an output queue the peer takes with `peerTake`.
// - Output flow as a UART would do it: with CTS (DSR) output flow set and CTS
//   (DSR) low, or with XON/XOFF output on and an XOFF received, `write()` takes
//   nothing and the hold bit is set. The peer's XON/XOFF characters are taken
//   out of the input stream as a driver would.
// - `setOutputRoom` limits what the device accepts, like a full kernel queue.
// - Lines, errors and break changes wake the device's input wait.
// - A line is found by name: `SimulatedLine::Register("x")` makes "sim:x" open it
//   through `MakeDevice()` (and so through COM n when VORL_COM<n>=sim:x).
#pragma once

#include "platform/device.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace vorl::platform {

class SimulatedLine : public std::enable_shared_from_this<SimulatedLine> {
public:
    // Registers (or replaces) a line under `name`; "sim:<name>" then opens it.
    static std::shared_ptr<SimulatedLine> Register(const std::string& name);
    static std::shared_ptr<SimulatedLine> Find(const std::string& name);
    static void Unregister(const std::string& name);

    // Peer side.
    void peerSend(const std::string& bytes);
    void peerSend(const uint8_t* data, size_t count);
    std::string peerTake();             // everything written so far
    size_t outputWaiting();             // bytes written, not yet taken
    void setLines(uint8_t kLineBits);   // CTS/DSR/RI/DCD as the peer drives them
    void raiseErrors(uint8_t kErrBits); // line errors (and break) seen by the UART
    void setOutputRoom(size_t room);    // bytes the device may still take; SIZE_MAX: any
    void setInUse(bool held);           // opening fails with -kSysInUse
    void setMissing(bool missing);      // opening fails with -kSysNoSuchDevice

    // What the device does to the line.
    bool dtr();
    bool rts();
    bool breakOn();
    bool rs485();
    LineSettings settings();
    bool isOpen();

private:
    friend class SimulatedDevice;
    // A member read or set under the line's lock.
    template <class T> T load(const T& member) {
        std::lock_guard<std::mutex> lk(m_);
        return member;
    }
    template <class T> void store(T& member, const T& value) {
        std::lock_guard<std::mutex> lk(m_);
        member = value;
    }

    std::mutex m_;
    std::condition_variable cv_;
    std::deque<uint8_t> in_;
    std::string out_;
    uint8_t lines_ = 0;
    uint8_t errors_ = 0;
    size_t room_ = SIZE_MAX;
    bool inUse_ = false;
    bool missing_ = false;
    bool open_ = false;
    bool dtr_ = false, rts_ = false, break_ = false, rs485_ = false;
    bool xoffHeld_ = false;
    LineSettings settings_{};
    uint64_t eventSeq_ = 0; // bumped by every line change and by peerSend
    // Wake-ups wait for the next wait when nobody waits yet, as an eventfd does.
    bool inWake_ = false, outWake_ = false;
};

class SimulatedDevice final : public Device {
public:
    explicit SimulatedDevice(std::shared_ptr<SimulatedLine> line = nullptr);
    ~SimulatedDevice() override;

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
    bool hasModemLines() override { return true; }
    int setDtr(bool on) override;
    int setRts(bool on) override;
    int setBreak(bool on) override;
    int setRs485(bool on) override;
    int purge(unsigned which) override;
    DeviceStatus status() override;
    uint32_t outputQueued() override { return 0; }

private:
    uint8_t holdsLocked() const;
    // Sets one of the line's outputs on an open device, unless `refuses`
    // says the settings drive it (ecBadArgument).
    int setOutput(bool SimulatedLine::*output, bool on, bool (*refuses)(const SimulatedLine&));
    std::shared_ptr<SimulatedLine> line_;
    bool open_ = false;
    uint64_t seenEvent_ = 0;
};

} // namespace vorl::platform
