// The dispatcher's line settings (speed, framing, modem and break lines,
// RS-485) and its hardware and software flow control.
#include "serial/dispatcher.h"

#include "serial/dispatcher_impl.h"

#include <algorithm>

namespace vorl {

namespace {

// Bits per character at the given framing, for drain times.
int BitsPerChar(const LineSettings& s) {
    return s.byteSize + 2 + (s.parity != 0 ? 1 : 0) + (s.stopBits != platform::kOneStopBit ? 1 : 0);
}

// Legacy rate codes 0xFF10 to 0xFF27; 0 marks codes without a rate.
constexpr int32_t kLegacyRates[] = {110,   300, 600, 1200,   2400, 4800, 9600, 14400,
                                    19200, 0,   0,   38400,  0,    0,    0,    56000,
                                    0,     0,   0,   128000, 0,    0,    0,    256000};

int32_t TranslateBaud(int32_t baud) {
    if (baud == 0xFEFF)
        return 115200;
    if (baud >= 0xFF10 && baud <= 0xFF27) {
        int32_t r = kLegacyRates[baud - 0xFF10];
        return r ? r : baud;
    }
    return baud;
}

// The stop-bit code for `stopbits` (1, 2, or 3 to keep `present`) at
// `byteSize` data bits. Five data bits cannot have two stop bits: one and a
// half take their place, and only there. Both the "unchanged?" check and the
// settings applied use this, so the same settings again are no change.
uint8_t StopBitCode(uint16_t stopbits, uint8_t byteSize, uint8_t present) {
    uint8_t code = present;
    if (stopbits == 1)
        code = platform::kOneStopBit;
    else if (stopbits == 2)
        code = platform::kTwoStopBits;
    if (byteSize == 5 && code == platform::kTwoStopBits)
        return platform::kOne5StopBits;
    if (byteSize != 5 && code == platform::kOne5StopBits)
        return platform::kTwoStopBits;
    return code;
}

} // namespace

// ---------------------------------------------------------------------------
// Line settings

namespace {

// The first step of a flow change (general held): thresholds that fit the
// input queue, and the device's present settings in `s`.
int32_t FlowSettingsLocked(TBaseDispatcher& self, const TBaseDispatcher::Impl& d,
                           uint16_t bufferFull, uint16_t bufferResume, LineSettings& s) {
    if (bufferFull < bufferResume || bufferFull > d.inQueue)
        return ecBadArgument;
    return self.GetComState(s);
}

// Input flow holds the peer when less than the room above `bufferFull` is left
// and lets it go again at `bufferResume`.
void SetLimits(const TBaseDispatcher::Impl& d, LineSettings& s, uint16_t bufferFull,
               uint16_t bufferResume) {
    s.xoffLimit = uint16_t(d.inQueue - bufferFull);
    s.xonLimit = bufferResume;
}

// Applies `s` with DTR and RTS from the stored states (general held).
int32_t ApplyLocked(TBaseDispatcher& self, TBaseDispatcher::Impl& d, LineSettings s) {
    using platform::LineControl;
    if (!d.dtrAuto)
        s.dtrControl = d.dtrState ? LineControl::On : LineControl::Off;
    if (!d.rtsAuto && !(s.rtsControl == LineControl::Toggle && d.rs485))
        s.rtsControl = d.rtsState ? LineControl::On : LineControl::Off;
    int32_t r = self.SetComState(s);
    if (r != ecOK)
        return r;
    d.lastBaud = int32_t(s.baud);
    if (!d.dtrAuto)
        self.EscapeComFunction(d.dtrState ? kEscSetDTR : kEscClrDTR);
    if (!d.rtsAuto && !d.rs485 && !s.ctsOutFlow)
        self.EscapeComFunction(d.rtsState ? kEscSetRTS : kEscClrRTS);
    return ecOK;
}

// Waits until the output has gone, at most 10 s, then the time of 18
// characters for the UART's own buffer.
void WaitTxSent(TBaseDispatcher& self, TBaseDispatcher::Impl& d) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (self.OutBuffUsed() > 0 && std::chrono::steady_clock::now() < deadline) {
        std::unique_lock<std::mutex> o(d.output);
        // Woken by the writer's progress; the kernel's part drains unseen,
        // so look again after a short while.
        d.ocv.wait_for(o, std::chrono::milliseconds(20));
    }
    LineSettings s;
    int32_t baud;
    {
        std::lock_guard<std::mutex> g(d.general);
        if (self.GetComState(s) != ecOK)
            return;
        baud = d.lastBaud > 0 ? d.lastBaud : 9600;
    }
    int64_t t = int64_t(10000000 / baud) * BitsPerChar(s) * 18;
    if (t < 10000)
        t *= 2;
    std::this_thread::sleep_for(std::chrono::milliseconds((t + 9999) / 10000));
}

} // namespace

int32_t TBaseDispatcher::SetLine(int32_t baud, uint16_t parity, uint16_t stopbits,
                                 uint16_t databits) {
    Impl& d = *d_;
    baud = TranslateBaud(baud);
    if (stopbits == 0)
        stopbits = 1;
    else if (stopbits > 2 && stopbits != 3)
        stopbits = 2;
    LineSettings s;
    {
        std::lock_guard<std::mutex> g(d.general);
        int32_t r = GetComState(s);
        if (r != ecOK)
            return r;
        uint32_t nb = baud == 0 ? s.baud : uint32_t(baud);
        uint8_t np = parity == 5 ? s.parity : uint8_t(parity);
        uint8_t nd = databits == 9 ? s.byteSize : uint8_t(databits);
        uint8_t ns = StopBitCode(stopbits, nd, s.stopBits);
        if (nb == s.baud && np == s.parity && nd == s.byteSize && ns == s.stopBits) {
            // Only the fixed flags may differ; they change nothing on the line.
            return ecOK;
        }
    }
    WaitTxSent(*this, d);
    std::lock_guard<std::mutex> g(d.general);
    int32_t r = GetComState(s);
    if (r != ecOK)
        return r;
    s.binary = true;
    s.txContinueOnXoff = true;
    s.parityCheck = false;
    s.dsrSensitivity = false;
    s.nullStrip = false;
    if (baud != 0)
        s.baud = uint32_t(baud);
    if (parity != 5)
        s.parity = uint8_t(parity);
    if (databits != 9)
        s.byteSize = uint8_t(databits);
    s.stopBits = StopBitCode(stopbits, s.byteSize, s.stopBits);
    return ApplyLocked(*this, d, s);
}

int32_t TBaseDispatcher::GetLine(int32_t& baud, uint16_t& parity, uint16_t& stopbits,
                                 uint16_t& databits) {
    LineSettings s;
    std::lock_guard<std::mutex> g(d_->general);
    int32_t r = GetComState(s);
    if (r != ecOK)
        return r;
    baud = TranslateBaud(int32_t(s.baud));
    parity = s.parity;
    databits = s.byteSize;
    stopbits = s.stopBits != platform::kOneStopBit ? 2 : 1;
    return ecOK;
}

int32_t TBaseDispatcher::ChangeBaud(int32_t baud) {
    return SetLine(baud, 5, 3, 9);
}

int32_t TBaseDispatcher::SetDtr(bool on) {
    std::lock_guard<std::mutex> g(d_->general);
    if (d_->dtrAuto)
        return 1;
    if (EscapeComFunction(on ? kEscSetDTR : kEscClrDTR) != ecOK)
        return ecBadArgument;
    d_->dtrState = on;
    return ecOK;
}

int32_t TBaseDispatcher::SetRts(bool on) {
    std::lock_guard<std::mutex> g(d_->general);
    if (d_->rtsAuto || d_->rs485)
        return 1;
    if (EscapeComFunction(on ? kEscSetRTS : kEscClrRTS) != ecOK)
        return ecBadArgument;
    d_->rtsState = on;
    return ecOK;
}

int32_t TBaseDispatcher::SetModem(bool dtr, bool rts) {
    int32_t r = SetDtr(dtr);
    if (r < 0)
        return r;
    return SetRts(rts);
}

int32_t TBaseDispatcher::SetBreak(bool on) {
    std::lock_guard<std::mutex> g(d_->general);
    return EscapeComFunction(on ? kEscSetBreak : kEscClrBreak) == ecOK ? ecOK : ecBadArgument;
}

int32_t TBaseDispatcher::SendBreak(int32_t ticks, bool yield) {
    int32_t r = SetBreak(true);
    if (r != ecOK)
        return r;
    int32_t w = DelayTicks(ticks, yield);
    r = SetBreak(false);
    return r != ecOK ? r : w;
}

int32_t TBaseDispatcher::SetRS485Mode(bool on) {
    std::lock_guard<std::mutex> g(d_->general);
    // Never stored without the device doing it: a line driver left in the
    // wrong direction sends nothing.
    int32_t r = SetComRS485(on);
    if (r == ecOK)
        d_->rs485 = on;
    return r;
}

int32_t TBaseDispatcher::SetBaseAddress(uint16_t address) {
    std::lock_guard<std::mutex> g(d_->general);
    d_->baseAddress = address;
    return ecOK;
}

uint16_t TBaseDispatcher::GetBaseAddress() {
    std::lock_guard<std::mutex> g(d_->general);
    return d_->baseAddress;
}

// ---------------------------------------------------------------------------
// Flow control

int32_t TBaseDispatcher::HWFlowOptions(uint16_t bufferFull, uint16_t bufferResume,
                                       uint16_t options) {
    using platform::LineControl;
    Impl& d = *d_;
    std::lock_guard<std::mutex> g(d.general);
    LineSettings s;
    int32_t r = FlowSettingsLocked(*this, d, bufferFull, bufferResume, s);
    if (r != ecOK)
        return r;
    LineSettings before = s;
    bool dtrAuto = d.dtrAuto, rtsAuto = d.rtsAuto;
    s.ctsOutFlow = s.dsrOutFlow = false;
    d.dtrAuto = d.rtsAuto = false;
    if (options & kHWFlowUseDTR) {
        s.dtrControl = LineControl::Handshake;
        d.dtrAuto = true;
    } else {
        s.dtrControl = d.dtrState ? LineControl::On : LineControl::Off;
    }
    if (options & kHWFlowUseRTS) {
        s.rtsControl = LineControl::Handshake;
        d.rtsAuto = true;
    } else {
        s.rtsControl = d.rtsState ? LineControl::On : LineControl::Off;
    }
    SetLimits(d, s, bufferFull, bufferResume);
    s.dsrOutFlow = options & kHWFlowRequireDSR;
    s.ctsOutFlow = options & kHWFlowRequireCTS;
    r = ApplyLocked(*this, d, s);
    if (r != ecOK) {
        // Refused (a line the device cannot hand to flow control): as before.
        d.dtrAuto = dtrAuto;
        d.rtsAuto = rtsAuto;
        SetComState(before);
        return r;
    }
    d.hwOptions = options;
    d.bufferFull = bufferFull;
    d.bufferResume = bufferResume;
    return ecOK;
}

int32_t TBaseDispatcher::HWFlowState() {
    using platform::LineControl;
    Impl& d = *d_;
    std::lock_guard<std::mutex> g(d.general);
    LineSettings s;
    if (GetComState(s) != ecOK)
        return kFlowOff;
    bool dtrHs = s.dtrControl == LineControl::Handshake;
    bool rtsHs = s.rtsControl == LineControl::Handshake;
    if (!s.ctsOutFlow && !s.dsrOutFlow && !dtrHs && !rtsHs)
        return kFlowOff;
    // Only CTS and DSR ever hold our output; when one does, it is told,
    // whichever lines input flow drives.
    if (!s.ctsOutFlow && !s.dsrOutFlow)
        return kFlowOn;
    RefreshLocked(*this, d);
    if (s.ctsOutFlow && (d.comStat.holds & platform::kHoldCTS))
        return kFlowCtsHold;
    if (s.dsrOutFlow && (d.comStat.holds & platform::kHoldDSR))
        return kFlowDsrHold;
    return kFlowOn;
}

int32_t TBaseDispatcher::SWFlowEnable(uint16_t bufferFull, uint16_t bufferResume,
                                      uint16_t options) {
    Impl& d = *d_;
    std::lock_guard<std::mutex> g(d.general);
    LineSettings s;
    int32_t r = FlowSettingsLocked(*this, d, bufferFull, bufferResume, s);
    if (r != ecOK)
        return r;
    // Exactly the directions asked for: switching from both to one turns the
    // other off.
    s.xonXoffIn = options & kSWFlowReceive;
    s.xonXoffOut = options & kSWFlowTransmit;
    if (s.xonXoffIn)
        SetLimits(d, s, bufferFull, bufferResume);
    if (options & (kSWFlowReceive | kSWFlowTransmit)) {
        s.xonChar = 17;
        s.xoffChar = 19;
    }
    r = ApplyLocked(*this, d, s);
    if (r == ecOK) {
        d.swOptions = options;
        d.bufferFull = bufferFull;
        d.bufferResume = bufferResume;
    }
    return r;
}

int32_t TBaseDispatcher::SWFlowDisable() {
    Impl& d = *d_;
    std::lock_guard<std::mutex> g(d.general);
    LineSettings s;
    int32_t r = GetComState(s);
    if (r != ecOK)
        return r;
    s.xonXoffIn = s.xonXoffOut = false;
    r = ApplyLocked(*this, d, s);
    if (r == ecOK)
        d.swOptions = 0;
    return r;
}

int32_t TBaseDispatcher::SWFlowChars(uint8_t xon, uint8_t xoff) {
    Impl& d = *d_;
    std::lock_guard<std::mutex> g(d.general);
    LineSettings s;
    int32_t r = GetComState(s);
    if (r != ecOK)
        return r;
    s.xonChar = xon;
    s.xoffChar = xoff;
    return ApplyLocked(*this, d, s);
}

int32_t TBaseDispatcher::SWFlowState() {
    Impl& d = *d_;
    std::lock_guard<std::mutex> g(d.general);
    LineSettings s;
    if (GetComState(s) != ecOK || (!s.xonXoffIn && !s.xonXoffOut))
        return kFlowOff;
    RefreshLocked(*this, d);
    bool sent = d.comStat.holds & platform::kHoldXoffSent;
    bool held = d.comStat.holds & platform::kHoldXoff;
    if (sent && held)
        return kFlowXBothHold;
    if (sent)
        return kFlowXInHold;
    if (held)
        return kFlowXOutHold;
    return kFlowOn;
}

void TBaseDispatcher::GetFlowOptions(uint16_t& hwOptions, uint16_t& swOptions, uint16_t& bufferFull,
                                     uint16_t& bufferResume) {
    std::lock_guard<std::mutex> g(d_->general);
    hwOptions = d_->hwOptions;
    swOptions = d_->swOptions;
    bufferFull = d_->bufferFull;
    bufferResume = d_->bufferResume;
}

} // namespace vorl
