// Test support: a line the test scripts (it plays the peer and the clock), so
// the protocol state machines run deterministically on the test's thread.
//
// ScriptedLine keeps what the engine sends (first in the output buffer, then
// "on the line" once drained), what the peer sends (the input buffer), the
// engine's timer and status triggers, and delivers notices the way the
// dispatcher does: status triggers that hold, data available (once per new
// arrival), expired timers. Timers run on FakeClock, which the test advances.
#pragma once

#include "protocols/protocol_engine.h"

#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace vorl::test {

// Replaces the tick clock while it lives.
class FakeClock {
public:
    FakeClock();
    ~FakeClock();
    FakeClock(const FakeClock&) = delete;
    FakeClock& operator=(const FakeClock&) = delete;
    void advanceMs(uint32_t ms) { ms_ += ms; }
    void advanceTicks(int32_t ticks) { ms_ += uint32_t(ticks) * uint32_t(kMsPerTick); }

private:
    static uint32_t now();
    static std::atomic<uint32_t> ms_;
};

class ScriptedLine final : public ProtocolLine {
public:
    explicit ScriptedLine(uint16_t handle = 0x7F00, uint32_t outSize = 4096);

    // ---- The peer's side ----
    void feed(std::string_view bytes);
    // Bytes that reached the line since the last call.
    std::string takeSent();
    // Every byte that reached the line.
    const std::string& sent() const { return sent_; }
    // With auto-drain (the default) written bytes reach the line at once;
    // otherwise they wait in the output buffer until drain().
    void setAutoDrain(bool on) { autoDrain_ = on; }
    void drain(size_t n = size_t(-1));
    const std::string& queued() const { return queue_; }
    void setOpen(bool open) { open_ = open; }
    void setDCD(bool on) { dcd_ = on; }
    // The line is gone with `code` (0: it works).
    void setLineFailure(int32_t code) { failure_ = code; }
    size_t inputWaiting() const { return input_.size(); }

    // ---- Notices ----
    // Delivers every notice that is due; returns how many.
    int pump();
    bool attached() const { return !engine_.expired(); }

    // ---- Inspection ----
    bool timerActive(uint32_t handle) const;
    int32_t timerInterval(uint32_t handle) const;
    int flushOutCalls = 0;

    // ---- ProtocolLine ----
    uint16_t Handle() const override { return handle_; }
    bool IsOpen() override { return open_; }
    int32_t PutBlock(const void* buf, uint32_t len) override;
    int32_t GetChar(uint8_t& c) override;
    int32_t GetBlock(void* buf, uint32_t len) override;
    bool CharReady() override { return !input_.empty(); }
    int32_t InBuffUsed() override { return int32_t(input_.size()); }
    int32_t OutBuffUsed() override { return int32_t(queue_.size()); }
    int32_t OutBuffFree() override { return int32_t(outSize_ - queue_.size()); }
    int32_t FlushInBuffer() override;
    int32_t FlushOutBuffer() override;
    int32_t ChangeLengthTrigger(uint32_t count) override;
    int32_t AddTimerTrigger() override;
    int32_t AddStatusTrigger(uint16_t kind) override;
    int32_t SetTimerTrigger(uint32_t handle, int32_t ticks, bool activate) override;
    int32_t SetStatusTrigger(uint32_t handle, uint32_t value, bool activate) override;
    int32_t TimerTicksRemaining(uint32_t handle, int32_t& ticks) override;
    int32_t RemoveTrigger(uint32_t handle) override;
    int32_t LineFailure() override { return failure_; }
    bool CheckDCD() override { return dcd_; }
    int32_t SetRts(bool) override { return 0; }
    int32_t GetLine(int32_t& baud, uint16_t& parity, uint16_t& stopbits,
                    uint16_t& databits) override;
    bool DispatchLoggingOn() override { return false; }
    void AddDispatchEntry(TDispatchType, TDispatchSubType, uint32_t, std::string_view) override {}
    int32_t AttachEngine(TProtocolData& P) override;
    void DetachEngine(TProtocolData& P) override;

private:
    struct Timer {
        EventTimer et{};
        int32_t interval = 0;
        bool active = false;
    };
    struct Status {
        uint16_t kind = 0;
        uint32_t value = 0;
        bool active = false;
    };
    void notify(uint32_t msg, uint32_t first, uint16_t low);
    bool fireStatus();
    bool fireAvail();
    bool fireTimer();

    uint16_t handle_;
    uint32_t outSize_;
    bool open_ = true;
    bool dcd_ = true;
    int32_t failure_ = 0;
    bool autoDrain_ = true;
    std::string sent_;
    size_t taken_ = 0;
    std::string queue_;
    std::deque<uint8_t> input_;
    uint64_t received_ = 0;
    uint64_t announced_ = 0;
    uint32_t lengthTrigger_ = 0;
    uint32_t nextHandle_ = 8;
    std::map<uint32_t, Timer> timers_;
    std::map<uint32_t, Status> status_;
    std::weak_ptr<TProtocolData> engine_;
};

// Runs a transfer on a scripted line to its end: delivers notices, lets
// `peer` answer what was sent, and moves the clock on a tick at a time while
// nothing is due. Stops when `done()` holds or `maxTicks` ticks have passed;
// returns done().
bool RunLine(ScriptedLine& line, FakeClock& clock, const std::function<void()>& peer,
             const std::function<bool()>& done, int maxTicks = 20000);

// Two engines on two lines joined back to back.
bool RunPair(ScriptedLine& a, ScriptedLine& b, FakeClock& clock, const std::function<bool()>& done,
             int maxTicks = 20000);

} // namespace vorl::test
