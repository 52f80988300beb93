#include "protocols/ascii_protocol.h"

#include <algorithm>

namespace vorl {

namespace {

constexpr int32_t kAsciiBlockLen = 60;
constexpr size_t kAsciiBufferSize = 1024;

bool isTransmitState(TAsciiState s) {
    return s <= taDone;
}

// ---- Transmit ----

enum class SendResult { Done, Paused, Failed };

// Room the block sender needs in the output buffer for one block: a
// translation that adds a character may double it.
int32_t roomForBlock(const TProtocolData& P) {
    bool doubles =
        P.Ascii.CRTranslation == aetAddLFAfter || P.Ascii.LFTranslation == aetAddCRBefore;
    return (doubles ? 2 * kAsciiBlockLen : kAsciiBlockLen) + 1;
}

// Sends the rest of the block in hand, pausing after line ends and
// characters. Characters between two pauses go to the port as one write.
SendResult sendBlock(TProtocolData& P, ProtocolLine& line) {
    TAsciiPart& A = P.Ascii;
    uint8_t out[2 * kAsciiBufferSize];
    size_t n = 0;
    auto flush = [&]() -> bool {
        if (n == 0)
            return true;
        int32_t rc = line.PutBlock(out, uint32_t(n));
        n = 0;
        if (rc < 0) {
            peProtocolError(P, rc);
            return false;
        }
        return true;
    };
    // A pause of `ms` after the character just sent: inside this call while
    // the call's pauses stay below MaxBusyDelay, else on the timer. The count
    // runs over every block the call sends, not block by block: with room in
    // the output buffer the machine goes from block to block without
    // returning, and a short block delay would otherwise keep the window
    // from its events until the whole program had gone out.
    auto pause = [&](uint32_t ms, uint32_t ticks) -> SendResult {
        if (!flush())
            return SendResult::Failed;
        uint32_t& busy = A.Busy;
        if (busy + ms >= A.MaxBusyDelay) {
            line.SetTimerTrigger(P.TimeoutTrigger, int32_t(ticks), true);
            A.AsciiState = taSendDelay;
            return SendResult::Paused;
        }
        DelayMS(ms);
        busy += ms;
        return SendResult::Done;
    };

    const bool suppressCtrlZ = (P.Options & apAsciiSuppressCtrlZ) != 0;
    while (A.SendIndex < P.LastBlockSize) {
        uint8_t c = P.BlockBuffer[size_t(A.SendIndex++)];
        int sent = 0;
        if (c == cLF) {
            if (A.LFTranslation == aetAddCRBefore) {
                out[n++] = cCR;
                out[n++] = cLF;
                sent = 2;
            } else if (A.LFTranslation != aetStrip) {
                out[n++] = cLF;
                sent = 1;
            }
        } else if (c == cCR) {
            if (A.CRTranslation == aetAddLFAfter) {
                out[n++] = cCR;
                out[n++] = cLF;
                sent = 2;
            } else if (A.CRTranslation != aetStrip) {
                out[n++] = cCR;
                sent = 1;
            }
        } else if (c == cCtrlZ) {
            if (suppressCtrlZ) {
                A.SendIndex = P.LastBlockSize; // the rest of this block is not sent
                break;
            }
        } else {
            out[n++] = c;
            sent = 1;
        }
        P.BytesDone += sent;
        P.BytesLeft = std::max<int64_t>(0, P.BytesLeft - sent);

        if (c == A.EOLChar && A.LineDelay > 0) {
            SendResult r = pause(A.LineDelay, A.LineDelayTicks);
            if (r != SendResult::Done)
                return r;
        }
        if (A.CharDelay > 0) {
            SendResult r = pause(A.CharDelay, A.CharDelayTicks);
            if (r != SendResult::Done)
                return r;
        }
    }
    return flush() ? SendResult::Done : SendResult::Failed;
}

// ---- Transmit states: one function each, run for a notice of the line ----

// Waits for nothing: opens the file.
void txStart(TProtocolData& P, ProtocolLine& line) {
    TAsciiPart& A = P.Ascii;
    peUpcasePathName(P);
    P.apLogFile(P, lfTransmitStart);
    P.apPrepareReading(P);
    NewTimer(P.ElapsedTimer, 0);
    if (P.ProtocolError != 0) {
        A.AsciiState = taFinished;
        return;
    }
    line.SetTimerTrigger(P.TimeoutTrigger, int32_t(P.TransmitTimeout), true);
    A.AsciiState = taGetBlock;
}

// Waits for nothing: reads the next block and sends it at once when the
// output buffer has room for it.
void txReadBlock(TProtocolData& P, ProtocolLine& line) {
    TAsciiPart& A = P.Ascii;
    P.LastBlockSize = kAsciiBlockLen;
    P.LastBlock = P.apReadProtocolBlock(P, P.BlockBuffer.data(), P.LastBlockSize);
    if (P.ProtocolError != 0 || P.LastBlockSize <= 0) {
        A.AsciiState = taFinished;
        return;
    }
    A.SendIndex = 0;
    // With room in the output buffer the block goes at once; waiting for
    // the trigger would cost a pass of the dispatcher per block.
    if (line.OutBuffFree() >= roomForBlock(P)) {
        A.AsciiState = taSendBlock;
        return;
    }
    line.SetTimerTrigger(P.TimeoutTrigger, int32_t(P.TransmitTimeout), true);
    line.SetStatusTrigger(P.OutBuffFreeTrigger, uint32_t(roomForBlock(P)), true);
    A.AsciiState = taWaitFreeSpace;
}

// Waits for room for a block in the output buffer, or the time-out.
void txAwaitFreeSpace(TProtocolData& P, uint32_t first) {
    TAsciiPart& A = P.Ascii;
    if (peIsTrigger(first, P.OutBuffFreeTrigger)) {
        A.AsciiState = taSendBlock;
    } else if (peIsTrigger(first, P.TimeoutTrigger)) {
        peProtocolError(P, ecTimeout);
        A.AsciiState = taFinished;
    }
}

// Waits for nothing: sends the rest of the block in hand, or pauses for a
// character or line delay on the timer.
void txSendBlockNow(TProtocolData& P, ProtocolLine& line) {
    TAsciiPart& A = P.Ascii;
    switch (sendBlock(P, line)) {
    case SendResult::Failed:
        A.AsciiState = taFinished;
        return;
    case SendResult::Paused:
        return;
    case SendResult::Done:
        break;
    }
    ++P.BlockNum;
    P.FileOfs += kAsciiBlockLen;
    P.ElapsedTicks = ElapsedTime(P.ElapsedTimer);
    P.ForceStatus = true;
    if (P.LastBlock) {
        line.SetTimerTrigger(P.TimeoutTrigger, int32_t(P.TransmitTimeout), true);
        line.SetStatusTrigger(P.OutBuffUsedTrigger, 0, true);
        A.AsciiState = taFinishDrain;
    } else {
        A.AsciiState = taGetBlock;
    }
}

// Waits for the end of a character or line delay.
void txAwaitDelay(TProtocolData& P, uint32_t first) {
    if (peIsTrigger(first, P.TimeoutTrigger))
        P.Ascii.AsciiState = taSendBlock;
}

// Waits for the output buffer to empty after the last block, or the time-out.
void txAwaitDrain(TProtocolData& P, uint32_t first) {
    TAsciiPart& A = P.Ascii;
    if (peIsTrigger(first, P.OutBuffUsedTrigger)) {
        P.ProtocolStatus = psEndFile;
        A.AsciiState = taFinished;
    } else if (peIsTrigger(first, P.TimeoutTrigger)) {
        peProtocolError(P, ecTimeout);
        A.AsciiState = taFinished;
    }
}

// Waits for nothing: closes the file, logs the outcome and reports the end.
void txFinish(TProtocolData& P, ProtocolLine& line) {
    if (P.ProtocolError != 0)
        line.FlushInBuffer();
    P.apFinishReading(P);
    P.apLogFile(P, P.ProtocolError == 0 ? lfTransmitOk : lfTransmitFail);
    peShowLastStatus(P);
    P.Ascii.AsciiState = taDone;
    peSignalFinish(P);
}

void txState(TProtocolData& P, uint32_t /*msg*/, uint32_t first) {
    ProtocolLine& line = *P.ComPort;
    switch (P.Ascii.AsciiState) {
    case taInitial:
        return txStart(P, line);
    case taGetBlock:
        return txReadBlock(P, line);
    case taWaitFreeSpace:
        return txAwaitFreeSpace(P, first);
    case taSendBlock:
        return txSendBlockNow(P, line);
    case taSendDelay:
        return txAwaitDelay(P, first);
    case taFinishDrain:
        return txAwaitDrain(P, first);
    case taFinished:
        return txFinish(P, line);
    default:
        return;
    }
}

FrameNext txNext(const TProtocolData& P) {
    switch (P.Ascii.AsciiState) {
    case taInitial:
    case taGetBlock:
    case taSendBlock:
    case taFinished:
        return FrameNext::RunAgain;
    default:
        return FrameNext::Wait;
    }
}

// ---- Receive ----

// Whether `c`, the byte just taken, completes the sender's End string.
bool endsWithEndString(TAsciiPart& A, uint8_t c) {
    if (A.EndString.empty())
        return false;
    A.EndTail.push_back(static_cast<char>(c));
    if (A.EndTail.size() > A.EndString.size())
        A.EndTail.erase(0, A.EndTail.size() - A.EndString.size());
    return A.EndTail == A.EndString;
}

// Takes waiting characters into the block; true when the block is complete
// (60 characters, a Ctrl-Z, or the End string's last byte). `took` tells
// whether any character came. Nothing after the End string is taken: it is
// the sender's next program.
bool collect(TProtocolData& P, ProtocolLine& line, bool& took) {
    TAsciiPart& A = P.Ascii;
    const bool suppressCtrlZ = (P.Options & apAsciiSuppressCtrlZ) != 0;
    uint8_t* buf = P.BlockBuffer.data();
    while (P.BlockCount < kAsciiBlockLen && line.CharReady()) {
        uint8_t c = 0;
        if (line.GetChar(c) < 0)
            break;
        took = true;
        if (P.FirstChar) {
            P.FirstChar = false;
            NewTimer(P.ElapsedTimer, 0);
        }
        const bool end = endsWithEndString(A, c);
        if (A.LeadTaken < A.LeadString.size()) {
            // The sender's optional Ready string in front of the data: its
            // bytes are held until they make the whole string (then they
            // are dropped) or turn out to be the data itself.
            if (static_cast<char>(c) == A.LeadString[A.LeadTaken]) {
                if (++A.LeadTaken == A.LeadString.size())
                    A.LeadString.clear();
                continue;
            }
            const std::string held = A.LeadString.substr(0, A.LeadTaken);
            A.LeadString.clear();
            A.LeadTaken = 0;
            for (const char h : held)
                buf[P.BlockCount++] = static_cast<uint8_t>(h);
        }
        if (c == cLF) {
            if (A.LFTranslation == aetAddCRBefore) {
                buf[P.BlockCount++] = cCR;
                buf[P.BlockCount++] = cLF;
            } else if (A.LFTranslation != aetStrip) {
                buf[P.BlockCount++] = cLF;
            }
        } else if (c == cCR) {
            if (A.CRTranslation == aetAddLFAfter) {
                buf[P.BlockCount++] = cCR;
                buf[P.BlockCount++] = cLF;
            } else if (A.CRTranslation != aetStrip) {
                buf[P.BlockCount++] = cCR;
            }
        } else if (c == cCtrlZ) {
            if (!suppressCtrlZ)
                buf[P.BlockCount++] = c;
            return true;
        } else {
            buf[P.BlockCount++] = c;
        }
        if (end) {
            A.EndSeen = true;
            return true;
        }
    }
    return P.BlockCount >= kAsciiBlockLen;
}

// ---- Receive states: one function each, run for a notice of the line ----

// Waits for nothing: opens the file; the silence time-out starts.
void rxStart(TProtocolData& P, ProtocolLine& line) {
    TAsciiPart& A = P.Ascii;
    switch (peStartReceiveFile(P)) {
    case ReceiveStart::NoName:
        peShowLastStatus(P);
        A.AsciiState = raDone;
        peSignalFinish(P);
        return;
    case ReceiveStart::Refused:
        // Refused: the receive ends (status 4703 gives -6011) rather
        // than asking again at every notice with no file to write.
        line.FlushOutBuffer();
        P.ProtocolStatus = psFileRejected;
        A.AsciiState = raFinished;
        return;
    case ReceiveStart::CannotWrite:
        line.FlushOutBuffer();
        A.AsciiState = raFinished;
        return;
    case ReceiveStart::Open:
        break;
    }
    P.FileOfs = 0;
    P.BlockNum = 1;
    P.BlockCount = 0;
    P.ForceStatus = true;
    line.SetTimerTrigger(P.TimeoutTrigger, int32_t(P.EOFTimeout), true);
    P.FirstChar = true;
    A.AsciiState = raCollectBlock;
}

// Waits for characters until the block is full, a Ctrl-Z or the sender's End
// string ends it, or for the silence time-out that ends the data.
void rxCollect(TProtocolData& P, ProtocolLine& line, uint32_t first) {
    TAsciiPart& A = P.Ascii;
    // A time-out that meets characters already waiting came as the
    // sender went on: they are taken, and the silence counts anew.
    const bool timedOut = peIsTrigger(first, P.TimeoutTrigger);
    bool complete = false;
    if (peIsData(first) || (timedOut && line.CharReady())) {
        bool took = false;
        complete = collect(P, line, took);
        // The silence time-out counts from the last character received,
        // so a slow sender is never cut off while it still sends.
        if (took)
            line.SetTimerTrigger(P.TimeoutTrigger, int32_t(P.EOFTimeout), true);
    } else if (timedOut) {
        A.EOFSeen = true;
    }
    if (A.EndSeen)
        A.EOFSeen = true;
    if (complete || A.EOFSeen)
        A.AsciiState = raProcessBlock;
}

// Waits for nothing: writes the block collected. Once a write has failed
// (a full disk), the rest of the sender's program is still taken, up to its
// End string or the silence, and dropped: it must not be read as the next
// program. The receive then ends with the write's error.
void rxWriteBlock(TProtocolData& P, ProtocolLine& line) {
    TAsciiPart& A = P.Ascii;
    P.BytesDone += P.BlockCount;
    if (!P.FirstChar)
        P.ElapsedTicks = ElapsedTime(P.ElapsedTimer);
    if (A.WriteError == 0 && P.apWriteProtocolBlock(P, P.BlockBuffer.data(), P.BlockCount) != 0)
        A.WriteError = P.ProtocolError != 0 ? int32_t(P.ProtocolError) : int32_t(ecDiskFull);
    if (A.WriteError != 0) {
        P.BlockCount = 0;
        if (A.EOFSeen) {
            P.ProtocolError = A.WriteError;
            A.AsciiState = raFinished;
        } else {
            A.AsciiState = raCollectBlock;
        }
        return;
    }
    P.FileOfs += P.BlockCount;
    line.SetTimerTrigger(P.TimeoutTrigger, int32_t(P.EOFTimeout), true);
    P.ForceStatus = true;
    P.BlockCount = 0;
    A.AsciiState = A.EOFSeen ? raFinished : raCollectBlock;
}

// Waits for nothing: closes the file, logs the outcome and reports the end.
void rxFinish(TProtocolData& P) {
    P.apFinishWriting(P);
    P.apLogFile(P, P.ProtocolError == 0 ? lfReceiveOk : lfReceiveFail);
    peShowLastStatus(P);
    P.Ascii.AsciiState = raDone;
    peSignalFinish(P);
}

void rxState(TProtocolData& P, uint32_t /*msg*/, uint32_t first) {
    ProtocolLine& line = *P.ComPort;
    switch (P.Ascii.AsciiState) {
    case raInitial:
        return rxStart(P, line);
    case raCollectBlock:
        return rxCollect(P, line, first);
    case raProcessBlock:
        return rxWriteBlock(P, line);
    case raFinished:
        return rxFinish(P);
    default:
        return;
    }
}

FrameNext rxNext(const TProtocolData& P) {
    switch (P.Ascii.AsciiState) {
    case raCollectBlock:
        // Once the End string has come, no notice may be needed to end.
        return P.Ascii.EndSeen ? FrameNext::RunAgain : FrameNext::RunIfData;
    case raProcessBlock:
    case raFinished:
        return FrameNext::RunAgain;
    default:
        return FrameNext::Wait;
    }
}

// ---- Frame hooks ----

uint8_t asciiState(const TProtocolData& P) {
    return P.Ascii.AsciiState;
}

void asciiAbort(TProtocolData& P, uint32_t msg, uint32_t first) {
    bool carrier = msg == kNoticeTriggerStatus && peIsTrigger(first, P.ModemStatusTrigger);
    bool cancel = msg == kNoticeProtocolCancel;
    if (!carrier && !cancel)
        return;
    TAsciiState s = P.Ascii.AsciiState;
    if (s == taFinished || s == taDone || s == raFinished || s == raDone)
        return;
    P.ProtocolStatus = carrier ? psAbortNoCarrier : psCancelRequested;
    if (P.ComPort->IsOpen())
        P.ComPort->FlushOutBuffer();
    P.Ascii.AsciiState = isTransmitState(s) ? taFinished : raFinished;
    P.ForceStatus = false;
}

void asciiRefreshElapsed(TProtocolData& P) {
    if (isTransmitState(P.Ascii.AsciiState))
        P.ElapsedTicks = ElapsedTime(P.ElapsedTimer);
}

const FrameOps kTransmitOps{dtAscii,    asciiState,          taDone,  raDone, dsttaInitial,
                            asciiAbort, asciiRefreshElapsed, txState, txNext};
const FrameOps kReceiveOps{dtAscii,    asciiState,          taDone,  raDone, dsttaInitial,
                           asciiAbort, asciiRefreshElapsed, rxState, rxNext};

bool isAscii(const TProtocolData& P) {
    return P.ProtocolType == ptAscii;
}

} // namespace

uint32_t ascDelayTicks(uint32_t ms) {
    return ms / kMsPerTick + (ms % kMsPerTick != 0 ? 1 : 0);
}

int32_t ascReinit(TProtocolData& P) {
    P.BlockBuffer.assign(kAsciiBufferSize, 0);
    P.Ascii = TAsciiPart{};
    P.Ascii.EOLChar = cCR;
    P.Ascii.MaxBusyDelay = 250;
    P.EOFTimeout = 364;
    P.BlockLen = kAsciiBlockLen;
    P.BlockCheckMethod = bcmNone;
    P.ProtocolType = ptAscii;
    peResetReadWriteHooks(P);
    return 0;
}

void ascDonePart(TProtocolData& P) {
    P.BlockBuffer.clear();
    P.BlockBuffer.shrink_to_fit();
}

int32_t ascSetDelays(TProtocolData& P, uint32_t charDelayMs, uint32_t lineDelayMs) {
    if (!isAscii(P))
        return ecBadProtocolFunction;
    P.Ascii.CharDelay = charDelayMs;
    P.Ascii.LineDelay = lineDelayMs;
    P.Ascii.CharDelayTicks = ascDelayTicks(charDelayMs);
    P.Ascii.LineDelayTicks = ascDelayTicks(lineDelayMs);
    return 0;
}

int32_t ascSetEOLChar(TProtocolData& P, uint8_t c) {
    if (!isAscii(P))
        return ecBadProtocolFunction;
    P.Ascii.EOLChar = c;
    return 0;
}

int32_t ascSetEOLTranslation(TProtocolData& P, TAsciiEOLTranslation cr, TAsciiEOLTranslation lf) {
    if (!isAscii(P))
        return ecBadProtocolFunction;
    P.Ascii.CRTranslation = cr;
    P.Ascii.LFTranslation = lf;
    return 0;
}

int32_t ascSetEOFTimeout(TProtocolData& P, uint32_t ticks) {
    if (!isAscii(P))
        return ecBadProtocolFunction;
    P.EOFTimeout = ticks;
    return 0;
}

int32_t ascSetEndString(TProtocolData& P, const std::string& end, const std::string& lead) {
    if (!isAscii(P))
        return ecBadProtocolFunction;
    P.Ascii.LeadString = lead;
    P.Ascii.LeadTaken = 0;
    P.Ascii.EndString = end;
    P.Ascii.EndTail.clear();
    P.Ascii.EndSeen = false;
    return 0;
}

int32_t ascGetLineNumber(const TProtocolData& P) {
    return P.BlockNum;
}

void ascPrepareTransmit(TProtocolData& P) {
    P.FindFirstDue = true;
    P.FileListIndex = 0;
    peResetStatus(P);
    peShowFirstStatus(P);
    std::string name;
    if (!P.apNextFile(P, name)) {
        peShowLastStatus(P);
        return;
    }
    P.Ascii.EOFSeen = false;
    P.BlockNum = 0;
    P.ForceStatus = true;
    P.Ascii.AsciiState = taInitial;
    P.ProtocolError = 0;
    P.LastBlock = false;
    if (P.BlockBuffer.size() < kAsciiBufferSize)
        P.BlockBuffer.assign(kAsciiBufferSize, 0);
}

void ascTransmit(TProtocolData& P, uint32_t msg, uint32_t first, uint32_t second) {
    P.Ascii.Busy = 0; // a new call: its pauses start from nothing
    peFrame(P, kTransmitOps, msg, first, second);
}

void ascPrepareReceive(TProtocolData& P) {
    P.Ascii.AsciiState = raInitial;
    P.Ascii.EOFSeen = false;
    P.Ascii.WriteError = 0;
    peResetStatus(P);
    peShowFirstStatus(P);
    P.ProtocolError = 0;
    P.ForceStatus = false;
    if (P.BlockBuffer.size() < kAsciiBufferSize)
        P.BlockBuffer.assign(kAsciiBufferSize, 0);
}

void ascReceive(TProtocolData& P, uint32_t msg, uint32_t first, uint32_t second) {
    peFrame(P, kReceiveOps, msg, first, second);
}

} // namespace vorl
