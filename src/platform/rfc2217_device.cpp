#include "platform/rfc2217_device.h"

#include "platform/error_codes.h"

#include <cerrno>

namespace vorl::platform {

using namespace telnet;

namespace {

std::string Sub(uint8_t command, const std::string& value) {
    std::string s{char(IAC), char(SB), char(COM_PORT), char(command)};
    for (char c : value) {
        s += c;
        if (uint8_t(c) == IAC)
            s += c;
    }
    s += char(IAC);
    s += char(SE);
    return s;
}

std::string Byte(uint8_t v) {
    return std::string(1, char(v));
}

std::string Verb(uint8_t verb, uint8_t option) {
    return {char(IAC), char(verb), char(option)};
}

// Our parity and stop-bit codes against the protocol's.
uint8_t WireParity(uint8_t parity) {
    return uint8_t(parity + 1); // none, odd, even, mark, space
}

uint8_t WireStop(uint8_t stopBits) {
    return stopBits == kTwoStopBits ? 2 : stopBits == kOne5StopBits ? 3 : 1;
}

const char* ParityName(uint8_t wire) {
    static const char* const names[] = {"?", "none", "odd", "even", "mark", "space"};
    return wire <= 5 ? names[wire] : "?";
}

const char* StopName(uint8_t wire) {
    return wire == 1 ? "1" : wire == 2 ? "2" : wire == 3 ? "1.5" : "?";
}

const char* FlowName(uint8_t wire) {
    switch (wire) {
    case 1:
    case 14:
        return "no flow control";
    case 2:
    case 15:
        return "XON/XOFF";
    case 3:
    case 16:
        return "RTS/CTS";
    case 17:
        return "DCD flow control";
    case 18:
        return "DTR flow control";
    case 19:
        return "DSR flow control";
    default:
        return "an unknown flow control";
    }
}

} // namespace

Rfc2217Device::Rfc2217Device() = default;

std::string Rfc2217Device::Escape(const std::string& data) {
    std::string out;
    for (char c : data) {
        out += c;
        if (uint8_t(c) == IAC)
            out += c;
    }
    return out;
}

void Rfc2217Device::encodeLocked(const uint8_t* in, size_t n, std::string& out) {
    for (size_t i = 0; i < n; ++i) {
        out += char(in[i]);
        if (in[i] == IAC)
            out += char(IAC);
    }
}

void Rfc2217Device::decodeLocked(const uint8_t* in, size_t n) {
    data_.clear();
    auto flush = [this] {
        if (!data_.empty()) {
            deliverLocked(reinterpret_cast<const uint8_t*>(data_.data()), data_.size());
            data_.clear();
        }
    };
    for (size_t i = 0; i < n; ++i) {
        const uint8_t b = in[i];
        switch (parse_) {
        case Parse::Data:
            if (b == IAC)
                parse_ = Parse::Iac;
            else
                data_ += char(b);
            break;
        case Parse::Iac:
            if (b == IAC) {
                data_ += char(IAC);
                parse_ = Parse::Data;
            } else if (b == WILL || b == WONT || b == DO || b == DONT) {
                verb_ = b;
                parse_ = Parse::Option;
            } else if (b == SB) {
                sub_.clear();
                parse_ = Parse::Sub;
            } else {
                parse_ = Parse::Data; // NOP, GA, DM and the like carry nothing for us
            }
            break;
        case Parse::Option:
            // Data before a command reaches the ring first, in order.
            flush();
            optionLocked(verb_, b);
            parse_ = Parse::Data;
            break;
        case Parse::Sub:
            if (b == IAC)
                parse_ = Parse::SubIac;
            else if (sub_.size() < 64)
                sub_ += char(b);
            break;
        case Parse::SubIac:
            if (b == IAC) {
                if (sub_.size() < 64)
                    sub_ += char(IAC);
                parse_ = Parse::Sub;
            } else {
                flush();
                subnegotiationLocked();
                // IAC SE ends it; any other command after IAC ends it too and
                // is read as such.
                parse_ = Parse::Data;
                if (b != SE) {
                    parse_ = Parse::Iac;
                    --i; // read this byte again as the command it is
                }
            }
            break;
        }
    }
    flush();
}

void Rfc2217Device::optionLocked(uint8_t verb, uint8_t option) {
    const bool ours = option == BINARY || option == SGA || option == COM_PORT;
    const bool theirs = option == BINARY || option == SGA;
    std::string reply;
    switch (verb) {
    case DO:
        if (us_[option] == Q::WantYes) {
            us_[option] = Q::Yes;
        } else if (us_[option] == Q::No) {
            if (ours) {
                us_[option] = Q::Yes;
                reply = Verb(WILL, option);
            } else {
                reply = Verb(WONT, option);
            }
        }
        break;
    case DONT:
        if (us_[option] == Q::Yes)
            reply = Verb(WONT, option);
        us_[option] = Q::No;
        break;
    case WILL:
        if (him_[option] == Q::WantYes) {
            him_[option] = Q::Yes;
        } else if (him_[option] == Q::No) {
            if (theirs) {
                him_[option] = Q::Yes;
                reply = Verb(DO, option);
            } else {
                reply = Verb(DONT, option);
            }
        }
        break;
    case WONT:
        if (him_[option] == Q::Yes)
            reply = Verb(DONT, option);
        him_[option] = Q::No;
        break;
    default:
        break;
    }
    if (!reply.empty())
        sendWireLocked(reply);
    signalAnswerLocked();
}

void Rfc2217Device::subnegotiationLocked() {
    if (sub_.size() < 2 || uint8_t(sub_[0]) != COM_PORT)
        return;
    commandLocked(uint8_t(sub_[1]), sub_.substr(2));
    signalAnswerLocked();
}

void Rfc2217Device::commandLocked(uint8_t code, const std::string& value) {
    auto byte = [&]() -> std::optional<uint8_t> {
        if (value.empty())
            return std::nullopt;
        return uint8_t(value[0]);
    };
    switch (code) {
    case kServer + SET_BAUDRATE:
        ++baudAnswers_;
        if (value.size() >= 4)
            answers_.baud = uint32_t(uint8_t(value[0])) << 24 | uint32_t(uint8_t(value[1])) << 16 |
                            uint32_t(uint8_t(value[2])) << 8 | uint32_t(uint8_t(value[3]));
        break;
    case kServer + SET_DATASIZE:
        answers_.dataSize = byte();
        break;
    case kServer + SET_PARITY:
        answers_.parity = byte();
        break;
    case kServer + SET_STOPSIZE:
        answers_.stopSize = byte();
        break;
    case kServer + SET_CONTROL:
        if (auto v = byte()) {
            // One answer code for every kind of control: the value tells which.
            if (*v <= 3 || *v == 17 || *v == 19)
                answers_.outFlow = v;
            else if ((*v >= 13 && *v <= 16) || *v == 18)
                answers_.inFlow = v;
        }
        break;
    case kServer + NOTIFY_LINESTATE:
        if (auto v = byte()) {
            uint8_t e = 0;
            if (*v & 0x02)
                e |= kErrOverrun;
            if (*v & 0x04)
                e |= kErrParity;
            if (*v & 0x08)
                e |= kErrFraming;
            if (*v & 0x10)
                e |= kErrBreak;
            if (e) {
                errors_ |= e;
                lineEventLocked();
            }
        }
        break;
    case kServer + NOTIFY_MODEMSTATE:
        if (auto v = byte()) {
            const bool changed = !linesKnown_ || ((lines_ ^ *v) & 0xF0);
            lines_ = uint8_t(*v & 0xF0);
            linesKnown_ = true;
            if (changed)
                lineEventLocked();
        }
        break;
    case kServer + FLOWCONTROL_SUSPEND:
        suspended_ = true;
        break;
    case kServer + FLOWCONTROL_RESUME:
        suspended_ = false;
        break;
    default:
        break; // signature, mask and purge answers: nothing to check
    }
}

int Rfc2217Device::negotiateLocked(std::unique_lock<std::mutex>& lk, Clock::time_point deadline) {
    const std::string at = address().hostPort();
    // A new connection: the server's port has its own defaults again.
    confirmed_.reset();
    inFlowAsked_ = 14;
    dtrSent_.reset();
    rtsSent_.reset();
    us_[COM_PORT] = us_[BINARY] = us_[SGA] = Q::WantYes;
    him_[BINARY] = him_[SGA] = Q::WantYes;
    sendWireLocked(Verb(WILL, COM_PORT) + Verb(WILL, BINARY) + Verb(DO, BINARY) + Verb(WILL, SGA) +
                   Verb(DO, SGA));
    const bool decided = waitForLocked(lk, deadline, [this] {
        return us_[COM_PORT] == Q::No || (us_[COM_PORT] != Q::WantYes &&
                                          us_[BINARY] != Q::WantYes && him_[BINARY] != Q::WantYes);
    });
    if (lostLocked() != 0) {
        setErrorLocked(at + " closed the connection during the telnet negotiation");
        return -lostLocked();
    }
    const std::string rawHint = "; a raw TCP port is named tcp://" + at;
    if (us_[COM_PORT] == Q::No) {
        setErrorLocked("The server at " + at +
                       " refused serial port control (RFC 2217 COM-PORT-OPTION)" + rawHint);
        return -EPROTONOSUPPORT;
    }
    if (!decided) {
        setErrorLocked("The server at " + at +
                       " did not answer the request for serial port control (RFC 2217) in time" +
                       rawHint);
        return -ETIMEDOUT;
    }
    if (us_[BINARY] != Q::Yes || him_[BINARY] != Q::Yes) {
        setErrorLocked("The server at " + at +
                       " refused binary transmission, without which bytes would be changed");
        return -EPROTONOSUPPORT;
    }
    answers_.baud.reset();
    sendWireLocked(Sub(SET_LINESTATE_MASK, Byte(0x1E)) + Sub(SET_MODEMSTATE_MASK, Byte(0xFF)) +
                   Sub(SET_BAUDRATE, std::string(4, '\0')));
    if (!waitForLocked(lk, deadline, [this] { return answers_.baud.has_value(); })) {
        setErrorLocked(lostLocked() ? at + " closed the connection during the telnet negotiation"
                                    : "The server at " + at +
                                          " accepted serial port control but does not answer "
                                          "its commands");
        return lostLocked() ? -lostLocked() : -ETIMEDOUT;
    }
    return 0;
}

int Rfc2217Device::applyLineSettingsLocked(std::unique_lock<std::mutex>& lk,
                                           const LineSettings& in) {
    if (in.byteSize < 5 || in.byteSize > 8)
        return ecByteSize;
    if (in.baud == 0)
        return ecBaudRate;
    // One outbound and one inbound flow mode at the server's port.
    if (in.parity > 4 || in.rtsControl == LineControl::Toggle || (in.ctsOutFlow && in.dsrOutFlow) ||
        (in.rtsControl == LineControl::Handshake && in.dtrControl == LineControl::Handshake))
        return ecBadArgument;
    const uint8_t outFlow = in.ctsOutFlow ? 3 : in.dsrOutFlow ? 19 : 1;
    // RTS/CTS flow (3) covers both directions; an inbound mode of its own is
    // asked only when input alone is held by a line. Many servers know no
    // inbound modes at all: "none" is their default, asked only to undo one
    // of ours.
    const uint8_t inFlow = in.rtsControl == LineControl::Handshake && outFlow != 3 ? 16
                           : in.dtrControl == LineControl::Handshake               ? 18
                                                                                   : 14;
    const std::optional<LineSettings>& c = confirmed_;
    const bool baud = !c || c->baud != in.baud;
    const bool size = !c || c->byteSize != in.byteSize;
    const bool parity = !c || c->parity != in.parity;
    const bool stop = !c || WireStop(c->stopBits) != WireStop(in.stopBits);
    const bool out = !c || c->ctsOutFlow != in.ctsOutFlow || c->dsrOutFlow != in.dsrOutFlow;
    const bool inb = inFlow != inFlowAsked_;
    // Commands that ask for the server's default may go unanswered: a server
    // that does not know one has what is asked anyway.
    const bool outOptional = outFlow == 1;
    const bool inOptional = inFlow == 14;
    std::string wire;
    if (baud) {
        answers_.baud.reset();
        std::string value;
        for (int shift = 24; shift >= 0; shift -= 8)
            value += static_cast<char>((in.baud >> shift) & 0xFF);
        wire += Sub(SET_BAUDRATE, value);
    }
    if (size) {
        answers_.dataSize.reset();
        wire += Sub(SET_DATASIZE, Byte(in.byteSize));
    }
    if (parity) {
        answers_.parity.reset();
        wire += Sub(SET_PARITY, Byte(WireParity(in.parity)));
    }
    if (stop) {
        answers_.stopSize.reset();
        wire += Sub(SET_STOPSIZE, Byte(WireStop(in.stopBits)));
    }
    if (out) {
        answers_.outFlow.reset();
        wire += Sub(SET_CONTROL, Byte(outFlow));
    }
    if (inb) {
        answers_.inFlow.reset();
        wire += Sub(SET_CONTROL, Byte(inFlow));
    }
    // A server answers in order: once the answer to a speed query sent last
    // has come, an optional command still unanswered will not be.
    const bool barrier = (out && outOptional) || (inb && inOptional);
    const uint32_t barrierAt = baudAnswers_ + (baud ? 1 : 0) + 1;
    if (barrier)
        wire += Sub(SET_BAUDRATE, std::string(4, '\0'));
    const std::string at = "The server at " + address().hostPort();
    if (!wire.empty()) {
        sendWireLocked(wire);
        const auto deadline = Clock::now() + std::chrono::milliseconds(address().timeoutMs);
        auto settled = [&](bool answered, bool optional) {
            return answered || (optional && barrier && baudAnswers_ >= barrierAt);
        };
        const bool answered = waitForLocked(lk, deadline, [&] {
            return (!baud || answers_.baud) && (!size || answers_.dataSize) &&
                   (!parity || answers_.parity) && (!stop || answers_.stopSize) &&
                   (!out || settled(answers_.outFlow.has_value(), outOptional)) &&
                   (!inb || settled(answers_.inFlow.has_value(), inOptional));
        });
        if (!answered) {
            if (lostLocked() != 0) {
                setErrorLocked(address().hostPort() + " closed the connection");
                return ecLineLost;
            }
            // Name what is missing: a server may lack one command only.
            std::string missing;
            auto miss = [&](bool asked, bool got, const std::string& what) {
                if (asked && !got)
                    missing += (missing.empty() ? "" : ", ") + what;
            };
            miss(baud, answers_.baud.has_value(), "SET-BAUDRATE");
            miss(size, answers_.dataSize.has_value(), "SET-DATASIZE");
            miss(parity, answers_.parity.has_value(), "SET-PARITY");
            miss(stop, answers_.stopSize.has_value(), "SET-STOPSIZE");
            miss(out && !outOptional, answers_.outFlow.has_value(),
                 "SET-CONTROL " + std::to_string(outFlow) + " (" + FlowName(outFlow) + ")");
            miss(inb && !inOptional, answers_.inFlow.has_value(),
                 "SET-CONTROL " + std::to_string(inFlow) + " (inbound " + FlowName(inFlow) + ")");
            if (missing.empty())
                missing = "the line settings";
            setErrorLocked(at + " did not answer " + missing + " within " +
                           std::to_string((address().timeoutMs + 999) / 1000) + " s");
            return -ETIMEDOUT;
        }
        if (baud && *answers_.baud != in.baud) {
            setErrorLocked(at + " set " + std::to_string(*answers_.baud) + " bit/s when " +
                           std::to_string(in.baud) + " was asked");
            return ecBaudRate;
        }
        if (size && *answers_.dataSize != in.byteSize) {
            setErrorLocked(at + " set " + std::to_string(*answers_.dataSize) + " data bits when " +
                           std::to_string(in.byteSize) + " were asked");
            return ecByteSize;
        }
        if (parity && *answers_.parity != WireParity(in.parity)) {
            setErrorLocked(at + " set parity " + ParityName(*answers_.parity) + " when " +
                           ParityName(WireParity(in.parity)) + " was asked");
            return ecBadArgument;
        }
        if (stop && *answers_.stopSize != WireStop(in.stopBits)) {
            setErrorLocked(at + " set " + StopName(*answers_.stopSize) + " stop bits when " +
                           StopName(WireStop(in.stopBits)) + " were asked");
            return ecBadArgument;
        }
        const bool outWrong = out && answers_.outFlow && *answers_.outFlow != outFlow;
        const bool inWrong = inb && answers_.inFlow && *answers_.inFlow != inFlow;
        if (outWrong || inWrong) {
            setErrorLocked(at + " set " +
                           FlowName(outWrong ? *answers_.outFlow : *answers_.inFlow) + " when " +
                           FlowName(outWrong ? outFlow : inFlow) + " was asked");
            return ecBadArgument;
        }
    }
    confirmed_ = in;
    inFlowAsked_ = inFlow;
    // Lines not driven by flow control follow the settings.
    if (in.dtrControl != LineControl::Handshake) {
        const bool on = in.dtrControl == LineControl::On;
        if (dtrSent_ != on)
            sendWireLocked(Sub(SET_CONTROL, Byte(on ? 8 : 9)));
        dtrSent_ = on;
    } else {
        dtrSent_.reset();
    }
    if (in.rtsControl != LineControl::Handshake && !in.ctsOutFlow) {
        const bool on = in.rtsControl == LineControl::On;
        if (rtsSent_ != on)
            sendWireLocked(Sub(SET_CONTROL, Byte(on ? 11 : 12)));
        rtsSent_ = on;
    } else {
        rtsSent_.reset();
    }
    return 0;
}

int Rfc2217Device::lineControlLocked(LineControlKind which, bool on) {
    const LineSettings& s = settingsLocked();
    switch (which) {
    case LineControlKind::Dtr:
        if (s.dtrControl == LineControl::Handshake)
            return ecBadArgument; // the server drives DTR for input flow
        // Set only when it changes: every command is a round trip to the
        // server and, on some, a write to its port.
        if (dtrSent_ != on)
            sendWireLocked(Sub(SET_CONTROL, Byte(on ? 8 : 9)));
        dtrSent_ = on;
        break;
    case LineControlKind::Rts:
        if (s.ctsOutFlow || s.rtsControl == LineControl::Handshake)
            return ecBadArgument; // the server drives RTS under RTS/CTS flow
        if (rtsSent_ != on)
            sendWireLocked(Sub(SET_CONTROL, Byte(on ? 11 : 12)));
        rtsSent_ = on;
        break;
    case LineControlKind::Break:
        sendWireLocked(Sub(SET_CONTROL, Byte(on ? 5 : 6)));
        break;
    }
    return lostLocked() != 0 ? ecLineLost : 0;
}

// XON/XOFF output flow at the server, asked for after the other settings (a
// mode of its own: they leave the server's outbound mode at "none" or at a
// line's flow). A server that will not do it leaves the stop to us.
int Rfc2217Device::afterLineSettingsLocked(std::unique_lock<std::mutex>& lk,
                                           const LineSettings& in) {
    using namespace telnet;
    const bool lineFlow = in.ctsOutFlow || in.dsrOutFlow;
    // A line's flow, or the first settings, just set the outbound mode anew.
    if (!flowBefore_ || flowBefore_->ctsOutFlow != in.ctsOutFlow ||
        flowBefore_->dsrOutFlow != in.dsrOutFlow)
        serverXonXoff_ = false;
    flowBefore_ = in;
    const bool want = in.xonXoffOut && !lineFlow;
    if (want == serverXonXoff_ || (!want && lineFlow))
        return 0;
    answers_.outFlow.reset();
    sendWireLocked(Sub(SET_CONTROL, Byte(want ? 2 : 1)));
    const auto deadline = Clock::now() + std::chrono::milliseconds(address().timeoutMs);
    if (!waitForLocked(lk, deadline, [&] { return answers_.outFlow.has_value(); })) {
        if (lostLocked() != 0) {
            setErrorLocked(address().hostPort() + " closed the connection");
            return ecLineLost;
        }
        serverXonXoff_ = false; // no answer: the stop stays ours
        return 0;
    }
    serverXonXoff_ = want && *answers_.outFlow == 2;
    return 0;
}

bool Rfc2217Device::serverDoesXonXoffLocked() const {
    return serverXonXoff_;
}

void Rfc2217Device::purgeServerLocked(unsigned which) {
    const bool rx = which & PurgeRx, tx = which & PurgeTx;
    if (rx || tx)
        sendWireLocked(Sub(PURGE_DATA, Byte(rx && tx ? 3 : rx ? 1 : 2)));
}

} // namespace vorl::platform
