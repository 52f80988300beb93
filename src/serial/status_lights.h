// Status lights: lamps that show the state of a serial line, and the
// controller that switches them by watching a port through triggers.
//
// A lamp is anything that implements `StatusLamp` (the widget in
// serial/ui/status_light.h, or a plain object in tests); the controller never
// knows more of it than lit or not. `TSLController` is given a port and up to
// eight lamps (`Lights`), and while `Monitoring` is on it keeps them in step
// with the line: CTS, DSR and DCD follow the modem lines, RX and TX light
// while bytes come in or go out, RING, ERROR and BREAK light for a while
// after a ring, a line error or a break.
//
// How it works
// - Switching monitoring on takes over the port's `OnTriggerAvail`,
//   `OnTriggerStatus` and `OnTriggerTimer` events. The handlers installed in
//   their place first do the controller's work and then call the handlers
//   that were there before, with the same arguments, so whoever else uses
//   the port still gets every notice. Switching off puts those saved handlers
//   back (a handler assigned to the port in the meantime is dropped).
// - Only the lamps assigned when monitoring starts get triggers: one modem
//   status trigger for CTS/DSR/DCD/RING (watching just their lines), a line
//   status trigger each for ERROR and BREAK, an output-sent trigger for TX,
//   and a timer for each of RING, ERROR, BREAK, RX and TX. Status and timer
//   triggers fire once, so every handler arms its trigger again.
// - RX lights on a data-available notice; its timer re-arms itself while
//   received bytes wait in the port and puts the lamp out once the input is
//   empty. TX works the same way on the output-sent trigger and the output
//   queue.
// - The controller is a user of its port (RegisterUserCallback): when the
//   port closes with monitoring on, monitoring goes off and comes back on by
//   itself when the port opens again. Monitoring switched on while the port
//   is closed starts at the next open.
// - Everything runs on the thread that owns the port (port events and the
//   lamps' painting alike). The port must outlive the controller, or be
//   detached first with `SetComPort(nullptr)`. A lamp that is destroyed
//   leaves every `TLightSet` that refers to it.
#pragma once

#include "serial/com_port.h"

#include <cstdint>

namespace vorl {

// A lamp as the controller sees it.
class StatusLamp {
public:
    StatusLamp() = default;
    StatusLamp(const StatusLamp&) = delete;
    StatusLamp& operator=(const StatusLamp&) = delete;

    virtual bool Lit() const = 0;
    // Changes the lamp; one that does not change is not redrawn.
    virtual void SetLit(bool lit) = 0;

protected:
    // Clears this lamp from every light set that refers to it.
    virtual ~StatusLamp();
};

// The lamps of one controller; an empty entry is a lamp not shown.
class TLightSet {
public:
    StatusLamp* CTSLight = nullptr;
    StatusLamp* DSRLight = nullptr;
    StatusLamp* DCDLight = nullptr;
    StatusLamp* RINGLight = nullptr;
    StatusLamp* TXDLight = nullptr;
    StatusLamp* RXDLight = nullptr;
    StatusLamp* ERRORLight = nullptr;
    StatusLamp* BREAKLight = nullptr;

    TLightSet();
    TLightSet(const TLightSet& other);
    TLightSet& operator=(const TLightSet& other);
    ~TLightSet();

    // Clears every entry that refers to `lamp`.
    void Forget(const StatusLamp* lamp);
    // Puts every assigned lamp out.
    void AllOut() const;
};

class TSLController {
public:
    // Watches `port` (may be null: see SetComPort).
    explicit TSLController(TComPort* port = nullptr);
    // Switches monitoring off and leaves the port.
    ~TSLController();
    TSLController(const TSLController&) = delete;
    TSLController& operator=(const TSLController&) = delete;

    TComPort* ComPort() const { return port_; }
    // Leaves the present port (monitoring off there) and takes `port`, with
    // monitoring as it was.
    void SetComPort(TComPort* port);

    // Times in ticks of 55 ms.
    int32_t ErrorOffTimeout() const { return errorOffTimeout_; } // error lamp stays lit
    void SetErrorOffTimeout(int32_t ticks) { errorOffTimeout_ = ticks; }
    int32_t BreakOffTimeout() const { return breakOffTimeout_; } // break lamp stays lit
    void SetBreakOffTimeout(int32_t ticks) { breakOffTimeout_ = ticks; }
    int32_t RXDOffTimeout() const { return rxdOffTimeout_; } // how often RX is looked at
    void SetRXDOffTimeout(int32_t ticks) { rxdOffTimeout_ = ticks; }
    int32_t TXDOffTimeout() const { return txdOffTimeout_; } // how often TX is looked at
    void SetTXDOffTimeout(int32_t ticks) { txdOffTimeout_ = ticks; }
    int32_t RingOffTimeout() const { return ringOffTimeout_; } // ring lamp stays lit
    void SetRingOffTimeout(int32_t ticks) { ringOffTimeout_ = ticks; }

    TLightSet Lights;

    bool Monitoring() const { return monitoring_; }
    // Switching on needs a port (EPortNotAssigned, -1005, otherwise); on a
    // closed port it takes effect when the port opens. Switching off also
    // drops such a wish. If the triggers cannot be added, nothing of them is
    // left behind, monitoring stays off and the exception propagates.
    void SetMonitoring(bool on);

private:
    void start();
    void stop();
    void addTriggers();
    void removeTriggers();
    void lampsFromLines();
    void portCallback(bool opening);
    void triggerAvail(TComPort& cp, uint16_t count);
    void triggerStatus(TComPort& cp, uint16_t handle);
    void triggerTimer(TComPort& cp, uint16_t handle);

    TComPort* port_ = nullptr;
    int32_t errorOffTimeout_ = 36;
    int32_t breakOffTimeout_ = 36;
    int32_t rxdOffTimeout_ = 1;
    int32_t txdOffTimeout_ = 1;
    int32_t ringOffTimeout_ = 8;

    bool monitoring_ = false;
    bool monitorWhenOpen_ = false; // wanted while the port was not open

    TComPort::TTriggerAvailEvent savedAvail_;
    TComPort::TTriggerHandleEvent savedStatus_;
    TComPort::TTriggerHandleEvent savedTimer_;

    uint16_t modemTrigger_ = 0;
    uint16_t errorTrigger_ = 0;
    uint16_t breakTrigger_ = 0;
    uint16_t outSentTrigger_ = 0;
    uint16_t errorTimer_ = 0;
    uint16_t breakTimer_ = 0;
    uint16_t rxdTimer_ = 0;
    uint16_t txdTimer_ = 0;
    uint16_t ringTimer_ = 0;
    uint16_t modemMask_ = 0;
};

} // namespace vorl
