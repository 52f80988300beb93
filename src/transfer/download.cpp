// The download: the Download command, the handshake and Start/Ready strings,
// the block sender for software flow control, the protocol's download events
// and the Stop/End exchange after the data.
#include "transfer/transfer_engine.h"

#include "text/language_table.h"
#include "transfer/progress.h"

#include <QTimer>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

namespace vorl {

void TTransferEngine::mnuCommDownloadClick(int tag) {
    const std::string programs = TextOr(324, "NC Programs");
    const std::string allFiles = TextOr(325, "All Files");
    const bool fromCommandLine = view_.HasCommandLineFile();
    if (!fromCommandLine) {
        resetForNewChoice();
    } else if (goState_ != GoState::Connect) {
        // Connected for the machine chosen on the command line: the next
        // Connect must open the port with the settings of the one chosen now.
        forgetRunTriggers();
        ComPort1.SetOpen(false);
        setGo(GoState::Connect, true);
    }
    machines_.selected = tag;
    const MachineConfig& m = machine();
    view_.ShowMachine(m.name);
    view_.ShowOperation(TextOr(18, "Download"));
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
        status(176, "Ready");
    } else {
        status(187, "No file specified");
    }
}

bool TTransferEngine::StartDownload(const std::string&) {
    const auto triggers = machine().triggers;
    resetProgress();
    Timer3->start();
    view_.ShowProgress(0);

    if (ComPort1.HWFlowOptions() & hwfUseRTS) {
        ComPort1.SetRTS(true);
        status(178, "Waiting for machine tool");
        if (!waitForCTS()) {
            return false;
        }
    }
    // The trigger strings may hold the flow characters: they pass unfiltered.
    const TSWFlowOptions flow = ComPort1.SWFlowOptions();
    ComPort1.SetSWFlowOptions(swfNone);
    sendAndAwait(triggers[DownloadStart], triggers[DownloadReady], false, 178,
                 "Waiting for machine tool");
    if (flow == swfBoth) {
        ComPort1.SetSWFlowOptions(swfBoth);
    }
    if (transfer.abortRequested) {
        return false;
    }
    status(188, "Machine tool indicates ready to receive");

    if (ComPort1.SWFlowOptions() != swfNone) {
        SendFileInBlocks();
        Timer3->stop();
        showPanel(TransferView::Panel::RemainingTime, std::string());
    } else {
        transfer.senderActive = false;
        Protocol1.SetFileMask(transfer.tempFileName);
        transfer.protocolFinished = false;
        protocolRunning_ = true;
        Protocol1.StartTransmit();
    }
    return true;
}

namespace {

// The end (one past) of the group that starts at `from` and runs through the
// n-th end of block after it, or through the last one there is; `from` when
// no end of block follows.
size_t groupEnd(const std::vector<char>& data, size_t from, int n, char eol) {
    size_t end = from;
    for (size_t i = from; i < data.size() && n > 0; ++i) {
        if (data[i] == eol) {
            end = i + 1;
            --n;
        }
    }
    return end;
}

} // namespace

// Hands one group to the port. The sender waits for an empty output buffer
// before each put, so a group longer than the buffer (a very long block, a
// long leader) goes out in pieces of the buffer's size.
//
// It also waits until the previous put could have left the line at the
// machine's speed. A serial port's output queue tells that by itself; a
// pty or a port that forwards over a network takes any amount at once, and
// a control's XOFF would then come long after the whole program was gone.
bool TTransferEngine::putGroup(const char* data, size_t length, int64_t offset) {
    const size_t piece = std::max<size_t>(1, std::min<size_t>(ComPort1.OutSize(), 0xFFFF));
    for (size_t done = 0; done < length;) {
        if (done > 0 && !waitOutputDrained()) {
            return false;
        }
        const size_t n = std::min(piece, length - done);
        try {
            ComPort1.PutBlock(data + done, static_cast<uint16_t>(n));
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

void TTransferEngine::SendFileInBlocks() {
    std::vector<char> data;
    {
        std::ifstream in(transfer.tempFileName, std::ios::binary);
        if (!in) {
            view_.ShowMessage(std::string(std::strerror(errno)) + ": " + transfer.tempFileName);
            setMonitoring(false);
            enableGo();
            return;
        }
        try {
            data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        } catch (const std::bad_alloc&) {
            view_.ShowMessage(TextOr(226, "Insufficient memory to download file"));
            setMonitoring(false);
            enableGo();
            return;
        }
    }
    // senderActive is cleared however the sender ends, so that Reset is never
    // left handing its work to a sender that is gone.
    putFailure_ = 0;
    struct Active {
        TransferState& t;
        explicit Active(TransferState& s) : t(s) {
            t.senderActive = true;
            t.senderCancel = false;
            t.senderStopped = false;
        }
        ~Active() { t.senderActive = false; }
    } active(transfer);

    const int32_t delay = machine().blockDelay;
    const int perPut = delay == 0 ? 5 : 1;
    Timer1->stop();
    transfer.delayPending = false;
    const char eol = transfer.eolChar;
    size_t pos = 0;
    size_t end = groupEnd(data, 0, 1, eol);
    Timer2->start();
    transfer.charsTotal = static_cast<int64_t>(data.size());
    status(177, "Download in progress");
    view_.ShowProgress(0);

    auto cancelled = [this, &data] {
        transfer.senderCancel = false;
        transfer.senderActive = false;
        data = {};
        Timer1->stop();
        transfer.delayPending = false;
        removeTrigger(drainTrigger_);
        if (ComPort1.Open() &&
            putFailure_ == 0) { // a new choice may have reset the window meanwhile
            ComPort1.FlushOutBuffer();
        }
        letMessagesRun();
        Timer3->stop();
        if (putFailure_ != 0) {
            Timer2->stop();
            showPanel(TransferView::Panel::RemainingTime, std::string());
            setMonitoring(false);
            downloadFinished(putFailure_); // as a protocol that failed: the error, then Go
        } else if (!transfer.senderStopped) {
            cmdResetClick();
        }
    };

    while (end > pos) {
        if (transfer.senderCancel) {
            cancelled();
            return;
        }
        waitUntil([this] { return !transfer.delayPending || transfer.senderCancel; });
        if (transfer.senderCancel || !waitOutputDrained() ||
            !putGroup(data.data() + pos, end - pos, static_cast<int64_t>(pos))) {
            continue; // cancelled: handled at the top
        }
        transfer.charsTransferred = static_cast<int64_t>(pos);
        if (pos > 400) {
            const SenderProgress shown =
                ShowSenderProgress(transfer.charsTotal, transfer.charsTransferred);
            if (shown.percent) {
                view_.ShowProgress(*shown.percent);
            }
            showPanel(TransferView::Panel::CharsTransferred, shown.transferred);
        }
        pos = end;
        end = groupEnd(data, pos, perPut, eol);
        if (delay > 1) {
            transfer.delayPending = true;
            delayUntil_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(delay);
            Timer1->start(delay);
        }
    }
    // Bytes after the last end of block, such as a trailer of NULs.
    if (pos < data.size()) {
        if (!waitOutputDrained() ||
            !putGroup(data.data() + pos, data.size() - pos, static_cast<int64_t>(pos))) {
            cancelled();
            return;
        }
    }
    if (!waitOutputDrained()) {
        cancelled();
        return;
    }

    Timer2->stop();
    status(189, "Download complete");
    view_.ShowProgress(0);
    showPanel(TransferView::Panel::CharsTransferred, std::string());
    showPanel(TransferView::Panel::RemainingTime, std::string());
    Timer3->stop();
    data = {};
    removeTrigger(drainTrigger_);
    transfer.senderActive = false;
    if (FinishDownload(true)) {
        setMonitoring(false);
        enableGo();
    }
}

bool TTransferEngine::FinishDownload(bool ignoreCase) {
    const auto triggers = machine().triggers;
    const bool swBoth = ComPort1.SWFlowOptions() == swfBoth;
    ComPort1.SetSWFlowOptions(swfNone);
    const bool arrived = sendAndAwait(triggers[DownloadStop], triggers[DownloadEnd], ignoreCase,
                                      178, "File Sent. Waiting for response from machine tool");
    if (swBoth) {
        ComPort1.SetSWFlowOptions(swfBoth);
    }
    if (triggers[DownloadEnd].empty()) {
        return true;
    }
    if (!arrived || transfer.abortRequested) {
        return false;
    }
    status(190, "Machine tool indicates completion");
    return true;
}

void TTransferEngine::downloadFinished(int32_t errorCode) {
    const int32_t st = Protocol1.GetProtocolStatus();
    if (errorCode == ecTimeout) {
        if (machine().protocol != 0 && st == psProtocolHandshake) {
            status(199, "Unable to handshake with machine tool");
        } else {
            status(191, "Download stopped due to fatal time out");
        }
    } else if (errorCode == ecCancelRequested) {
        status(186, "Download cancelled");
        view_.ShowProgress(0);
    } else if (errorCode != 0) {
        view_.ShowStatus(TextOr(192, "Download stopped ") + ErrorMsg(errorCode));
    } else if (st == psEndFile) {
        status(189, "Download complete");
        view_.ShowProgress(0);
        if (!FinishDownload(false)) {
            return; // Reset ended the wait and has disabled the button
        }
    } else if (st == psTimeout) {
        status(191, "Download stopped due to timeout");
    } else {
        status(192, "Download stopped");
    }
    enableGo();
}

} // namespace vorl
