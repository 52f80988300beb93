// The protocol engine: one record per protocol component (`TProtocolData`)
// and the procedures every protocol shares: start and stop, status brackets,
// error reporting, the state-machine frame, byte counts and estimates.
//
// How it works
// - A transfer has no thread of its own. `peStartProtocol` adds five triggers
//   to the line (two timers, output-free, output-used, modem status), attaches
//   the record to the line and runs the protocol's preparation and first state.
//   From then on every notice of the line (data waiting, a timer, a status
//   trigger) runs the protocol's state procedure once, on the line's notice
//   thread, inside `peFrame`: under the record's `Lock` it logs the state,
//   handles cancel, carrier loss and a lost line (the line's error ends the
//   transfer), paces status events, runs the state and
//   decides whether to run again at once, again while received bytes wait, or
//   to return and wait for the next notice.
// - A transfer ends exactly once, in `peSignalFinish`: the triggers are
//   removed, the record detached from the line, the file closed, the result
//   code derived from the status when no error was reported, and the finish
//   notification handed on (the component posts it to its owning thread).
// - Notifications go through the record's hooks to a `ProtocolNotify` (the
//   component): status, log, error, next file and accept are synchronous,
//   finish is asynchronous.
// - Cancel (`peCancel`) never blocks: it marks the cancel and runs it at once
//   when the lock is free; otherwise the thread holding the lock runs it
//   before it lets go. So a cancel from inside an event handler (which runs
//   while the state machine waits for it) cannot deadlock.
// - Fields that the owning thread reads while a transfer runs (status, error,
//   counts, lengths) are atomics; settings are changed only between transfers.
#pragma once

#include "platform/error_codes.h"
#include "protocols/protocol_line.h"
#include "protocols/protocol_types.h"
#include "serial/ticks.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vorl {

struct TProtocolData;

// Where the engine's notifications go (the protocol component). Called on the
// thread running the state machine.
class ProtocolNotify {
public:
    virtual ~ProtocolNotify() = default;
    virtual void NotifyStatus(TProtocolData& P, uint16_t options) = 0;
    virtual void NotifyLog(TProtocolData& P, uint16_t code) = 0;
    virtual void NotifyError(TProtocolData& P, int32_t code) = 0;
    // True with the name of the file to send.
    virtual bool NotifyNextFile(TProtocolData& P, std::string& name) = 0;
    // True when the file may be received; `name` may be changed.
    virtual bool NotifyAcceptFile(TProtocolData& P, std::string& name) = 0;
    virtual void NotifyFinish(TProtocolData& P, int32_t code) = 0;
};

using TStateProc = void (*)(TProtocolData& P, uint32_t msg, uint32_t first, uint32_t second);
using TPrepareProc = void (*)(TProtocolData& P);

// Replaceable procedures of the record.
using TMsgStatusHook = void (*)(TProtocolData& P, uint16_t options);
using TMsgLogHook = void (*)(TProtocolData& P, uint16_t code);
using TMsgNameHook = bool (*)(TProtocolData& P, std::string& name);
using TFileHook = void (*)(TProtocolData& P);
using TReadBlockHook = bool (*)(TProtocolData& P, uint8_t* block, int32_t& len);
using TWriteBlockHook = int32_t (*)(TProtocolData& P, const uint8_t* block, int32_t len);

// The states of the two state machines; the comment tells what each waits for
// ("runs at once" for a state that waits for nothing). Transmit first: the
// order is the log's sub-type order and must not change.
enum TAsciiState : uint8_t {
    taInitial,       // runs at once: opens the file
    taGetBlock,      // runs at once: reads the next block
    taWaitFreeSpace, // room in the output buffer for the block, or the time-out
    taSendBlock,     // runs at once: sends the block, pausing for delays
    taSendDelay,     // the end of a character or line delay
    taFinishDrain,   // the output buffer empty after the last block, or the time-out
    taFinished,      // runs at once: closes the file and reports the end
    taDone,          // nothing: the transmit has ended
    raInitial,       // runs at once: opens the file
    raCollectBlock,  // characters until the block is full, the silence time-out or the End string
    raProcessBlock,  // runs at once: writes the block
    raFinished,      // runs at once: closes the file and reports the end
    raDone,          // nothing: the receive has ended
};

enum TXmodemState : uint8_t {
    txInitial,            // runs at once: opens the file
    txHandshake,          // the receiver's NAK, "C" or "G", or the handshake time-out
    txGetBlock,           // runs at once: reads the next block
    txWaitFreeSpace,      // room in the output buffer for the block, or the time-out
    txSendBlock,          // runs at once: sends the block
    txDraining,           // the block gone from the output buffer, or the drain time-out
    txReplyPending,       // the receiver's ACK, NAK or CAN for the block, or the time-out
    txEndDrain,           // G mode: the last block gone from the output buffer
    txFirstEndOfTransmit, // runs at once: sends the first EOT
    txRestEndOfTransmit,  // runs at once: sends EOT again
    txEotReply,           // the receiver's answer to EOT, or the time-out
    txFinished,           // runs at once: closes the file and reports the end
    txDone,               // nothing: the transmit has ended
    rxInitial,            // runs at once: opens the file, sends the handshake character
    rxWaitForHSReply,     // the sender's first character, or the handshake time-out
    rxWaitForBlockStart,  // SOH, STX, EOT or CAN, or the block time-out
    rxCollectBlock,       // the rest of the block, or the block time-out
    rxProcessBlock,       // runs at once: checks, answers and writes the block
    rxFinishedSkip,       // runs at once: ends a receive whose file was refused
    rxFinished,           // runs at once: closes the file and reports the end
    rxDone,               // nothing: the receive has ended
};

// The ASCII protocol's own fields.
struct TAsciiPart {
    bool EOFSeen = false;
    // A receive that ends at the sender's End string (empty: only the
    // silence ends it): the receiver finds it in the bytes it takes, so it
    // stops right behind it and what follows stays in the port for the next
    // transfer. `EndTail` holds the last bytes taken, as long as the string.
    std::string EndString;
    std::string EndTail;
    bool EndSeen = false;
    int32_t WriteError = 0; // the receive could not write: the rest is dropped
    // A string dropped when the received data begins with it, and how many
    // of its bytes have come so far.
    std::string LeadString;
    size_t LeadTaken = 0;
    uint32_t CharDelay = 0; // ms after each character
    uint32_t LineDelay = 0; // ms after each end-of-line character
    uint32_t CharDelayTicks = 0;
    uint32_t LineDelayTicks = 0;
    uint32_t MaxBusyDelay = 250; // most pause time spent inside one call, ms
    uint32_t Busy = 0;           // pause time spent inside the present call, ms
    int32_t SendIndex = 0;
    TAsciiEOLTranslation CRTranslation = aetNone;
    TAsciiEOLTranslation LFTranslation = aetNone;
    uint8_t EOLChar = cCR;
    TAsciiState AsciiState = taDone;
};

// The Xmodem family's own fields.
struct TXmodemPart {
    bool CRCMode = false;
    bool OneKMode = false;
    bool GMode = false;
    uint32_t MaxBlockErrors = 5;
    uint32_t BlockWait = 91; // ticks
    uint8_t StartChar = cSOH;
    uint8_t HandshakeChar = cNAK;
    int32_t EotNakCount = 0;
    int32_t EotWaits = 0; // transmit: EOTs whose answer did not come in time
    int32_t EotCount = 0;
    int32_t CanCount = 0;
    int32_t CheckOverhead = 3;
    TXmodemState XmodemState = txDone;
    // Receive: a copy of the block expected next came damaged or incomplete
    // and has not yet come whole. A sender that ends now has skipped it.
    bool ResendDue = false;
    // Receive: data bytes of the last block written.
    int32_t LastGoodLen = 0;
    // The modes as configured; a handshake changes the modes above for one
    // transfer only.
    bool CfgCRCMode = false;
    bool CfgOneKMode = false;
    bool CfgGMode = false;
};

// A directory search of peNextFileMask.
struct TFileSearch {
    bool Open = false;
    std::string Dir; // with its separator, or empty
    std::vector<std::string> Names;
    size_t Next = 0;
};

struct TProtocolData : std::enable_shared_from_this<TProtocolData> {
    TProtocolData() = default;
    TProtocolData(const TProtocolData&) = delete;
    TProtocolData& operator=(const TProtocolData&) = delete;

    // ---- shared part ----
    uint32_t StatusTrigger = 0;
    uint32_t TimeoutTrigger = 0;
    uint32_t OutBuffFreeTrigger = 0;
    uint32_t OutBuffUsedTrigger = 0;
    uint32_t ModemStatusTrigger = 0;
    ProtocolNotify* ProtocolWindow = nullptr;
    std::shared_ptr<ProtocolLine> ComPort; // set for the length of a transfer
    bool Batch = false;
    bool TimerStarted = false;
    std::atomic<TProtocolType> ProtocolType{ptNoProtocol};
    TBlockCheckMethod BlockCheckMethod = bcmNone;
    uint32_t HandshakeRetry = 10;
    uint32_t HandshakeWait = 182;
    uint32_t HandshakeAttempt = 0;
    std::atomic<int32_t> BlockLen{128};
    std::atomic<int32_t> BlockNum{0};
    uint32_t Options = 0;
    uint32_t TransmitTimeout = 1092;
    uint32_t FinishWait = 0;
    uint32_t EOFTimeout = 364;
    std::atomic<int32_t> ProtocolStatus{psOK};
    int32_t LastBlockSize = 0;
    std::atomic<int32_t> ProtocolError{0};
    std::atomic<int64_t> FileLength{0};
    int64_t FileDate = 0; // seconds since the epoch
    uint32_t BlockCheck = 0;
    int64_t InitialPosition = 0;
    std::vector<uint8_t> BlockBuffer;
    TStateProc StateProc = nullptr;
    std::mutex Lock;
    bool ForceStatus = false;
    bool FirstChar = false;
    std::atomic<int32_t> InProgress{0};
    std::atomic<int32_t> BlockErrors{0};
    std::atomic<int32_t> TotalErrors{0};
    std::atomic<int32_t> ActualCPS{0};
    std::atomic<uint32_t> Overhead{0};
    std::atomic<uint32_t> TurnDelay{0};
    uint32_t StatusInterval = 10;
    std::atomic<int64_t> BytesLeft{0};
    std::atomic<int64_t> BytesDone{0};
    std::atomic<int32_t> ElapsedTicks{0};
    EventTimer ElapsedTimer{};
    bool AtEndOfData = false;
    bool FileOpen = false;
    bool LastBlock = false;
    int32_t BlockCount = 0;
    TWriteFailAction WriteFailAction = wfWriteRename;
    int64_t WorkStart = 0;
    int64_t WorkEnd = 0;
    int64_t WorkLast = 0;
    int64_t FileOfs = 0;
    int64_t EndOfData = 0;
    std::unique_ptr<uint8_t[]> WorkBuffer; // kWorkBufferSize bytes while a file is open
    bool UpcaseNames = true;
    bool FindFirstDue = false;
    int32_t FileListIndex = 0;
    std::string PathName;
    std::string SearchMask = "*.*";
    TFileSearch SearchRec;
    TMsgStatusHook apShowStatus = nullptr;
    TMsgLogHook apLogFile = nullptr;
    TMsgNameHook apNextFile = nullptr;
    TMsgNameHook apAcceptFile = nullptr;
    TFileHook apPrepareReading = nullptr;
    TReadBlockHook apReadProtocolBlock = nullptr;
    TFileHook apFinishReading = nullptr;
    TFileHook apPrepareWriting = nullptr;
    TWriteBlockHook apWriteProtocolBlock = nullptr;
    TFileHook apFinishWriting = nullptr;
    int WorkFile = -1; // file descriptor
    std::string DestDir;

    // ---- protocol parts ----
    TAsciiPart Ascii;
    TXmodemPart Xm;

    // ---- run-time bookkeeping ----
    std::atomic<std::thread::id> LockOwner{};
    std::atomic<bool> CancelPending{false};
    std::atomic<bool> Finished{true}; // peSignalFinish ran for the last start
};

// ---- Engine operations ----

// A fresh record: defaults, Options, the hooks at their defaults.
std::shared_ptr<TProtocolData> peInitProtocolData(uint32_t options);
void peSetProtocolPort(TProtocolData& P, std::shared_ptr<ProtocolLine> line);
void peSetProtocolWindow(TProtocolData& P, ProtocolNotify* window);
// ActualCPS from the line's bits per character; BPS / 10 without an open line.
void peSetActualBPS(TProtocolData& P, int32_t bps);

void peStartProtocol(TProtocolData& P, TProtocolType type, TPrepareProc startProc,
                     TStateProc stateProc);
void peStopProtocol(TProtocolData& P);
void peSignalFinish(TProtocolData& P);
void peResetStatus(TProtocolData& P);
void peShowFirstStatus(TProtocolData& P);
void peShowLastStatus(TProtocolData& P);
void peProtocolError(TProtocolData& P, int32_t code);
// The error that ends a transfer with status `status` and no reported error.
int32_t peStatusToError(int32_t status);

// Bytes transferred given the bytes queued in the output buffer.
int64_t peGetBytesTransferred(const TProtocolData& P, int32_t outBuffUsed);
int64_t peGetBytesRemaining(const TProtocolData& P, int32_t outBuffUsed);
int32_t peEstimateTransferSecs(const TProtocolData& P, int64_t size);
// Status text for 4700 to 4723 and 4730; empty for any other code.
std::string peStatusMsg(int32_t code);

// Runs the state machine for one notice of the line (or the cancel message).
void peNotify(TProtocolData& P, uint32_t msg, uint32_t first, uint32_t second);
// Requests a cancel of the running transfer (see the header).
void peCancel(TProtocolData& P);

void peResetReadWriteHooks(TProtocolData& P);

// The default notification hooks: to ProtocolWindow, or (next file) the mask.
void peMsgStatus(TProtocolData& P, uint16_t options);
void peMsgLog(TProtocolData& P, uint16_t code);
bool peMsgNextFile(TProtocolData& P, std::string& name);
bool peMsgAcceptFile(TProtocolData& P, std::string& name);

// UpcaseNames on a file system that tells case apart: the upper-cased name is
// taken only when it names the very file the given name names (a file system
// that ignores case); otherwise the name stays as given, so the transfer
// never opens or creates a file other than the one it was given.
void peUpcasePathName(TProtocolData& P);

// The first step of a receive, shared by the protocols: names the file, logs
// the start, asks whether the file is wanted (the hook may rename it) and
// opens it for writing. NoName has reported ecNoFilename; CannotWrite has set
// the error (ecCantWriteFile where the hook only set the status).
enum class ReceiveStart { Open, NoName, Refused, CannotWrite };
ReceiveStart peStartReceiveFile(TProtocolData& P);

// ---- The state-machine frame ----

enum class FrameNext {
    Wait,      // return and wait for the next notice
    RunIfData, // run again while received bytes wait
    RunAgain,  // run again at once
};

struct FrameOps {
    TDispatchType LogType;
    // The protocol's present state, the values of its two ended states, and
    // the log sub-type of its first state (the others follow in order).
    uint8_t (*State)(const TProtocolData& P);
    uint8_t TransmitDone;
    uint8_t ReceiveDone;
    TDispatchSubType FirstSubType;
    // Cancel (msg == kNoticeProtocolCancel) and carrier loss: set the status
    // and the finishing state.
    void (*Abort)(TProtocolData& P, uint32_t msg, uint32_t first);
    void (*RefreshElapsed)(TProtocolData& P);
    void (*RunState)(TProtocolData& P, uint32_t msg, uint32_t first);
    FrameNext (*Next)(const TProtocolData& P);
};

void peFrame(TProtocolData& P, const FrameOps& ops, uint32_t msg, uint32_t first, uint32_t second);

// True for a notice that may mean received data (data available, or a pass
// of the frame that runs again).
inline bool peIsData(uint32_t first) {
    return first == 0;
}
inline bool peIsTrigger(uint32_t first, uint32_t handle) {
    return handle != 0 && first == handle;
}

// ---- File access (file_access.cpp) ----

void peSetFileMask(TProtocolData& P, const std::string& mask);
bool peNextFileMask(TProtocolData& P, std::string& name);
void peSetReceiveFilename(TProtocolData& P, const std::string& name);
void peSetDestinationDirectory(TProtocolData& P, const std::string& dir);
void peCloseSearch(TProtocolData& P);

void faPrepareReading(TProtocolData& P);
bool faReadProtocolBlock(TProtocolData& P, uint8_t* block, int32_t& len);
void faFinishReading(TProtocolData& P);
void faPrepareWriting(TProtocolData& P);
int32_t faWriteProtocolBlock(TProtocolData& P, const uint8_t* block, int32_t len);
void faFinishWriting(TProtocolData& P);

} // namespace vorl
