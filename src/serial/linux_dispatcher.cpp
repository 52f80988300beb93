// The dispatcher on a Linux device: each primitive passes to the device
// layer (a tty, a network port or the simulated device).
#include "serial/dispatcher.h"

#include "serial/dispatcher_impl.h"

namespace vorl {

// ---------------------------------------------------------------------------
// The Linux dispatcher

TLinuxDispatcher::TLinuxDispatcher(void* owner, DeviceFactory factory)
    : TBaseDispatcher(owner), factory_(std::move(factory)) {
    if (!factory_)
        factory_ = [](const std::string& name) { return platform::MakeDevice(name); };
}

TLinuxDispatcher::~TLinuxDispatcher() {
    if (d_->closePending)
        DonePortPrim();
    else
        DonePort();
    StopDispatcher();
    RemoveAllTriggers();
}

int32_t TLinuxDispatcher::OpenCom(const std::string& name, uint32_t, uint32_t) {
    if (comThread_.joinable() || dispThread_.joinable() || outThread_.joinable())
        StopDispatcher();
    device_ = factory_(name);
    if (!device_)
        return ecFileNotFound;
    int r = device_->open(name);
    if (r != 0)
        return r;
    return ecOK;
}

int32_t TLinuxDispatcher::CloseCom() {
    Impl& d = *d_;
    {
        std::lock_guard<std::mutex> g(d.general);
        d.kill = true; // no new notice starts from here on
    }
    d.open = false;
    {
        std::lock_guard<std::mutex> o(d.output);
        d.ocv.notify_all();
    }
    if (device_) {
        device_->wakeInput();
        device_->wakeOutput();
    }
    // The com and output threads never wait for a notice: they end at once.
    auto self = std::this_thread::get_id();
    if (comThread_.joinable() && comThread_.get_id() != self)
        comThread_.join();
    if (outThread_.joinable() && outThread_.get_id() != self)
        outThread_.join();
    if (device_)
        device_->close();
    return ecOK;
}

int32_t TLinuxDispatcher::SetupCom(uint32_t inQueue, uint32_t outQueue) {
    return device_ ? device_->setQueueSizes(inQueue, outQueue) : ecCommNotOpen;
}

int32_t TLinuxDispatcher::GetComState(LineSettings& settings) {
    return device_ ? device_->getLineSettings(settings) : ecCommNotOpen;
}

int32_t TLinuxDispatcher::SetComState(const LineSettings& settings) {
    return device_ ? device_->setLineSettings(settings) : ecCommNotOpen;
}

long TLinuxDispatcher::ReadCom(uint8_t* buf, size_t count) {
    return device_ ? device_->read(buf, count) : long(ecCommNotOpen);
}

long TLinuxDispatcher::WriteCom(const uint8_t* buf, size_t count) {
    return device_ ? device_->write(buf, count) : long(ecCommNotOpen);
}

platform::WaitResult TLinuxDispatcher::WaitComEvent(bool wantData, int timeoutMs) {
    return device_ ? device_->waitInput(wantData, timeoutMs) : platform::WaitResult::Failed;
}

platform::WaitResult TLinuxDispatcher::WaitComWritable(int timeoutMs) {
    return device_ ? device_->waitOutput(timeoutMs) : platform::WaitResult::Failed;
}

void TLinuxDispatcher::WakeCom(bool input, bool output) {
    if (!device_)
        return;
    if (input)
        device_->wakeInput();
    if (output)
        device_->wakeOutput();
}

platform::DeviceStatus TLinuxDispatcher::GetComError() {
    return device_ ? device_->status() : platform::DeviceStatus{};
}

uint32_t TLinuxDispatcher::GetComOutQueue() {
    return device_ ? device_->outputQueued() : 0;
}

uint8_t TLinuxDispatcher::GetComModemLines() {
    return device_ ? device_->modemLines() : 0;
}

bool TLinuxDispatcher::HasModemLines() {
    return device_ && device_->hasModemLines();
}

int32_t TLinuxDispatcher::EscapeComFunction(int32_t code) {
    if (!device_)
        return ecCommNotOpen;
    int r;
    switch (code) {
    case kEscSetRTS:
    case kEscClrRTS:
        r = device_->setRts(code == kEscSetRTS);
        break;
    case kEscSetDTR:
    case kEscClrDTR:
        r = device_->setDtr(code == kEscSetDTR);
        break;
    case kEscSetBreak:
    case kEscClrBreak:
        r = device_->setBreak(code == kEscSetBreak);
        break;
    default:
        return ecBadArgument;
    }
    return r;
}

int32_t TLinuxDispatcher::SetComRS485(bool on) {
    if (!device_)
        return on ? ecCommNotOpen : ecOK;
    return device_->setRs485(on);
}

int32_t TLinuxDispatcher::FlushCom(unsigned which) {
    return device_ ? device_->purge(which) : ecOK;
}

int32_t TLinuxDispatcher::DrainCom(int32_t graceMs) {
    return device_ ? device_->drain(graceMs) : ecOK;
}

int32_t TLinuxDispatcher::StartDispatcher() {
    Impl& d = *d_;
    {
        std::lock_guard<std::mutex> g(d.general);
        if (d.active)
            throw std::logic_error("Dispatcher already started");
        d.active = true;
        d.kill = false;
    }
    {
        std::lock_guard<std::mutex> lk(d.startLock);
        d.started = 0;
    }
    auto start = [&](std::thread& t, void (TLinuxDispatcher::*body)(), int n) {
        d.liveThreads.fetch_add(1);
        t = std::thread([this, body] { (this->*body)(); });
        std::unique_lock<std::mutex> lk(d.startLock);
        d.startCv.wait_for(lk, std::chrono::milliseconds(3000), [&] { return d.started >= n; });
    };
    start(comThread_, &TLinuxDispatcher::ComThreadLoop, 1);
    start(dispThread_, &TLinuxDispatcher::DispThreadLoop, 2);
    start(outThread_, &TLinuxDispatcher::OutThreadLoop, 3);
    return ecOK;
}

int32_t TLinuxDispatcher::StopDispatcher() {
    Impl& d = *d_;
    d.kill = true;
    {
        std::lock_guard<std::mutex> o(d.output);
        d.ocv.notify_all();
    }
    {
        std::lock_guard<std::mutex> e(d.evLock);
        d.comEvent = true;
    }
    d.evCv.notify_all();
    if (device_) {
        device_->wakeInput();
        device_->wakeOutput();
    }
    auto self = std::this_thread::get_id();
    for (std::thread* t : {&comThread_, &outThread_, &dispThread_})
        if (t->joinable() && t->get_id() != self)
            t->join();
    return ecOK;
}

} // namespace vorl
