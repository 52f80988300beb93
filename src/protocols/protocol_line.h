// What the protocol engine needs of an open port: data in and out, buffer
// counts, its timer and status triggers, the modem lines, the dispatch log,
// and the delivery of every notice of the port to the engine.
//
// The engine works on this interface only. `DispatcherLine` puts it on a
// port's dispatcher (the program's case); tests put it on a line they script.
// All calls come from the thread running the engine's state machine; a line
// must be usable from the dispatcher's notice thread and from the thread that
// starts or cancels a transfer.
#pragma once

#include "serial/dispatcher.h"

#include <cstdint>
#include <memory>
#include <string_view>

namespace vorl {

struct TProtocolData;

class ProtocolLine {
public:
    virtual ~ProtocolLine() = default;

    // The handle that notices of this line carry in the high 16 bits of their
    // second parameter.
    virtual uint16_t Handle() const = 0;
    virtual bool IsOpen() = 0;

    // Results as the dispatcher's: a count or 0, negative on failure.
    virtual int32_t PutBlock(const void* buf, uint32_t len) = 0;
    int32_t PutChar(uint8_t c) { return PutBlock(&c, 1); }
    virtual int32_t GetChar(uint8_t& c) = 0;
    virtual int32_t GetBlock(void* buf, uint32_t len) = 0;
    virtual bool CharReady() = 0;
    virtual int32_t InBuffUsed() = 0;
    virtual int32_t OutBuffUsed() = 0;
    virtual int32_t OutBuffFree() = 0;
    virtual int32_t FlushInBuffer() = 0;
    virtual int32_t FlushOutBuffer() = 0;

    virtual int32_t ChangeLengthTrigger(uint32_t count) = 0;
    virtual int32_t AddTimerTrigger() = 0;
    virtual int32_t AddStatusTrigger(uint16_t kind) = 0;
    virtual int32_t SetTimerTrigger(uint32_t handle, int32_t ticks, bool activate) = 0;
    virtual int32_t SetStatusTrigger(uint32_t handle, uint32_t value, bool activate) = 0;
    virtual int32_t TimerTicksRemaining(uint32_t handle, int32_t& ticks) = 0;
    virtual int32_t RemoveTrigger(uint32_t handle) = 0;

    // 0 while the line works; the line's error once it is gone for good (the
    // device failed or hung up), until it opens again.
    virtual int32_t LineFailure() { return 0; }
    virtual bool CheckDCD() = 0;
    virtual int32_t SetRts(bool on) = 0;
    // Line settings (for the characters per second of the line).
    virtual int32_t GetLine(int32_t& baud, uint16_t& parity, uint16_t& stopbits,
                            uint16_t& databits) = 0;

    virtual bool DispatchLoggingOn() = 0;
    virtual void AddDispatchEntry(TDispatchType type, TDispatchSubType subType, uint32_t value,
                                  std::string_view data) = 0;

    // From now on every notice of the line runs the engine's state machine
    // (peNotify) until DetachEngine. The engine record must be owned by a
    // shared_ptr while attached.
    virtual int32_t AttachEngine(TProtocolData& P) = 0;
    virtual void DetachEngine(TProtocolData& P) = 0;
};

// The line of a port's dispatcher. The dispatcher must outlive every call;
// the engine drops its line when a transfer finishes.
class DispatcherLine final : public ProtocolLine {
public:
    explicit DispatcherLine(TBaseDispatcher& d) : d_(d) {}

    uint16_t Handle() const override { return d_.Handle(); }
    bool IsOpen() override { return d_.IsOpen(); }
    int32_t PutBlock(const void* buf, uint32_t len) override { return d_.PutBlock(buf, len); }
    int32_t GetChar(uint8_t& c) override { return d_.GetChar(c); }
    int32_t GetBlock(void* buf, uint32_t len) override { return d_.GetBlock(buf, len); }
    bool CharReady() override { return d_.CharReady(); }
    int32_t InBuffUsed() override { return d_.InBuffUsed(); }
    int32_t OutBuffUsed() override { return d_.OutBuffUsed(); }
    int32_t OutBuffFree() override { return d_.OutBuffFree(); }
    int32_t FlushInBuffer() override { return d_.FlushInBuffer(); }
    int32_t FlushOutBuffer() override { return d_.FlushOutBuffer(); }
    int32_t ChangeLengthTrigger(uint32_t count) override { return d_.ChangeLengthTrigger(count); }
    int32_t AddTimerTrigger() override { return d_.AddTimerTrigger(); }
    int32_t AddStatusTrigger(uint16_t kind) override { return d_.AddStatusTrigger(kind); }
    int32_t SetTimerTrigger(uint32_t handle, int32_t ticks, bool activate) override {
        return d_.SetTimerTrigger(handle, ticks, activate);
    }
    int32_t SetStatusTrigger(uint32_t handle, uint32_t value, bool activate) override {
        return d_.SetStatusTrigger(handle, value, activate);
    }
    int32_t TimerTicksRemaining(uint32_t handle, int32_t& ticks) override {
        return d_.TimerTicksRemaining(handle, ticks);
    }
    int32_t RemoveTrigger(uint32_t handle) override { return d_.RemoveTrigger(handle); }
    int32_t LineFailure() override { return d_.LineFailure(); }
    bool CheckDCD() override { return d_.CheckDCD(); }
    int32_t SetRts(bool on) override { return d_.SetRts(on); }
    int32_t GetLine(int32_t& baud, uint16_t& parity, uint16_t& stopbits,
                    uint16_t& databits) override {
        return d_.GetLine(baud, parity, stopbits, databits);
    }
    bool DispatchLoggingOn() override { return d_.DispatchLoggingOn(); }
    void AddDispatchEntry(TDispatchType type, TDispatchSubType subType, uint32_t value,
                          std::string_view data) override {
        d_.AddDispatchEntry(type, subType, value, data.data(), uint32_t(data.size()));
    }
    int32_t AttachEngine(TProtocolData& P) override;
    void DetachEngine(TProtocolData& P) override;

    TBaseDispatcher& Dispatcher() { return d_; }

private:
    TBaseDispatcher& d_;
};

} // namespace vorl
