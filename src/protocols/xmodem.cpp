#include "protocols/xmodem.h"

#include "protocols/block_check.h"
#include "protocols/xmodem_parts.h"

#include <algorithm>

namespace vorl {

namespace xm {

void recomputeType(TProtocolData& P) {
    const TXmodemPart& X = P.Xm;
    if (!X.CRCMode)
        P.ProtocolType = ptXmodem;
    else if (!X.OneKMode)
        P.ProtocolType = ptXmodemCRC;
    else
        P.ProtocolType = X.GMode ? ptXmodem1KG : ptXmodem1K;
}

void countError(TProtocolData& P) {
    ++P.BlockErrors;
    ++P.TotalErrors;
}

} // namespace xm

using namespace xm;

namespace {

constexpr int32_t kDrainTicks = 1092;
constexpr uint8_t kCancelSequence[] = {cCAN, cCAN, cCAN, cBS, cBS, cBS};

bool isTransmitState(TXmodemState s) {
    return s <= txDone;
}

// Each transfer starts from the configured modes; the handshake of one
// transfer (or a 1K fall-back, or the block sizes a receive met) does not
// carry over into the next.
void restoreModes(TProtocolData& P) {
    TXmodemPart& X = P.Xm;
    X.CRCMode = X.CfgCRCMode || X.CfgOneKMode;
    X.OneKMode = X.CfgOneKMode;
    X.GMode = X.CfgGMode;
    P.BlockCheckMethod = X.CRCMode ? bcmCrc16 : bcmChecksum;
    P.BlockLen = X.OneKMode ? 1024 : 128;
    X.StartChar = X.OneKMode ? cSTX : cSOH;
    X.MaxBlockErrors = 5;
    recomputeType(P);
}

uint8_t* dataOf(TProtocolData& P) {
    return P.BlockBuffer.data() + 3;
}

// ---- Transmit: the steps the states share ----

bool prepHandshake(TProtocolData& P, ProtocolLine& line) {
    ++P.HandshakeAttempt;
    if (P.HandshakeAttempt > P.HandshakeRetry) {
        peProtocolError(P, ecTimeout);
        return false;
    }
    line.SetTimerTrigger(P.TimeoutTrigger, int32_t(P.HandshakeWait), true);
    if (P.HandshakeAttempt > 1) {
        countError(P);
        P.ForceStatus = true;
    }
    return true;
}

// One answer to the handshake; true when it chose a check method.
bool processHandshake(TProtocolData& P, uint8_t c) {
    TXmodemPart& X = P.Xm;
    P.ProtocolStatus = psOK;
    switch (c) {
    case cNAK:
        P.BlockCheckMethod = bcmChecksum;
        X.CRCMode = false;
        break;
    case 'C':
        P.BlockCheckMethod = bcmCrc16;
        X.CRCMode = true;
        break;
    case 'G':
        P.BlockCheckMethod = bcmCrc16;
        X.CRCMode = true;
        X.GMode = true;
        break;
    case cCAN:
        P.ProtocolStatus = psCancelRequested;
        P.ForceStatus = true;
        return false;
    default:
        P.ProtocolStatus = psProtocolError;
        P.ForceStatus = true;
        return false;
    }
    recomputeType(P);
    return true;
}

// Sends the block at once when the output buffer has room for it, else waits
// for the room.
void sendRoomCheck(TProtocolData& P, ProtocolLine& line) {
    P.ProtocolError = 0;
    int32_t need = P.BlockLen + 5;
    if (line.OutBuffFree() >= need) {
        P.Xm.XmodemState = txSendBlock;
        return;
    }
    line.SetTimerTrigger(P.TimeoutTrigger, int32_t(P.TransmitTimeout), true);
    line.SetStatusTrigger(P.OutBuffFreeTrigger, uint32_t(need), true);
    P.Xm.XmodemState = txWaitFreeSpace;
}

enum class BlockSent { Sent, Cancelled, Failed };

BlockSent transmitBlock(TProtocolData& P, ProtocolLine& line) {
    TXmodemPart& X = P.Xm;
    if (uint32_t(P.BlockErrors) > X.MaxBlockErrors) {
        if (X.OneKMode && P.BlockLen == 1024) {
            // Fall back to 128-byte blocks for the rest of the transfer; the
            // block in hand goes out as its first 128 bytes and the rest is
            // read again as the next blocks.
            P.BlockLen = 128;
            X.StartChar = cSOH;
            P.BlockErrors = 0;
            if (P.LastBlockSize > 128) {
                P.LastBlockSize = 128;
                P.LastBlock = false;
            }
        } else {
            xmCancel(P);
            peProtocolError(P, ecTooManyErrors);
            return BlockSent::Cancelled;
        }
    }
    uint8_t* buf = P.BlockBuffer.data();
    int32_t len = P.BlockLen;
    buf[0] = X.StartChar;
    buf[1] = uint8_t(P.BlockNum);
    buf[2] = uint8_t(255 - buf[1]);
    uint32_t total = uint32_t(3 + len);
    if (X.CRCMode) {
        uint16_t crc = BlockCrc(buf + 3, size_t(len));
        P.BlockCheck = crc;
        buf[total++] = uint8_t(crc >> 8);
        buf[total++] = uint8_t(crc & 0xFF);
    } else {
        uint8_t sum = BlockChecksum(buf + 3, size_t(len));
        P.BlockCheck = sum;
        buf[total++] = sum;
    }
    int32_t rc = line.PutBlock(buf, total);
    if (rc < 0) {
        peProtocolError(P, rc);
        return BlockSent::Failed;
    }
    return BlockSent::Sent;
}

void blockAcknowledged(TProtocolData& P) {
    P.BytesDone += P.BlockLen;
    P.BytesLeft = std::max<int64_t>(0, P.BytesLeft - P.BlockLen);
    ++P.BlockNum;
    P.FileOfs += P.BlockLen;
}

int32_t gModeEndDrainTicks(const TProtocolData& P) {
    if (P.FinishWait != 0)
        return int32_t(P.FinishWait);
    int32_t cps = P.ActualCPS;
    int32_t lineTicks = cps > 0 ? int32_t(kDispatchBufferSize) / cps * 182 / 10 : 0;
    return 2 * (lineTicks + int32_t(P.Xm.BlockWait));
}

// The receiver's answer, when the notice says data came and a byte is there.
bool takeAnswer(ProtocolLine& line, uint32_t first, uint8_t& c) {
    return peIsData(first) && line.CharReady() && line.GetChar(c) >= 0;
}

// ---- Transmit states: one function each, run for a notice of the line ----

// Opens the file and sends nothing yet: the receiver speaks first.
void txStart(TProtocolData& P, ProtocolLine& line) {
    TXmodemPart& X = P.Xm;
    P.BlockBuffer.assign(kXmBufferSize, 0);
    peUpcasePathName(P);
    P.apLogFile(P, lfTransmitStart);
    P.ProtocolStatus = psProtocolHandshake;
    P.ForceStatus = true;
    P.apPrepareReading(P);
    if (P.ProtocolError != 0) {
        X.XmodemState = txFinished;
        return;
    }
    P.BlockNum = 1;
    P.HandshakeAttempt = 0;
    X.XmodemState = prepHandshake(P, line) ? txHandshake : txFinished;
}

// Waits for the receiver's handshake character (NAK, "C" or "G") or the
// handshake time-out, which asks again until the attempts run out.
void txAwaitHandshake(TProtocolData& P, ProtocolLine& line, uint32_t first) {
    TXmodemPart& X = P.Xm;
    if (peIsTrigger(first, P.TimeoutTrigger)) {
        if (!prepHandshake(P, line))
            X.XmodemState = txFinished;
        return;
    }
    uint8_t c = 0;
    if (!takeAnswer(line, first, c))
        return;
    if (processHandshake(P, c)) {
        NewTimer(P.ElapsedTimer, 0);
        P.TimerStarted = true;
        P.FileOfs = 0;
        P.BlockErrors = 0;
        P.TotalErrors = 0;
        if (X.GMode)
            X.MaxBlockErrors = 0;
        P.ProtocolStatus = psOK;
        // Further handshake characters the receiver repeated while we
        // answered would read as replies to the first block.
        line.FlushInBuffer();
        X.XmodemState = txGetBlock;
    } else if (P.ProtocolStatus == psCancelRequested) {
        X.XmodemState = txFinished;
    } else if (!prepHandshake(P, line)) {
        X.XmodemState = txFinished;
    }
}

// Waits for nothing: reads the next block from the file.
void txReadBlock(TProtocolData& P, ProtocolLine& line) {
    TXmodemPart& X = P.Xm;
    P.LastBlockSize = P.BlockLen;
    P.BlockErrors = 0;
    P.LastBlock = P.apReadProtocolBlock(P, dataOf(P), P.LastBlockSize);
    if (P.ProtocolError != 0) {
        // The file could not be read to the end: the receiver must not
        // take a cut file for a whole one.
        xmCancel(P);
        X.XmodemState = txFinished;
        return;
    }
    sendRoomCheck(P, line);
}

// Waits for room for a whole block in the output buffer (or the time-out);
// in G mode a CAN from the receiver ends the wait.
void txAwaitFreeSpace(TProtocolData& P, ProtocolLine& line, uint32_t first) {
    TXmodemPart& X = P.Xm;
    if (peIsTrigger(first, P.OutBuffFreeTrigger)) {
        X.XmodemState = txSendBlock;
    } else if (peIsTrigger(first, P.TimeoutTrigger)) {
        peProtocolError(P, ecTimeout);
        X.XmodemState = txFinished;
    } else if (X.GMode && peIsData(first)) {
        uint8_t c = 0;
        while (line.CharReady() && line.GetChar(c) >= 0) {
            if (c == cCAN) {
                P.ProtocolStatus = psCancelRequested;
                P.ForceStatus = true;
                X.XmodemState = txFinished;
                break;
            }
        }
    }
}

// Waits for nothing: sends the block in hand (the end when there is none).
// In G mode nothing is acknowledged and the next block follows at once.
void txSendBlockNow(TProtocolData& P, ProtocolLine& line) {
    TXmodemPart& X = P.Xm;
    if (P.LastBlockSize <= 0) {
        X.XmodemState = txFirstEndOfTransmit;
        return;
    }
    if (P.ProtocolError != 0) {
        xmCancel(P);
        X.XmodemState = txFinished;
        return;
    }
    BlockSent sent = transmitBlock(P, line);
    if (sent != BlockSent::Sent) {
        if (sent == BlockSent::Failed)
            line.FlushOutBuffer(); // the cancel sequence, when sent, stays
        X.XmodemState = txFinished;
        return;
    }
    if (!X.GMode) {
        line.SetTimerTrigger(P.TimeoutTrigger, kDrainTicks, true);
        line.SetStatusTrigger(P.OutBuffUsedTrigger, 0, true);
        P.ForceStatus = true;
        X.XmodemState = txDraining;
        return;
    }
    blockAcknowledged(P);
    uint8_t c = 0;
    if (line.CharReady() && line.GetChar(c) >= 0 && (c == cCAN || c == cNAK))
        P.ProtocolStatus = psCancelRequested;
    P.ForceStatus = true;
    if (P.ProtocolStatus == psCancelRequested) {
        line.FlushOutBuffer();
        X.XmodemState = txFinished;
    } else if (P.LastBlock) {
        line.SetTimerTrigger(P.TimeoutTrigger, gModeEndDrainTicks(P), true);
        line.SetStatusTrigger(P.OutBuffUsedTrigger, 0, true);
        X.XmodemState = txEndDrain;
    } else {
        X.XmodemState = txGetBlock;
    }
}

// Waits for the block to leave the output buffer (or the drain time-out);
// only then can an answer be this block's.
void txAwaitDrain(TProtocolData& P, ProtocolLine& line, uint32_t first) {
    TXmodemPart& X = P.Xm;
    bool replyDue =
        peIsTrigger(first, P.OutBuffUsedTrigger) || peIsTrigger(first, P.TimeoutTrigger);
    if (!replyDue && peIsData(first)) {
        if (line.OutBuffUsed() > 0) {
            // No receiver answers a block before it has all of it: what
            // comes while the block is still going out answers an
            // earlier copy (a resend crossed the reply). Taken for this
            // block's reply, it would put every later reply one block
            // off, and the last block could go unsent.
            bool cancel = false;
            uint8_t c = 0;
            while (line.CharReady() && line.GetChar(c) >= 0)
                cancel = cancel || c == cCAN;
            if (cancel) {
                P.ProtocolStatus = psCancelRequested;
                P.ForceStatus = true;
                line.FlushOutBuffer();
                X.XmodemState = txFinished;
            }
            return;
        }
        replyDue = true;
    }
    if (replyDue) {
        line.SetTimerTrigger(P.TimeoutTrigger, int32_t(X.BlockWait), true);
        X.XmodemState = txReplyPending;
    }
}

// Waits for the receiver's answer to the block: ACK moves on, NAK or noise
// sends it again, CAN ends; a time-out sends it again.
void txAwaitReply(TProtocolData& P, ProtocolLine& line, uint32_t first) {
    TXmodemPart& X = P.Xm;
    if (peIsTrigger(first, P.TimeoutTrigger)) {
        // A resend: the receiver may only be slow, or have missed the block.
        // The silence counts as an error, so that a receiver that has gone
        // ends the transfer (too many errors) instead of holding it for ever.
        countError(P);
        P.ForceStatus = true;
        sendRoomCheck(P, line);
        return;
    }
    uint8_t c = 0;
    if (!takeAnswer(line, first, c))
        return;
    if (c == cACK) {
        P.ProtocolStatus = psOK;
        blockAcknowledged(P);
        X.XmodemState = P.LastBlock ? txFirstEndOfTransmit : txGetBlock;
    } else if (c == cCAN) {
        P.ProtocolStatus = psCancelRequested;
        P.ForceStatus = true;
        line.FlushOutBuffer();
        X.XmodemState = txFinished;
    } else {
        countError(P);
        P.ProtocolStatus = c == cNAK ? psBlockCheckError : psProtocolError;
        P.ForceStatus = true;
        sendRoomCheck(P, line);
    }
}

// Waits (G mode) for the last block to leave the output buffer, or the time
// the line needs for it.
void txAwaitEndDrain(TProtocolData& P, uint32_t first) {
    if (peIsTrigger(first, P.OutBuffUsedTrigger) || peIsTrigger(first, P.TimeoutTrigger))
        P.Xm.XmodemState = txFirstEndOfTransmit;
}

// The answer to the end may take as long as a block's: each EOT waits
// BlockWait for it and is sent again when it does not come (the receiver may
// have missed it, or we its answer); a receiver silent for kEotSends of
// them has gone.
constexpr int32_t kEotSends = 3;

int32_t eotWait(const TProtocolData& P) {
    return std::max<int32_t>(1, int32_t(P.Xm.BlockWait));
}

// Waits for nothing: sends the first EOT.
void txSendFirstEot(TProtocolData& P, ProtocolLine& line) {
    TXmodemPart& X = P.Xm;
    P.ProtocolStatus = psOK;
    P.BlockErrors = 0;
    X.EotNakCount = 0;
    X.EotWaits = 0;
    line.FlushInBuffer();
    line.PutChar(cEOT);
    line.SetTimerTrigger(P.TimeoutTrigger, eotWait(P), true);
    X.XmodemState = txEotReply;
}

// Waits for nothing: sends EOT again, unless it went unanswered too often.
void txSendEotAgain(TProtocolData& P, ProtocolLine& line) {
    TXmodemPart& X = P.Xm;
    P.ProtocolStatus = psOK;
    line.FlushInBuffer();
    line.PutChar(cEOT);
    line.SetTimerTrigger(P.TimeoutTrigger, eotWait(P), true);
    if (uint32_t(P.BlockErrors) > X.MaxBlockErrors) {
        peProtocolError(P, ecTooManyErrors);
        X.XmodemState = txFinished;
    } else {
        X.XmodemState = txEotReply;
    }
}

// Waits for the receiver's answer to EOT: ACK ends well, NAK (up to three)
// or noise asks for another EOT, CAN ends; so does a time-out.
void txAwaitEotReply(TProtocolData& P, ProtocolLine& line, uint32_t first) {
    TXmodemPart& X = P.Xm;
    // An answer already waiting when the time-out is reported is read:
    // the next EOT empties the input buffer first and would lose it.
    if (peIsData(first) || (peIsTrigger(first, P.TimeoutTrigger) && line.CharReady())) {
        uint8_t c = 0;
        if (!line.CharReady() || line.GetChar(c) < 0)
            return;
        if (c == cACK) {
            P.ProtocolStatus = psEndFile;
            X.XmodemState = txFinished;
        } else if (c == cCAN) {
            P.ProtocolStatus = psCancelRequested;
            P.ForceStatus = true;
            X.XmodemState = txFinished;
        } else if (c == cNAK) {
            if (++X.EotNakCount >= 3) {
                xmCancel(P);
                peProtocolError(P, ecTooManyErrors);
                X.XmodemState = txFinished;
            } else {
                X.XmodemState = txRestEndOfTransmit;
            }
        } else {
            countError(P);
            P.ProtocolStatus = psProtocolError;
            X.XmodemState = txRestEndOfTransmit;
        }
    } else if (peIsTrigger(first, P.TimeoutTrigger)) {
        if (++X.EotWaits >= kEotSends) {
            // A receiver that has gone: the end was never confirmed.
            peProtocolError(P, ecTimeout);
            X.XmodemState = txFinished;
        } else {
            X.XmodemState = txRestEndOfTransmit;
        }
    }
}

// Waits for nothing: closes the file, logs the outcome and reports the end.
void txFinish(TProtocolData& P, ProtocolLine& line) {
    auto good = [&P] { return P.ProtocolStatus == psEndFile && P.ProtocolError == 0; };
    if (!good())
        line.FlushInBuffer();
    P.apFinishReading(P); // may still fail
    P.apLogFile(P, good() ? lfTransmitOk : lfTransmitFail);
    P.BlockBuffer.clear();
    peShowLastStatus(P);
    P.Xm.XmodemState = txDone;
    peSignalFinish(P);
}

void txState(TProtocolData& P, uint32_t /*msg*/, uint32_t first) {
    ProtocolLine& line = *P.ComPort;
    switch (P.Xm.XmodemState) {
    case txInitial:
        return txStart(P, line);
    case txHandshake:
        return txAwaitHandshake(P, line, first);
    case txGetBlock:
        return txReadBlock(P, line);
    case txWaitFreeSpace:
        return txAwaitFreeSpace(P, line, first);
    case txSendBlock:
        return txSendBlockNow(P, line);
    case txDraining:
        return txAwaitDrain(P, line, first);
    case txReplyPending:
        return txAwaitReply(P, line, first);
    case txEndDrain:
        return txAwaitEndDrain(P, first);
    case txFirstEndOfTransmit:
        return txSendFirstEot(P, line);
    case txRestEndOfTransmit:
        return txSendEotAgain(P, line);
    case txEotReply:
        return txAwaitEotReply(P, line, first);
    case txFinished:
        return txFinish(P, line);
    default:
        return;
    }
}

FrameNext txNext(const TProtocolData& P) {
    switch (P.Xm.XmodemState) {
    case txHandshake:
    case txDraining:
    case txReplyPending:
    case txEotReply:
        return FrameNext::RunIfData;
    case txInitial:
    case txGetBlock:
    case txSendBlock:
    case txFirstEndOfTransmit:
    case txRestEndOfTransmit:
    case txFinished:
        return FrameNext::RunAgain;
    default:
        return FrameNext::Wait;
    }
}

// ---- Frame hooks ----

uint8_t xmState(const TProtocolData& P) {
    return P.Xm.XmodemState;
}

void xmAbort(TProtocolData& P, uint32_t msg, uint32_t first) {
    TXmodemState s = P.Xm.XmodemState;
    if (s == txFinished || s == txDone || s == rxFinished || s == rxFinishedSkip || s == rxDone)
        return;
    int32_t status = 0;
    if (msg == kNoticeProtocolCancel) {
        xmCancel(P);
        status = psCancelRequested;
    } else if (msg == kNoticeTriggerStatus && peIsTrigger(first, P.ModemStatusTrigger)) {
        if (P.ComPort->CheckDCD()) {
            // The carrier came back: keep watching it.
            P.ComPort->SetStatusTrigger(P.ModemStatusTrigger, 0x8080, true);
            return;
        }
        status = psAbortNoCarrier;
    } else {
        return;
    }
    P.ProtocolStatus = status;
    P.ForceStatus = true;
    P.Xm.XmodemState = isTransmitState(s) ? txFinished : rxFinished;
}

void xmRefreshElapsed(TProtocolData& P) {
    if (P.TimerStarted)
        P.ElapsedTicks = ElapsedTime(P.ElapsedTimer);
}

const FrameOps kTransmitOps{dtXModem, xmState,          txDone,  rxDone, dsttxInitial,
                            xmAbort,  xmRefreshElapsed, txState, txNext};
const FrameOps kReceiveOps{dtXModem, xmState,          txDone,  rxDone, dsttxInitial,
                           xmAbort,  xmRefreshElapsed, rxState, rxNext};

} // namespace

bool IsXmodemType(TProtocolType t) {
    return t == ptXmodem || t == ptXmodemCRC || t == ptXmodem1K || t == ptXmodem1KG;
}

namespace {

// Runs a change of the modes, then sets the protocol type they give;
// ecBadProtocolFunction when the engine runs no Xmodem type.
template <class Change> int32_t changeModes(TProtocolData& P, Change change) {
    if (!IsXmodemType(P.ProtocolType))
        return ecBadProtocolFunction;
    change(P.Xm);
    recomputeType(P);
    return 0;
}

} // namespace

int32_t xmSetCRCMode(TProtocolData& P, bool on) {
    return changeModes(P, [&](TXmodemPart& X) {
        X.CRCMode = X.CfgCRCMode = on || X.OneKMode; // 1K blocks always carry a CRC
        P.BlockCheckMethod = X.CRCMode ? bcmCrc16 : bcmChecksum;
    });
}

int32_t xmSet1KMode(TProtocolData& P, bool on) {
    return changeModes(P, [&](TXmodemPart& X) {
        X.OneKMode = X.CfgOneKMode = on;
        P.BlockLen = on ? 1024 : 128;
        X.StartChar = on ? cSTX : cSOH;
        if (on) {
            X.CRCMode = X.CfgCRCMode = true;
            P.BlockCheckMethod = bcmCrc16;
        }
    });
}

int32_t xmSetGMode(TProtocolData& P, bool on) {
    return changeModes(P, [&](TXmodemPart& X) {
        X.GMode = X.CfgGMode = on;
        if (on)
            xmSet1KMode(P, true);
        else
            X.MaxBlockErrors = 5;
        P.TurnDelay = on ? 0 : 1000;
    });
}

int32_t xmSetBlockWait(TProtocolData& P, uint32_t ticks) {
    if (!IsXmodemType(P.ProtocolType))
        return ecBadProtocolFunction;
    P.Xm.BlockWait = ticks;
    return 0;
}

int32_t xmReinit(TProtocolData& P, bool crc, bool oneK, bool g) {
    P.ProtocolType = ptXmodem;
    P.Xm = TXmodemPart{};
    xmSetCRCMode(P, crc);
    xmSet1KMode(P, oneK);
    xmSetGMode(P, g);
    P.Xm.BlockWait = 91;
    P.Xm.MaxBlockErrors = 5;
    P.Overhead = 5;
    P.TurnDelay = g ? 0 : 1000;
    P.FinishWait = 0;
    peResetReadWriteHooks(P);
    return 0;
}

void xmCancel(TProtocolData& P) {
    if (P.ComPort && P.ComPort->IsOpen()) {
        P.ComPort->FlushOutBuffer();
        P.ComPort->PutBlock(kCancelSequence, sizeof(kCancelSequence));
    }
    P.ForceStatus = true;
}

void xmPrepareTransmit(TProtocolData& P) {
    peResetStatus(P);
    peShowFirstStatus(P);
    std::string name;
    if (!P.apNextFile(P, name)) {
        peShowLastStatus(P);
        return;
    }
    restoreModes(P);
    P.TimerStarted = false;
    P.ForceStatus = true;
    P.Xm.XmodemState = txInitial;
    P.BlockBuffer.clear();
    if (P.ComPort)
        P.ComPort->FlushInBuffer();
}

void xmTransmit(TProtocolData& P, uint32_t msg, uint32_t first, uint32_t second) {
    peFrame(P, kTransmitOps, msg, first, second);
}

void xmPrepareReceive(TProtocolData& P) {
    restoreModes(P);
    P.Xm.XmodemState = rxInitial;
    P.BlockBuffer.clear();
    peResetStatus(P);
    peShowFirstStatus(P);
    P.ForceStatus = false;
    P.TimerStarted = false;
}

void xmReceive(TProtocolData& P, uint32_t msg, uint32_t first, uint32_t second) {
    peFrame(P, kReceiveOps, msg, first, second);
}

} // namespace vorl
