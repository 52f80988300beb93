#include "serial/status_lights.h"

#include "platform/device.h"
#include "platform/error_codes.h"
#include "serial/dispatcher.h"
#include "serial/errors.h"

#include <algorithm>
#include <exception>
#include <mutex>
#include <utility>
#include <vector>

namespace vorl {

namespace {

// Every light set alive, so a lamp going away can leave them all.
std::mutex gSetsLock;
std::vector<TLightSet*>& liveSets() {
    static std::vector<TLightSet*> sets;
    return sets;
}

// Line status trigger values: overrun, parity and framing; break.
constexpr uint16_t kLineErrorBits = 1 | 2 | 4;
constexpr uint16_t kLineBreakBit = 8;

void setLamp(StatusLamp* lamp, bool lit) {
    if (lamp != nullptr && lamp->Lit() != lit) {
        lamp->SetLit(lit);
    }
}

} // namespace

// ---- Lamps and light sets ---------------------------------------------------

StatusLamp::~StatusLamp() {
    std::lock_guard lock(gSetsLock);
    for (TLightSet* set : liveSets()) {
        set->Forget(this);
    }
}

TLightSet::TLightSet() {
    std::lock_guard lock(gSetsLock);
    liveSets().push_back(this);
}

TLightSet::TLightSet(const TLightSet& other) : TLightSet() {
    *this = other;
}

TLightSet& TLightSet::operator=(const TLightSet& other) {
    CTSLight = other.CTSLight;
    DSRLight = other.DSRLight;
    DCDLight = other.DCDLight;
    RINGLight = other.RINGLight;
    TXDLight = other.TXDLight;
    RXDLight = other.RXDLight;
    ERRORLight = other.ERRORLight;
    BREAKLight = other.BREAKLight;
    return *this;
}

TLightSet::~TLightSet() {
    std::lock_guard lock(gSetsLock);
    std::erase(liveSets(), this);
}

void TLightSet::Forget(const StatusLamp* lamp) {
    for (StatusLamp** entry : {&CTSLight, &DSRLight, &DCDLight, &RINGLight, &TXDLight, &RXDLight,
                               &ERRORLight, &BREAKLight}) {
        if (*entry == lamp) {
            *entry = nullptr;
        }
    }
}

void TLightSet::AllOut() const {
    for (StatusLamp* lamp :
         {CTSLight, DSRLight, DCDLight, RINGLight, TXDLight, RXDLight, ERRORLight, BREAKLight}) {
        setLamp(lamp, false);
    }
}

// ---- Controller -------------------------------------------------------------

TSLController::TSLController(TComPort* port) {
    SetComPort(port);
}

TSLController::~TSLController() {
    try {
        SetComPort(nullptr);
    } catch (...) {
        // Going away cannot report; the port has its own handlers back.
    }
}

void TSLController::SetComPort(TComPort* port) {
    if (port == port_) {
        return;
    }
    const bool wanted = monitoring_ || monitorWhenOpen_;
    // The old port gets its handlers back and the new one is taken even when
    // the old port's triggers cannot be removed; the first failure is raised.
    std::exception_ptr failure;
    if (port_ != nullptr) {
        port_->DeregisterUserCallback(this);
        try {
            SetMonitoring(false);
        } catch (...) {
            failure = std::current_exception();
        }
        monitorWhenOpen_ = false;
    }
    port_ = port;
    if (port_ != nullptr) {
        // Registered first: even when monitoring cannot start now, a later
        // open of the port is followed.
        port_->RegisterUserCallback(this,
                                    [this](TComPort&, bool opening) { portCallback(opening); });
        if (wanted) {
            try {
                SetMonitoring(true);
            } catch (...) {
                if (!failure) {
                    failure = std::current_exception();
                }
            }
        }
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
}

void TSLController::SetMonitoring(bool on) {
    if (on == monitoring_) {
        if (!on) {
            monitorWhenOpen_ = false;
        }
        return;
    }
    if (port_ == nullptr) {
        throw EPortNotAssigned(ecPortNotAssigned);
    }
    if (!port_->Open()) {
        monitorWhenOpen_ = on;
        if (on) {
            return;
        }
    }
    if (on) {
        start();
    } else {
        stop();
    }
    Lights.AllOut();
    if (monitoring_) {
        lampsFromLines();
    }
}

void TSLController::start() {
    savedAvail_ = port_->OnTriggerAvail;
    savedStatus_ = port_->OnTriggerStatus;
    savedTimer_ = port_->OnTriggerTimer;
    port_->OnTriggerAvail = [this](TComPort& cp, uint16_t count) { triggerAvail(cp, count); };
    port_->OnTriggerStatus = [this](TComPort& cp, uint16_t handle) { triggerStatus(cp, handle); };
    port_->OnTriggerTimer = [this](TComPort& cp, uint16_t handle) { triggerTimer(cp, handle); };
    try {
        addTriggers();
    } catch (...) {
        port_->OnTriggerAvail = std::move(savedAvail_);
        port_->OnTriggerStatus = std::move(savedStatus_);
        port_->OnTriggerTimer = std::move(savedTimer_);
        throw;
    }
    monitoring_ = true;
    monitorWhenOpen_ = false;
}

void TSLController::stop() {
    monitoring_ = false;
    port_->OnTriggerAvail = std::move(savedAvail_);
    port_->OnTriggerStatus = std::move(savedStatus_);
    port_->OnTriggerTimer = std::move(savedTimer_);
    savedAvail_ = nullptr;
    savedStatus_ = nullptr;
    savedTimer_ = nullptr;
    removeTriggers();
}

void TSLController::addTriggers() {
    const TLightSet& l = Lights;
    try {
        if (l.CTSLight || l.DSRLight || l.DCDLight || l.RINGLight) {
            modemTrigger_ = port_->AddStatusTrigger(stModem);
            if (l.RINGLight) {
                ringTimer_ = port_->AddTimerTrigger();
            }
        }
        if (l.ERRORLight) {
            errorTrigger_ = port_->AddStatusTrigger(stLine);
            errorTimer_ = port_->AddTimerTrigger();
        }
        if (l.BREAKLight) {
            breakTrigger_ = port_->AddStatusTrigger(stLine);
            breakTimer_ = port_->AddTimerTrigger();
        }
        if (l.RXDLight) {
            rxdTimer_ = port_->AddTimerTrigger();
        }
        if (l.TXDLight) {
            outSentTrigger_ = port_->AddStatusTrigger(stOutSent);
            txdTimer_ = port_->AddTimerTrigger();
        }

        modemMask_ = 0;
        modemMask_ |= l.CTSLight ? platform::kLineCTS : 0;
        modemMask_ |= l.DSRLight ? platform::kLineDSR : 0;
        modemMask_ |= l.DCDLight ? platform::kLineDCD : 0;
        modemMask_ |= l.RINGLight ? kDeltaRI : 0;
        if (modemTrigger_) {
            port_->SetStatusTrigger(modemTrigger_, modemMask_, true);
        }
        if (errorTrigger_) {
            port_->SetStatusTrigger(errorTrigger_, kLineErrorBits, true);
        }
        if (breakTrigger_) {
            port_->SetStatusTrigger(breakTrigger_, kLineBreakBit, true);
        }
        if (outSentTrigger_) {
            port_->SetStatusTrigger(outSentTrigger_, 0, true);
        }
    } catch (...) {
        removeTriggers();
        throw;
    }
}

void TSLController::removeTriggers() {
    // A trigger already gone (the port removed all its triggers) is what
    // removing wants; only the first other failure is reported.
    std::exception_ptr failure;
    for (uint16_t* handle : {&modemTrigger_, &errorTrigger_, &breakTrigger_, &outSentTrigger_,
                             &errorTimer_, &breakTimer_, &rxdTimer_, &txdTimer_, &ringTimer_}) {
        if (*handle == 0) {
            continue;
        }
        const uint16_t h = std::exchange(*handle, uint16_t(0));
        try {
            port_->RemoveTrigger(h);
        } catch (const ECommException& e) {
            if (e.ErrorCode != ecBadTriggerHandle && !failure) {
                failure = std::current_exception();
            }
        }
    }
    modemMask_ = 0;
    if (failure) {
        std::rethrow_exception(failure);
    }
}

void TSLController::lampsFromLines() {
    setLamp(Lights.CTSLight, port_->GetCTS());
    setLamp(Lights.DSRLight, port_->GetDSR());
    setLamp(Lights.DCDLight, port_->GetDCD());
}

void TSLController::portCallback(bool opening) {
    if (opening) {
        if (monitorWhenOpen_) {
            SetMonitoring(true);
        }
        return;
    }
    const bool wasOn = monitoring_ || monitorWhenOpen_;
    SetMonitoring(false);
    monitorWhenOpen_ = wasOn;
}

// ---- Handlers while monitoring ----------------------------------------------
// Each does the lamps' part and then hands the notice on to the handler the
// port had before, also when the lamps' part failed.

namespace {

template <typename Own, typename Saved, typename... Args>
void thenSaved(Own&& own, const Saved& saved, Args&&... args) {
    std::exception_ptr failure;
    try {
        own();
    } catch (...) {
        failure = std::current_exception();
    }
    if (saved) {
        auto handler = saved; // may replace itself
        handler(std::forward<Args>(args)...);
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
}

} // namespace

void TSLController::triggerAvail(TComPort& cp, uint16_t count) {
    thenSaved(
        [&] {
            StatusLamp* rxd = Lights.RXDLight;
            if (rxd != nullptr && !rxd->Lit()) {
                rxd->SetLit(true);
                if (rxdTimer_) {
                    cp.SetTimerTrigger(rxdTimer_, rxdOffTimeout_, true);
                }
            }
        },
        savedAvail_, cp, count);
}

void TSLController::triggerStatus(TComPort& cp, uint16_t handle) {
    thenSaved(
        [&] {
            if (handle == 0) {
                return;
            }
            if (handle == modemTrigger_) {
                setLamp(Lights.DCDLight, cp.GetDCD());
                setLamp(Lights.CTSLight, cp.GetCTS());
                setLamp(Lights.DSRLight, cp.GetDSR());
                StatusLamp* ring = Lights.RINGLight;
                if (ring != nullptr && cp.GetDeltaRI() && !ring->Lit()) {
                    ring->SetLit(true);
                    if (ringTimer_) {
                        cp.SetTimerTrigger(ringTimer_, ringOffTimeout_, true);
                    }
                }
                cp.SetStatusTrigger(modemTrigger_, modemMask_, true);
            } else if (handle == errorTrigger_) {
                setLamp(Lights.ERRORLight, true);
                cp.SetTimerTrigger(errorTimer_, errorOffTimeout_, true);
                cp.GetLineError();
            } else if (handle == breakTrigger_) {
                setLamp(Lights.BREAKLight, true);
                cp.SetTimerTrigger(breakTimer_, breakOffTimeout_, true);
                cp.GetLineBreak();
            } else if (handle == outSentTrigger_) {
                setLamp(Lights.TXDLight, true);
                cp.SetTimerTrigger(txdTimer_, txdOffTimeout_, true);
            }
        },
        savedStatus_, cp, handle);
}

void TSLController::triggerTimer(TComPort& cp, uint16_t handle) {
    thenSaved(
        [&] {
            if (handle == 0) {
                return;
            }
            if (handle == errorTimer_) {
                setLamp(Lights.ERRORLight, false);
                cp.SetStatusTrigger(errorTrigger_, kLineErrorBits, true);
            } else if (handle == breakTimer_) {
                setLamp(Lights.BREAKLight, false);
                cp.SetStatusTrigger(breakTrigger_, kLineBreakBit, true);
            } else if (handle == rxdTimer_) {
                if (cp.GetInBuffUsed() > 0) {
                    cp.SetTimerTrigger(rxdTimer_, rxdOffTimeout_, true);
                } else {
                    setLamp(Lights.RXDLight, false);
                }
            } else if (handle == txdTimer_) {
                if (cp.GetOutBuffUsed() > 0) {
                    cp.SetTimerTrigger(txdTimer_, txdOffTimeout_, true);
                } else {
                    setLamp(Lights.TXDLight, false);
                    cp.SetStatusTrigger(outSentTrigger_, 0, true);
                }
            } else if (handle == ringTimer_) {
                setLamp(Lights.RINGLight, false);
            }
        },
        savedTimer_, cp, handle);
}

} // namespace vorl
