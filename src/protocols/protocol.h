// TProtocol: the component that moves one file over a serial port with a file
// transfer protocol (ASCII, Xmodem, Xmodem CRC, Xmodem 1K).
//
// The owner chooses the protocol and its settings, names the file and starts
// a transmit or a receive; both return at once. The transfer then runs on the
// port's notice thread (see protocol_engine.h) and reports through events that
// all run on the owning thread, through the `Delivery` given at construction:
// - OnProtocolStatus, OnProtocolError, OnProtocolLog, OnProtocolNextFile and
//   OnProtocolAccept are sent: the transfer waits for each at most 1000 ms.
//   One not handled in time counts as no file / not accepted;
// - OnProtocolFinish is posted and always comes last, exactly once per start,
//   with 0 or a negative error code; ProtocolStatus then tells how it ended.
// An event that runs after its sender stopped waiting, or after the component
// is gone, touches nothing that no longer exists.
//
// While a transfer runs the component is registered with its port as a user;
// a port that closes cancels the transfer (OnProtocolFinish with -6005).
// Settings should be changed between transfers only.
#pragma once

#include "protocols/protocol_engine.h"
#include "serial/delivery.h"

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>

namespace vorl {

class TComPort;

// How long the transfer waits for a sent event to be handled.
inline constexpr std::chrono::milliseconds kProtocolNotifyTimeout{1000};

class TCustomProtocol {
public:
    using TProtocolStatusEvent = std::function<void(TCustomProtocol& cp, uint16_t options)>;
    using TProtocolErrorEvent = std::function<void(TCustomProtocol& cp, int32_t errorCode)>;
    using TProtocolFinishEvent = std::function<void(TCustomProtocol& cp, int32_t errorCode)>;
    using TProtocolAcceptEvent =
        std::function<void(TCustomProtocol& cp, bool& accept, std::string& fname)>;
    using TProtocolNextFileEvent = std::function<void(TCustomProtocol& cp, std::string& fname)>;
    using TProtocolLogEvent = std::function<void(TCustomProtocol& cp, uint16_t log)>;

    TProtocolStatusEvent OnProtocolStatus;
    TProtocolErrorEvent OnProtocolError;
    TProtocolFinishEvent OnProtocolFinish;
    TProtocolAcceptEvent OnProtocolAccept;
    TProtocolNextFileEvent OnProtocolNextFile;
    TProtocolLogEvent OnProtocolLog;

    explicit TCustomProtocol(std::shared_ptr<Delivery> delivery);
    virtual ~TCustomProtocol();
    TCustomProtocol(const TCustomProtocol&) = delete;
    TCustomProtocol& operator=(const TCustomProtocol&) = delete;

    // ---- The port ----
    // The port component the transfers run on (not owned; it must outlive
    // this component or be detached first).
    void SetComPort(TComPort* port);
    TComPort* ComPort() const { return comPort_; }
    // A line without a port component (tests, a headless front end); used
    // when no port component is set.
    void SetLine(std::shared_ptr<ProtocolLine> line);
    // What the port tells its users: after it opened (true), as it closes
    // (false). Closing while a transfer runs cancels it.
    void PortCallback(bool opening);

    // ---- Settings ----
    TProtocolType ProtocolType() const { return protocolType_; }
    // Re-initialises the engine for the protocol and passes it the protocol's
    // settings. Raises for a protocol the system does not offer. Ignored
    // while a transfer runs.
    void SetProtocolType(TProtocolType value);
    TBlockCheckMethod BlockCheckMethod() const { return P_->BlockCheckMethod; }
    void SetBlockCheckMethod(TBlockCheckMethod value);
    const std::string& FileMask() const { return P_->SearchMask; }
    void SetFileMask(const std::string& mask);
    // The file to receive (or the one being sent).
    const std::string& FileName() const { return P_->PathName; }
    // Joined with DestinationDirectory unless it contains "/"; ignored while
    // a transfer runs.
    void SetFileName(const std::string& name);
    const std::string& DestinationDirectory() const { return P_->DestDir; }
    void SetDestinationDirectory(const std::string& dir);
    uint32_t HandshakeRetry() const { return P_->HandshakeRetry; }
    void SetHandshakeRetry(uint32_t v) { P_->HandshakeRetry = v; }
    uint32_t HandshakeWait() const { return P_->HandshakeWait; }
    void SetHandshakeWait(uint32_t ticks) { P_->HandshakeWait = ticks; }
    uint32_t TransmitTimeout() const { return P_->TransmitTimeout; }
    void SetTransmitTimeout(uint32_t ticks) { P_->TransmitTimeout = ticks; }
    uint32_t FinishWait() const { return P_->FinishWait; }
    void SetFinishWait(uint32_t ticks) { P_->FinishWait = ticks; }
    uint32_t TurnDelay() const { return P_->TurnDelay; }
    void SetTurnDelay(uint32_t ms) { P_->TurnDelay = ms; }
    uint32_t Overhead() const { return P_->Overhead; }
    void SetOverhead(uint32_t chars) { P_->Overhead = chars; }
    uint32_t StatusInterval() const { return P_->StatusInterval; }
    void SetStatusInterval(uint32_t ticks) { P_->StatusInterval = ticks; }
    TWriteFailAction WriteFailAction() const { return P_->WriteFailAction; }
    void SetWriteFailAction(TWriteFailAction v) { P_->WriteFailAction = v; }
    bool AbortNoCarrier() const { return option(apAbortNoCarrier); }
    void SetAbortNoCarrier(bool v) { setOption(apAbortNoCarrier, v); }
    bool RTSLowForWrite() const { return option(apRTSLowForWrite); }
    void SetRTSLowForWrite(bool v) { setOption(apRTSLowForWrite, v); }
    bool AsciiSuppressCtrlZ() const { return option(apAsciiSuppressCtrlZ); }
    void SetAsciiSuppressCtrlZ(bool v) { setOption(apAsciiSuppressCtrlZ, v); }
    // Upper-cases names only where that names the same file (see
    // peUpcasePathName).
    bool UpcaseFileNames() const { return P_->UpcaseNames; }
    void SetUpcaseFileNames(bool v) { P_->UpcaseNames = v; }

    // Protocol settings: kept here and handed to the engine whenever it runs
    // the protocol they belong to, so they may be set before or after the type.
    uint32_t XYmodemBlockWait() const { return xyBlockWait_; }
    void SetXYmodemBlockWait(uint32_t ticks);
    uint32_t AsciiCharDelay() const { return asciiCharDelay_; }
    void SetAsciiCharDelay(uint32_t ms) { setAscii(asciiCharDelay_, ms); }
    uint32_t AsciiLineDelay() const { return asciiLineDelay_; }
    void SetAsciiLineDelay(uint32_t ms) { setAscii(asciiLineDelay_, ms); }
    uint8_t AsciiEOLChar() const { return asciiEOLChar_; }
    void SetAsciiEOLChar(uint8_t c) { setAscii(asciiEOLChar_, c); }
    TAsciiEOLTranslation AsciiCRTranslation() const { return asciiCRTranslation_; }
    void SetAsciiCRTranslation(TAsciiEOLTranslation v) { setAscii(asciiCRTranslation_, v); }
    TAsciiEOLTranslation AsciiLFTranslation() const { return asciiLFTranslation_; }
    void SetAsciiLFTranslation(TAsciiEOLTranslation v) { setAscii(asciiLFTranslation_, v); }
    uint32_t AsciiEOFTimeout() const { return asciiEOFTimeout_; }
    void SetAsciiEOFTimeout(uint32_t ticks) { setAscii(asciiEOFTimeout_, ticks); }
    // For the next ASCII receive: the sender's End string. The receive then
    // ends with the string's last byte, without the silence after it; what
    // the sender sent after it is left in the port. Empty: only the silence
    // ends it. `lead`: a string that the sender may or may not send before
    // the data (its Ready string); when the data begins with it, it is
    // dropped.
    void SetAsciiEndString(const std::string& end, const std::string& lead = {});
    // The last ASCII receive ended at its End string.
    bool AsciiEndArrived() const { return P_->Ascii.EndSeen; }

    // ---- Operations ----
    // Nothing with ptNoProtocol; raises EPortNotAssigned (-1005) without a
    // port. Otherwise returns at once; OnProtocolFinish follows.
    void StartTransmit();
    void StartReceive();
    // Ends a running transfer (finish -6005). Never waits for the transfer.
    void CancelProtocol();
    int32_t EstimateTransferSecs(int64_t size) const;
    static std::string StatusMsg(int32_t code) { return peStatusMsg(code); }

    // ---- Run-time values ----
    int32_t GetProtocolStatus() const { return P_->ProtocolStatus; }
    int32_t GetProtocolError() const { return P_->ProtocolError; }
    int64_t FileLength() const { return P_->FileLength; }
    int64_t BytesTransferred() const;
    int64_t BytesRemaining() const;
    int32_t BlockErrors() const { return P_->BlockErrors; }
    int32_t TotalErrors() const { return P_->TotalErrors; }
    int32_t BlockLength() const { return P_->BlockLen; }
    int32_t BlockNumber() const { return P_->BlockNum; }
    int32_t ElapsedTicks() const { return P_->ElapsedTicks; }
    bool InProgress() const { return P_->InProgress != 0; }
    int32_t ActualBPS() const { return P_->ActualCPS * 10; }
    // The engine's current type (a handshake may have changed it).
    TProtocolType EngineProtocolType() const { return P_->ProtocolType; }

    // The engine record (tests: file hooks).
    TProtocolData& Data() { return *P_; }

    // Reports exceptions raised by event handlers (default: dropped).
    static void SetEventExceptionHandler(std::function<void(std::exception_ptr)> handler);

private:
    struct Alive;
    class Window;

    bool option(uint32_t bit) const { return (P_->Options & bit) != 0; }
    void setOption(uint32_t bit, bool on);
    void start(bool transmit);
    std::shared_ptr<ProtocolLine> currentLine() const;
    void passSettings();
    // Hands the ASCII settings to the engine; nothing unless it runs ASCII.
    void passAsciiSettings();
    template <class T> void setAscii(T& field, T value) {
        field = value;
        passAsciiSettings();
    }
    void finished(uint64_t generation, int32_t code);
    void registerWithPort();
    int32_t outBuffUsed() const;
    void deregisterFromPort();

    std::shared_ptr<Delivery> delivery_;
    std::shared_ptr<Alive> alive_;
    std::unique_ptr<Window> window_;
    std::shared_ptr<TProtocolData> P_;
    TComPort* comPort_ = nullptr;
    std::shared_ptr<ProtocolLine> line_;

    TProtocolType protocolType_ = ptNoProtocol;
    uint32_t xyBlockWait_ = 91;
    uint32_t asciiCharDelay_ = 0;
    uint32_t asciiLineDelay_ = 0;
    uint8_t asciiEOLChar_ = cCR;
    TAsciiEOLTranslation asciiCRTranslation_ = aetNone;
    TAsciiEOLTranslation asciiLFTranslation_ = aetNone;
    uint32_t asciiEOFTimeout_ = 364;

    bool started_ = false;
    bool bpsTaken_ = false;
    bool portUserRegistered_ = false;
    uint64_t generation_ = 0;
};

class TProtocol : public TCustomProtocol {
public:
    using TCustomProtocol::TCustomProtocol;
};

} // namespace vorl
