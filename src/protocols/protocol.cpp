#include "protocols/protocol.h"

#include "protocols/ascii_protocol.h"
#include "protocols/xmodem.h"
#include "serial/com_port.h"
#include "serial/dispatcher.h"

#include <algorithm>
#include <mutex>

namespace vorl {

namespace {

std::mutex gExceptionHandlerLock;
std::function<void(std::exception_ptr)> gExceptionHandler;

// Runs an event handler; what it throws goes to the exception handler.
template <typename F> void guarded(F&& f) {
    try {
        f();
    } catch (...) {
        std::function<void(std::exception_ptr)> handler;
        {
            std::lock_guard<std::mutex> lk(gExceptionHandlerLock);
            handler = gExceptionHandler;
        }
        if (handler)
            handler(std::current_exception());
    }
}

} // namespace

void TCustomProtocol::SetEventExceptionHandler(std::function<void(std::exception_ptr)> handler) {
    std::lock_guard<std::mutex> lk(gExceptionHandlerLock);
    gExceptionHandler = std::move(handler);
}

// What a notice run on the owning thread may reach: the component while it
// lives. Notices capture it weakly; the destructor lets it go.
struct TCustomProtocol::Alive {
    TCustomProtocol* self;
};

// The engine's notifications, carried to the owning thread.
class TCustomProtocol::Window final : public ProtocolNotify {
public:
    Window(std::shared_ptr<Delivery> delivery, std::weak_ptr<Alive> alive)
        : delivery_(std::move(delivery)), alive_(std::move(alive)) {}

    // Which optional events are assigned, taken on the owning thread at each
    // start (the handlers themselves are only touched there).
    std::atomic<bool> hasNextFile{false};
    std::atomic<bool> hasAccept{false};
    std::atomic<uint64_t> generation{0};

    void NotifyStatus(TProtocolData&, uint16_t options) override {
        send([options](TCustomProtocol& cp) {
            if (cp.OnProtocolStatus)
                cp.OnProtocolStatus(cp, options);
        });
    }

    void NotifyLog(TProtocolData&, uint16_t code) override {
        send([code](TCustomProtocol& cp) {
            if (cp.OnProtocolLog)
                cp.OnProtocolLog(cp, code);
        });
    }

    void NotifyError(TProtocolData&, int32_t code) override {
        send([code](TCustomProtocol& cp) {
            if (cp.OnProtocolError)
                cp.OnProtocolError(cp, code);
        });
    }

    bool NotifyNextFile(TProtocolData& P, std::string& name) override {
        if (!hasNextFile)
            return peNextFileMask(P, name);
        // The answer lives in its own box: a handler that runs after the
        // engine stopped waiting writes into that, not into the engine.
        auto box = std::make_shared<std::string>();
        bool ran = send([box](TCustomProtocol& cp) {
            if (cp.OnProtocolNextFile)
                cp.OnProtocolNextFile(cp, *box);
        });
        if (!ran || box->empty())
            return false;
        name = *box;
        P.PathName = name;
        return true;
    }

    bool NotifyAcceptFile(TProtocolData&, std::string& name) override {
        if (!hasAccept)
            return true;
        struct Answer {
            bool accept = true;
            std::string name;
        };
        auto box = std::make_shared<Answer>();
        box->name = name;
        bool ran = send([box](TCustomProtocol& cp) {
            if (cp.OnProtocolAccept)
                cp.OnProtocolAccept(cp, box->accept, box->name);
        });
        if (!ran || !box->accept)
            return false;
        name = box->name;
        return true;
    }

    void NotifyFinish(TProtocolData&, int32_t code) override {
        std::weak_ptr<Alive> alive = alive_;
        uint64_t gen = generation;
        delivery_->post([alive, gen, code] {
            if (auto a = alive.lock())
                a->self->finished(gen, code);
        });
    }

private:
    // Runs `fn` on the owning thread, waiting at most kProtocolNotifyTimeout.
    template <typename F> bool send(F fn) {
        std::weak_ptr<Alive> alive = alive_;
        return delivery_->send(
            [alive, fn] {
                if (auto a = alive.lock())
                    guarded([&] { fn(*a->self); });
            },
            kProtocolNotifyTimeout);
    }

    std::shared_ptr<Delivery> delivery_;
    std::weak_ptr<Alive> alive_;
};

TCustomProtocol::TCustomProtocol(std::shared_ptr<Delivery> delivery)
    : delivery_(std::move(delivery)), alive_(std::make_shared<Alive>(Alive{this})) {
    window_ = std::make_unique<Window>(delivery_, alive_);
    P_ = peInitProtocolData(0);
    peSetProtocolWindow(*P_, window_.get());
    P_->HandshakeWait = 182;
    P_->HandshakeRetry = 10;
    P_->TransmitTimeout = 1092;
    P_->FinishWait = 364;
    P_->TurnDelay = 0;
    P_->Overhead = 0;
    P_->Options = 0;
    P_->UpcaseNames = true;
}

TCustomProtocol::~TCustomProtocol() {
    alive_.reset(); // late notices find nothing
    {
        std::lock_guard<std::mutex> lk(P_->Lock);
        if (!P_->Finished) {
            P_->Finished = true;
            peStopProtocol(*P_);
        }
        P_->ComPort.reset();
        P_->StateProc = nullptr;
        P_->ProtocolWindow = nullptr;
    }
    deregisterFromPort();
    if (protocolType_ == ptAscii)
        ascDonePart(*P_);
}

void TCustomProtocol::SetComPort(TComPort* port) {
    if (port == comPort_)
        return;
    deregisterFromPort();
    comPort_ = port;
}

void TCustomProtocol::SetLine(std::shared_ptr<ProtocolLine> line) {
    line_ = std::move(line);
}

// The line of the port component while its port is open (none while it is
// closed, which a start reports as -103), else the line given directly.
std::shared_ptr<ProtocolLine> TCustomProtocol::currentLine() const {
    if (comPort_) {
        if (comPort_->PortState() != psOpen)
            return nullptr;
        TBaseDispatcher* d = comPort_->GetDispatcher();
        return d ? std::make_shared<DispatcherLine>(*d) : nullptr;
    }
    return line_;
}

void TCustomProtocol::registerWithPort() {
    if (!comPort_ || portUserRegistered_)
        return;
    comPort_->RegisterUserCallback(this,
                                   [this](TComPort&, bool opening) { PortCallback(opening); });
    portUserRegistered_ = true;
}

void TCustomProtocol::deregisterFromPort() {
    if (comPort_ && portUserRegistered_)
        comPort_->DeregisterUserCallback(this);
    portUserRegistered_ = false;
}

void TCustomProtocol::PortCallback(bool opening) {
    if (!opening)
        CancelProtocol();
}

void TCustomProtocol::setOption(uint32_t bit, bool on) {
    if (on)
        P_->Options |= bit;
    else
        P_->Options &= ~bit;
}

void TCustomProtocol::passSettings() {
    if (IsXmodemType(protocolType_)) {
        xmSetBlockWait(*P_, xyBlockWait_);
    } else if (protocolType_ == ptAscii) {
        passAsciiSettings();
    }
}

void TCustomProtocol::passAsciiSettings() {
    ascSetDelays(*P_, asciiCharDelay_, asciiLineDelay_);
    ascSetEOLChar(*P_, asciiEOLChar_);
    ascSetEOLTranslation(*P_, asciiCRTranslation_, asciiLFTranslation_);
    ascSetEOFTimeout(*P_, asciiEOFTimeout_);
}

void TCustomProtocol::SetProtocolType(TProtocolType value) {
    if (value == protocolType_ || !P_->Finished)
        return;
    if (value != ptNoProtocol && value != ptAscii && !IsXmodemType(value))
        throw EProtocol(ecBadProtocolFunction); // a protocol the system does not offer
    int32_t rc = 0;
    if (protocolType_ == ptAscii)
        ascDonePart(*P_);
    if (IsXmodemType(value))
        rc = xmReinit(*P_, value != ptXmodem, value == ptXmodem1K || value == ptXmodem1KG,
                      value == ptXmodem1KG);
    else if (value == ptAscii)
        rc = ascReinit(*P_);
    else
        P_->ProtocolType = ptNoProtocol;
    CheckException(rc);
    protocolType_ = value;
    passSettings();
}

void TCustomProtocol::SetBlockCheckMethod(TBlockCheckMethod value) {
    if (!P_->Finished)
        return;
    if (protocolType_ == ptXmodem && value == bcmCrc16)
        SetProtocolType(ptXmodemCRC);
    else if (protocolType_ == ptXmodemCRC && value == bcmChecksum)
        SetProtocolType(ptXmodem);
}

void TCustomProtocol::SetFileMask(const std::string& mask) {
    peSetFileMask(*P_, mask);
}

void TCustomProtocol::SetFileName(const std::string& name) {
    if (!P_->Finished)
        return;
    peSetReceiveFilename(*P_, name);
}

void TCustomProtocol::SetDestinationDirectory(const std::string& dir) {
    peSetDestinationDirectory(*P_, dir);
}

void TCustomProtocol::SetXYmodemBlockWait(uint32_t ticks) {
    xyBlockWait_ = ticks;
    if (IsXmodemType(P_->ProtocolType))
        xmSetBlockWait(*P_, ticks);
}

void TCustomProtocol::SetAsciiEndString(const std::string& end, const std::string& lead) {
    if (P_->Finished)
        ascSetEndString(*P_, end, lead);
}

void TCustomProtocol::StartTransmit() {
    start(true);
}

void TCustomProtocol::StartReceive() {
    start(false);
}

void TCustomProtocol::start(bool transmit) {
    if (protocolType_ == ptNoProtocol)
        return;
    if (!comPort_ && !line_)
        throw EPortNotAssigned(ecPortNotAssigned);
    if (!P_->Finished)
        return; // one transfer at a time
    std::shared_ptr<ProtocolLine> line = currentLine();
    peSetProtocolPort(*P_, line);
    registerWithPort();
    if (!bpsTaken_) {
        bpsTaken_ = true;
        int32_t baud = 0;
        uint16_t parity = 0, stopbits = 1, databits = 8;
        if (comPort_)
            baud = comPort_->Baud();
        else if (line && line->IsOpen())
            line->GetLine(baud, parity, stopbits, databits);
        peSetActualBPS(*P_, baud);
    }
    TPrepareProc prepare;
    TStateProc proc;
    if (protocolType_ == ptAscii) {
        prepare = transmit ? &ascPrepareTransmit : &ascPrepareReceive;
        proc = transmit ? &ascTransmit : &ascReceive;
    } else {
        prepare = transmit ? &xmPrepareTransmit : &xmPrepareReceive;
        proc = transmit ? &xmTransmit : &xmReceive;
    }
    started_ = true;
    window_->hasNextFile = bool(OnProtocolNextFile);
    window_->hasAccept = bool(OnProtocolAccept);
    window_->generation = ++generation_;
    peStartProtocol(*P_, P_->ProtocolType, prepare, proc);
}

void TCustomProtocol::finished(uint64_t generation, int32_t code) {
    // A finish of an earlier transfer must not unregister a later one.
    if (generation == generation_ && P_->Finished)
        deregisterFromPort();
    guarded([&] {
        if (OnProtocolFinish)
            OnProtocolFinish(*this, code);
    });
}

// A transfer runs from its start to its finish; a cancel in between is never
// lost, also not at the first status event, before the transfer counts as in
// progress.
void TCustomProtocol::CancelProtocol() {
    if (started_ && !P_->Finished)
        peCancel(*P_);
}

int32_t TCustomProtocol::EstimateTransferSecs(int64_t size) const {
    return peEstimateTransferSecs(*P_, size);
}

int32_t TCustomProtocol::outBuffUsed() const {
    if (comPort_)
        return int32_t(comPort_->GetOutBuffUsed());
    if (line_ && line_->IsOpen())
        return std::max(0, line_->OutBuffUsed());
    return 0;
}

int64_t TCustomProtocol::BytesTransferred() const {
    if (!comPort_ && !line_)
        return 0;
    return peGetBytesTransferred(*P_, outBuffUsed());
}

int64_t TCustomProtocol::BytesRemaining() const {
    int64_t r = P_->FileLength - BytesTransferred();
    return r < 0 ? 0 : r;
}

} // namespace vorl
