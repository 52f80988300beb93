#include "platform/simulated_device.h"

#include "platform/error_codes.h"

#include <algorithm>
#include <chrono>

namespace vorl::platform {

namespace {
std::mutex gLinesLock;
std::vector<std::pair<std::string, std::shared_ptr<SimulatedLine>>>& Lines() {
    static std::vector<std::pair<std::string, std::shared_ptr<SimulatedLine>>> lines;
    return lines;
}

// Waits on the line until `ready` holds or the time-out passes; a wake-up
// asked for through `wake` is taken and answered as one.
template <class Ready>
WaitResult waitOnLine(std::condition_variable& cv, std::unique_lock<std::mutex>& lk, int timeoutMs,
                      const bool& open, bool& wake, Ready ready) {
    bool ok = true;
    if (timeoutMs < 0)
        cv.wait(lk, ready);
    else
        ok = cv.wait_for(lk, std::chrono::milliseconds(timeoutMs), ready);
    if (!open)
        return WaitResult::Failed;
    if (!ok)
        return WaitResult::Timeout;
    if (wake) {
        wake = false;
        return WaitResult::Woken;
    }
    return WaitResult::Ready;
}
} // namespace

std::shared_ptr<SimulatedLine> SimulatedLine::Register(const std::string& name) {
    auto line = std::make_shared<SimulatedLine>();
    std::lock_guard<std::mutex> lk(gLinesLock);
    for (auto& [n, l] : Lines())
        if (n == name) {
            l = line;
            return line;
        }
    Lines().emplace_back(name, line);
    return line;
}

std::shared_ptr<SimulatedLine> SimulatedLine::Find(const std::string& name) {
    std::lock_guard<std::mutex> lk(gLinesLock);
    for (auto& [n, l] : Lines())
        if (n == name)
            return l;
    return nullptr;
}

void SimulatedLine::Unregister(const std::string& name) {
    std::lock_guard<std::mutex> lk(gLinesLock);
    auto& v = Lines();
    for (auto it = v.begin(); it != v.end(); ++it)
        if (it->first == name) {
            v.erase(it);
            return;
        }
}

void SimulatedLine::peerSend(const std::string& bytes) {
    peerSend(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

void SimulatedLine::peerSend(const uint8_t* data, size_t count) {
    {
        std::lock_guard<std::mutex> lk(m_);
        for (size_t i = 0; i < count; ++i) {
            uint8_t c = data[i];
            // A driver with XON/XOFF output flow takes these out of the stream.
            if (open_ && settings_.xonXoffOut && c == settings_.xoffChar) {
                xoffHeld_ = true;
                continue;
            }
            if (open_ && settings_.xonXoffOut && c == settings_.xonChar) {
                xoffHeld_ = false;
                continue;
            }
            in_.push_back(c);
        }
        ++eventSeq_;
    }
    cv_.notify_all();
}

std::string SimulatedLine::peerTake() {
    std::lock_guard<std::mutex> lk(m_);
    std::string r;
    r.swap(out_);
    cv_.notify_all();
    return r;
}

size_t SimulatedLine::outputWaiting() {
    std::lock_guard<std::mutex> lk(m_);
    return out_.size();
}

void SimulatedLine::setLines(uint8_t bits) {
    {
        std::lock_guard<std::mutex> lk(m_);
        lines_ = bits & 0xF0;
        ++eventSeq_;
    }
    cv_.notify_all();
}

void SimulatedLine::raiseErrors(uint8_t bits) {
    {
        std::lock_guard<std::mutex> lk(m_);
        errors_ |= bits;
        ++eventSeq_;
    }
    cv_.notify_all();
}

void SimulatedLine::setOutputRoom(size_t room) {
    {
        std::lock_guard<std::mutex> lk(m_);
        room_ = room;
    }
    cv_.notify_all();
}

void SimulatedLine::setInUse(bool held) {
    store(inUse_, held);
}

void SimulatedLine::setMissing(bool missing) {
    store(missing_, missing);
}

bool SimulatedLine::dtr() {
    return load(dtr_);
}

bool SimulatedLine::rts() {
    return load(rts_);
}

bool SimulatedLine::breakOn() {
    return load(break_);
}

bool SimulatedLine::rs485() {
    return load(rs485_);
}

LineSettings SimulatedLine::settings() {
    return load(settings_);
}

bool SimulatedLine::isOpen() {
    return load(open_);
}

SimulatedDevice::SimulatedDevice(std::shared_ptr<SimulatedLine> line) : line_(std::move(line)) {
    if (!line_) {
        // No line under that name: a device that is not there.
        line_ = std::make_shared<SimulatedLine>();
        line_->missing_ = true;
    }
}

SimulatedDevice::~SimulatedDevice() {
    close();
}

int SimulatedDevice::open(const std::string&) {
    std::lock_guard<std::mutex> lk(line_->m_);
    if (line_->missing_)
        return -kSysNoSuchDevice;
    if (line_->inUse_ || line_->open_)
        return -kSysInUse;
    line_->open_ = true;
    line_->xoffHeld_ = false;
    line_->settings_ = LineSettings{};
    line_->dtr_ = line_->rts_ = true;
    open_ = true;
    seenEvent_ = line_->eventSeq_;
    return 0;
}

void SimulatedDevice::close() {
    {
        std::lock_guard<std::mutex> lk(line_->m_);
        if (!open_)
            return;
        open_ = false;
        line_->open_ = false;
        line_->dtr_ = line_->rts_ = line_->break_ = line_->rs485_ = false;
    }
    line_->cv_.notify_all();
}

bool SimulatedDevice::isOpen() const {
    std::lock_guard<std::mutex> lk(line_->m_);
    return open_;
}

int SimulatedDevice::setQueueSizes(uint32_t, uint32_t) {
    std::lock_guard<std::mutex> lk(line_->m_);
    return open_ ? 0 : kSysNoSuchDevice;
}

int SimulatedDevice::getLineSettings(LineSettings& out) {
    std::lock_guard<std::mutex> lk(line_->m_);
    if (!open_)
        return -kSysNoSuchDevice;
    out = line_->settings_;
    return 0;
}

int SimulatedDevice::setLineSettings(const LineSettings& in) {
    {
        std::lock_guard<std::mutex> lk(line_->m_);
        if (!open_)
            return -kSysNoSuchDevice;
        line_->settings_ = in;
        if (!in.xonXoffOut)
            line_->xoffHeld_ = false;
        if (in.dtrControl != LineControl::Handshake)
            line_->dtr_ = in.dtrControl == LineControl::On;
        else
            line_->dtr_ = true;
        if (in.rtsControl == LineControl::On || in.rtsControl == LineControl::Off)
            line_->rts_ = in.rtsControl == LineControl::On;
        else if (in.rtsControl == LineControl::Handshake)
            line_->rts_ = true;
    }
    line_->cv_.notify_all();
    return 0;
}

long SimulatedDevice::read(uint8_t* buf, size_t count) {
    std::lock_guard<std::mutex> lk(line_->m_);
    if (!open_)
        return ecNotOpen;
    size_t n = 0;
    while (n < count && !line_->in_.empty()) {
        buf[n++] = line_->in_.front();
        line_->in_.pop_front();
    }
    return long(n);
}

// Caller holds the line's lock.
uint8_t SimulatedDevice::holdsLocked() const {
    uint8_t h = 0;
    const auto& s = line_->settings_;
    if (s.ctsOutFlow && !(line_->lines_ & kLineCTS))
        h |= kHoldCTS;
    if (s.dsrOutFlow && !(line_->lines_ & kLineDSR))
        h |= kHoldDSR;
    if (s.xonXoffOut && line_->xoffHeld_)
        h |= kHoldXoff;
    return h;
}

long SimulatedDevice::write(const uint8_t* buf, size_t count) {
    std::lock_guard<std::mutex> lk(line_->m_);
    if (!open_)
        return ecNotOpen;
    if (holdsLocked() & (kHoldCTS | kHoldDSR | kHoldXoff))
        return 0;
    size_t n = std::min(count, line_->room_);
    line_->out_.append(reinterpret_cast<const char*>(buf), n);
    if (line_->room_ != SIZE_MAX)
        line_->room_ -= n;
    if (n)
        line_->cv_.notify_all();
    return long(n);
}

WaitResult SimulatedDevice::waitInput(bool wantData, int timeoutMs) {
    std::unique_lock<std::mutex> lk(line_->m_);
    if (!open_)
        return WaitResult::Failed;
    auto ready = [&] {
        return !open_ || line_->inWake_ || line_->eventSeq_ != seenEvent_ ||
               (wantData && !line_->in_.empty());
    };
    const WaitResult r = waitOnLine(line_->cv_, lk, timeoutMs, open_, line_->inWake_, ready);
    if (r == WaitResult::Ready)
        seenEvent_ = line_->eventSeq_;
    return r;
}

WaitResult SimulatedDevice::waitOutput(int timeoutMs) {
    std::unique_lock<std::mutex> lk(line_->m_);
    if (!open_)
        return WaitResult::Failed;
    auto ready = [&] {
        return !open_ || line_->outWake_ ||
               (!(holdsLocked() & (kHoldCTS | kHoldDSR | kHoldXoff)) && line_->room_ > 0);
    };
    return waitOnLine(line_->cv_, lk, timeoutMs, open_, line_->outWake_, ready);
}

void SimulatedDevice::wakeInput() {
    {
        std::lock_guard<std::mutex> lk(line_->m_);
        line_->inWake_ = true;
    }
    line_->cv_.notify_all();
}

void SimulatedDevice::wakeOutput() {
    {
        std::lock_guard<std::mutex> lk(line_->m_);
        line_->outWake_ = true;
    }
    line_->cv_.notify_all();
}

uint8_t SimulatedDevice::modemLines() {
    std::lock_guard<std::mutex> lk(line_->m_);
    return line_->lines_;
}

int SimulatedDevice::setOutput(bool SimulatedLine::*output, bool on,
                               bool (*refuses)(const SimulatedLine&)) {
    std::lock_guard<std::mutex> lk(line_->m_);
    if (!open_)
        return -kSysNoSuchDevice;
    if (refuses && refuses(*line_))
        return ecBadArgument;
    (*line_).*output = on;
    return 0;
}

int SimulatedDevice::setDtr(bool on) {
    return setOutput(&SimulatedLine::dtr_, on, [](const SimulatedLine& l) {
        return l.settings_.dtrControl == LineControl::Handshake;
    });
}

int SimulatedDevice::setRts(bool on) {
    return setOutput(&SimulatedLine::rts_, on, [](const SimulatedLine& l) {
        return l.settings_.rtsControl == LineControl::Handshake || l.rs485_;
    });
}

int SimulatedDevice::setBreak(bool on) {
    return setOutput(&SimulatedLine::break_, on, nullptr);
}

int SimulatedDevice::setRs485(bool on) {
    return setOutput(&SimulatedLine::rs485_, on, nullptr);
}

int SimulatedDevice::purge(unsigned which) {
    std::lock_guard<std::mutex> lk(line_->m_);
    if (!open_)
        return -kSysNoSuchDevice;
    if (which & PurgeRx)
        line_->in_.clear();
    return 0; // written bytes are already "on the line"
}

DeviceStatus SimulatedDevice::status() {
    DeviceStatus ds;
    std::lock_guard<std::mutex> lk(line_->m_);
    if (!open_)
        return ds;
    ds.errors = line_->errors_;
    line_->errors_ = 0;
    ds.holds = holdsLocked();
    ds.inQueue = uint32_t(line_->in_.size());
    ds.outQueue = 0;
    return ds;
}

} // namespace vorl::platform
