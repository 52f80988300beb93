// A serial line on a serial device server that offers telnet serial port
// control ("rfc2217://host:port"): the program sets the line's speed,
// framing, flow control, DTR, RTS and break on the server's port, and hears
// its modem lines and line errors.
//
// How it works
// - Telnet underneath: IAC (255) in the data is doubled on the way out and
//   undoubled on the way in, so every byte value passes exactly. Options are
//   negotiated with both sides' states kept (no, asking, yes), so a request
//   is answered once and crossing requests never loop.
// - Opening asks for the serial port control option (WILL COM-PORT-OPTION),
//   BINARY both ways and SUPPRESS-GO-AHEAD, then sets the masks for line
//   state (break, framing, parity, overrun) and modem state (every line and
//   change) and asks the speed, which the server must answer. A server that
//   refuses the option, or binary transmission, is reported as such; it is
//   used as a raw TCP line only when the operator names it tcp://.
// - Line settings: SET-BAUDRATE, SET-DATASIZE, SET-PARITY, SET-STOPSIZE and
//   the flow control modes go out for what changed, and the server's answers
//   must come (within the connect time-out) and must be what was asked. An
//   inbound flow mode goes out only when the machine needs one (or to undo
//   ours), and a mode that asks for the server's default ("none") may go
//   unanswered: a speed query sent behind it tells when its answer would
//   have come. A missing answer is named by its command.
//   DTR, RTS and break are SET-CONTROL requests whose answers are not
//   awaited (a server with no such lines may not answer at all).
// - XON/XOFF output flow is the server's (SET-CONTROL 2): its port stops at
//   the machine tool's XOFF at once, within its UART, while ours would come
//   only after the XOFF crossed the network and everything the server holds
//   had gone out. Where the machine also has RTS/CTS (or DSR) flow, that is
//   the server's one outbound mode and XON/XOFF stays ours (tcp_device.h).
//   RTS/CTS and DSR flow are the server's, at its UART; the modem reports
//   tell us when CTS or DSR holds.
// - NOTIFY-LINESTATE becomes line errors, NOTIFY-MODEMSTATE the modem lines
//   (known from the first report on; before it the port has no lines, as a
//   pty). FLOWCONTROL-SUSPEND holds our output until FLOWCONTROL-RESUME.
// - Purges go to the server as PURGE-DATA (1 its buffer of received data, 2
//   its buffer of data to send, 3 both).
#pragma once

#include "platform/tcp_device.h"

#include <array>
#include <optional>

namespace vorl::platform {

// Telnet and serial port control codes.
namespace telnet {
constexpr uint8_t IAC = 255, DONT = 254, DO = 253, WONT = 252, WILL = 251, SB = 250, SE = 240;
constexpr uint8_t BINARY = 0, SGA = 3, COM_PORT = 44;
// Client to server; the server answers with the same code + 100.
constexpr uint8_t SET_BAUDRATE = 1, SET_DATASIZE = 2, SET_PARITY = 3, SET_STOPSIZE = 4,
                  SET_CONTROL = 5, NOTIFY_LINESTATE = 6, NOTIFY_MODEMSTATE = 7,
                  FLOWCONTROL_SUSPEND = 8, FLOWCONTROL_RESUME = 9, SET_LINESTATE_MASK = 10,
                  SET_MODEMSTATE_MASK = 11, PURGE_DATA = 12;
constexpr uint8_t kServer = 100;
} // namespace telnet

class Rfc2217Device final : public TcpDevice {
public:
    Rfc2217Device();

    // The data bytes in wire form (IAC doubled), and back; for tests of the
    // coding on its own.
    static std::string Escape(const std::string& data);

protected:
    int negotiateLocked(std::unique_lock<std::mutex>& lk, Clock::time_point deadline) override;
    void decodeLocked(const uint8_t* in, size_t n) override;
    void encodeLocked(const uint8_t* in, size_t n, std::string& out) override;
    size_t wireLengthLocked(uint8_t byte) const override { return byte == telnet::IAC ? 2 : 1; }
    int applyLineSettingsLocked(std::unique_lock<std::mutex>& lk, const LineSettings& in) override;
    int lineControlLocked(LineControlKind which, bool on) override;
    void purgeServerLocked(unsigned which) override;
    bool serverHoldsLocked() const override { return suspended_; }
    bool serverDoesXonXoffLocked() const override;
    int afterLineSettingsLocked(std::unique_lock<std::mutex>& lk, const LineSettings& in) override;

private:
    enum class Q : uint8_t { No, WantYes, Yes };
    enum class Parse : uint8_t { Data, Iac, Option, Sub, SubIac };

    void optionLocked(uint8_t verb, uint8_t option);
    void subnegotiationLocked();
    void commandLocked(uint8_t code, const std::string& value);

    std::array<Q, 256> us_{};  // options on our side
    std::array<Q, 256> him_{}; // options on the server's side
    Parse parse_ = Parse::Data;
    uint8_t verb_ = 0;
    std::string sub_;
    std::string data_; // decoded data of one decode call

    struct Answers {
        std::optional<uint32_t> baud;
        std::optional<uint8_t> dataSize, parity, stopSize, outFlow, inFlow;
    } answers_;
    uint32_t baudAnswers_ = 0; // SET-BAUDRATE answers so far (queries too)
    uint8_t inFlowAsked_ = 14; // the inbound flow mode asked last (none: the default)
    bool suspended_ = false;
    // What the server confirmed last (nothing before the first settings).
    std::optional<LineSettings> confirmed_;
    std::optional<bool> dtrSent_, rtsSent_;
    // XON/XOFF output flow: the settings it was last looked at with, and
    // whether the server's port does it (it answered SET-CONTROL 2).
    std::optional<LineSettings> flowBefore_;
    bool serverXonXoff_ = false;
};

} // namespace vorl::platform
