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
    }
    // Either way the port's notices of the last transfer have ended before
    // anything is read here: bytes a notice has taken count as taken only
    // once it ends.
    settlePort();
    if (transfer.abortRequested) {
        return false;
    }
    // Neither is what came before the Ready string, nor the Ready string
    // itself: the trigger's handler takes them from the input when it
    // arrives (takeThroughAwaited), and what follows it stays, for a
    // control that sends its program right behind it. The End string is
    // listened for from the byte after the Ready string on (the handler
    // registers it), so that an End string equal to the Ready string, or
    // ending like it, is never taken at the Ready string. Without a Ready
    // string it is listened for before the Start string goes out.
    const bool ascii = machine().usesAsciiProtocol();
    // A Ready string that may not come is not awaited: the receive drops it
    // from the front of the program.
    const std::string optionalReady =
        uploadReadyOptional && ascii ? triggers[UploadReady] : std::string();
    const std::string awaitedReady = optionalReady.empty() ? triggers[UploadReady] : std::string();
    if (awaitedReady.empty()) {
        listenForUploadEnd(keepPortOpen);
    }
    readyToDiscard_ = awaitedReady;
    const bool ready = sendAndAwait(triggers[UploadStart], awaitedReady, false,
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
        Protocol1.SetAsciiEndString(endUploadAtEndString ? triggers[UploadEnd] : std::string(),
                                    optionalReady);
    }
    // The file is the upload's own, created when its name was taken.
    Protocol1.SetWriteFailAction(wfWriteAnyway);
    startProtocol(false);
    return true;
}

void TTransferEngine::listenForUploadEnd(bool seeWaiting) {
    const std::string& end = machine().triggers[UploadEnd];
    // An ASCII receive that ends at the End string finds the string itself,
    // in exactly the bytes it takes.
    if (endUploadAtEndString && machine().usesAsciiProtocol()) {
        return;
    }
    if (!end.empty()) {
        transfer.uploadEndTrigger = ComPort1.AddDataTrigger(end, false, seeWaiting);
    }
}

void TTransferEngine::uploadEndArrived() {
    removeTrigger(transfer.uploadEndTrigger);
    const std::string& stop = machine().triggers[UploadStop];
    if ((endUploadAtEndString && machine().protocol == 0) || answerWhenSaved) {
        stopOwed_ = !stop.empty();
    } else if (!stop.empty()) {
        ComPort1.PutString(stop);
    }
    transfer.uploadEndReceived = true;
    status(TextId::EndOfDataClosingFiles);
}

void TTransferEngine::uploadFinished(int32_t errorCode) {
    // The receive ended at the End string, which it found itself.
    if (endUploadAtEndString && !transfer.uploadEndReceived && Protocol1.AsciiEndArrived()) {
        uploadEndArrived();
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
    // The Stop string tells the control that its program is kept: it goes
    // out only once the program is written, and never for one that was not.
    if (outcome != Kind::Done) {
        stopOwed_ = false;
    } else if (!answerWhenSaved) {
        AnswerUploadEnd();
    }
    enableGo();
    ended(outcome, errorCode);
}

void TTransferEngine::AnswerUploadEnd() {
    if (!stopOwed_) {
        return;
    }
    stopOwed_ = false;
    try {
        ComPort1.PutString(machine().triggers[UploadStop]);
    } catch (const ECommException&) {
        // The line went with the upload: the protocol's error says so.
    }
}

} // namespace vorl
