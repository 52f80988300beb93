// The download: the Download command, the handshake and Start/Ready strings,
// the block sender for software flow control, the protocol's download events
// and the Stop/End exchange after the data.
#include "transfer/transfer_engine.h"

#include "platform/tcp_device.h"
#include "text/language_table.h"
#include "transfer/progress.h"

#include <QTimer>

#include <algorithm>
#include <cstring>

namespace vorl {

void TTransferEngine::mnuCommDownloadClick(int tag) {
    const std::string programs = Text(TextId::NcPrograms);
    const std::string allFiles = Text(TextId::AllFiles);
    const bool fromCommandLine = view_.HasCommandLineFile();
    if (!fromCommandLine) {
        resetForNewChoice();
    } else if (goState_ != GoState::Connect) {
        // Connected for the machine chosen on the command line: the next
        // Connect must open the port with the settings of the one chosen now.
        forgetRunTriggers();
        closePort();
        setGo(GoState::Connect, true);
    }
    machines_.selected = tag;
    const MachineConfig& m = machine();
    view_.ShowMachine(m.name);
    view_.ShowOperation(Text(TextId::Download));
    transfer.operation = TransferState::Download;
    transfer.startBlock = 0;
    transfer.prefixText.clear();
    if (fromCommandLine) {
        view_.ForgetCommandLineFile(); // its name is already shown
    } else {
        SetFileName(std::string());
        if (auto chosen =
                view_.AskOpenFile({m.downloadDirectory, m.downloadExtension, programs, allFiles})) {
            SetFileName(*chosen);
        }
    }
    const bool haveFile = !transfer.fileName.empty();
    view_.EnableReview(haveFile);
    setGo(goState_, haveFile);
    if (haveFile) {
        status(TextId::Ready);
    } else {
        status(TextId::NoFileSpecified);
    }
}

bool TTransferEngine::StartDownload(const std::string&) {
    const auto triggers = machine().triggers;
    resetProgress();
    startProgressTicks();
    view_.ShowProgress(0);

    if (ComPort1.HWFlowOptions() & hwfUseRTS) {
        ComPort1.SetRTS(true);
        const std::string path = ComPortDevicePath(machine().port);
        if (platform::NetworkKindOf(path) == platform::NetworkKind::Tcp) {
            // A raw TCP port carries no modem lines: CTS would never come.
            // The server's own port holds the line by its own setting.
            view_.ShowStatus("Hardware flow control on a raw TCP port is the server's own "
                             "setting: not waiting for CTS (" +
                             path + ")");
        } else {
            status(TextId::WaitingForMachineTool);
            if (!waitForCTS()) {
                return false;
            }
        }
    }
    // The trigger strings may hold the flow characters: they pass unfiltered.
    const TSWFlowOptions flow = ComPort1.SWFlowOptions();
    ComPort1.SetSWFlowOptions(swfNone);
    sendAndAwait(triggers[DownloadStart], triggers[DownloadReady], false,
                 TextId::WaitingForMachineTool);
    if (flow == swfBoth) {
        ComPort1.SetSWFlowOptions(swfBoth);
    }
    if (transfer.abortRequested) {
        return false;
    }
    status(TextId::MachineToolReadyToReceive);

    if (ComPort1.SWFlowOptions() != swfNone) {
        SendFileInBlocks();
        stopProgressTicks();
        showPanel(TransferView::Panel::RemainingTime, std::string());
    } else {
        transfer.senderActive = false;
        Protocol1.SetFileMask(transfer.tempFileName);
        startProtocol(true);
    }
    return true;
}

size_t TTransferEngine::putPiece() const {
    return std::max<size_t>(1, std::min<size_t>(ComPort1.OutSize(), 0xFFFF));
}

// Hands one group to the port. The sender waits for an empty output buffer
// before each put, so a group longer than the buffer (a very long block, a
// long leader) goes out in pieces of the buffer's size.
//
// It also waits until the previous put could have left the line at the
// machine's speed. A serial port's output queue tells that by itself; a
// pty or a port that forwards over a network takes any amount at once, and
// a control's XOFF would then come long after the whole program was gone.
bool TTransferEngine::putGroup(int64_t offset, size_t length) {
    const size_t piece = putPiece();
    for (size_t done = 0; done < length;) {
        if (done > 0 && !waitOutputDrained()) {
            return false;
        }
        const size_t n = std::min(piece, length - done);
        const char* data = sender_->file.bytes(offset + static_cast<int64_t>(done), n);
        if (data == nullptr) {
            senderReadFailed();
            return false;
        }
        try {
            ComPort1.PutBlock(data, static_cast<uint16_t>(n));
        } catch (const ECommException& e) {
            // The port has lost what it had (a hung-up line, an unplugged
            // adapter): the sender stops and says so.
            putFailure_ = e.ErrorCode;
            transfer.senderCancel = true;
            transfer.senderStopped = true;
            return false;
        }
        noteLineBusy(n);
        if (OnSenderPut) {
            OnSenderPut(offset + static_cast<int64_t>(done), n);
        }
        done += n;
    }
    return true;
}

// The rest of the program cannot be had: the sender stops as by Stop and
// says why, rather than end a cut program as if it were complete.
void TTransferEngine::senderReadFailed() {
    sender_->failure = sender_->file.failure();
    transfer.senderCancel = true;
    transfer.senderStopped = true;
}

void TTransferEngine::SendFileInBlocks() {
    if (!loadBlockSender()) {
        return;
    }
    // senderActive is cleared however the sender ends, so that Reset is never
    // left handing its work to a sender that is gone.
    struct Active {
        TransferState& t;
        explicit Active(TransferState& s) : t(s) {
            t.senderActive = true;
            t.senderCancel = false;
            t.senderStopped = false;
        }
        ~Active() { t.senderActive = false; }
    } active(transfer);

    SenderStep step = SenderStep::Sent;
    while (step == SenderStep::Sent) {
        step = sendGroup();
    }
    if (step == SenderStep::Done) {
        finishBlockSender();
    } else {
        abandonBlockSender();
    }
}

bool TTransferEngine::loadBlockSender() {
    auto sender = std::make_unique<BlockSender>();
    const int error = sender->file.open(transfer.tempFileName, std::max(senderWindow, putPiece()));
    sender->eol = static_cast<char>(transfer.eolChar);
    sender->end = error == 0 ? sender->file.groupEnd(0, 1, sender->eol) : -1;
    if (sender->end < 0) {
        view_.ShowMessage(error != 0
                              ? std::string(std::strerror(error)) + ": " + transfer.tempFileName
                              : sender->file.failure());
        setMonitoring(false);
        enableGo();
        ended(TransferOutcome::Kind::FileFailed);
        return false;
    }
    putFailure_ = 0;
    sender->delay = machine().blockDelay;
    sender->perPut = sender->delay == 0 ? 5 : 1;
    stopBlockDelay();
    startXoffStatusPoll();
    transfer.charsTotal = sender->file.size();
    status(TextId::DownloadInProgress);
    view_.ShowProgress(0);
    sender_ = std::move(sender);
    return true;
}

TTransferEngine::SenderStep TTransferEngine::sendGroup() {
    BlockSender& s = *sender_;
    if (s.end > s.pos) {
        if (transfer.senderCancel) {
            return SenderStep::Abandon;
        }
        waitUntil([this] { return !transfer.delayPending || transfer.senderCancel; });
        if (transfer.senderCancel || !waitOutputDrained() ||
            !putGroup(s.pos, static_cast<size_t>(s.end - s.pos))) {
            return SenderStep::Sent; // cancelled: handled at the next step
        }
        transfer.charsTransferred = s.pos;
        if (s.pos > 400) {
            const SenderProgress shown =
                ShowSenderProgress(transfer.charsTotal, transfer.charsTransferred);
            if (shown.percent) {
                view_.ShowProgress(*shown.percent);
            }
            showPanel(TransferView::Panel::CharsTransferred, shown.transferred);
        }
        s.pos = s.end;
        s.file.readAhead(s.pos);
        s.end = s.file.groupEnd(s.pos, s.perPut, s.eol);
        if (s.end < 0) {
            senderReadFailed();
            return SenderStep::Abandon;
        }
        if (s.delay > 1) {
            startBlockDelay(s.delay);
        }
        return SenderStep::Sent;
    }
    // Bytes after the last end of block, such as a trailer of NULs.
    if (s.pos < s.file.size()) {
        if (!waitOutputDrained() || !putGroup(s.pos, static_cast<size_t>(s.file.size() - s.pos))) {
            return SenderStep::Abandon;
        }
        s.pos = s.file.size();
    }
    return waitOutputDrained() ? SenderStep::Done : SenderStep::Abandon;
}

void TTransferEngine::finishBlockSender() {
    stopXoffStatusPoll();
    status(TextId::DownloadComplete);
    view_.ShowProgress(0);
    showPanel(TransferView::Panel::CharsTransferred, std::string());
    showPanel(TransferView::Panel::RemainingTime, std::string());
    stopProgressTicks();
    sender_.reset();
    removeTrigger(drainTrigger_);
    transfer.senderActive = false;
    if (FinishDownload(true)) {
        setMonitoring(false);
        enableGo();
        ended(TransferOutcome::Kind::Done);
    }
}

void TTransferEngine::abandonBlockSender() {
    const std::string failure = sender_->failure;
    transfer.senderCancel = false;
    transfer.senderActive = false;
    sender_.reset();
    stopBlockDelay();
    removeTrigger(drainTrigger_);
    if (ComPort1.Open() && putFailure_ == 0) { // a new choice may have reset the window meanwhile
        ComPort1.FlushOutBuffer();
    }
    letMessagesRun();
    stopProgressTicks();
    if (putFailure_ != 0) {
        stopXoffStatusPoll();
        showPanel(TransferView::Panel::RemainingTime, std::string());
        setMonitoring(false);
        downloadFinished(putFailure_); // as a protocol that failed: the error, then Go
    } else if (!failure.empty()) {
        stopXoffStatusPoll();
        showPanel(TransferView::Panel::CharsTransferred, std::string());
        showPanel(TransferView::Panel::RemainingTime, std::string());
        setMonitoring(false);
        const std::string text = Text(TextId::DownloadStopped) + failure;
        view_.ShowStatus(text);
        view_.ShowMessage(text);
        enableGo();
        ended(TransferOutcome::Kind::FileFailed);
    } else if (!transfer.senderStopped) {
        cmdResetClick();
    }
}

bool TTransferEngine::FinishDownload(bool ignoreCase) {
    const auto triggers = machine().triggers;
    // The Stop string goes out past the control's XOFF, as it always has. Not
    // on a telnet serial port control port: XON/XOFF is the server's there,
    // and turning it off would send at once all the server still holds for a
    // control that has said it has no room.
    const bool swBoth = ComPort1.SWFlowOptions() == swfBoth &&
                        platform::NetworkKindOf(ComPortDevicePath(machine().port)) !=
                            platform::NetworkKind::Rfc2217;
    if (swBoth) {
        ComPort1.SetSWFlowOptions(swfNone);
    }
    noteLineBusy(triggers[DownloadStop].size());
    takeAwaited_ = keepPortOpen;
    const bool arrived = sendAndAwait(triggers[DownloadStop], triggers[DownloadEnd], ignoreCase,
                                      TextId::FileSentWaiting);
    takeAwaited_ = false;
    if (swBoth) {
        ComPort1.SetSWFlowOptions(swfBoth);
    }
    // With no End string to say that the control has it all, the download is
    // complete once its last characters (the Stop string, the end of the
    // program) have gone to the line, not when the port has taken them. An
    // Xmodem receiver has acknowledged the program itself: then only a Stop
    // string is still to go.
    const bool owed = !triggers[DownloadStop].empty() || machine().usesAsciiProtocol();
    const int32_t undelivered = triggers[DownloadEnd].empty() && owed ? deliverOutput() : 0;
    if (undelivered > 0) {
        return false; // Reset ended the wait
    }
    if (undelivered < 0) {
        view_.ShowStatus(TextOr(192, "Download stopped ") + ErrorMsg(undelivered));
        setMonitoring(false);
        enableGo();
        ended(TransferOutcome::Kind::Failed, undelivered);
        return false;
    }
    if (triggers[DownloadEnd].empty()) {
        return true;
    }
    if (!arrived || transfer.abortRequested) {
        return false;
    }
    status(TextId::MachineToolIndicatesCompletion);
    return true;
}

void TTransferEngine::downloadFinished(int32_t errorCode) {
    using Kind = TransferOutcome::Kind;
    const int32_t st = Protocol1.GetProtocolStatus();
    Kind outcome = Kind::Failed;
    if (errorCode == ecTimeout) {
        if (!machine().usesAsciiProtocol() && st == psProtocolHandshake) {
            status(TextId::UnableToHandshake);
        } else {
            status(TextId::DownloadStoppedFatalTimeout);
        }
        outcome = Kind::NoAnswer;
    } else if (errorCode == ecCancelRequested) {
        status(TextId::DownloadCancelled);
        view_.ShowProgress(0);
        outcome = Kind::Cancelled;
    } else if (errorCode != 0) {
        view_.ShowStatus(Text(TextId::DownloadStopped) + ErrorMsg(errorCode));
    } else if (st == psEndFile) {
        status(TextId::DownloadComplete);
        view_.ShowProgress(0);
        if (!FinishDownload(false)) {
            return; // Reset ended the wait and has disabled the button
        }
        outcome = Kind::Done;
    } else if (st == psTimeout) {
        status(TextId::DownloadStoppedTimeout);
        outcome = Kind::NoAnswer;
    } else {
        status(TextId::DownloadStopped);
    }
    enableGo();
    ended(outcome, errorCode);
}

} // namespace vorl
