// The port component's calls on its dispatcher: reads and writes, queries of
// the queues and the line, triggers and line control. Each passes through to
// the dispatcher of the open port (opening it on demand where AutoOpen allows)
// and turns a negative result into an exception.
#include "serial/com_port.h"

#include "serial/dispatcher.h"

#include <algorithm>

namespace vorl {

// ---- Dispatcher access --------------------------------------------------------

TBaseDispatcher* TComPort::GetDispatcher() {
    if (!dispatcher_ && !loading_ && state_ != psOpen && autoOpen_) {
        SetOpen(true);
    }
    return dispatcher_.get();
}

TBaseDispatcher& TComPort::ValidDispatcher() {
    TBaseDispatcher* d = GetDispatcher();
    if (d == nullptr) {
        throw ECommNotOpen(ecCommNotOpen);
    }
    return *d;
}

// ---- Data ---------------------------------------------------------------------

void TComPort::PutChar(char c) {
    whenUsable([&](TBaseDispatcher& d) { check(d.PutChar(uint8_t(c))); });
}

void TComPort::PutString(std::string_view s) {
    whenUsable([&](TBaseDispatcher& d) { check(d.PutString(s)); });
}

int32_t TComPort::PutBlock(const void* buffer, uint16_t length) {
    return whenUsable(0, [&](TBaseDispatcher& d) { return check(d.PutBlock(buffer, length)); });
}

char TComPort::GetChar() {
    return whenUsable(char(0), [&](TBaseDispatcher& d) {
        uint8_t c = 0;
        check(d.GetChar(c));
        return char(c);
    });
}

char TComPort::PeekChar(uint16_t n) {
    return whenUsable(char(0), [&](TBaseDispatcher& d) {
        uint8_t c = 0;
        check(d.PeekChar(c, n));
        return char(c);
    });
}

int32_t TComPort::GetBlock(void* buffer, uint16_t length) {
    return whenUsable(0, [&](TBaseDispatcher& d) { return check(d.GetBlock(buffer, length)); });
}

int32_t TComPort::PeekBlock(void* buffer, uint16_t length) {
    return whenUsable(0, [&](TBaseDispatcher& d) { return check(d.PeekBlock(buffer, length)); });
}

bool TComPort::CharReady() {
    return whenUsable(false, [&](TBaseDispatcher& d) { return d.CharReady(); });
}

void TComPort::FlushInBuffer() {
    whenUsable([&](TBaseDispatcher& d) { check(d.FlushInBuffer()); });
}

void TComPort::FlushOutBuffer() {
    whenUsable([&](TBaseDispatcher& d) { check(d.FlushOutBuffer()); });
}

int32_t TComPort::DrainOutput(int32_t graceMs) {
    if (state_ != psOpen || !dispatcher_) {
        return ecCommNotOpen;
    }
    return dispatcher_->DrainOutput(graceMs);
}

// ---- Queries ------------------------------------------------------------------

// A count from the open dispatcher, or what a closed port has.
uint32_t TComPort::openCount(int32_t (TBaseDispatcher::*query)(), uint32_t closed) {
    if (state_ != psOpen) {
        return closed;
    }
    return uint32_t(std::max(check((*dispatcher_.*query)()), 0));
}

// A line or modem state: false while the port is not open.
bool TComPort::openAnd(bool (TBaseDispatcher::*query)()) {
    return state_ == psOpen && (*dispatcher_.*query)();
}

uint32_t TComPort::GetInBuffUsed() {
    return openCount(&TBaseDispatcher::InBuffUsed, 0);
}

uint32_t TComPort::GetInBuffFree() {
    return openCount(&TBaseDispatcher::InBuffFree, kDispatchBufferSize);
}

uint32_t TComPort::GetOutBuffUsed() {
    return openCount(&TBaseDispatcher::OutBuffUsed, 0);
}

int32_t TComPort::GetLineFailure() {
    return state_ == psOpen ? dispatcher_->LineFailure() : 0;
}

uint32_t TComPort::GetOutBuffFree() {
    return openCount(&TBaseDispatcher::OutBuffFree, outSize_);
}

bool TComPort::GetCTS() {
    return openAnd(&TBaseDispatcher::CheckCTS);
}
bool TComPort::GetDSR() {
    return openAnd(&TBaseDispatcher::CheckDSR);
}
bool TComPort::GetRI() {
    return openAnd(&TBaseDispatcher::CheckRI);
}
bool TComPort::GetDCD() {
    return openAnd(&TBaseDispatcher::CheckDCD);
}
bool TComPort::GetDeltaCTS() {
    return openAnd(&TBaseDispatcher::CheckDeltaCTS);
}
bool TComPort::GetDeltaDSR() {
    return openAnd(&TBaseDispatcher::CheckDeltaDSR);
}
bool TComPort::GetDeltaRI() {
    return openAnd(&TBaseDispatcher::CheckDeltaRI);
}
bool TComPort::GetDeltaDCD() {
    return openAnd(&TBaseDispatcher::CheckDeltaDCD);
}

uint16_t TComPort::GetLineError() {
    if (state_ != psOpen) {
        return 0;
    }
    return uint16_t(std::max(dispatcher_->GetLineError(), 0));
}

bool TComPort::GetLineBreak() {
    return openAnd(&TBaseDispatcher::CheckLineBreak);
}

uint16_t TComPort::GetBaseAddress() {
    if (state_ != psOpen) {
        return 0;
    }
    return dispatcher_->GetBaseAddress();
}

uint8_t TComPort::GetModemStatus() {
    return whenUsable(0, [&](TBaseDispatcher& d) { return d.GetModemStatus(); });
}

TFlowControlState TComPort::GetFlowState() {
    if (state_ != psOpen) {
        return fcOff;
    }
    const int32_t hw = dispatcher_->HWFlowState();
    if (hw == kFlowDsrHold || hw == kFlowCtsHold) {
        return TFlowControlState(hw - 1);
    }
    // A peer's XOFF holds the output even while hardware flow is on and not
    // holding: that is the state worth showing.
    const int32_t sw = dispatcher_->SWFlowState();
    if (sw >= kFlowXOutHold && sw <= kFlowXBothHold) {
        return TFlowControlState(sw - 1);
    }
    if (hw == kFlowOn) {
        return fcOn;
    }
    return sw >= kFlowOff && sw <= kFlowOn ? TFlowControlState(sw - 1) : fcOff;
}

// ---- Triggers -----------------------------------------------------------------

uint16_t TComPort::AddDataTrigger(std::string_view data, bool ignoreCase, bool seeWaiting) {
    return whenUsable(0, [&](TBaseDispatcher& d) {
        return uint16_t(check(d.AddDataTrigger(data, ignoreCase, seeWaiting)));
    });
}

uint16_t TComPort::AddTimerTrigger() {
    return whenUsable(0, [&](TBaseDispatcher& d) { return uint16_t(check(d.AddTimerTrigger())); });
}

uint16_t TComPort::AddStatusTrigger(uint16_t kind) {
    return whenUsable(
        0, [&](TBaseDispatcher& d) { return uint16_t(check(d.AddStatusTrigger(kind))); });
}

void TComPort::SetTimerTrigger(uint16_t handle, int32_t ticks, bool activate) {
    whenUsable([&](TBaseDispatcher& d) { check(d.SetTimerTrigger(handle, ticks, activate)); });
}

void TComPort::DiscardUntilTrigger(uint16_t handle) {
    whenUsable([&](TBaseDispatcher& d) { check(d.DiscardUntilTrigger(handle)); });
}

void TComPort::SetStatusTrigger(uint16_t handle, uint16_t value, bool activate) {
    whenUsable([&](TBaseDispatcher& d) { check(d.SetStatusTrigger(handle, value, activate)); });
}

void TComPort::RemoveTrigger(uint16_t handle) {
    if (state_ == psOpen) {
        check(dispatcher_->RemoveTrigger(handle));
        return;
    }
    // A trigger removed while the port is closed (or closing: users are told
    // before the triggers are kept) must not come back at the next open.
    if (state_ == psShuttingDown && dispatcher_) {
        dispatcher_->RemoveTrigger(handle);
    }
    if (!haveSaved_) {
        return;
    }
    if (handle == kLengthTriggerHandle) {
        saved_.lengthTrigger = 0;
        return;
    }
    auto drop = [handle](auto& list) {
        std::erase_if(list, [handle](const auto& t) { return t.handle == handle; });
    };
    drop(saved_.timerTriggers);
    drop(saved_.statusTriggers);
    drop(saved_.dataTriggers);
}

void TComPort::RemoveAllTriggers() {
    triggerLength_ = 0;
    if (state_ == psOpen) {
        dispatcher_->RemoveAllTriggers();
        return;
    }
    if (state_ == psShuttingDown && dispatcher_) {
        dispatcher_->RemoveAllTriggers();
    }
    TBaseDispatcher::ClearSaveBuffers(saved_);
    haveSaved_ = false;
}

void TComPort::SetTriggerLength(uint32_t count) {
    triggerLength_ = count;
    whenOpen([this, count](TBaseDispatcher& d) { check(d.ChangeLengthTrigger(count)); });
}

// ---- Line control -------------------------------------------------------------

void TComPort::SendBreak(uint32_t ticks, bool yield) {
    whenUsable([&](TBaseDispatcher& d) {
        check(d.SendBreak(int32_t(std::min<uint32_t>(ticks, kMaxTicks)), yield));
    });
}

void TComPort::SetBreak(bool on) {
    whenUsable([&](TBaseDispatcher& d) { check(d.SetBreak(on)); });
}

void TComPort::ProcessCommunications() {
    whenUsable([&](TBaseDispatcher& d) { d.ProcessCommunications(); });
}

} // namespace vorl
