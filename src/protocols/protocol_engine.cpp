#include "protocols/protocol_engine.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <unordered_map>

namespace vorl {

// ---- Routing of a dispatcher's notices to its engine record ----
//
// A procedure handler is a plain function, so it finds its record through a
// process-wide table keyed by the dispatcher's handle. The table keeps only
// weak references: a record destroyed while a notice is on its way is simply
// not found, and one found stays alive for the length of the call.
namespace {

std::mutex gRouteLock;
std::unordered_map<uint16_t, std::weak_ptr<TProtocolData>> gRoutes;

void peDispatcherHandler(uint32_t msg, uint32_t first, uint32_t second) {
    std::shared_ptr<TProtocolData> P;
    {
        std::lock_guard<std::mutex> lk(gRouteLock);
        auto it = gRoutes.find(NoticeDispatcher(second));
        if (it != gRoutes.end())
            P = it->second.lock();
    }
    if (P)
        peNotify(*P, msg, first, second);
}

} // namespace

int32_t DispatcherLine::AttachEngine(TProtocolData& P) {
    {
        std::lock_guard<std::mutex> lk(gRouteLock);
        gRoutes[d_.Handle()] = P.weak_from_this();
    }
    d_.SetDataPointer(&P, 1);
    int32_t rc = d_.RegisterProcTriggerHandler(&peDispatcherHandler);
    return rc < 0 ? rc : 0;
}

void DispatcherLine::DetachEngine(TProtocolData& P) {
    {
        std::lock_guard<std::mutex> lk(gRouteLock);
        auto it = gRoutes.find(d_.Handle());
        if (it != gRoutes.end() && it->second.lock().get() == &P)
            gRoutes.erase(it);
    }
    if (d_.IsOpen()) {
        d_.DeregisterProcTriggerHandler(&peDispatcherHandler);
        d_.SetDataPointer(nullptr, 1);
    }
}

// ---- Record ----

std::shared_ptr<TProtocolData> peInitProtocolData(uint32_t options) {
    auto P = std::make_shared<TProtocolData>();
    P->HandshakeWait = 182;
    P->HandshakeRetry = 10;
    P->BlockLen = 128;
    P->WriteFailAction = wfWriteRename;
    P->TransmitTimeout = 1092;
    P->StatusInterval = 10;
    P->Options = options;
    P->SearchMask = "*.*";
    P->ActualCPS = 0;
    P->apShowStatus = &peMsgStatus;
    P->apLogFile = &peMsgLog;
    P->apNextFile = &peMsgNextFile;
    P->apAcceptFile = &peMsgAcceptFile;
    peResetReadWriteHooks(*P);
    return P;
}

void peResetReadWriteHooks(TProtocolData& P) {
    P.apPrepareReading = &faPrepareReading;
    P.apReadProtocolBlock = &faReadProtocolBlock;
    P.apFinishReading = &faFinishReading;
    P.apPrepareWriting = &faPrepareWriting;
    P.apWriteProtocolBlock = &faWriteProtocolBlock;
    P.apFinishWriting = &faFinishWriting;
}

void peSetProtocolPort(TProtocolData& P, std::shared_ptr<ProtocolLine> line) {
    P.ComPort = std::move(line);
}

void peSetProtocolWindow(TProtocolData& P, ProtocolNotify* window) {
    P.ProtocolWindow = window;
}

void peSetActualBPS(TProtocolData& P, int32_t bps) {
    int32_t bits = 10;
    if (P.ComPort && P.ComPort->IsOpen()) {
        int32_t baud = 0;
        uint16_t parity = 0, stopbits = 0, databits = 8;
        if (P.ComPort->GetLine(baud, parity, stopbits, databits) >= 0)
            bits = databits + 2 + (parity != 0 ? 1 : 0);
    }
    P.ActualCPS = bps / bits;
}

// ---- Notifications ----

void peMsgStatus(TProtocolData& P, uint16_t options) {
    if (P.ProtocolWindow)
        P.ProtocolWindow->NotifyStatus(P, options);
}

void peMsgLog(TProtocolData& P, uint16_t code) {
    if (P.ProtocolWindow)
        P.ProtocolWindow->NotifyLog(P, code);
}

bool peMsgNextFile(TProtocolData& P, std::string& name) {
    if (P.ProtocolWindow)
        return P.ProtocolWindow->NotifyNextFile(P, name);
    return peNextFileMask(P, name);
}

bool peMsgAcceptFile(TProtocolData& P, std::string& name) {
    if (P.ProtocolWindow)
        return P.ProtocolWindow->NotifyAcceptFile(P, name);
    return true;
}

void peProtocolError(TProtocolData& P, int32_t code) {
    if (P.ProtocolWindow)
        P.ProtocolWindow->NotifyError(P, code);
    P.ProtocolError = code;
}

void peResetStatus(TProtocolData& P) {
    if (P.InProgress == 0) {
        P.FileLength = 0;
        P.BytesLeft = 0;
    }
    P.BytesDone = 0;
    P.BlockNum = 0;
    P.ElapsedTicks = 0;
    P.BlockErrors = 0;
    P.TotalErrors = 0;
    P.ProtocolStatus = psOK;
    P.ProtocolError = 0;
}

void peShowFirstStatus(TProtocolData& P) {
    P.apShowStatus(P, P.InProgress == 0 ? kStatusFirst : 0);
    ++P.InProgress;
}

void peShowLastStatus(TProtocolData& P) {
    if (P.InProgress != 0) {
        int32_t left = --P.InProgress;
        P.apShowStatus(P, left == 0 ? kStatusLast : 0);
    }
}

int32_t peStatusToError(int32_t status) {
    switch (status) {
    case psFileRejected:
        return ecFileRejected;
    case psCantWriteFile:
        return ecCantWriteFile;
    case psTimeout:
        return ecTimeout;
    case psProtocolError:
        return ecProtocolError;
    case psCancelRequested:
        return ecCancelRequested;
    case psBlockOutOfSequence:
        return ecSequenceError;
    case psAbortNoCarrier:
        return ecAbortNoCarrier;
    case psAbort:
        return ecProtocolAbort;
    default:
        return 0;
    }
}

std::string peStatusMsg(int32_t code) {
    if ((code >= 4700 && code <= 4723) || code == psAbort)
        return std::string(TableErrorText(code));
    return {};
}

// ---- Counts and estimates ----

int64_t peGetBytesTransferred(const TProtocolData& P, int32_t outBuffUsed) {
    int64_t done = P.BytesDone;
    int32_t blockLen = P.BlockLen;
    if (outBuffUsed < blockLen || blockLen <= 0)
        return done;
    int64_t queued = outBuffUsed - int64_t(outBuffUsed / blockLen) * P.Overhead;
    int64_t r = done - queued;
    return r < 0 ? 0 : r;
}

int64_t peGetBytesRemaining(const TProtocolData& P, int32_t outBuffUsed) {
    int64_t r = P.FileLength - peGetBytesTransferred(P, outBuffUsed);
    return r < 0 ? 0 : r;
}

int32_t peEstimateTransferSecs(const TProtocolData& P, int64_t size) {
    if (size == 0)
        return 0;
    int64_t cps = P.ActualCPS;
    int64_t blockLen = P.BlockLen;
    int64_t turnChars = int64_t(P.TurnDelay) * cps / 1000;
    int64_t denom = blockLen + P.Overhead + turnChars;
    if (denom <= 0)
        return 0;
    int64_t efficiency = blockLen * 100 / denom;
    int64_t effectiveCps = cps * efficiency / 100;
    if (effectiveCps <= 0)
        return 0;
    return int32_t(size / effectiveCps);
}

// ---- Names ----

void peUpcasePathName(TProtocolData& P) {
    if (!P.UpcaseNames || P.PathName.empty())
        return;
    std::string upper = P.PathName;
    for (char& c : upper)
        c = char(std::toupper(static_cast<unsigned char>(c)));
    if (upper == P.PathName)
        return;
    struct stat given {};
    struct stat upcased {};
    if (stat(P.PathName.c_str(), &given) != 0 || stat(upper.c_str(), &upcased) != 0)
        return;
    if (given.st_dev == upcased.st_dev && given.st_ino == upcased.st_ino)
        P.PathName = upper;
}

ReceiveStart peStartReceiveFile(TProtocolData& P) {
    if (P.PathName.empty()) {
        peProtocolError(P, ecNoFilename);
        return ReceiveStart::NoName;
    }
    peUpcasePathName(P);
    P.apLogFile(P, lfReceiveStart);
    std::string name = P.PathName;
    if (!P.apAcceptFile(P, name))
        return ReceiveStart::Refused;
    if (!name.empty())
        P.PathName = name;
    P.apPrepareWriting(P);
    if (P.ProtocolError != 0 || P.ProtocolStatus == psCantWriteFile) {
        if (P.ProtocolStatus == psCantWriteFile)
            P.ProtocolError = ecCantWriteFile;
        return ReceiveStart::CannotWrite;
    }
    return ReceiveStart::Open;
}

// ---- Start, stop, finish ----

namespace {

bool lockedByMe(const TProtocolData& P) {
    return P.LockOwner.load() == std::this_thread::get_id();
}

// Runs a pending cancel whenever the lock can be had; see the header.
void drainCancel(TProtocolData& P) {
    while (P.CancelPending.load()) {
        if (!P.Lock.try_lock())
            return; // the holder runs it before it lets go
        P.LockOwner = std::this_thread::get_id();
        if (P.CancelPending.exchange(false) && P.StateProc && P.ComPort)
            P.StateProc(P, kNoticeProtocolCancel, 0, NoticeParam(P.ComPort->Handle(), 0));
        P.LockOwner = std::thread::id();
        P.Lock.unlock();
    }
}

void removeTrigger(ProtocolLine& line, uint32_t& handle) {
    if (handle != 0) {
        line.RemoveTrigger(handle);
        handle = 0;
    }
}

} // namespace

void peStartProtocol(TProtocolData& P, TProtocolType type, TPrepareProc startProc,
                     TStateProc stateProc) {
    P.ProtocolType = type;
    P.StateProc = stateProc;
    P.Batch = false;
    P.FindFirstDue = true;
    P.FileListIndex = 2;
    P.Finished = false;
    P.CancelPending = false;

    std::shared_ptr<ProtocolLine> line = P.ComPort;
    if (!line || !line->IsOpen()) {
        P.ProtocolError = ecNotOpen;
        peSignalFinish(P);
        return;
    }

    line->ChangeLengthTrigger(1);
    int32_t handles[5] = {line->AddTimerTrigger(), line->AddTimerTrigger(),
                          line->AddStatusTrigger(stOutBuffFree),
                          line->AddStatusTrigger(stOutBuffUsed), line->AddStatusTrigger(stModem)};
    bool failed = false;
    for (int32_t& h : handles) {
        if (h <= 0) {
            failed = true;
            h = 0;
        }
    }
    P.TimeoutTrigger = uint32_t(handles[0]);
    P.StatusTrigger = uint32_t(handles[1]);
    P.OutBuffFreeTrigger = uint32_t(handles[2]);
    P.OutBuffUsedTrigger = uint32_t(handles[3]);
    P.ModemStatusTrigger = uint32_t(handles[4]);
    if (failed) {
        P.ProtocolError = ecNoMoreTriggers;
        peSignalFinish(P);
        return;
    }

    // The lock is held from before the engine is attached until its first
    // state has run and its timers are armed: a notice that comes meanwhile
    // waits, so none is lost and none runs before the first state.
    {
        std::lock_guard<std::mutex> lk(P.Lock);
        P.LockOwner = std::this_thread::get_id();
        int32_t rc = line->AttachEngine(P);
        if (rc < 0) {
            P.ProtocolError = rc;
        } else {
            startProc(P);
            if (P.ProtocolError == 0 && P.InProgress == 0)
                P.ProtocolError = ecNoMatchingFiles; // no file was given to send
        }
        if (P.ProtocolError != 0) {
            peSignalFinish(P);
        } else {
            uint32_t second = NoticeParam(line->Handle(), 0);
            stateProc(P, 0, 0, second);
            if (!P.Finished) {
                line->SetTimerTrigger(P.StatusTrigger, int32_t(P.StatusInterval), true);
                if (P.Options & apAbortNoCarrier) {
                    if (!line->CheckDCD())
                        stateProc(P, kNoticeTriggerStatus, P.ModemStatusTrigger, second);
                    else
                        line->SetStatusTrigger(P.ModemStatusTrigger, 0x8080, true);
                }
            }
        }
        P.LockOwner = std::thread::id();
    }
    drainCancel(P);
}

void peStopProtocol(TProtocolData& P) {
    if (std::shared_ptr<ProtocolLine> line = P.ComPort) {
        removeTrigger(*line, P.TimeoutTrigger);
        removeTrigger(*line, P.StatusTrigger);
        removeTrigger(*line, P.OutBuffFreeTrigger);
        removeTrigger(*line, P.OutBuffUsedTrigger);
        removeTrigger(*line, P.ModemStatusTrigger);
        line->DetachEngine(P);
    }
    peCloseSearch(P);
    if (P.WorkFile >= 0 || P.FileOpen) {
        if (P.WorkFile >= 0) {
            ::close(P.WorkFile);
            P.WorkFile = -1;
        }
        P.WorkBuffer.reset();
        P.FileOpen = false;
    }
}

void peSignalFinish(TProtocolData& P) {
    if (P.Finished)
        return; // a transfer ends once
    P.Finished = true;
    peStopProtocol(P);
    if (P.ProtocolError == 0)
        P.ProtocolError = peStatusToError(P.ProtocolStatus);
    int32_t code = P.ProtocolError;
    if (P.ComPort && P.ComPort->IsOpen() && P.ComPort->DispatchLoggingOn()) {
        TProtocolType t = P.ProtocolType;
        P.ComPort->AddDispatchEntry(t == ptAscii ? dtAscii : dtXModem, dstStatus, 0,
                                    "ErrorCode:" + std::to_string(code));
    }
    P.ComPort.reset();
    if (P.ProtocolWindow)
        P.ProtocolWindow->NotifyFinish(P, code);
}

// ---- The frame ----

namespace {

bool frameDone(const TProtocolData& P, const FrameOps& ops) {
    const uint8_t state = ops.State(P);
    return state == ops.TransmitDone || state == ops.ReceiveDone;
}

void frameBody(TProtocolData& P, const FrameOps& ops, uint32_t msg, uint32_t first) {
    if (frameDone(P, ops) || !P.ComPort)
        return;
    // Held for the call: the finishing state lets the record's reference go.
    std::shared_ptr<ProtocolLine> linePtr = P.ComPort;
    ProtocolLine& line = *linePtr;
    if (msg == kNoticeTriggerAvail)
        first = 0;
    for (;;) {
        if (P.CancelPending.exchange(false)) {
            msg = kNoticeProtocolCancel;
            first = 0;
        }
        if (line.DispatchLoggingOn())
            line.AddDispatchEntry(ops.LogType,
                                  TDispatchSubType(int(ops.FirstSubType) + ops.State(P)), 0, {});

        // A line that is gone ends the transfer with the line's error at the
        // next notice, whatever the protocol waits for: a receiver would
        // otherwise take the silence for the end of the data.
        if (P.ProtocolError == 0) {
            if (int32_t lost = line.LineFailure(); lost != 0) {
                peProtocolError(P, lost);
                msg = kNoticeProtocolCancel;
                first = 0;
            }
        }

        ops.Abort(P, msg, first);

        if (peIsTrigger(first, P.StatusTrigger) || P.ForceStatus) {
            if (ops.RefreshElapsed)
                ops.RefreshElapsed(P);
            int32_t remaining = 0;
            if (line.TimerTicksRemaining(P.StatusTrigger, remaining) < 0 || remaining <= 0) {
                P.apShowStatus(P, 0);
                line.SetTimerTrigger(P.StatusTrigger, int32_t(P.StatusInterval), true);
                P.ForceStatus = false;
            }
        }

        ops.RunState(P, msg, first);
        if (frameDone(P, ops))
            return;

        msg = 0;
        first = 0;
        if (P.CancelPending.load())
            continue;
        FrameNext next = ops.Next(P);
        if (next == FrameNext::RunAgain)
            continue;
        if (next == FrameNext::RunIfData && line.CharReady())
            continue;
        return;
    }
}

} // namespace

void peFrame(TProtocolData& P, const FrameOps& ops, uint32_t msg, uint32_t first, uint32_t second) {
    (void)second;
    if (lockedByMe(P)) {
        // The start, or a cancel run by the thread that holds the lock.
        frameBody(P, ops, msg, first);
        return;
    }
    {
        std::lock_guard<std::mutex> lk(P.Lock);
        P.LockOwner = std::this_thread::get_id();
        frameBody(P, ops, msg, first);
        P.LockOwner = std::thread::id();
    }
    drainCancel(P);
}

void peNotify(TProtocolData& P, uint32_t msg, uint32_t first, uint32_t second) {
    if (msg == kNoticeProtocolCancel) {
        peCancel(P);
        return;
    }
    if (lockedByMe(P))
        return; // a notice cannot run inside the state machine on its own thread
    if (TStateProc proc = P.StateProc)
        proc(P, msg, first, second);
}

void peCancel(TProtocolData& P) {
    P.CancelPending = true;
    if (lockedByMe(P))
        return; // the running state machine takes it on its next pass
    drainCancel(P);
}

} // namespace vorl
