// The communications dispatcher: owns one open serial device and everything
// that moves through it (buffers, line settings, flow control, modem status,
// line errors, triggers and the delivery of their notices).
//
// How it works
// - Buffers. Received bytes go into an 8192-byte dispatch buffer, output into
//   an output ring of the size given at open; both are allocated once at open,
//   nothing is allocated on the byte path. Positions are running byte counts
//   (head = bytes ever put in, tail = bytes ever taken), so "used" is
//   head - tail: 0 is empty and 8192 is full, with no ambiguity.
// - Threads (while open):
//   * the com thread sleeps in the device's input wait (poll() on the tty and
//     an eventfd), reads what is waiting into the dispatch buffer, samples the
//     modem lines and line errors at least every 50 ms and signals the
//     dispatcher thread. With the buffer full it stops reading (the bytes wait
//     in the kernel, under its flow control) until a reader makes room;
//   * the dispatcher thread wakes on that signal or every 50 ms, checks status,
//     receive and timer triggers and delivers their notices, one at a time and
//     in order;
//   * the output thread sleeps on the output ring's condition and writes to the
//     device, waiting for room with poll(POLLOUT); a flush or close ends that
//     wait at once.
// - Locks: `general` (settings, flow, modem status, line errors, triggers,
//   handlers, notice state, trace, log, data pointers, options), `output` (the
//   output ring) and `input` (the dispatch buffer and the per-notice read
//   counts). Order: general before output before input; output and input are
//   never held together with a later-taken general. None is held across a
//   delivery or a device wait; the input lock is held across the device's
//   non-blocking read and across the purge of a flush, so that no byte that
//   arrives after a flush is lost with it. The process-wide dispatcher list
//   has its own lock, taken alone.
// - Hardware output flow (CTS, DSR) holds in the device; the com thread
//   wakes the output thread whenever a modem line changes, so a writer held
//   by a line goes on as soon as the line allows.
// - Output-room and output-used status triggers are checked as the output
//   thread makes progress too, so a writer waiting for room is woken at once.
// - Output queue. "Used" output counts the bytes in the ring and the bytes the
//   kernel still holds for the line, so "empty" means everything has left; a
//   block is refused with ecOutputBufferTooSmall when it exceeds the free room
//   by that count.
// - Notices (SendNotify, in triggers.cpp): event handlers, then procedure
//   handlers (both on the dispatcher thread; synchronised event handlers on
//   their owner's thread through a `Delivery`), then window handlers (sent to
//   their `Delivery`, waiting at most 3000 ms). During a data-available or
//   data notice each handler reads provisionally from the same first byte; at
//   the end the tail moves by the most any handler took. Only the threads
//   that ran a handler of the notice read provisionally, until its end (so a
//   window's thread that reads on after its handler returned never gets the
//   handler's bytes again); a late-running window notice (its sender gave
//   up) reads like any other caller, and a handler still running when its
//   sender gives up reads on after what it had taken. A thread that runs no
//   handler reads after the most any handler has taken, and a flush during
//   a notice empties the input at once for every reader, the handlers
//   included.
// - Closing during a notice (from a handler): the close is deferred; the
//   dispatcher thread ends after the running handler returns and the threads
//   are gone by the time `ThreadsActive()` turns false.
//
// All operations return 0 or a positive value on success and a negative code
// (serial/error_codes.h) on failure.
#pragma once

#include "platform/device.h"
#include "platform/error_codes.h"
#include "serial/delivery.h"
#include "serial/triggers.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace vorl {

using platform::LineSettings;

constexpr uint32_t kDispatchBufferSize = 8192;

// How long a close waits for output that does not move (a line held).
constexpr int32_t kCloseDrainGraceMs = 2000;

// InitPort option bits.
constexpr uint32_t kOptionDTR = 0x01;          // raise DTR at open
constexpr uint32_t kOptionRTS = 0x02;          // raise RTS at open
constexpr uint32_t kOptionDTRHandshake = 0x10; // DTR driven by flow control
constexpr uint32_t kOptionRTSHandshake = 0x20; // RTS driven by flow control

// OptionsOn/Off flag mirrored from the port component's UseEventWord.
constexpr uint32_t kOptionUseEventWord = 4;

// HWFlowOptions option bits.
constexpr uint16_t kHWFlowUseDTR = 1;
constexpr uint16_t kHWFlowUseRTS = 2;
constexpr uint16_t kHWFlowRequireDSR = 4;
constexpr uint16_t kHWFlowRequireCTS = 8;

// SWFlowEnable option bits.
constexpr uint16_t kSWFlowTransmit = 1;
constexpr uint16_t kSWFlowReceive = 2;

// HWFlowState / SWFlowState results.
constexpr int32_t kFlowOff = 1;
constexpr int32_t kFlowOn = 2;
constexpr int32_t kFlowDsrHold = 3;
constexpr int32_t kFlowCtsHold = 4;
constexpr int32_t kFlowXOutHold = 6; // the peer's XOFF holds our output
constexpr int32_t kFlowXInHold = 7;  // we sent XOFF
constexpr int32_t kFlowXBothHold = 8;

// Modem status byte: lines in the upper nibble (platform::kLine...), change
// bits in the lower nibble.
constexpr uint8_t kDeltaCTS = 1;
constexpr uint8_t kDeltaDSR = 2;
constexpr uint8_t kDeltaRI = 4; // a ring was seen
constexpr uint8_t kDeltaDCD = 8;

// GetLineError results.
constexpr int32_t kLeNone = 0;
constexpr int32_t kLeBuffer = 1;
constexpr int32_t kLeOverrun = 2;
constexpr int32_t kLeParity = 3;
constexpr int32_t kLeFraming = 4;
constexpr int32_t kLeBreak = 9;

// EscapeComFunction codes.
constexpr int32_t kEscSetRTS = 3;
constexpr int32_t kEscClrRTS = 4;
constexpr int32_t kEscSetDTR = 5;
constexpr int32_t kEscClrDTR = 6;
constexpr int32_t kEscSetBreak = 8;
constexpr int32_t kEscClrBreak = 9;

// Dispatch log entry types and subtypes. Protocol engines log their states as
// (dtAscii / dtXModem, subtype = first state's value + state index).
enum TDispatchType : uint16_t {
    dtNone,
    dtDispatch,
    dtTrigger,
    dtError,
    dtThread,
    dtTriggerAlloc,
    dtTriggerDispose,
    dtTriggerHandlerAlloc,
    dtTriggerHandlerDispose,
    dtTriggerDataChange,
    dtTelnet,
    dtFax,
    dtXModem,
    dtYModem,
    dtZModem,
    dtKermit,
    dtAscii,
    dtBPlus,
    dtPacket,
    dtUser,
};

enum TDispatchSubType : uint16_t {
    dstNone,
    dstReadCom,
    dstWriteCom,
    dstLineStatus,
    dstModemStatus,
    dstAvail,
    dstTimer,
    dstData,
    dstStatus,
    dstThreadStart,
    dstThreadExit,
    dstThreadSleep,
    dstThreadWake,
    dstDataTrigger,
    dstTimerTrigger,
    dstStatusTrigger,
    dstAvailTrigger,
    dstWndHandler,
    dstProcHandler,
    dstEventHandler,
    // ASCII protocol states, in the order of its state type.
    dsttaInitial = 100,
    dsttaGetBlock,
    dsttaWaitFreeSpace,
    dsttaSendBlock,
    dsttaSendDelay,
    dsttaFinishDrain,
    dsttaFinished,
    dsttaDone,
    dstraInitial,
    dstraCollectBlock,
    dstraProcessBlock,
    dstraFinished,
    dstraDone,
    // Xmodem states, in the order of its state type.
    dsttxInitial = 200,
    dsttxHandshake,
    dsttxGetBlock,
    dsttxWaitFreeSpace,
    dsttxSendBlock,
    dsttxDraining,
    dsttxReplyPending,
    dsttxEndDrain,
    dsttxFirstEndOfTransmit,
    dsttxRestEndOfTransmit,
    dsttxEotReply,
    dsttxFinished,
    dsttxDone,
    dstrxInitial,
    dstrxWaitForHSReply,
    dstrxWaitForBlockStart,
    dstrxCollectBlock,
    dstrxProcessBlock,
    dstrxFinishedSkip,
    dstrxFinished,
    dstrxDone,
};

enum THandlerFlagUpdate { fuKeepPort, fuEnablePort, fuDisablePort };

// A procedure handler: a plain function run on the dispatcher thread for every
// notice of the dispatcher (message, first parameter, second parameter with
// the dispatcher's handle in its high 16 bits). It finds its dispatcher with
// GetDispatcherPtr(NoticeDispatcher(second)) and its own data in a data
// pointer slot.
using TTriggerHandlerProc = void (*)(uint32_t msg, uint32_t first, uint32_t second);
// An event or window handler: any callable with the same parameters.
using TTriggerNoticeFn = std::function<void(uint32_t msg, uint32_t first, uint32_t second)>;

class TBaseDispatcher {
public:
    struct Impl; // the state, private to the implementation

    // Takes a handle in the process-wide dispatcher list.
    explicit TBaseDispatcher(void* owner);
    // Closes the port and waits for the threads; leaves the list.
    virtual ~TBaseDispatcher();
    TBaseDispatcher(const TBaseDispatcher&) = delete;
    TBaseDispatcher& operator=(const TBaseDispatcher&) = delete;

    void* Owner() const { return owner_; }
    uint16_t Handle() const { return handle_; }

    // --- Opening and closing -------------------------------------------------
    // Opens the device at `name` (a path; see platform/port_map.h for COM n).
    // Failures: -8, or the negated system error of the open (-2 no such device,
    // -5 in use, -13 permission denied), of the queue sizes or line settings.
    int32_t InitPort(const std::string& name, int32_t baud, uint16_t parity, uint16_t databits,
                     uint16_t stopbits, uint32_t inQueue, uint32_t outQueue, uint32_t options);
    // Lets the output drain to the line (DrainOutput, for as long as it
    // moves), empties the input, closes the device, stops the threads.
    // Output is discarded only when it stood still for kCloseDrainGraceMs (a
    // line held for good): a caller that wants it gone (a transfer stopped
    // or failed) flushes it first. Called from
    // inside a notice it only marks the close pending (see header).
    int32_t DonePort();
    bool IsOpen() const;
    // True while any of the dispatcher's threads still runs.
    bool ThreadsActive() const;
    bool ClosePending() const;
    // True while a notice is being delivered (or SetEventBusy holds it).
    bool NoticeBusy() const;

    // --- Data ----------------------------------------------------------------
    int32_t PutChar(uint8_t c);
    int32_t PutString(std::string_view s);
    int32_t PutBlock(const void* buf, uint32_t len);
    int32_t GetChar(uint8_t& c);
    int32_t PeekChar(uint8_t& c, uint32_t n);
    int32_t GetBlock(void* buf, uint32_t len);
    int32_t PeekBlock(void* buf, uint32_t len);
    bool CharReady();
    int32_t InBuffUsed();
    int32_t InBuffFree();
    int32_t OutBuffUsed();
    int32_t OutBuffFree();
    int32_t FlushInBuffer();
    int32_t FlushOutBuffer();
    // Waits until the output ring is written out and the device has let
    // everything go to the line (platform::Device::drain): as long as the
    // output moves, and `graceMs` more at each stop. 0, ecTimeout (a line
    // held that long), or the line's failure. Nothing is discarded.
    int32_t DrainOutput(int32_t graceMs);
    // 0 while the line works. Once a read or write found the device failed
    // or hung up, ecLineLost (ecPutBlockFail for a write refused otherwise)
    // until the port opens again; every put then fails with it.
    int32_t LineFailure();
    void BufferSizes(uint32_t& inQueue, uint32_t& outQueue);
    int32_t SetCommBuffers(uint32_t inQueue, uint32_t outQueue);

    // --- Line ----------------------------------------------------------------
    // baud 0, parity 5, stopbits 3, databits 9 keep the present value.
    int32_t SetLine(int32_t baud, uint16_t parity, uint16_t stopbits, uint16_t databits);
    int32_t GetLine(int32_t& baud, uint16_t& parity, uint16_t& stopbits, uint16_t& databits);
    int32_t ChangeBaud(int32_t baud);
    // 0, or 1 when the line is driven by flow control (nothing done).
    int32_t SetDtr(bool on);
    int32_t SetRts(bool on);
    int32_t SetModem(bool dtr, bool rts);
    int32_t SendBreak(int32_t ticks, bool yield);
    int32_t SetBreak(bool on);
    // RS-485: the device's driver switches RTS for each transmission; SetRts
    // then does nothing (returns 1). ecNotSupported where the device cannot.
    int32_t SetRS485Mode(bool on);
    int32_t SetBaseAddress(uint16_t address);
    uint16_t GetBaseAddress();

    // --- Flow control --------------------------------------------------------
    int32_t HWFlowOptions(uint16_t bufferFull, uint16_t bufferResume, uint16_t options);
    int32_t HWFlowState();
    int32_t SWFlowEnable(uint16_t bufferFull, uint16_t bufferResume, uint16_t options);
    int32_t SWFlowDisable();
    int32_t SWFlowState();
    int32_t SWFlowChars(uint8_t xon, uint8_t xoff);
    // Flow options as last applied (HW option bits, SW option bits, thresholds).
    void GetFlowOptions(uint16_t& hwOptions, uint16_t& swOptions, uint16_t& bufferFull,
                        uint16_t& bufferResume);

    // --- Status --------------------------------------------------------------
    uint8_t GetModemStatus();
    bool CheckCTS();
    bool CheckDSR();
    bool CheckRI();
    bool CheckDCD();
    bool CheckDeltaCTS();
    bool CheckDeltaDSR();
    bool CheckDeltaRI();
    bool CheckDeltaDCD();
    int32_t GetLineError();
    bool CheckLineBreak();
    int32_t RefreshStatus();

    // --- Other ---------------------------------------------------------------
    void OptionsOn(uint32_t options);
    void OptionsOff(uint32_t options);
    bool OptionsAreOn(uint32_t options);
    // index 1 to 3, else ecBadArgument.
    int32_t SetDataPointer(void* p, int index);
    int32_t GetDataPointer(void*& p, int index);
    virtual void SetThreadBoost(uint8_t boost);

    // --- Tracing: a ring of (direction 'R'/'T', byte) --------------------------
    int32_t InitTracing(uint32_t entries); // at most 4,000,000
    void AddTraceEntry(char dir, uint8_t c);
    // Writes the trace (oldest first) to `file`, replacing or appending, and
    // discards it. Negated file error on failure, ecTracingNotEnabled without one.
    int32_t DumpTrace(const std::string& file, bool inHex, bool allHex);
    int32_t AppendTrace(const std::string& file, bool inHex, bool allHex);
    void ClearTracing();
    void AbortTracing();
    void StartTracing();
    void StopTracing();
    bool TracingOn();

    // --- Dispatch log: a byte ring of (16-byte header, data) entries -----------
    int32_t InitDispatchLogging(uint32_t size);
    void AddDispatchEntry(TDispatchType type, TDispatchSubType subType, uint32_t value,
                          const void* data, uint32_t len);
    int32_t DumpDispatchLog(const std::string& file, bool inHex, bool allHex);
    int32_t AppendDispatchLog(const std::string& file, bool inHex, bool allHex);
    void ClearDispatchLogging();
    void AbortDispatchLogging();
    void StartDispatchLogging();
    void StopDispatchLogging();
    bool DispatchLoggingOn();
    void AddStringToLog(std::string_view s);

    // --- Triggers (triggers.cpp) ----------------------------------------------
    // With `seeWaiting` the input not read yet is fed to the data triggers
    // again, in the same step: a string that came before the trigger was
    // added is found too (every data trigger sees that input once more).
    int32_t AddDataTrigger(std::string_view s, bool ignoreCase, bool seeWaiting = false);
    int32_t AddDataTriggerLen(const void* data, bool ignoreCase, uint32_t len,
                              bool seeWaiting = false);
    int32_t AddTimerTrigger();
    int32_t AddStatusTrigger(uint16_t kind);
    // With `activate`: a non-zero `ticks` becomes the interval; the timer starts.
    int32_t SetTimerTrigger(uint32_t handle, int32_t ticks, bool activate);
    int32_t ExtendTimer(uint32_t handle, int32_t ticks);
    int32_t TimerTicksRemaining(uint32_t handle, int32_t& ticks);
    int32_t SetStatusTrigger(uint32_t handle, uint32_t value, bool activate);
    int32_t ChangeLengthTrigger(uint32_t count);
    // For a caller that waits for data trigger `handle` and reads nothing
    // meanwhile: until that trigger matches (or is removed, or 0 is given),
    // received bytes that no data trigger can still match are dropped as they
    // are looked at, so a flood of other input never fills the buffer before
    // the string comes. What may still become a match is kept, and from the
    // match on everything is kept. ecBadTriggerHandle for another handle.
    int32_t DiscardUntilTrigger(uint32_t handle);
    int32_t RemoveTrigger(uint32_t handle);
    void RemoveAllTriggers();
    void SaveTriggers(TTriggerSave& save);
    void RestoreTriggers(const TTriggerSave& save);
    static void ClearSaveBuffers(TTriggerSave& save);

    // --- Handlers (triggers.cpp) ----------------------------------------------
    // A window handler: `fn` runs on the target's thread for every notice; the
    // dispatcher waits for it at most 3000 ms. Identified by `target`.
    int32_t RegisterWndTriggerHandler(std::shared_ptr<Delivery> target, TTriggerNoticeFn fn);
    int32_t DeregisterWndTriggerHandler(const Delivery* target);
    int32_t RegisterProcTriggerHandler(TTriggerHandlerProc proc);
    int32_t DeregisterProcTriggerHandler(TTriggerHandlerProc proc);
    // Event handlers identified by `key` (e.g. the object whose method it is).
    int32_t RegisterEventTriggerHandler(TTriggerNoticeFn fn, const void* key);
    // Runs on `target`'s thread; the dispatcher thread waits for it.
    int32_t RegisterSyncEventTriggerHandler(std::shared_ptr<Delivery> target, TTriggerNoticeFn fn,
                                            const void* key);
    int32_t DeregisterEventTriggerHandler(const void* key);
    virtual void UpdateHandlerFlags(THandlerFlagUpdate update);
    // Sets the busy flag (no notices while set) and returns its former value.
    // The flag is the caller's own: a notice being delivered neither shows in
    // it nor clears it, so restoring the value returned is always safe.
    bool SetEventBusy(bool busy);

    // --- Device operations (the Linux dispatcher implements them) -------------
    virtual int32_t OpenCom(const std::string& name, uint32_t inQueue, uint32_t outQueue) = 0;
    virtual int32_t CloseCom() = 0;
    virtual int32_t SetupCom(uint32_t inQueue, uint32_t outQueue) = 0;
    virtual int32_t GetComState(LineSettings& settings) = 0;
    virtual int32_t SetComState(const LineSettings& settings) = 0;
    virtual long ReadCom(uint8_t* buf, size_t count) = 0;
    virtual long WriteCom(const uint8_t* buf, size_t count) = 0;
    virtual platform::WaitResult WaitComEvent(bool wantData, int timeoutMs) = 0;
    virtual platform::WaitResult WaitComWritable(int timeoutMs) = 0;
    virtual void WakeCom(bool input, bool output) = 0;
    virtual platform::DeviceStatus GetComError() = 0;
    virtual uint32_t GetComOutQueue() = 0;
    virtual uint8_t GetComModemLines() = 0;
    virtual bool HasModemLines() = 0;
    virtual int32_t EscapeComFunction(int32_t code) = 0;
    virtual int32_t SetComRS485(bool on) = 0;
    virtual int32_t FlushCom(unsigned which) = 0;
    virtual int32_t DrainCom(int32_t graceMs) = 0;
    virtual int32_t StartDispatcher() = 0;
    virtual int32_t StopDispatcher() = 0;
    virtual void ProcessCommunications();
    virtual void DonePortPrim();

protected:
    // Bodies of the three threads, run by StartDispatcher's threads.
    void ComThreadLoop();
    void DispThreadLoop();
    void OutThreadLoop();
    // Called by each thread as it ends.
    void ThreadEnded();

    // Trigger checks of the dispatcher thread; each returns the result of the
    // notice it delivered, false when none fired.
    bool CheckReceiveTriggers();
    bool CheckStatusTriggers();
    bool CheckTimerTriggers();
    void ResetStatusHits();
    // Delivers one notice to every handler; false when a data-available
    // notice was not taken in full or the delivery was aborted by a close.
    bool SendNotify(uint32_t msg, uint32_t first, uint32_t data);

    std::unique_ptr<Impl> d_;

private:
    void* owner_;
    uint16_t handle_ = 0;
};

// The dispatcher on the device layer (platform/device.h). The device for a
// name comes from `factory` (default: platform::MakeDevice).
class TLinuxDispatcher final : public TBaseDispatcher {
public:
    using DeviceFactory = std::function<std::unique_ptr<platform::Device>(const std::string&)>;
    explicit TLinuxDispatcher(void* owner, DeviceFactory factory = {});
    ~TLinuxDispatcher() override;

    int32_t OpenCom(const std::string& name, uint32_t inQueue, uint32_t outQueue) override;
    int32_t CloseCom() override;
    int32_t SetupCom(uint32_t inQueue, uint32_t outQueue) override;
    int32_t GetComState(LineSettings& settings) override;
    int32_t SetComState(const LineSettings& settings) override;
    long ReadCom(uint8_t* buf, size_t count) override;
    long WriteCom(const uint8_t* buf, size_t count) override;
    platform::WaitResult WaitComEvent(bool wantData, int timeoutMs) override;
    platform::WaitResult WaitComWritable(int timeoutMs) override;
    void WakeCom(bool input, bool output) override;
    platform::DeviceStatus GetComError() override;
    uint32_t GetComOutQueue() override;
    uint8_t GetComModemLines() override;
    bool HasModemLines() override;
    int32_t EscapeComFunction(int32_t code) override;
    int32_t SetComRS485(bool on) override;
    int32_t FlushCom(unsigned which) override;
    int32_t DrainCom(int32_t graceMs) override;
    int32_t StartDispatcher() override;
    int32_t StopDispatcher() override;

    // The device while open (tests).
    platform::Device* Device() { return device_.get(); }

private:
    DeviceFactory factory_;
    std::shared_ptr<platform::Device> device_;
    std::thread comThread_, dispThread_, outThread_;
};

// The dispatcher with `handle` in the process-wide list, or nullptr. Valid as
// long as that dispatcher lives: always inside its own notices.
TBaseDispatcher* GetDispatcherPtr(uint16_t handle);

} // namespace vorl
