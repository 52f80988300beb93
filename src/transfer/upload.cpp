// The upload: the Upload command, the Start/Ready strings, the wait for the
// first character, the End string and the protocol's upload events.
#include "transfer/transfer_engine.h"

#include "text/language_table.h"
#include "transfer/temp_file.h"

#include <algorithm>
#include <filesystem>

namespace vorl {

void TTransferEngine::mnuCommUploadClick(int tag) {
    const std::string programs = Text(TextId::NcPrograms);
    const std::string allFiles = Text(TextId::AllFiles);
    resetForNewChoice();
    machines_.selected = tag;
    const MachineConfig& m = machine();
    view_.ShowMachine(m.name);
    view_.ShowOperation(Text(TextId::Upload));
    transfer.operation = TransferState::Upload;
    SetFileName(std::string());
    if (auto chosen =
            view_.AskSaveFile({m.uploadDirectory, m.uploadExtension, programs, allFiles})) {
        std::string name = *chosen;
        if (!name.empty() && std::filesystem::path(name).extension().empty()) {
            name += m.uploadExtension;
        }
        SetFileName(name);
    }
    const bool haveFile = !transfer.fileName.empty();
    setGo(goState_, haveFile);
    view_.EnableReview(false);
    if (haveFile) {
        status(TextId::Ready);
    } else {
        status(TextId::NoFileSpecified);
    }
}

bool TTransferEngine::StartUpload(const std::string&) {
    const auto triggers = machine().triggers;
    transfer.uploadEndReceived = false;
    stopOwed_ = false;
    // An End string registered by an earlier upload is not this one's.
    removeTrigger(transfer.uploadEndTrigger);
    // The upload keeps one temporary file of its own for the run; a prepared
    // download's file is deleted first.
    if (transfer.tempFileName != uploadTempFile_) {
        deleteTempFile(transfer.tempFileName);
    }
    if (uploadTempFile_.empty()) {
        uploadTempFile_ = createTempFileName(kUploadTempPrefix);
    }
    transfer.tempFileName = uploadTempFile_;
    view_.ShowProgress(0);

    // What came before the operator asked for the program is not the program.
    // It is discarded before the Start string goes out: a control may answer
    // the Start string with its program at once. A port kept open keeps it:
    // a control that punched out meanwhile sent a program.
    if (!keepPortOpen) {
        ComPort1.FlushInBuffer();
        letMessagesRun();
        settlePort();
    }
    if (transfer.abortRequested) {
        return false;
    }
    // Neither is what came before the Ready string, nor the Ready string
    // itself: the trigger's handler takes them from the input when it
    // arrives (discardThroughReady), and what follows it stays, for a
    // control that sends its program right behind it. The End string is
    // listened for from the byte after the Ready string on (the handler
    // registers it), so that an End string equal to the Ready string, or
    // ending like it, is never taken at the Ready string. Without a Ready
    // string it is listened for before the Start string goes out.
    if (triggers[UploadReady].empty()) {
        listenForUploadEnd(keepPortOpen);
    }
    readyToDiscard_ = triggers[UploadReady];
    const bool ready = sendAndAwait(triggers[UploadStart], triggers[UploadReady], false,
                                    TextId::WaitingForMachineTool, keepPortOpen);
    readyToDiscard_.clear();
    if (ready) {
        letMessagesRun();
    }
    if (!ready || transfer.abortRequested) {
        removeTrigger(transfer.uploadEndTrigger);
        return false;
    }
    status(TextId::WaitingForData);
    Protocol1.SetFileName(transfer.tempFileName);
    // An Xmodem sender waits for the receiver's handshake before it sends
    // anything, so only an ASCII upload waits for the first character.
    const bool ascii = machine().usesAsciiProtocol();
    if (ascii) {
        view_.WaitingForMachine(true);
        const bool first = waitUntil([this] { return ComPort1.CharReady(); });
        view_.WaitingForMachine(false);
        if (!first) {
            removeTrigger(transfer.uploadEndTrigger);
            return false;
        }
    }
    if (transfer.abortRequested) {
        return false;
    }
    if (ascii) {
        const bool atEnd = endUploadAtEndString;
        Protocol1.SetAsciiEndTrigger(atEnd ? transfer.uploadEndTrigger : 0,
                                     atEnd && transfer.uploadEndReceived);
    }
    // The file is the upload's own, created when its name was taken.
    Protocol1.SetWriteFailAction(wfWriteAnyway);
    startProtocol(false);
    return true;
}

// Runs in the Ready string's notice, while the port holds the input as it was
// when the string was seen. The input was emptied before the Start string went
// out, so the first occurrence of the string is the one that was seen; it and
// everything before it are taken, everything after it stays.
void TTransferEngine::discardThroughReady() {
    const std::string ready = std::move(readyToDiscard_);
    readyToDiscard_.clear();
    try {
        const uint32_t waiting = std::min<uint32_t>(ComPort1.GetInBuffUsed(), 0xFFFF);
        std::string input(waiting, '\0');
        if (waiting > 0) {
            ComPort1.PeekBlock(input.data(), static_cast<uint16_t>(waiting));
        }
        // Not there to take: everything is kept rather than anything lost.
        if (const size_t at = input.find(ready); at != std::string::npos) {
            ComPort1.GetBlock(input.data(), static_cast<uint16_t>(at + ready.size()));
        }
    } catch (const ECommException&) {
        // The port went while the notice ran: there is nothing to keep.
    }
}

void TTransferEngine::listenForUploadEnd(bool seeWaiting) {
    const std::string& end = machine().triggers[UploadEnd];
    if (!end.empty()) {
        transfer.uploadEndTrigger = ComPort1.AddDataTrigger(end, false, seeWaiting);
    }
}

void TTransferEngine::uploadEndArrived() {
    removeTrigger(transfer.uploadEndTrigger);
    const std::string& stop = machine().triggers[UploadStop];
    if (endUploadAtEndString && machine().protocol == 0) {
        stopOwed_ = !stop.empty();
    } else if (!stop.empty()) {
        ComPort1.PutString(stop);
    }
    transfer.uploadEndReceived = true;
    status(TextId::EndOfDataClosingFiles);
}

void TTransferEngine::uploadFinished(int32_t errorCode) {
    // The protocol ended at the End string before the string's own notice
    // came here: it is taken as come.
    if (endUploadAtEndString && !transfer.uploadEndReceived && Protocol1.AsciiEndArrived()) {
        uploadEndArrived();
    }
    if (stopOwed_) {
        stopOwed_ = false;
        try {
            ComPort1.PutString(machine().triggers[UploadStop]);
        } catch (const ECommException&) {
            // The line went with the upload: the protocol's error says so.
        }
    }
    const int32_t st = Protocol1.GetProtocolStatus();
    const std::string received = std::to_string(Protocol1.BytesTransferred());
    // The protocol has ended: its End string can end nothing any more.
    removeTrigger(transfer.uploadEndTrigger);
    using Kind = TransferOutcome::Kind;
    Kind outcome = Kind::Failed;
    if (errorCode == ecTimeout) {
        status(TextId::UploadStoppedFatalTimeout);
        outcome = Kind::NoAnswer;
    } else if (errorCode == ecCancelRequested) {
        status(TextId::UploadCancelled);
        view_.ShowProgress(0);
        outcome = Kind::Cancelled;
    } else if (errorCode != 0) {
        view_.ShowStatus(Text(TextId::UploadStopped) + ErrorMsg(errorCode));
    } else if (st == psEndFile) {
        // The protocol received the whole file (Xmodem's end of transmission):
        // it is written like any other upload that ended well. A good end is
        // shown only once the file is; a failure shows why instead.
        view_.ShowProgress(0);
        outcome = Kind::FileFailed;
        if (FinishUploadFile()) {
            status(TextId::UploadComplete);
            outcome = Kind::Done;
        }
    } else if (st == psTimeout) {
        status(TextId::UploadStoppedTimeout);
        showPanel(TransferView::Panel::CharsTransferred, received);
        outcome = Kind::NoAnswer;
    } else if (transfer.uploadEndReceived) {
        transfer.uploadEndAssumed = false;
        outcome = Kind::FileFailed;
        if (FinishUploadFile()) {
            status(TextId::EndOfDataFileSaved);
            showPanel(TransferView::Panel::CharsTotal, std::string());
            outcome = Kind::Done;
        }
        showPanel(TransferView::Panel::CharsTransferred, received);
    } else {
        status(TextId::SenderStoppedPressStop);
        showPanel(TransferView::Panel::CharsTransferred, received);
        transfer.uploadEndAssumed = true;
        outcome = Kind::EndAssumed;
    }
    enableGo();
    ended(outcome, errorCode);
}

} // namespace vorl
