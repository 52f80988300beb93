// The receiving side of the Xmodem family: the steps that check and answer a
// block, and the receive states, one function each.
#include "protocols/block_check.h"
#include "protocols/xmodem.h"
#include "protocols/xmodem_parts.h"

#include <algorithm>

namespace vorl::xm {

namespace {

// ---- Receive ----

// Counts a receive error; true when there were too many (reported).
bool countReceiveError(TProtocolData& P) {
    countError(P);
    if (uint32_t(P.BlockErrors) > P.Xm.MaxBlockErrors) {
        peProtocolError(P, ecTooManyErrors);
        P.ProtocolStatus = psProtocolError;
        P.ForceStatus = true;
        return true;
    }
    return false;
}

// A time-out while the next block is awaited: the reply to send is NAK, not
// the last ACK again. A sender that missed that ACK (or took a damaged one
// for noise) then sends its block once more, which comes as a duplicate; a
// repeated ACK could be taken for the next block's, which would then be lost.
// Before the first block the handshake character stays.
void askAgain(TProtocolData& P) {
    if (P.Xm.HandshakeChar == cACK)
        P.Xm.HandshakeChar = cNAK;
}

enum class BlockCheck { Good, Bad, Duplicate, Fatal };

BlockCheck receiveBlock(TProtocolData& P, ProtocolLine& line) {
    TXmodemPart& X = P.Xm;
    const uint8_t* buf = P.BlockBuffer.data();
    uint8_t num = buf[0];
    int32_t len = P.BlockLen;
    bool ok = buf[1] == uint8_t(255 - num);
    if (ok) {
        const uint8_t* data = buf + 2;
        if (X.CRCMode) {
            uint16_t crc = BlockCrc(data, size_t(len));
            ok = data[len] == uint8_t(crc >> 8) && data[len + 1] == uint8_t(crc & 0xFF);
        } else {
            ok = data[len] == BlockChecksum(data, size_t(len));
        }
    }
    if (!ok) {
        // A damaged number is damage like any other: the block is asked
        // for again, not taken for a sender that lost its place.
        if (buf[1] == uint8_t(255 - num) && num == uint8_t(P.BlockNum))
            X.ResendDue = true;
        countError(P);
        line.FlushInBuffer();
        P.ProtocolStatus = psBlockCheckError;
        X.HandshakeChar = cNAK;
        return BlockCheck::Bad;
    }
    if (P.BlockNum != 0 && num == uint8_t(P.BlockNum - 1)) {
        X.HandshakeChar = cACK;
        P.BlockErrors = 0;
        P.ProtocolStatus = psDuplicateBlock;
        if (len < X.LastGoodLen) {
            // A 1K sender that fell back to 128-byte blocks sends the block
            // written last again as its first 128 bytes and the rest of its
            // data in the blocks that follow. Written as it stands, those
            // would land behind the whole 1K block: the block is written
            // again in its short form so that the next one follows it.
            P.FileOfs -= X.LastGoodLen;
            P.BytesDone -= X.LastGoodLen - len;
            X.LastGoodLen = len;
            return BlockCheck::Good;
        }
        return BlockCheck::Duplicate;
    }
    if (num == uint8_t(P.BlockNum)) {
        X.HandshakeChar = cACK;
        X.ResendDue = false;
        X.LastGoodLen = len;
        ++P.BlockNum;
        P.BytesDone += len;
        P.BytesLeft = std::max<int64_t>(0, P.BytesLeft - len);
        P.BlockErrors = 0;
        P.ProtocolError = 0;
        P.ProtocolStatus = psOK;
        P.ForceStatus = true;
        return BlockCheck::Good;
    }
    xmCancel(P);
    P.ProtocolStatus = psBlockOutOfSequence;
    peProtocolError(P, ecSequenceError);
    return BlockCheck::Fatal;
}

// Takes characters until a block start, EOT or CAN; true when one came.
bool checkForBlockStart(TProtocolData& P, ProtocolLine& line, uint8_t& start) {
    TXmodemPart& X = P.Xm;
    P.ProtocolStatus = psOK;
    P.BlockErrors = 0;
    uint8_t c = 0;
    while (line.CharReady() && line.GetChar(c) >= 0) {
        if (c == cSOH || c == cSTX || c == cEOT || c == cCAN) {
            start = c;
            return true;
        }
        P.ProtocolStatus = psProtocolError;
        P.ForceStatus = true;
        X.EotCount = 0;
        X.CanCount = 0;
    }
    return false;
}

// The sender's end of transmission is answered once the file is written
// whole: a sender told that the file arrived while the disk could not take
// it would report a good end.
void acknowledgeEnd(TProtocolData& P, ProtocolLine& line) {
    P.apFinishWriting(P);
    if (P.ProtocolError != 0) {
        xmCancel(P);
    } else {
        P.ProtocolStatus = psEndFile;
        line.PutChar(cACK);
    }
    P.Xm.XmodemState = rxFinished;
}

void processBlockStart(TProtocolData& P, ProtocolLine& line, uint8_t start) {
    TXmodemPart& X = P.Xm;
    switch (start) {
    case cSOH:
    case cSTX:
        P.BlockLen = start == cSOH ? 128 : 1024;
        P.BlockCount = 0;
        X.EotCount = 0;
        X.CanCount = 0;
        line.SetTimerTrigger(P.TimeoutTrigger, int32_t(X.BlockWait), true);
        X.XmodemState = rxCollectBlock;
        break;
    case cEOT:
        X.CanCount = 0;
        if (X.ResendDue) {
            // The sender ends while the block asked for again never came
            // whole: it took another block's ACK for that one's (a reply
            // that crossed a resend), and the file would lack the block.
            xmCancel(P);
            P.ProtocolStatus = psBlockOutOfSequence;
            peProtocolError(P, ecSequenceError);
            X.XmodemState = rxFinished;
            break;
        }
        if (++X.EotCount == 1) {
            line.PutChar(cNAK);
            line.SetTimerTrigger(P.TimeoutTrigger, int32_t(X.BlockWait), true);
        } else {
            acknowledgeEnd(P, line);
        }
        break;
    case cCAN:
        X.EotCount = 0;
        if (++X.CanCount >= 3) {
            xmCancel(P);
            P.ProtocolStatus = psCancelRequested;
            X.XmodemState = rxFinished;
        }
        break;
    default:
        break;
    }
}

// ---- Receive states: one function each, run for a notice of the line ----

// Waits for nothing: opens the file and sends the first handshake character.
void rxStart(TProtocolData& P, ProtocolLine& line) {
    TXmodemPart& X = P.Xm;
    P.BlockBuffer.assign(kXmBufferSize, 0);
    switch (peStartReceiveFile(P)) {
    case ReceiveStart::NoName:
        xmCancel(P);
        P.BlockBuffer.clear();
        peShowLastStatus(P);
        X.XmodemState = rxDone;
        peSignalFinish(P);
        return;
    case ReceiveStart::Refused:
        xmCancel(P);
        P.ProtocolStatus = psFileRejected;
        X.XmodemState = rxFinishedSkip;
        return;
    case ReceiveStart::CannotWrite:
        xmCancel(P);
        X.XmodemState = rxFinishedSkip;
        return;
    case ReceiveStart::Open:
        break;
    }
    P.FileOfs = 0;
    X.ResendDue = false;
    X.LastGoodLen = 0;
    X.HandshakeChar = X.GMode ? uint8_t('G') : X.CRCMode ? uint8_t('C') : cNAK;
    line.PutChar(X.HandshakeChar);
    P.BlockNum = 1;
    X.EotCount = 0;
    X.CanCount = 0;
    line.SetTimerTrigger(P.TimeoutTrigger, int32_t(P.HandshakeWait), true);
    X.CheckOverhead = X.CRCMode ? 4 : 3;
    X.XmodemState = rxWaitForHSReply;
}

// Waits for the sender's first character after our handshake character; a
// time-out sends it again (after four unanswered "C", NAK for checksums).
void rxAwaitSender(TProtocolData& P, ProtocolLine& line, uint32_t first) {
    TXmodemPart& X = P.Xm;
    if (peIsData(first)) {
        if (line.CharReady())
            X.XmodemState = rxWaitForBlockStart;
        return;
    }
    if (!peIsTrigger(first, P.TimeoutTrigger))
        return;
    if (countReceiveError(P)) {
        X.XmodemState = rxFinished;
        return;
    }
    askAgain(P);
    if (X.HandshakeChar == 'C' && P.BlockErrors > 3) {
        // No CRC sender answered: ask for checksum blocks instead.
        P.BlockErrors = 0;
        P.BlockCheckMethod = bcmChecksum;
        X.HandshakeChar = cNAK;
        X.CRCMode = false;
        X.CheckOverhead = 3;
        recomputeType(P);
    }
    line.PutChar(X.HandshakeChar);
    line.SetTimerTrigger(P.TimeoutTrigger, int32_t(P.HandshakeWait), true);
}

// Waits for a block start (SOH or STX), EOT or CAN; a time-out confirms a
// lone EOT, or asks for the block again.
void rxAwaitBlockStart(TProtocolData& P, ProtocolLine& line, uint32_t first) {
    TXmodemPart& X = P.Xm;
    if (peIsData(first)) {
        if (!P.TimerStarted) {
            NewTimer(P.ElapsedTimer, 0);
            P.TimerStarted = true;
            if (X.GMode)
                X.MaxBlockErrors = 0;
        }
        uint8_t start = 0;
        if (checkForBlockStart(P, line, start))
            processBlockStart(P, line, start);
        return;
    }
    if (!peIsTrigger(first, P.TimeoutTrigger))
        return;
    if (X.EotCount > 0) {
        acknowledgeEnd(P, line);
    } else if (countReceiveError(P)) {
        X.XmodemState = rxFinished;
    } else if (X.CanCount > 0) {
        P.ProtocolStatus = psCancelRequested;
        P.ForceStatus = true;
        X.XmodemState = rxFinished;
    } else {
        askAgain(P);
        line.PutChar(X.HandshakeChar);
        line.SetTimerTrigger(P.TimeoutTrigger, int32_t(X.BlockWait), true);
        X.XmodemState = rxWaitForHSReply;
    }
}

// Waits for the rest of the block (number, complement, data, check); a
// time-out asks for it again.
void rxCollect(TProtocolData& P, ProtocolLine& line, uint32_t first) {
    TXmodemPart& X = P.Xm;
    if (peIsData(first)) {
        X.HandshakeChar = cNAK;
        int32_t need = P.BlockLen + X.CheckOverhead;
        int32_t waiting = line.InBuffUsed();
        int32_t take = std::min(need - P.BlockCount, waiting);
        if (take > 0 && line.GetBlock(P.BlockBuffer.data() + P.BlockCount, uint32_t(take)) == take)
            P.BlockCount += take;
        if (P.BlockCount >= need)
            X.XmodemState = rxProcessBlock;
    } else if (peIsTrigger(first, P.TimeoutTrigger)) {
        const uint8_t* b = P.BlockBuffer.data();
        if (P.BlockCount >= 2 && b[1] == uint8_t(255 - b[0]) && b[0] == uint8_t(P.BlockNum))
            X.ResendDue = true; // the block came short
        line.PutChar(cNAK);
        P.ProtocolStatus = psTimeout;
        line.SetTimerTrigger(P.TimeoutTrigger, int32_t(X.BlockWait), true);
        X.XmodemState = rxWaitForBlockStart;
    }
}

// Waits for nothing: checks the whole block, answers it and writes it.
void rxProcess(TProtocolData& P, ProtocolLine& line) {
    TXmodemPart& X = P.Xm;
    BlockCheck r = receiveBlock(P, line);
    if (!(X.GMode && X.HandshakeChar == cACK))
        line.PutChar(X.HandshakeChar);
    if (r == BlockCheck::Good) {
        if (P.apWriteProtocolBlock(P, P.BlockBuffer.data() + 2, P.BlockLen) != 0) {
            xmCancel(P);
            X.XmodemState = rxFinished;
            return;
        }
        P.FileOfs += P.BlockLen;
        line.SetTimerTrigger(P.TimeoutTrigger, int32_t(X.BlockWait), true);
        X.XmodemState = rxWaitForBlockStart;
    } else if ((r == BlockCheck::Bad || r == BlockCheck::Duplicate) && P.ProtocolError == 0 &&
               !X.GMode) {
        line.SetTimerTrigger(P.TimeoutTrigger, int32_t(P.HandshakeWait), true);
        X.XmodemState = rxWaitForHSReply;
    } else {
        xmCancel(P);
        X.XmodemState = rxFinished;
    }
}

// Waits for nothing: closes the file and reports the end, logged as skipped
// (the file was refused or could not be opened) or by its outcome.
void rxFinish(TProtocolData& P, bool skipped) {
    P.apFinishWriting(P);
    P.apLogFile(P, skipped                         ? lfReceiveSkip
                   : P.ProtocolStatus == psEndFile ? lfReceiveOk
                                                   : lfReceiveFail);
    P.BlockBuffer.clear();
    peShowLastStatus(P);
    P.Xm.XmodemState = rxDone;
    peSignalFinish(P);
}

} // namespace

void rxState(TProtocolData& P, uint32_t /*msg*/, uint32_t first) {
    ProtocolLine& line = *P.ComPort;
    switch (P.Xm.XmodemState) {
    case rxInitial:
        return rxStart(P, line);
    case rxWaitForHSReply:
        return rxAwaitSender(P, line, first);
    case rxWaitForBlockStart:
        return rxAwaitBlockStart(P, line, first);
    case rxCollectBlock:
        return rxCollect(P, line, first);
    case rxProcessBlock:
        return rxProcess(P, line);
    case rxFinishedSkip:
        return rxFinish(P, true);
    case rxFinished:
        return rxFinish(P, false);
    default:
        return;
    }
}

FrameNext rxNext(const TProtocolData& P) {
    switch (P.Xm.XmodemState) {
    case rxWaitForHSReply:
    case rxWaitForBlockStart:
    case rxCollectBlock:
        return FrameNext::RunIfData;
    case rxProcessBlock:
    case rxFinishedSkip:
    case rxFinished:
        return FrameNext::RunAgain;
    default:
        return FrameNext::Wait;
    }
}

} // namespace vorl::xm
