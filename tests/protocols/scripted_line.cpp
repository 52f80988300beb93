#include "scripted_line.h"

#include "serial/ticks.h"

namespace vorl::test {

std::atomic<uint32_t> FakeClock::ms_{0};

FakeClock::FakeClock() {
    ms_ = 1'000'000;
    SetTimeSource(&FakeClock::now);
}

FakeClock::~FakeClock() {
    SetTimeSource(nullptr);
}

uint32_t FakeClock::now() {
    return ms_.load();
}

ScriptedLine::ScriptedLine(uint16_t handle, uint32_t outSize)
    : handle_(handle), outSize_(outSize) {}

void ScriptedLine::feed(std::string_view bytes) {
    for (char c : bytes)
        input_.push_back(uint8_t(c));
    received_ += bytes.size();
}

std::string ScriptedLine::takeSent() {
    std::string s = sent_.substr(taken_);
    taken_ = sent_.size();
    return s;
}

void ScriptedLine::drain(size_t n) {
    n = std::min(n, queue_.size());
    sent_ += queue_.substr(0, n);
    queue_.erase(0, n);
}

int32_t ScriptedLine::PutBlock(const void* buf, uint32_t len) {
    if (!open_)
        return ecCommNotOpen;
    if (len == 0)
        return 0;
    if (len > outSize_ - queue_.size())
        return ecOutputBufferTooSmall;
    queue_.append(static_cast<const char*>(buf), len);
    if (autoDrain_)
        drain();
    return int32_t(len);
}

int32_t ScriptedLine::GetChar(uint8_t& c) {
    if (input_.empty())
        return ecBufferIsEmpty;
    c = input_.front();
    input_.pop_front();
    return 0;
}

int32_t ScriptedLine::GetBlock(void* buf, uint32_t len) {
    if (input_.size() < len)
        return ecBufferIsEmpty;
    auto* out = static_cast<uint8_t*>(buf);
    for (uint32_t i = 0; i < len; ++i) {
        out[i] = input_.front();
        input_.pop_front();
    }
    return int32_t(len);
}

int32_t ScriptedLine::FlushInBuffer() {
    input_.clear();
    return 0;
}

int32_t ScriptedLine::FlushOutBuffer() {
    ++flushOutCalls;
    queue_.clear();
    return 0;
}

int32_t ScriptedLine::ChangeLengthTrigger(uint32_t count) {
    lengthTrigger_ = count;
    return 0;
}

int32_t ScriptedLine::AddTimerTrigger() {
    uint32_t h = nextHandle_;
    nextHandle_ += 8;
    timers_[h] = Timer{};
    return int32_t(h);
}

int32_t ScriptedLine::AddStatusTrigger(uint16_t kind) {
    uint32_t h = nextHandle_ + kind;
    nextHandle_ += 8;
    status_[h] = Status{kind, 0, false};
    return int32_t(h);
}

int32_t ScriptedLine::SetTimerTrigger(uint32_t handle, int32_t ticks, bool activate) {
    auto it = timers_.find(handle);
    if (it == timers_.end())
        return ecBadTriggerHandle;
    if (activate) {
        if (ticks != 0)
            it->second.interval = ticks;
        NewTimer(it->second.et, it->second.interval);
    }
    it->second.active = activate;
    return 0;
}

int32_t ScriptedLine::SetStatusTrigger(uint32_t handle, uint32_t value, bool activate) {
    auto it = status_.find(handle);
    if (it == status_.end())
        return ecBadTriggerHandle;
    if (activate)
        it->second.value = value;
    it->second.active = activate;
    return 0;
}

int32_t ScriptedLine::TimerTicksRemaining(uint32_t handle, int32_t& ticks) {
    auto it = timers_.find(handle);
    if (it == timers_.end())
        return ecBadTriggerHandle;
    ticks = std::max(0, it->second.et.ExpireTicks - CurrentTicks());
    return 0;
}

int32_t ScriptedLine::RemoveTrigger(uint32_t handle) {
    if (handle == kLengthTriggerHandle) {
        lengthTrigger_ = 0;
        return 0;
    }
    if (timers_.erase(handle) || status_.erase(handle))
        return 0;
    return ecBadTriggerHandle;
}

int32_t ScriptedLine::GetLine(int32_t& baud, uint16_t& parity, uint16_t& stopbits,
                              uint16_t& databits) {
    baud = 9600;
    parity = 0;
    stopbits = 1;
    databits = 8;
    return 0;
}

int32_t ScriptedLine::AttachEngine(TProtocolData& P) {
    engine_ = P.weak_from_this();
    return 0;
}

void ScriptedLine::DetachEngine(TProtocolData&) {
    engine_.reset();
}

bool ScriptedLine::timerActive(uint32_t handle) const {
    auto it = timers_.find(handle);
    return it != timers_.end() && it->second.active;
}

int32_t ScriptedLine::timerInterval(uint32_t handle) const {
    auto it = timers_.find(handle);
    return it == timers_.end() ? -1 : it->second.interval;
}

void ScriptedLine::notify(uint32_t msg, uint32_t first, uint16_t low) {
    if (auto P = engine_.lock())
        peNotify(*P, msg, first, NoticeParam(handle_, low));
}

bool ScriptedLine::fireStatus() {
    for (auto& [h, s] : status_) {
        if (!s.active)
            continue;
        bool holds = false;
        uint16_t low = 0;
        switch (s.kind) {
        case stOutBuffFree:
            holds = OutBuffFree() >= int32_t(s.value);
            low = uint16_t(OutBuffFree());
            break;
        case stOutBuffUsed:
            holds = OutBuffUsed() <= int32_t(s.value);
            low = uint16_t(OutBuffUsed());
            break;
        case stModem: {
            uint8_t watch = uint8_t(s.value >> 8);
            uint8_t lines = dcd_ ? 0x80 : 0;
            holds = (lines & watch) != (uint8_t(s.value) & watch);
            break;
        }
        default:
            break;
        }
        if (holds) {
            s.active = false;
            notify(kNoticeTriggerStatus, h, low);
            return true;
        }
    }
    return false;
}

bool ScriptedLine::fireAvail() {
    if (lengthTrigger_ == 0 || input_.empty() || received_ == announced_)
        return false;
    announced_ = received_;
    notify(kNoticeTriggerAvail, uint32_t(input_.size()), 0);
    return true;
}

bool ScriptedLine::fireTimer() {
    for (auto& [h, t] : timers_) {
        if (t.active && TimerExpired(t.et)) {
            t.active = false;
            notify(kNoticeTriggerTimer, h, 0);
            return true;
        }
    }
    return false;
}

int ScriptedLine::pump() {
    int n = 0;
    while (attached() && n < 1'000'000) {
        if (fireStatus() || fireAvail() || fireTimer())
            ++n;
        else
            break;
    }
    return n;
}

bool RunLine(ScriptedLine& line, FakeClock& clock, const std::function<void()>& peer,
             const std::function<bool()>& done, int maxTicks) {
    for (int tick = 0; tick <= maxTicks; ++tick) {
        for (;;) {
            int n = line.pump();
            size_t before = line.sent().size() + line.inputWaiting();
            if (peer)
                peer();
            size_t after = line.sent().size() + line.inputWaiting();
            if (done())
                return true;
            if (n == 0 && before == after)
                break;
        }
        clock.advanceTicks(1);
    }
    return done();
}

bool RunPair(ScriptedLine& a, ScriptedLine& b, FakeClock& clock, const std::function<bool()>& done,
             int maxTicks) {
    for (int tick = 0; tick <= maxTicks; ++tick) {
        for (;;) {
            int n = a.pump() + b.pump();
            std::string ab = a.takeSent();
            std::string ba = b.takeSent();
            b.feed(ab);
            a.feed(ba);
            if (done())
                return true;
            if (n == 0 && ab.empty() && ba.empty())
                break;
        }
        clock.advanceTicks(1);
    }
    return done();
}

} // namespace vorl::test
