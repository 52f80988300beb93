#include "serial/com_port.h"

#include "platform/device.h"
#include "platform/port_access.h"
#include "platform/port_map.h"
#include "platform/tcp_device.h"
#include "serial/dispatcher.h"

#include <algorithm>
#include <mutex>
#include <thread>

namespace vorl {

namespace {

std::mutex gHookLock;
TComPort::PortPrompt gPortPrompt;
std::function<void(std::exception_ptr)> gEventExceptionHandler;

void reportEventException(std::exception_ptr e) {
    std::function<void(std::exception_ptr)> handler;
    {
        std::lock_guard lock(gHookLock);
        handler = gEventExceptionHandler;
    }
    if (!handler) {
        return;
    }
    try {
        handler(e);
    } catch (...) {
        // The report itself failed; the notice still ends normally.
    }
}

uint16_t swFlowBits(TSWFlowOptions v) {
    switch (v) {
    case swfTransmit:
        return kSWFlowTransmit;
    case swfReceive:
        return kSWFlowReceive;
    case swfBoth:
        return kSWFlowTransmit | kSWFlowReceive;
    case swfNone:
        break;
    }
    return 0;
}

// A flow option that needs thresholds: unset or out-of-range ones become the
// given fractions of the input queue size.
void fitThresholds(uint16_t inSize, uint16_t& full, uint16_t& resume, int fullTenths,
                   int resumeHundredths) {
    if (full == 0 || full > inSize) {
        full = uint16_t(uint32_t(inSize) * fullTenths / 100);
    }
    if (resume == 0 || resume > full) {
        resume = uint16_t(uint32_t(inSize) * resumeHundredths / 100);
    }
}

// The line settings the port's properties ask for, as the dispatcher sets
// them once the port is open.
platform::LineSettings ExpectedLine(int32_t baud, TParity parity, uint16_t dataBits,
                                    uint16_t stopBits, THWFlowOptions hwFlow, bool dtr, bool rts) {
    using platform::LineControl;
    platform::LineSettings s;
    s.baud = uint32_t(baud);
    s.byteSize = uint8_t(dataBits);
    s.parity = uint8_t(parity);
    s.stopBits = stopBits != 2   ? platform::kOneStopBit
                 : dataBits == 5 ? platform::kOne5StopBits
                                 : platform::kTwoStopBits;
    s.ctsOutFlow = (hwFlow & hwfRequireCTS) != 0;
    s.dsrOutFlow = (hwFlow & hwfRequireDSR) != 0;
    s.dtrControl = (hwFlow & hwfUseDTR) ? LineControl::Handshake
                   : dtr                ? LineControl::On
                                        : LineControl::Off;
    s.rtsControl = (hwFlow & hwfUseRTS) ? LineControl::Handshake
                   : rts                ? LineControl::On
                                        : LineControl::Off;
    return s;
}

} // namespace

// The component's liveness, shared with the functions it hands to other
// threads: they run on the owning thread and look here before touching it.
struct TComPort::Alive {
    TComPort* port;
};

std::string ComPortDevicePath(int comNumber) {
    if (comNumber < 1) {
        return {};
    }
    return platform::ComPortPath(comNumber);
}

std::vector<ComPortInfo> AvailableComPorts(int first, int last) {
    std::vector<ComPortInfo> ports;
    for (int n = std::max(first, 1); n <= last; ++n) {
        const std::string path = platform::ComPortPath(n);
        if (platform::IsNetworkPath(path)) {
            // Listed as configured: trying it would connect to the server.
            ports.push_back({n, path, false});
            continue;
        }
        auto device = platform::MakeDevice(path);
        if (!device) {
            continue;
        }
        const int result = device->open(path);
        if (result == 0) {
            device->close();
            ports.push_back({n, path, false});
        } else if (result == -platform::kSysInUse) {
            ports.push_back({n, path, true});
        } else if (result == -platform::kSysPermissionDenied &&
                   platform::DeviceMayBePresent(path)) {
            ports.push_back(
                {n, path, false, platform::NoAccessNote(platform::QueryPortOwnership(path))});
        }
    }
    return ports;
}

void TComPort::SetPortPrompt(PortPrompt prompt) {
    std::lock_guard lock(gHookLock);
    gPortPrompt = std::move(prompt);
}

void TComPort::SetEventExceptionHandler(std::function<void(std::exception_ptr)> handler) {
    std::lock_guard lock(gHookLock);
    gEventExceptionHandler = std::move(handler);
}

TComPort::TComPort(std::shared_ptr<Delivery> delivery)
    : delivery_(std::move(delivery)), alive_(std::make_shared<Alive>(Alive{this})) {}

TComPort::~TComPort() {
    try {
        SetOpen(false);
    } catch (...) {
        // A component going away cannot report; the port is closed regardless.
    }
    // A close still waiting for the dispatcher's threads finishes without us:
    // the pending step owns the dispatcher and drops it once they have ended.
    alive_->port = nullptr;
    users_.clear();
}

std::string TComPort::ComName() const {
    return "COM" + std::to_string(comNumber_);
}

std::string TComPort::DevicePath() const {
    return ComPortDevicePath(comNumber_);
}

// ---- Properties ---------------------------------------------------------------

void TComPort::SetDeviceLayer(TDeviceLayer v) {
    // Only the one device layer there is; never while the port is in use.
    if (state_ != psClosed || v != dlWin32) {
        return;
    }
    deviceLayer_ = v;
}

void TComPort::SetComNumber(uint16_t v) {
    if (v == comNumber_) {
        return;
    }
    if (state_ != psOpen || loading_) {
        comNumber_ = v;
        return;
    }
    // The triggers are saved by the close and restored by the open.
    const TTraceLogState tracing = tracing_;
    const TTraceLogState logging = logging_;
    SetOpen(false);
    comNumber_ = v;
    SetTracing(tracing);
    SetLogging(logging);
    SetOpen(true);
}

void TComPort::applyLine() {
    whenOpen(
        [this](TBaseDispatcher& d) { check(d.SetLine(baud_, parity_, stopBits_, dataBits_)); });
}

void TComPort::SetBaud(int32_t v) {
    if (changes(baud_, v)) {
        applyLine();
    }
}

void TComPort::SetParity(TParity v) {
    if (changes(parity_, v)) {
        applyLine();
    }
}

void TComPort::SetDataBits(uint16_t v) {
    if (changes(dataBits_, v)) {
        applyLine();
    }
}

void TComPort::SetStopBits(uint16_t v) {
    if (changes(stopBits_, v)) {
        applyLine();
    }
}

void TComPort::SetInSize(uint16_t v) {
    if (changes(inSize_, v)) {
        whenOpen([this](TBaseDispatcher& d) { check(d.SetCommBuffers(inSize_, outSize_)); });
    }
}

void TComPort::SetOutSize(uint16_t v) {
    if (changes(outSize_, v)) {
        whenOpen([this](TBaseDispatcher& d) { check(d.SetCommBuffers(inSize_, outSize_)); });
    }
}

void TComPort::SetDTR(bool v) {
    if (changes(dtr_, v)) {
        whenOpen([this, v](TBaseDispatcher& d) { check(d.SetDtr(v)); });
    }
}

void TComPort::SetRTS(bool v) {
    if (changes(rts_, v)) {
        whenOpen([this, v](TBaseDispatcher& d) { check(d.SetRts(v)); });
    }
}

void TComPort::applyHWFlow() {
    if (hwFlow_ != hwfNone) {
        fitThresholds(inSize_, bufferFull_, bufferResume_, 90, 10);
    }
    whenOpen([this](TBaseDispatcher& d) {
        check(d.HWFlowOptions(bufferFull_, bufferResume_, hwFlow_));
    });
}

void TComPort::applySWFlow() {
    if (swFlow_ != swfNone) {
        fitThresholds(inSize_, bufferFull_, bufferResume_, 75, 25);
    }
    whenOpen([this](TBaseDispatcher& d) {
        check(swFlow_ == swfNone ? d.SWFlowDisable()
                                 : d.SWFlowEnable(bufferFull_, bufferResume_, swFlowBits(swFlow_)));
    });
}

void TComPort::SetHWFlowOptions(THWFlowOptions v) {
    v = v & (hwfUseDTR | hwfUseRTS | hwfRequireDSR | hwfRequireCTS);
    if (!changes(hwFlow_, v)) {
        return;
    }
    // RTS cannot both throttle the peer and switch the RS-485 driver.
    if ((v & (hwfUseRTS | hwfRequireCTS)) != hwfNone && rs485Mode_) {
        rs485Mode_ = false;
        whenOpen([this](TBaseDispatcher& d) { check(d.SetRS485Mode(false)); });
    }
    applyHWFlow();
}

void TComPort::SetSWFlowOptions(TSWFlowOptions v) {
    if (changes(swFlow_, v)) {
        applySWFlow();
    }
}

void TComPort::SetXOnChar(char v) {
    if (changes(xonChar_, v)) {
        whenOpen([this](TBaseDispatcher& d) {
            check(d.SWFlowChars(uint8_t(xonChar_), uint8_t(xoffChar_)));
        });
    }
}

void TComPort::SetXOffChar(char v) {
    if (changes(xoffChar_, v)) {
        whenOpen([this](TBaseDispatcher& d) {
            check(d.SWFlowChars(uint8_t(xonChar_), uint8_t(xoffChar_)));
        });
    }
}

// Re-applying the flow options brings both thresholds back inside InSize
// whenever a flow option is active.
void TComPort::reapplyFlow() {
    const bool wasForcing = forcing_;
    forcing_ = true;
    try {
        applyHWFlow();
        applySWFlow();
    } catch (...) {
        forcing_ = wasForcing;
        throw;
    }
    forcing_ = wasForcing;
}

void TComPort::SetBufferFull(uint16_t v) {
    if (v > inSize_) {
        v = uint16_t(uint32_t(v) * 9 / 10);
    }
    bufferFull_ = v;
    reapplyFlow();
}

void TComPort::SetBufferResume(uint16_t v) {
    if (v > bufferFull_) {
        v = uint16_t(uint32_t(bufferFull_) / 10);
    }
    bufferResume_ = v;
    reapplyFlow();
}

// The trace and the dispatch log run the same way: each row names one
// recorder's fields in the port and its calls in the dispatcher.
struct TComPort::Recorder {
    TTraceLogState TComPort::*state;
    uint32_t TComPort::*size;
    uint32_t maxSize;
    std::string TComPort::*file;
    bool TComPort::*hex;
    bool TComPort::*allHex;
    int32_t (TBaseDispatcher::*init)(uint32_t);
    void (TBaseDispatcher::*start)();
    void (TBaseDispatcher::*stop)();
    void (TBaseDispatcher::*clear)();
    void (TBaseDispatcher::*abort)();
    int32_t (TBaseDispatcher::*dump)(const std::string&, bool, bool);
    int32_t (TBaseDispatcher::*append)(const std::string&, bool, bool);
};

const TComPort::Recorder TComPort::kTrace{&TComPort::tracing_,
                                          &TComPort::traceSize_,
                                          4000000,
                                          &TComPort::traceName_,
                                          &TComPort::traceHex_,
                                          &TComPort::traceAllHex_,
                                          &TBaseDispatcher::InitTracing,
                                          &TBaseDispatcher::StartTracing,
                                          &TBaseDispatcher::StopTracing,
                                          &TBaseDispatcher::ClearTracing,
                                          &TBaseDispatcher::AbortTracing,
                                          &TBaseDispatcher::DumpTrace,
                                          &TBaseDispatcher::AppendTrace};

const TComPort::Recorder TComPort::kDispatchLog{&TComPort::logging_,
                                                &TComPort::logSize_,
                                                16000000,
                                                &TComPort::logName_,
                                                &TComPort::logHex_,
                                                &TComPort::logAllHex_,
                                                &TBaseDispatcher::InitDispatchLogging,
                                                &TBaseDispatcher::StartDispatchLogging,
                                                &TBaseDispatcher::StopDispatchLogging,
                                                &TBaseDispatcher::ClearDispatchLogging,
                                                &TBaseDispatcher::AbortDispatchLogging,
                                                &TBaseDispatcher::DumpDispatchLog,
                                                &TBaseDispatcher::AppendDispatchLog};

void TComPort::applyRecorder(const Recorder& r, TTraceLogState v) {
    TBaseDispatcher& d = *dispatcher_;
    TTraceLogState& state = this->*r.state;
    const bool running = state == tlOn || state == tlPause;
    switch (v) {
    case tlOn:
        if (state != tlPause) {
            check((d.*r.init)(this->*r.size));
        }
        (d.*r.start)();
        state = tlOn;
        break;
    case tlOff:
        (d.*r.abort)();
        state = tlOff;
        break;
    case tlDump:
    case tlAppend:
        if (running) {
            state = tlOff;
            check((d.*(v == tlDump ? r.dump : r.append))(this->*r.file, this->*r.hex,
                                                         this->*r.allHex));
        }
        break;
    case tlClear:
        if (running) {
            (d.*r.clear)();
        }
        break;
    case tlPause:
        if (state == tlOn) {
            (d.*r.stop)();
            state = tlPause;
        }
        break;
    }
}

void TComPort::setRecorder(const Recorder& r, TTraceLogState v) {
    TTraceLogState& state = this->*r.state;
    if (state_ != psOpen || !dispatcher_ || loading_) {
        state = v == tlOn ? tlOn : tlOff;
        return;
    }
    if (v == state && !forcing_) {
        return;
    }
    if (forcing_ && v == tlOn) {
        state = tlOff; // a fresh record for a fresh open
    }
    applyRecorder(r, v);
}

void TComPort::resizeRecorder(const Recorder& r, uint32_t v) {
    this->*r.size = std::min(v, r.maxSize);
    if (state_ == psOpen && dispatcher_ && this->*r.state == tlOn) {
        this->*r.state = tlOff;
        applyRecorder(r, tlOn);
    }
}

void TComPort::SetTracing(TTraceLogState v) {
    setRecorder(kTrace, v);
}

void TComPort::SetTraceSize(uint32_t v) {
    resizeRecorder(kTrace, v);
}

void TComPort::SetLogging(TTraceLogState v) {
    setRecorder(kDispatchLog, v);
}

void TComPort::SetLogSize(uint32_t v) {
    resizeRecorder(kDispatchLog, v);
}

void TComPort::SetUseEventWord(bool v) {
    if (changes(useEventWord_, v)) {
        whenOpen([v](TBaseDispatcher& d) {
            v ? d.OptionsOn(kOptionUseEventWord) : d.OptionsOff(kOptionUseEventWord);
        });
    }
}

void TComPort::SetRS485Mode(bool v) {
    if (v == rs485Mode_ && !forcing_) {
        return;
    }
    if (v) {
        // RTS switches the line driver now; it can no longer do flow control.
        const THWFlowOptions without = hwFlow_ & ~(hwfUseRTS | hwfRequireCTS);
        if (without != hwFlow_) {
            hwFlow_ = without;
            applyHWFlow();
        }
        SetRTS(false);
    }
    if (state_ == psOpen && dispatcher_) {
        const int32_t r = dispatcher_->SetRS485Mode(v);
        if (r == ecNotSupported && !loading_) {
            // Stored and ignored, the mode would leave the line driver
            // pointing the wrong way and every byte lost: refused instead.
            rs485Mode_ = false;
            throw ECommException(ecNotSupported,
                                 "RS-485 mode is not supported by the device " + DevicePath());
        }
        check(r);
    }
    rs485Mode_ = v;
}

void TComPort::SetThreadBoost(TThreadBoost v) {
    if (changes(threadBoost_, v)) {
        whenOpen([v](TBaseDispatcher& d) { d.SetThreadBoost(v); });
    }
}

// ---- Open and close -----------------------------------------------------------

void TComPort::SetOpen(bool v) {
    if (loading_) {
        openWhenLoaded_ = v;
        open_ = v;
        return;
    }
    if (v) {
        if (state_ == psOpen) {
            return;
        }
        doOpen();
    } else {
        openRequested_ = false;
        doClose();
    }
}

void TComPort::EndLoading() {
    if (!loading_) {
        return;
    }
    loading_ = false;
    if (openWhenLoaded_) {
        openWhenLoaded_ = false;
        open_ = false;
        SetOpen(true);
    }
}

[[noreturn]] void TComPort::raiseOpenFailure(int32_t result) {
    const std::string path = DevicePath();
    const std::string where = " (" + ComName() + ": " + path + ")";
    if (auto* linux = dynamic_cast<TLinuxDispatcher*>(dispatcher_.get());
        linux && linux->Device()) {
        const std::string explained = linux->Device()->errorText();
        if (!explained.empty()) {
            throw EPortUnreachable(result, explained + " (" + ComName() + ")");
        }
    }
    switch (result) {
    case -platform::kSysInUse:
        throw EAlreadyOpen(ecAlreadyOpen, ErrorMsg(ecAlreadyOpen) + where);
    case -platform::kSysNoSuchDevice:
    case -platform::kSysPathNotFound:
        throw EBadId(ecBadId, ErrorMsg(ecBadId) + where);
    case -platform::kSysPermissionDenied:
        throw EPortAccessDenied(result,
                                platform::DeviceErrorText(platform::kSysPermissionDenied, path) +
                                    " (" + ComName() + ")");
    default:
        break;
    }
    CheckException(result);
    throw ECommException(result, ErrorMsg(result) + where);
}

void TComPort::doOpen() {
    if (state_ == psShuttingDown) {
        // Carried out as soon as the close has finished.
        openRequested_ = true;
        return;
    }
    if (tapiMode_ != tmOn && comNumber_ == 0) {
        PortPrompt prompt;
        if (promptForPort_) {
            std::lock_guard lock(gHookLock);
            prompt = gPortPrompt;
        }
        const int chosen = prompt ? prompt() : 0;
        if (chosen <= 0 || chosen > 0xFFFF) {
            throw ENoPortSelected(ecNoPortSelected);
        }
        comNumber_ = uint16_t(chosen);
    }
    if (deviceLayer_ != dlWin32) {
        throw ENullApi(ecNullApi);
    }
    if (!delivery_) {
        throw EPortNotAssigned(ecPortNotAssigned, "The port component has no notice delivery");
    }

    // A network port sets its line while it connects, off this thread.
    const platform::LineSettings expected =
        ExpectedLine(baud_, parity_, dataBits_, stopBits_, hwFlow_, dtr_, rts_);
    // Not for the old rate codes (0xFEFF, 0xFF10...), which the dispatcher
    // translates.
    const bool plainRate = baud_ > 0 && (baud_ < 0xFE00 || baud_ > 0xFFFF);
    dispatcher_ =
        std::make_shared<TLinuxDispatcher>(this, [expected, plainRate](const std::string& name) {
            auto device = platform::MakeDevice(name);
            if (auto* network = dynamic_cast<platform::TcpDevice*>(device.get());
                network && plainRate) {
                network->presetLineSettings(expected);
            }
            return device;
        });
    try {
        uint32_t options = 0;
        options |= dtr_ ? kOptionDTR : 0;
        options |= rts_ ? kOptionRTS : 0;
        options |= (hwFlow_ & hwfUseDTR) ? kOptionDTRHandshake : 0;
        options |= (hwFlow_ & hwfUseRTS) ? kOptionRTSHandshake : 0;
        const int32_t result = dispatcher_->InitPort(DevicePath(), baud_, parity_, dataBits_,
                                                     stopBits_, inSize_, outSize_, options);
        if (result != 0) {
            raiseOpenFailure(result);
        }

        state_ = psOpen;
        ++openGeneration_;
        dispatcher_->UpdateHandlerFlags(fuEnablePort);

        forcing_ = true;
        SetTracing(tracing_);
        SetLogging(logging_);
        SetHWFlowOptions(hwFlow_);
        SetSWFlowOptions(swFlow_);
        SetXOnChar(xonChar_);
        SetXOffChar(xoffChar_);
        SetTriggerLength(triggerLength_);
        SetDTR(dtr_);
        SetRTS(rts_);
        SetUseMSRShadow(useMSRShadow_);
        SetUseEventWord(useEventWord_);
        SetCommNotificationLevel(commNotificationLevel_);
        SetRS485Mode(rs485Mode_);
        SetThreadBoost(threadBoost_);
        forcing_ = false;
        open_ = true;

        std::weak_ptr<Alive> weak = alive_;
        const uint64_t generation = openGeneration_;
        check(dispatcher_->RegisterWndTriggerHandler(
            delivery_, [weak, generation](uint32_t msg, uint32_t first, uint32_t second) {
                const auto alive = weak.lock();
                if (alive && alive->port && alive->port->openGeneration_ == generation) {
                    alive->port->handleNotice(msg, first, second);
                }
            }));

        if (haveSaved_) {
            dispatcher_->RestoreTriggers(saved_);
            TBaseDispatcher::ClearSaveBuffers(saved_);
            triggerLength_ = uint32_t(std::max<int32_t>(saved_.lengthTrigger, 0));
            haveSaved_ = false;
        }

        tellUsers(true);
    } catch (...) {
        forcing_ = false;
        open_ = false;
        state_ = psClosed;
        ++openGeneration_;
        auto failed = std::move(dispatcher_);
        failed.reset();
        throw;
    }
}

void TComPort::tellUsers(bool opening) {
    // A user may deregister (itself or another) while being told.
    const auto users = users_;
    std::exception_ptr first;
    for (auto it = users.rbegin(); it != users.rend(); ++it) {
        if ((*it)->removed || !(*it)->callback) {
            continue;
        }
        if (opening) {
            (*it)->callback(*this, true);
        } else {
            // A close goes through whatever a user does.
            try {
                (*it)->callback(*this, false);
            } catch (...) {
                if (!first) {
                    first = std::current_exception();
                }
            }
        }
    }
    TNotifyEvent event = opening ? OnPortOpen : OnPortClose;
    if (event) {
        if (opening) {
            event(*this);
        } else {
            try {
                event(*this);
            } catch (...) {
                if (!first) {
                    first = std::current_exception();
                }
            }
        }
    }
    if (first) {
        std::rethrow_exception(first);
    }
}

void TComPort::doClose() {
    open_ = false;
    if (state_ != psOpen) {
        return;
    }
    std::exception_ptr failure;
    // A running trace or log goes to its file; failing to write it must not keep
    // the port open.
    try {
        SetTracing(tlDump);
        SetLogging(tlDump);
    } catch (...) {
        failure = std::current_exception();
    }
    state_ = psShuttingDown;
    ++openGeneration_; // notices still on their way find no open port
    try {
        tellUsers(false);
    } catch (...) {
        if (!failure) {
            failure = std::current_exception();
        }
    }

    TBaseDispatcher::ClearSaveBuffers(saved_);
    dispatcher_->SaveTriggers(saved_);
    haveSaved_ = true;
    dispatcher_->DonePort();

    if (dispatcher_->ThreadsActive()) {
        // Called from inside a notice: a dispatcher thread waits for the handler
        // that is closing us. Finish once the threads have ended.
        finishCloseWhenIdle();
    } else {
        finishClose();
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
}

namespace {

// Posted to the owning thread until the closed dispatcher's threads have ended,
// then finishes the close. It owns the dispatcher, so it may outlive the port.
struct DeferredClose {
    std::weak_ptr<void> alive;
    std::shared_ptr<TBaseDispatcher> dispatcher;
    std::shared_ptr<Delivery> delivery;
    std::function<void()> finish; // runs only while the port lives

    void operator()() const {
        if (dispatcher->ThreadsActive()) {
            std::this_thread::yield();
            delivery->post(*this);
            return;
        }
        if (!alive.expired()) {
            finish();
        }
    }
};

} // namespace

void TComPort::finishCloseWhenIdle() {
    std::weak_ptr<Alive> weak = alive_;
    auto dispatcher = dispatcher_;
    auto finish = [weak, dispatcher] {
        const auto alive = weak.lock();
        if (alive && alive->port && alive->port->dispatcher_ == dispatcher &&
            alive->port->state_ == psShuttingDown) {
            alive->port->finishClose();
        }
    };
    delivery_->post(DeferredClose{alive_, dispatcher, delivery_, std::move(finish)});
}

void TComPort::finishClose() {
    if (dispatcher_) {
        dispatcher_->DeregisterWndTriggerHandler(delivery_.get());
    }
    dispatcher_.reset();
    state_ = psClosed;
    if (openRequested_) {
        openRequested_ = false;
        SetOpen(true);
    }
}

// ---- Users --------------------------------------------------------------------

void TComPort::RegisterUserCallback(const void* owner, TPortCallback callback) {
    users_.push_back(std::make_shared<User>(User{owner, std::move(callback)}));
}

void TComPort::DeregisterUserCallback(const void* owner) {
    for (auto& u : users_) {
        if (u->owner == owner) {
            u->removed = true;
        }
    }
    std::erase_if(users_, [](const auto& u) { return u->removed; });
}

// ---- Notices ------------------------------------------------------------------

void TComPort::handleNotice(uint32_t msg, uint32_t first, uint32_t second) {
    if (msg < kNoticeTriggerAvail || msg > kNoticeTriggerStatus) {
        return;
    }
    const std::weak_ptr<Alive> weak = alive_;
    // A handler may close or even destroy the port; look before every step.
    auto stillHere = [&weak] {
        const auto alive = weak.lock();
        return alive && alive->port != nullptr;
    };
    const uint16_t handle = uint16_t(first);
    const uint16_t data = msg == kNoticeTriggerAvail ? uint16_t(first) : NoticeLow(second);
    try {
        if (OnTrigger) {
            auto event = OnTrigger;
            event(*this, uint16_t(msg), handle, data);
            if (!stillHere()) {
                return;
            }
        }
        switch (msg) {
        case kNoticeTriggerAvail:
            if (auto event = OnTriggerAvail) {
                event(*this, uint16_t(first));
            }
            break;
        case kNoticeTriggerData:
            if (auto event = OnTriggerData) {
                event(*this, handle);
            }
            break;
        case kNoticeTriggerTimer:
            if (auto event = OnTriggerTimer) {
                event(*this, handle);
            }
            break;
        case kNoticeTriggerStatus: {
            if (auto event = OnTriggerStatus) {
                event(*this, handle);
                if (!stillHere()) {
                    return;
                }
            }
            switch (ClassifyStatusTrigger(handle)) {
            case stModem:
                if (auto event = OnTriggerModemStatus) {
                    event(*this);
                }
                break;
            case stLine:
                if (auto event = OnTriggerLineError) {
                    // The break first: reading it clears it, so the error that
                    // follows is the one that came with it (or none).
                    const bool lineBreak = GetLineBreak();
                    const uint16_t error = GetLineError();
                    event(*this, error, lineBreak);
                }
                break;
            case stOutBuffFree:
                if (auto event = OnTriggerOutbuffFree) {
                    event(*this);
                }
                break;
            case stOutBuffUsed:
                if (auto event = OnTriggerOutbuffUsed) {
                    event(*this);
                }
                break;
            case stOutSent:
                if (auto event = OnTriggerOutSent) {
                    event(*this);
                }
                break;
            default:
                break;
            }
            break;
        }
        default:
            break;
        }
    } catch (...) {
        reportEventException(std::current_exception());
    }
}

} // namespace vorl
