// TComPort: the component through which the program owns one serial port.
//
// It keeps the port's settings as properties (a setter stores the value and, on
// an open port, applies it at once through the dispatcher), opens and closes the
// port, passes reads, writes, queries and trigger requests to the dispatcher,
// turns the dispatcher's negative results into exceptions (errors.h), and
// re-raises the dispatcher's notices as events on the thread that owns it.
//
// How it works
// - Every call belongs on the owning thread. The dispatcher's threads reach the
//   component only through the `Delivery` given at construction: each notice
//   is sent there (waiting at most 3000 ms) and raised as the `OnTrigger...`
//   events. A notice that arrives after the component is gone, or for a
//   dispatcher it no longer owns, is ignored. The events are plain members, so
//   the component cannot see them being assigned: while the port is open it
//   always takes the notices, and one with no event assigned costs a round trip.
// - A trigger removed while the port is closed (or closing) is removed from the
//   set kept for the next open, so it does not come back.
// - A port COM n is the device path of the port map (platform/port_map.h).
//   Opening it: held by another program raises EAlreadyOpen (-2008), no such
//   device EBadId (-2001), no permission EPortAccessDenied naming the path.
// - Triggers survive a close: they are saved when the port closes and put back,
//   with the same handles, when it opens again.
// - Closing from inside an event handler cannot stop the dispatcher's threads
//   at once (one of them waits for that very handler). The close is then
//   finished by a notice posted to the owning thread once they have ended; the
//   port reads `psShuttingDown` meanwhile, and an open asked for meanwhile
//   follows right after.
//
// Use: construct with the owning thread's Delivery (QtDelivery in the program),
// set the properties, SetOpen(true); assign the OnTrigger... members (chain a
// previous handler by copying it first). The application sets the process-wide
// SetPortPrompt (the Select Port dialog) and SetEventExceptionHandler once.
#pragma once

#include "serial/delivery.h"
#include "serial/errors.h"
#include "serial/triggers.h"

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vorl {

class TBaseDispatcher;

enum TParity : uint8_t { pNone, pOdd, pEven, pMark, pSpace };
enum TDeviceLayer : uint8_t { dlWin16, dlFossil, dlWin32, dlWinsock };
enum TTapiMode : uint8_t { tmNone, tmAuto, tmOn, tmOff };
enum TPortState : uint8_t { psClosed, psShuttingDown, psOpen };

// A set of hardware flow options; the values are the bits the dispatcher takes.
enum THWFlowOptions : uint8_t {
    hwfNone = 0,
    hwfUseDTR = 1,
    hwfUseRTS = 2,
    hwfRequireDSR = 4,
    hwfRequireCTS = 8,
};
constexpr THWFlowOptions operator|(THWFlowOptions a, THWFlowOptions b) {
    return THWFlowOptions(uint8_t(a) | uint8_t(b));
}
constexpr THWFlowOptions operator&(THWFlowOptions a, THWFlowOptions b) {
    return THWFlowOptions(uint8_t(a) & uint8_t(b));
}
constexpr THWFlowOptions operator~(THWFlowOptions a) {
    return THWFlowOptions(~uint8_t(a) & 15);
}

enum TSWFlowOptions : uint8_t { swfNone, swfReceive, swfTransmit, swfBoth };
enum TFlowControlState : uint8_t {
    fcOff,
    fcOn,
    fcDsrHold,
    fcCtsHold,
    fcDcdHold,
    fcXOutHold,
    fcXInHold,
    fcXBothHold
};
enum TTraceLogState : uint8_t { tlOff, tlOn, tlDump, tlAppend, tlClear, tlPause };
enum TThreadBoost : uint8_t { tbNone, tbPlusOne, tbPlusTwo };

// One port number found by AvailableComPorts.
struct ComPortInfo {
    int number = 0;     // n of COM n
    std::string path;   // the device behind it
    bool inUse = false; // held by another program
    std::string noAccess =
        {}; // the user may not open it: why, e.g. "no access: not in group 'dialout'"
};

// The ports from `first` to `last` whose device can be opened, or exists and is
// held by another program or closed to the user; each is opened and closed
// again at once.
std::vector<ComPortInfo> AvailableComPorts(int first = 1, int last = 50);

// The device path behind COM n ("" for n < 1).
std::string ComPortDevicePath(int comNumber);

class TComPort {
public:
    // Events. Each runs on the owning thread; an exception it raises is caught
    // and handed to the event exception handler (SetEventExceptionHandler).
    using TTriggerEvent =
        std::function<void(TComPort& cp, uint16_t msg, uint16_t triggerHandle, uint16_t data)>;
    using TTriggerAvailEvent = std::function<void(TComPort& cp, uint16_t count)>;
    using TTriggerHandleEvent = std::function<void(TComPort& cp, uint16_t triggerHandle)>;
    using TTriggerLineErrorEvent =
        std::function<void(TComPort& cp, uint16_t error, bool lineBreak)>;
    using TNotifyEvent = std::function<void(TComPort& cp)>;
    // A registered user: told after the port opened (true) or as it closes (false).
    using TPortCallback = std::function<void(TComPort& cp, bool opening)>;
    // Asks the operator for a port number; 0 means cancelled.
    using PortPrompt = std::function<int()>;

    TTriggerEvent OnTrigger;                   // every notice, before the specific event
    TTriggerAvailEvent OnTriggerAvail;         // received data waiting
    TTriggerHandleEvent OnTriggerData;         // a data trigger matched
    TTriggerHandleEvent OnTriggerStatus;       // a status trigger fired
    TTriggerHandleEvent OnTriggerTimer;        // a timer trigger expired
    TTriggerLineErrorEvent OnTriggerLineError; // a line-status trigger fired
    TNotifyEvent OnTriggerModemStatus;         // a modem-status trigger fired
    TNotifyEvent OnTriggerOutbuffFree;         // an output-buffer-free trigger fired
    TNotifyEvent OnTriggerOutbuffUsed;         // an output-buffer-used trigger fired
    TNotifyEvent OnTriggerOutSent;             // an output-sent trigger fired
    TNotifyEvent OnPortOpen;                   // after the users were told of an open
    TNotifyEvent OnPortClose;                  // after the users were told of a close

    // Notices are delivered through `delivery`, onto the thread that owns it,
    // which must be the thread that uses this component.
    explicit TComPort(std::shared_ptr<Delivery> delivery);
    ~TComPort();
    TComPort(const TComPort&) = delete;
    TComPort& operator=(const TComPort&) = delete;

    // ---- Properties ----
    TDeviceLayer DeviceLayer() const { return deviceLayer_; }
    void SetDeviceLayer(TDeviceLayer v);
    uint16_t ComNumber() const { return comNumber_; }
    void SetComNumber(uint16_t v);
    int32_t Baud() const { return baud_; }
    void SetBaud(int32_t v);
    bool PromptForPort() const { return promptForPort_; }
    void SetPromptForPort(bool v) { promptForPort_ = v; }
    TParity Parity() const { return parity_; }
    void SetParity(TParity v);
    uint16_t DataBits() const { return dataBits_; }
    void SetDataBits(uint16_t v);
    uint16_t StopBits() const { return stopBits_; }
    void SetStopBits(uint16_t v);
    uint16_t InSize() const { return inSize_; }
    void SetInSize(uint16_t v);
    uint16_t OutSize() const { return outSize_; }
    void SetOutSize(uint16_t v);
    bool AutoOpen() const { return autoOpen_; }
    void SetAutoOpen(bool v) { autoOpen_ = v; }
    bool Open() const { return open_; }
    void SetOpen(bool v);
    bool DTR() const { return dtr_; }
    void SetDTR(bool v);
    bool RTS() const { return rts_; }
    void SetRTS(bool v);
    THWFlowOptions HWFlowOptions() const { return hwFlow_; }
    void SetHWFlowOptions(THWFlowOptions v);
    TSWFlowOptions SWFlowOptions() const { return swFlow_; }
    void SetSWFlowOptions(TSWFlowOptions v);
    char XOnChar() const { return xonChar_; }
    void SetXOnChar(char v);
    char XOffChar() const { return xoffChar_; }
    void SetXOffChar(char v);
    uint16_t BufferFull() const { return bufferFull_; }
    void SetBufferFull(uint16_t v);
    uint16_t BufferResume() const { return bufferResume_; }
    void SetBufferResume(uint16_t v);
    TTraceLogState Tracing() const { return tracing_; }
    void SetTracing(TTraceLogState v);
    uint32_t TraceSize() const { return traceSize_; }
    void SetTraceSize(uint32_t v);
    const std::string& TraceName() const { return traceName_; }
    void SetTraceName(std::string v) { traceName_ = std::move(v); }
    bool TraceHex() const { return traceHex_; }
    void SetTraceHex(bool v) { traceHex_ = v; }
    bool TraceAllHex() const { return traceAllHex_; }
    void SetTraceAllHex(bool v) { traceAllHex_ = v; }
    TTraceLogState Logging() const { return logging_; }
    void SetLogging(TTraceLogState v);
    uint32_t LogSize() const { return logSize_; }
    void SetLogSize(uint32_t v);
    const std::string& LogName() const { return logName_; }
    void SetLogName(std::string v) { logName_ = std::move(v); }
    bool LogHex() const { return logHex_; }
    void SetLogHex(bool v) { logHex_ = v; }
    bool LogAllHex() const { return logAllHex_; }
    void SetLogAllHex(bool v) { logAllHex_ = v; }
    bool UseMSRShadow() const { return useMSRShadow_; }
    void SetUseMSRShadow(bool v) { useMSRShadow_ = v; }
    bool UseEventWord() const { return useEventWord_; }
    void SetUseEventWord(bool v);
    uint16_t CommNotificationLevel() const { return commNotificationLevel_; }
    void SetCommNotificationLevel(uint16_t v) { commNotificationLevel_ = v; }
    TTapiMode TapiMode() const { return tapiMode_; }
    void SetTapiMode(TTapiMode v) { tapiMode_ = v; }
    bool RS485Mode() const { return rs485Mode_; }
    void SetRS485Mode(bool v);
    TThreadBoost ThreadBoost() const { return threadBoost_; }
    void SetThreadBoost(TThreadBoost v);

    TPortState PortState() const { return state_; }
    // "COM" and the port number.
    std::string ComName() const;
    // The device behind ComNumber (through the port map).
    std::string DevicePath() const;

    // While loading, setters only store and an open is remembered; EndLoading
    // carries the open out (if it fails, Open goes back to False and the
    // exception propagates). Negative results raise nothing meanwhile.
    void BeginLoading() { loading_ = true; }
    void EndLoading();
    bool Loading() const { return loading_; }

    // ---- Dispatcher access ----
    // The dispatcher, opening the port first when AutoOpen allows; may be null.
    TBaseDispatcher* GetDispatcher();
    // GetDispatcher, raising ECommNotOpen (-2007) when there is none.
    TBaseDispatcher& ValidDispatcher();

    // ---- Data (while shutting down they do nothing and give 0) ----
    void PutChar(char c);
    void PutString(std::string_view s);
    int32_t PutBlock(const void* buffer, uint16_t length);
    char GetChar();
    char PeekChar(uint16_t n);
    int32_t GetBlock(void* buffer, uint16_t length);
    int32_t PeekBlock(void* buffer, uint16_t length);
    bool CharReady();
    void FlushInBuffer();
    void FlushOutBuffer();
    // Waits until the output has gone to the line, as long as it moves and
    // `graceMs` more at a stop (TBaseDispatcher::DrainOutput); 0, ecTimeout
    // or the line's failure (no exception: the caller decides).
    // Blocks the calling thread: meant for the last few characters, after the
    // bulk has been waited for with the output-used trigger.
    int32_t DrainOutput(int32_t graceMs);

    // ---- Queries (defaults while not open) ----
    uint32_t GetInBuffUsed();
    uint32_t GetInBuffFree();
    uint32_t GetOutBuffUsed();
    uint32_t GetOutBuffFree();
    bool GetCTS();
    bool GetDSR();
    bool GetRI();
    bool GetDCD();
    bool GetDeltaCTS();
    bool GetDeltaDSR();
    bool GetDeltaRI();
    bool GetDeltaDCD();
    // 0 none, 1 receive overflow, 2 overrun, 3 parity, 4 framing, 9 break; clears it.
    uint16_t GetLineError();
    // Whether a break was seen; clears it.
    bool GetLineBreak();
    uint16_t GetBaseAddress();
    uint8_t GetModemStatus();
    TFlowControlState GetFlowState();
    // 0 while the line works (and while not open); ecLineLost once the device
    // failed or hung up, until the port opens again (see TBaseDispatcher).
    int32_t GetLineFailure();

    // ---- Triggers (handles as the dispatcher gives them) ----
    // `seeWaiting`: the string is also looked for in the input not read yet
    // (TBaseDispatcher::AddDataTrigger).
    uint16_t AddDataTrigger(std::string_view data, bool ignoreCase, bool seeWaiting = false);
    uint16_t AddTimerTrigger();
    uint16_t AddStatusTrigger(uint16_t kind);
    void SetTimerTrigger(uint16_t handle, int32_t ticks, bool activate);
    void SetStatusTrigger(uint16_t handle, uint16_t value, bool activate);
    // While a sequence waits for data trigger `handle` and reads nothing:
    // input that cannot be part of a match is dropped until it matches or is
    // removed (TBaseDispatcher::DiscardUntilTrigger). 0 ends it.
    void DiscardUntilTrigger(uint16_t handle);
    // On a closed port these remove from the triggers kept for the next open.
    void RemoveTrigger(uint16_t handle);
    void RemoveAllTriggers();
    void SetTriggerLength(uint32_t count);
    uint32_t TriggerLength() const { return triggerLength_; }

    // ---- Line control ----
    void SendBreak(uint32_t ticks, bool yield);
    void SetBreak(bool on);
    void ProcessCommunications();

    // ---- Users ----
    // Entries are keyed by `owner`; deregistering removes all of that owner's.
    void RegisterUserCallback(const void* owner, TPortCallback callback);
    void DeregisterUserCallback(const void* owner);

    // ---- Process-wide hooks (set once by the application) ----
    // Asked when a port without number opens and PromptForPort is True.
    static void SetPortPrompt(PortPrompt prompt);
    // Reports exceptions raised by event handlers (default: dropped).
    static void SetEventExceptionHandler(std::function<void(std::exception_ptr)> handler);

private:
    struct Alive;
    struct User {
        const void* owner;
        TPortCallback callback;
        bool removed = false;
    };

    int32_t check(int32_t code) const { return CheckException(code, loading_); }
    bool guardedOff() const { return state_ == psShuttingDown; }
    void doOpen();
    void doClose();
    void finishClose();
    void finishCloseWhenIdle();
    void applyAll();
    void applyLine();
    void applyHWFlow();
    void applySWFlow();
    void reapplyFlow();
    struct Recorder;
    static const Recorder kTrace;
    static const Recorder kDispatchLog;
    void applyRecorder(const Recorder& r, TTraceLogState v);
    void setRecorder(const Recorder& r, TTraceLogState v);
    void resizeRecorder(const Recorder& r, uint32_t v);
    uint32_t openCount(int32_t (TBaseDispatcher::*query)(), uint32_t closed);
    bool openAnd(bool (TBaseDispatcher::*query)());
    // Stores a changed setting (or any while the open re-applies them all).
    template <class T> bool changes(T& field, T v) {
        if (v == field && !forcing_) {
            return false;
        }
        field = v;
        return true;
    }
    // Applies a setting to the dispatcher of an open port.
    template <class Apply> void whenOpen(Apply apply) {
        if (state_ == psOpen && dispatcher_) {
            apply(*dispatcher_);
        }
    }
    // A call on the dispatcher, opening the port on demand; nothing while it closes.
    template <class Call> void whenUsable(Call call) {
        if (!guardedOff()) {
            call(ValidDispatcher());
        }
    }
    template <class R, class Call> R whenUsable(R closing, Call call) {
        return guardedOff() ? closing : R(call(ValidDispatcher()));
    }
    void tellUsers(bool opening);
    void handleNotice(uint32_t msg, uint32_t first, uint32_t second);
    void raiseEvent(const std::function<void()>& call);
    [[noreturn]] void raiseOpenFailure(int32_t result);

    std::shared_ptr<Delivery> delivery_;
    std::shared_ptr<Alive> alive_;

    TDeviceLayer deviceLayer_ = dlWin32;
    uint16_t comNumber_ = 0;
    int32_t baud_ = 19200;
    bool promptForPort_ = true;
    TParity parity_ = pNone;
    uint16_t dataBits_ = 8;
    uint16_t stopBits_ = 1;
    uint16_t inSize_ = 4096;
    uint16_t outSize_ = 4096;
    bool autoOpen_ = true;
    bool open_ = false;
    bool dtr_ = true;
    bool rts_ = true;
    THWFlowOptions hwFlow_ = hwfNone;
    TSWFlowOptions swFlow_ = swfNone;
    char xonChar_ = 17;
    char xoffChar_ = 19;
    uint16_t bufferFull_ = 0;
    uint16_t bufferResume_ = 0;
    TTraceLogState tracing_ = tlOff;
    uint32_t traceSize_ = 10000;
    std::string traceName_ = "SERIAL.TRC";
    bool traceHex_ = true;
    bool traceAllHex_ = false;
    TTraceLogState logging_ = tlOff;
    uint32_t logSize_ = 10000;
    std::string logName_ = "SERIAL.LOG";
    bool logHex_ = true;
    bool logAllHex_ = false;
    bool useMSRShadow_ = true;
    bool useEventWord_ = true;
    uint16_t commNotificationLevel_ = 10;
    TTapiMode tapiMode_ = tmAuto;
    bool rs485Mode_ = false;
    TThreadBoost threadBoost_ = tbNone;

    TPortState state_ = psClosed;
    std::shared_ptr<TBaseDispatcher> dispatcher_;
    bool openRequested_ = false; // an open asked for while shutting down
    bool loading_ = false;
    bool openWhenLoaded_ = false;
    TTriggerSave saved_;
    bool haveSaved_ = false;
    bool forcing_ = false;
    uint32_t triggerLength_ = 1;
    uint64_t openGeneration_ = 0; // notices of an earlier open are ignored
    std::vector<std::shared_ptr<User>> users_;
};

} // namespace vorl
