#include "serial/com_port.h"

#include "platform/device.h"
#include "platform/port_access.h"
#include "platform/port_map.h"
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
    if (state_ == psOpen && dispatcher_) {
        check(dispatcher_->SetLine(baud_, parity_, stopBits_, dataBits_));
    }
}

void TComPort::SetBaud(int32_t v) {
    if (v == baud_ && !forcing_) {
        return;
    }
    baud_ = v;
    applyLine();
}

void TComPort::SetParity(TParity v) {
    if (v == parity_ && !forcing_) {
        return;
    }
    parity_ = v;
    applyLine();
}

void TComPort::SetDataBits(uint16_t v) {
    if (v == dataBits_ && !forcing_) {
        return;
    }
    dataBits_ = v;
    applyLine();
}

void TComPort::SetStopBits(uint16_t v) {
    if (v == stopBits_ && !forcing_) {
        return;
    }
    stopBits_ = v;
    applyLine();
}

void TComPort::SetInSize(uint16_t v) {
    if (v == inSize_ && !forcing_) {
        return;
    }
    inSize_ = v;
    if (state_ == psOpen && dispatcher_) {
        check(dispatcher_->SetCommBuffers(inSize_, outSize_));
    }
}

void TComPort::SetOutSize(uint16_t v) {
    if (v == outSize_ && !forcing_) {
        return;
    }
    outSize_ = v;
    if (state_ == psOpen && dispatcher_) {
        check(dispatcher_->SetCommBuffers(inSize_, outSize_));
    }
}

void TComPort::SetDTR(bool v) {
    if (v == dtr_ && !forcing_) {
        return;
    }
    dtr_ = v;
    if (state_ == psOpen && dispatcher_) {
        check(dispatcher_->SetDtr(v));
    }
}

void TComPort::SetRTS(bool v) {
    if (v == rts_ && !forcing_) {
        return;
    }
    rts_ = v;
    if (state_ == psOpen && dispatcher_) {
        check(dispatcher_->SetRts(v));
    }
}

void TComPort::applyHWFlow() {
    if (hwFlow_ != hwfNone) {
        fitThresholds(inSize_, bufferFull_, bufferResume_, 90, 10);
    }
    if (state_ == psOpen && dispatcher_) {
        check(dispatcher_->HWFlowOptions(bufferFull_, bufferResume_, hwFlow_));
    }
}

void TComPort::applySWFlow() {
    if (swFlow_ != swfNone) {
        fitThresholds(inSize_, bufferFull_, bufferResume_, 75, 25);
    }
    if (state_ == psOpen && dispatcher_) {
        if (swFlow_ == swfNone) {
            check(dispatcher_->SWFlowDisable());
        } else {
            check(dispatcher_->SWFlowEnable(bufferFull_, bufferResume_, swFlowBits(swFlow_)));
        }
    }
}

void TComPort::SetHWFlowOptions(THWFlowOptions v) {
    v = v & (hwfUseDTR | hwfUseRTS | hwfRequireDSR | hwfRequireCTS);
    if (v == hwFlow_ && !forcing_) {
        return;
    }
    hwFlow_ = v;
    // RTS cannot both throttle the peer and switch the RS-485 driver.
    if ((v & (hwfUseRTS | hwfRequireCTS)) != hwfNone && rs485Mode_) {
        rs485Mode_ = false;
        if (state_ == psOpen && dispatcher_) {
            check(dispatcher_->SetRS485Mode(false));
        }
    }
    applyHWFlow();
}

void TComPort::SetSWFlowOptions(TSWFlowOptions v) {
    if (v == swFlow_ && !forcing_) {
        return;
    }
    swFlow_ = v;
    applySWFlow();
}

void TComPort::SetXOnChar(char v) {
    if (v == xonChar_ && !forcing_) {
        return;
    }
    xonChar_ = v;
    if (state_ == psOpen && dispatcher_) {
        check(dispatcher_->SWFlowChars(uint8_t(xonChar_), uint8_t(xoffChar_)));
    }
}

void TComPort::SetXOffChar(char v) {
    if (v == xoffChar_ && !forcing_) {
        return;
    }
    xoffChar_ = v;
    if (state_ == psOpen && dispatcher_) {
        check(dispatcher_->SWFlowChars(uint8_t(xonChar_), uint8_t(xoffChar_)));
    }
}

void TComPort::SetBufferFull(uint16_t v) {
    if (v > inSize_) {
        v = uint16_t(uint32_t(v) * 9 / 10);
    }
    bufferFull_ = v;
    // Re-applying the flow options brings both thresholds back inside InSize
    // whenever a flow option is active.
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

void TComPort::SetBufferResume(uint16_t v) {
    if (v > bufferFull_) {
        v = uint16_t(uint32_t(bufferFull_) / 10);
    }
    bufferResume_ = v;
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

void TComPort::applyTracing(TTraceLogState v) {
    TBaseDispatcher& d = *dispatcher_;
    const bool running = tracing_ == tlOn || tracing_ == tlPause;
    switch (v) {
    case tlOn:
        if (tracing_ == tlPause) {
            d.StartTracing();
        } else {
            check(d.InitTracing(traceSize_));
            d.StartTracing();
        }
        tracing_ = tlOn;
        break;
    case tlOff:
        d.AbortTracing();
        tracing_ = tlOff;
        break;
    case tlDump:
    case tlAppend:
        if (running) {
            tracing_ = tlOff;
            check(v == tlDump ? d.DumpTrace(traceName_, traceHex_, traceAllHex_)
                              : d.AppendTrace(traceName_, traceHex_, traceAllHex_));
        }
        break;
    case tlClear:
        if (running) {
            d.ClearTracing();
        }
        break;
    case tlPause:
        if (tracing_ == tlOn) {
            d.StopTracing();
            tracing_ = tlPause;
        }
        break;
    }
}

void TComPort::SetTracing(TTraceLogState v) {
    if (state_ != psOpen || !dispatcher_ || loading_) {
        tracing_ = v == tlOn ? tlOn : tlOff;
        return;
    }
    if (v == tracing_ && !forcing_) {
        return;
    }
    if (forcing_ && v == tlOn) {
        tracing_ = tlOff; // a fresh trace for a fresh open
    }
    applyTracing(v);
}

void TComPort::SetTraceSize(uint32_t v) {
    traceSize_ = std::min<uint32_t>(v, 4000000);
    if (state_ == psOpen && dispatcher_ && tracing_ == tlOn) {
        tracing_ = tlOff;
        applyTracing(tlOn);
    }
}

void TComPort::applyLogging(TTraceLogState v) {
    TBaseDispatcher& d = *dispatcher_;
    const bool running = logging_ == tlOn || logging_ == tlPause;
    switch (v) {
    case tlOn:
        if (logging_ == tlPause) {
            d.StartDispatchLogging();
        } else {
            check(d.InitDispatchLogging(logSize_));
            d.StartDispatchLogging();
        }
        logging_ = tlOn;
        break;
    case tlOff:
        d.AbortDispatchLogging();
        logging_ = tlOff;
        break;
    case tlDump:
    case tlAppend:
        if (running) {
            logging_ = tlOff;
            check(v == tlDump ? d.DumpDispatchLog(logName_, logHex_, logAllHex_)
                              : d.AppendDispatchLog(logName_, logHex_, logAllHex_));
        }
        break;
    case tlClear:
        if (running) {
            d.ClearDispatchLogging();
        }
        break;
    case tlPause:
        if (logging_ == tlOn) {
            d.StopDispatchLogging();
            logging_ = tlPause;
        }
        break;
    }
}

void TComPort::SetLogging(TTraceLogState v) {
    if (state_ != psOpen || !dispatcher_ || loading_) {
        logging_ = v == tlOn ? tlOn : tlOff;
        return;
    }
    if (v == logging_ && !forcing_) {
        return;
    }
    if (forcing_ && v == tlOn) {
        logging_ = tlOff;
    }
    applyLogging(v);
}

void TComPort::SetLogSize(uint32_t v) {
    logSize_ = std::min<uint32_t>(v, 16000000);
    if (state_ == psOpen && dispatcher_ && logging_ == tlOn) {
        logging_ = tlOff;
        applyLogging(tlOn);
    }
}

void TComPort::SetUseEventWord(bool v) {
    if (v == useEventWord_ && !forcing_) {
        return;
    }
    useEventWord_ = v;
    if (state_ == psOpen && dispatcher_) {
        if (v) {
            dispatcher_->OptionsOn(kOptionUseEventWord);
        } else {
            dispatcher_->OptionsOff(kOptionUseEventWord);
        }
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
    if (v == threadBoost_ && !forcing_) {
        return;
    }
    threadBoost_ = v;
    if (state_ == psOpen && dispatcher_) {
        dispatcher_->SetThreadBoost(v);
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

    dispatcher_ = std::make_shared<TLinuxDispatcher>(this);
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
            triggerLength_ = uint32_t(std::max<int32_t>(saved_.tsLenTrigger, 0));
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
    if (guardedOff()) {
        return;
    }
    check(ValidDispatcher().PutChar(uint8_t(c)));
}

void TComPort::PutString(std::string_view s) {
    if (guardedOff()) {
        return;
    }
    check(ValidDispatcher().PutString(s));
}

int32_t TComPort::PutBlock(const void* buffer, uint16_t length) {
    if (guardedOff()) {
        return 0;
    }
    return check(ValidDispatcher().PutBlock(buffer, length));
}

char TComPort::GetChar() {
    if (guardedOff()) {
        return 0;
    }
    uint8_t c = 0;
    check(ValidDispatcher().GetChar(c));
    return char(c);
}

char TComPort::PeekChar(uint16_t n) {
    if (guardedOff()) {
        return 0;
    }
    uint8_t c = 0;
    check(ValidDispatcher().PeekChar(c, n));
    return char(c);
}

int32_t TComPort::GetBlock(void* buffer, uint16_t length) {
    if (guardedOff()) {
        return 0;
    }
    return check(ValidDispatcher().GetBlock(buffer, length));
}

int32_t TComPort::PeekBlock(void* buffer, uint16_t length) {
    if (guardedOff()) {
        return 0;
    }
    return check(ValidDispatcher().PeekBlock(buffer, length));
}

bool TComPort::CharReady() {
    if (guardedOff()) {
        return false;
    }
    return ValidDispatcher().CharReady();
}

void TComPort::FlushInBuffer() {
    if (guardedOff()) {
        return;
    }
    check(ValidDispatcher().FlushInBuffer());
}

void TComPort::FlushOutBuffer() {
    if (guardedOff()) {
        return;
    }
    check(ValidDispatcher().FlushOutBuffer());
}

// ---- Queries ------------------------------------------------------------------

uint32_t TComPort::GetInBuffUsed() {
    if (state_ != psOpen) {
        return 0;
    }
    return uint32_t(std::max(check(dispatcher_->InBuffUsed()), 0));
}

uint32_t TComPort::GetInBuffFree() {
    if (state_ != psOpen) {
        return kDispatchBufferSize;
    }
    return uint32_t(std::max(check(dispatcher_->InBuffFree()), 0));
}

uint32_t TComPort::GetOutBuffUsed() {
    if (state_ != psOpen) {
        return 0;
    }
    return uint32_t(std::max(check(dispatcher_->OutBuffUsed()), 0));
}

int32_t TComPort::GetLineFailure() {
    return state_ == psOpen ? dispatcher_->LineFailure() : 0;
}

uint32_t TComPort::GetOutBuffFree() {
    if (state_ != psOpen) {
        return outSize_;
    }
    return uint32_t(std::max(check(dispatcher_->OutBuffFree()), 0));
}

bool TComPort::GetCTS() {
    return state_ == psOpen && dispatcher_->CheckCTS();
}
bool TComPort::GetDSR() {
    return state_ == psOpen && dispatcher_->CheckDSR();
}
bool TComPort::GetRI() {
    return state_ == psOpen && dispatcher_->CheckRI();
}
bool TComPort::GetDCD() {
    return state_ == psOpen && dispatcher_->CheckDCD();
}
bool TComPort::GetDeltaCTS() {
    return state_ == psOpen && dispatcher_->CheckDeltaCTS();
}
bool TComPort::GetDeltaDSR() {
    return state_ == psOpen && dispatcher_->CheckDeltaDSR();
}
bool TComPort::GetDeltaRI() {
    return state_ == psOpen && dispatcher_->CheckDeltaRI();
}
bool TComPort::GetDeltaDCD() {
    return state_ == psOpen && dispatcher_->CheckDeltaDCD();
}

uint16_t TComPort::GetLineError() {
    if (state_ != psOpen) {
        return 0;
    }
    return uint16_t(std::max(dispatcher_->GetLineError(), 0));
}

bool TComPort::GetLineBreak() {
    return state_ == psOpen && dispatcher_->CheckLineBreak();
}

uint16_t TComPort::GetBaseAddress() {
    if (state_ != psOpen) {
        return 0;
    }
    return dispatcher_->GetBaseAddress();
}

uint8_t TComPort::GetModemStatus() {
    if (guardedOff()) {
        return 0;
    }
    return ValidDispatcher().GetModemStatus();
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
    if (guardedOff()) {
        return 0;
    }
    return uint16_t(check(ValidDispatcher().AddDataTrigger(data, ignoreCase, seeWaiting)));
}

uint16_t TComPort::AddTimerTrigger() {
    if (guardedOff()) {
        return 0;
    }
    return uint16_t(check(ValidDispatcher().AddTimerTrigger()));
}

uint16_t TComPort::AddStatusTrigger(uint16_t kind) {
    if (guardedOff()) {
        return 0;
    }
    return uint16_t(check(ValidDispatcher().AddStatusTrigger(kind)));
}

void TComPort::SetTimerTrigger(uint16_t handle, int32_t ticks, bool activate) {
    if (guardedOff()) {
        return;
    }
    check(ValidDispatcher().SetTimerTrigger(handle, ticks, activate));
}

void TComPort::DiscardUntilTrigger(uint16_t handle) {
    if (guardedOff()) {
        return;
    }
    check(ValidDispatcher().DiscardUntilTrigger(handle));
}

void TComPort::SetStatusTrigger(uint16_t handle, uint16_t value, bool activate) {
    if (guardedOff()) {
        return;
    }
    check(ValidDispatcher().SetStatusTrigger(handle, value, activate));
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
        saved_.tsLenTrigger = 0;
        return;
    }
    auto drop = [handle](auto& list) {
        std::erase_if(list, [handle](const auto& t) { return t.tHandle == handle; });
    };
    drop(saved_.tsTimerTriggers);
    drop(saved_.tsStatusTriggers);
    drop(saved_.tsDataTriggers);
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
    if (state_ == psOpen && dispatcher_) {
        check(dispatcher_->ChangeLengthTrigger(count));
    }
}

// ---- Line control -------------------------------------------------------------

void TComPort::SendBreak(uint32_t ticks, bool yield) {
    if (guardedOff()) {
        return;
    }
    check(ValidDispatcher().SendBreak(int32_t(std::min<uint32_t>(ticks, kMaxTicks)), yield));
}

void TComPort::SetBreak(bool on) {
    if (guardedOff()) {
        return;
    }
    check(ValidDispatcher().SetBreak(on));
}

void TComPort::ProcessCommunications() {
    if (guardedOff()) {
        return;
    }
    ValidDispatcher().ProcessCommunications();
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
