// Port set-up, the Connect/Transmit/Receive button, Reset and Stop, the
// waits, and the small port and protocol events. The download and upload
// sequences are in download.cpp and upload.cpp.
#include "transfer/transfer_engine.h"

#include "platform/device.h"
#include "platform/open_wait.h"

#include "serial/triggers.h"
#include "text/language_table.h"
#include "transfer/data_preparation.h"
#include "transfer/temp_file.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <cctype>
#include <exception>
#include <mutex>
#include <unistd.h>

namespace vorl {

TTransferEngine::TTransferEngine(MachineList& machines, TransferView& view,
                                 std::shared_ptr<Delivery> delivery, QObject* parent)
    : QObject(parent), ComPort1(delivery), Protocol1(delivery), machines_(machines), view_(view) {
    // Runs that were killed could not delete their prepared and received
    // files; those of runs still going are theirs and stay. Once a process.
    static std::once_flag cleanedUp;
    std::call_once(cleanedUp, [this] { leftovers_ = removeAbandonedTempFiles(); });
    ComPort1.SetAutoOpen(false);
    ComPort1.SetTapiMode(tmOff);
    ComPort1.SetBufferFull(2500);
    ComPort1.SetBufferResume(400);
    ComPort1.OnTriggerData = [this](TComPort&, uint16_t handle) { ComPort1TriggerData(handle); };
    ComPort1.OnTriggerStatus = [this](TComPort&, uint16_t handle) {
        if (handle != 0 && handle == barrierTrigger_) {
            barrierPassed_ = true;
        }
    };
    ComPort1.OnTriggerLineError = [this](TComPort&, uint16_t error, bool lineBreak) {
        ComPort1TriggerLineError(error, lineBreak);
    };

    Protocol1.SetComPort(&ComPort1); // the port closing ends a running transfer
    Protocol1.SetProtocolType(ptAscii);
    Protocol1.SetFileMask("*.*");
    Protocol1.SetHandshakeRetry(120);
    Protocol1.SetHandshakeWait(1092);
    Protocol1.SetTransmitTimeout(16777215);
    Protocol1.SetOverhead(20);
    Protocol1.SetStatusInterval(36);
    Protocol1.SetXYmodemBlockWait(1092);
    Protocol1.SetAsciiEOFTimeout(180);
    Protocol1.OnProtocolStatus = [this](TCustomProtocol&, uint16_t options) {
        Protocol1ProtocolStatus(options);
    };
    Protocol1.OnProtocolError = [this](TCustomProtocol&, int32_t code) {
        Protocol1ProtocolError(code);
    };
    Protocol1.OnProtocolFinish = [this](TCustomProtocol&, int32_t code) {
        Protocol1ProtocolFinish(code);
    };

    auto timer = [this](const char* name, int interval, void (TTransferEngine::*tick)()) {
        auto* t = new QTimer(this);
        t->setObjectName(name);
        t->setInterval(interval);
        connect(t, &QTimer::timeout, this, tick);
        return t;
    };
    Timer1 = timer("Timer1", 1000, &TTransferEngine::Timer1Timer);
    Timer2 = timer("Timer2", 250, &TTransferEngine::Timer2Timer);
    Timer3 = timer("Timer3", 1000, &TTransferEngine::Timer3Timer);
    Timer1->setTimerType(Qt::PreciseTimer);
    Timer1->start(); // enabled from the start, as the window has always had it
    // Only its ticks matter: each one ends the event loop's sleep, so a wait
    // for the output buffer looks again.
    drainTimer_ = new QTimer(this);
    connect(drainTimer_, &QTimer::timeout, this,
            [this] { drainTimer_->setInterval(static_cast<int>(drainPoll.count())); });
}

TTransferEngine::~TTransferEngine() {
    Timer1->stop();
    Timer2->stop();
    Timer3->stop();
    protocolRunning_ = false;
    try {
        ComPort1.SetOpen(false); // cancels a running protocol transfer
    } catch (const std::exception&) {
    }
    Protocol1.SetComPort(nullptr);
    // A stopped run leaves nothing behind.
    if (transfer.tempFileName != uploadTempFile_) {
        deleteTempFile(transfer.tempFileName);
    }
    deleteTempFile(uploadTempFile_);
}

// ---- Showing ---------------------------------------------------------------

void TTransferEngine::status(TextId id) {
    view_.ShowStatus(Text(id));
}

void TTransferEngine::setGo(GoState state, bool enabled) {
    goState_ = state;
    // "Connect", "Transmit", "Receive"
    static constexpr TextId kCaption[] = {TextId::Connect, TextId::Transmit, TextId::Receive};
    view_.ShowGoButton(Text(kCaption[static_cast<int>(state)]), enabled);
}

void TTransferEngine::enableGo() {
    setGo(goState_, true);
}

// The one place that switches the status lights' watching of the port.
void TTransferEngine::setMonitoring(bool on) {
    view_.SetLightMonitoring(on);
}

void TTransferEngine::showPanel(TransferView::Panel panel, const std::string& text) {
    view_.ShowPanel(panel, text);
}

void TTransferEngine::ended(TransferOutcome::Kind kind, int32_t error) {
    // A good end means the program is safe on disk: sent from its file, or
    // received and written into it.
    if (kind == TransferOutcome::Kind::Done && !transfer.fileName.empty()) {
        const bool upload = transfer.operation == TransferState::Upload;
        if (upload ? recordReceives : recordSends) {
            RecordInHistory(upload ? history::Direction::Received : history::Direction::Sent,
                            transfer.fileName);
        }
    }
    view_.TransferEnded({kind, error});
}

void TTransferEngine::RecordInHistory(history::Direction direction, const std::string& file,
                                      const std::string& program) {
    if (!history) {
        return;
    }
    history::TransferEvent e;
    e.file = file;
    e.program = program;
    e.machine = machine().name;
    e.port =
        "COM " + std::to_string(machine().port) + " (" + ComPortDevicePath(machine().port) + ")";
    e.direction = direction;
    history->Record(std::move(e));
}

void TTransferEngine::showProgress(const ProgressDisplay& display) {
    if (display.elapsedTime) {
        showPanel(TransferView::Panel::ElapsedTime, *display.elapsedTime);
    }
    if (display.cps) {
        showPanel(TransferView::Panel::CPS, *display.cps);
    }
    if (display.remainingTime) {
        showPanel(TransferView::Panel::RemainingTime, *display.remainingTime);
    }
}

void TTransferEngine::resetProgress() {
    showProgress(progress.ResetProgress());
    transfer.charsTotal = 0;
    transfer.charsTransferred = 0;
}

void TTransferEngine::stopProgress() {
    showProgress(progress.StopProgress());
    stopProgressTicks();
}

void TTransferEngine::SetFileName(const std::string& name) {
    transfer.fileName = name;
    view_.ShowFileName(name);
}

// ---- Waiting ---------------------------------------------------------------

bool TTransferEngine::waitUntil(const std::function<bool()>& done) {
    const uint64_t run = run_;
    for (;;) {
        if (run != run_ || transfer.abortRequested) {
            return false;
        }
        if (done()) {
            return true;
        }
        // Sleeps until an event comes: a click, a port or protocol notice,
        // a timer. Each of them may have changed what `done` looks at.
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
}

void TTransferEngine::letMessagesRun() {
    QCoreApplication::processEvents();
}

bool TTransferEngine::waitOutputDrained() {
    if (drainTrigger_ == 0) {
        drainTrigger_ = ComPort1.AddStatusTrigger(stOutBuffUsed);
    }
    using namespace std::chrono;
    // The first look when the line should be free, then every drainPoll;
    // the port's notice may come first.
    const auto untilFree = ceil<milliseconds>(lineFreeAt_ - steady_clock::now());
    drainTimer_->start(static_cast<int>(std::max(drainPoll, untilFree).count()));
    const bool drained = waitUntil([this] {
        if (transfer.senderCancel) {
            return true;
        }
        // Armed before looking, so that a buffer that empties in between
        // still sends its notice.
        ComPort1.SetStatusTrigger(drainTrigger_, 0, true);
        return ComPort1.GetOutBuffUsed() == 0 && steady_clock::now() >= lineFreeAt_;
    });
    drainTimer_->stop();
    return drained && !transfer.senderCancel;
}

int32_t TTransferEngine::deliverOutput() {
    const bool drained = waitOutputDrained();
    removeTrigger(drainTrigger_);
    if (!drained) {
        return 1;
    }
    // The port's queues are empty; what is left (a UART's last characters,
    // what a network server still sends) takes a moment: waited for here.
    constexpr int32_t kLastCharactersGraceMs = 2000;
    const int32_t r = ComPort1.DrainOutput(kLastCharactersGraceMs);
    return r == ecCommNotOpen && transfer.abortRequested ? 1 : r;
}

void TTransferEngine::noteLineBusy(size_t bytes) {
    using namespace std::chrono;
    const MachineConfig& m = machine();
    const int64_t bits = 1 + m.dataBits + (m.parity != 0 ? 1 : 0) + m.stopBits;
    const int64_t baud = std::max<int32_t>(m.baudRate, 1);
    const auto lineTime = microseconds(int64_t(bytes) * bits * 1000000 / baud);
    lineFreeAt_ = std::max(lineFreeAt_, steady_clock::now()) + lineTime;
}

// A notice the port was delivering when the input was flushed may still be
// on its way to this thread with bytes it announced before the flush.
// Notices come one after the other, so once the port's next notice is here
// every earlier one has run: a status trigger that fires at once asks for
// one.
void TTransferEngine::settlePort() {
    barrierPassed_ = false;
    barrierTrigger_ = ComPort1.AddStatusTrigger(stOutBuffFree);
    ComPort1.SetStatusTrigger(barrierTrigger_, 0, true); // free >= 0: always
    waitUntil([this] { return barrierPassed_; });
    removeTrigger(barrierTrigger_);
}

bool TTransferEngine::waitForCTS() {
    if (modemTrigger_ == 0) {
        modemTrigger_ = ComPort1.AddStatusTrigger(stModem);
    }
    constexpr uint16_t kCtsMask = 0x10;
    view_.WaitingForMachine(true);
    const bool present = waitUntil([this] {
        ComPort1.SetStatusTrigger(modemTrigger_, kCtsMask, true);
        return ComPort1.GetCTS();
    });
    view_.WaitingForMachine(false);
    removeTrigger(modemTrigger_);
    return present;
}

bool TTransferEngine::sendAndAwait(const std::string& send, const std::string& awaited,
                                   bool ignoreCase, TextId statusId, bool seeWaiting) {
    // The awaited string is listened for before `send` goes out: a control
    // that answers at once must not answer before anyone listens.
    if (!awaited.empty()) {
        awaited_ = awaited;
        awaitedIgnoreCase_ = ignoreCase;
        awaitedTrigger_ = ComPort1.AddDataTrigger(awaited, ignoreCase, seeWaiting);
        // Nothing reads the input meanwhile: other output of the control
        // must not fill the port's buffer and hide the string behind it.
        ComPort1.DiscardUntilTrigger(awaitedTrigger_);
        transfer.waitingForTrigger = true;
    }
    if (!send.empty()) {
        ComPort1.PutString(send);
    }
    if (awaited.empty()) {
        return true;
    }
    status(statusId);
    view_.WaitingForMachine(true);
    const bool arrived = waitUntil([this] { return !transfer.waitingForTrigger; });
    view_.WaitingForMachine(false);
    if (!arrived) {
        removeTrigger(awaitedTrigger_);
    }
    return arrived;
}

void TTransferEngine::removeTrigger(uint16_t& handle) {
    if (handle == 0) {
        return;
    }
    const uint16_t h = handle;
    handle = 0;
    try {
        ComPort1.RemoveTrigger(h);
    } catch (const ECommException&) {
        // Already gone with the port's earlier close: nothing to remove.
    }
}

void TTransferEngine::forgetRunTriggers() {
    readyToDiscard_.clear(); // the upload that awaited it has ended
    removeTrigger(awaitedTrigger_);
    removeTrigger(transfer.uploadEndTrigger);
    removeTrigger(drainTrigger_);
    removeTrigger(modemTrigger_);
    removeTrigger(lineErrorTrigger_);
    removeTrigger(barrierTrigger_);
}

bool TTransferEngine::runSequence(const std::function<void()>& sequence) {
    ++sequenceDepth_;
    std::string failure;
    try {
        sequence();
    } catch (const std::bad_alloc&) {
        failure = Text(TextId::InsufficientMemoryToDownload);
    } catch (const std::exception& e) {
        failure = e.what();
    }
    --sequenceDepth_;
    if (failure.empty()) {
        return true;
    }
    // The sequence cannot go on: back to idle, then say why.
    transfer.senderActive = false;
    cmdResetClick();
    view_.ShowError(failure);
    ended(TransferOutcome::Kind::Failed);
    return false;
}

// ---- Port and protocol set-up ------------------------------------------------

std::string TTransferEngine::lineSettings() const {
    const MachineConfig& m = machine();
    return std::to_string(m.port) + " " + std::to_string(m.baudRate) + " " +
           std::to_string(m.dataBits) + std::to_string(m.parity) + std::to_string(m.stopBits) +
           " " + std::to_string(m.handshake) + " " + std::to_string(m.protocol);
}

void TTransferEngine::closePort() {
    if (!keepPortOpen || ComPort1.GetLineFailure() != 0) {
        ComPort1.SetOpen(false);
    }
}

bool TTransferEngine::SetUpPort() {
    resetProgress();
    // A port kept open on the same line stays as it is: what the machine
    // tool sent meanwhile waits in it.
    const bool kept = keepPortOpen && ComPort1.Open() && ComPort1.GetLineFailure() == 0 &&
                      openSettings_ == lineSettings();
    if (!kept && !openPort()) {
        return false;
    }
    status(TextId::PortOpen);
    // Line errors never stop a transfer; they are only shown. The port kept
    // the trigger of an earlier connection across its close.
    removeTrigger(lineErrorTrigger_);
    lineErrorTrigger_ = ComPort1.AddStatusTrigger(stLine);
    constexpr uint16_t kOverrunParityFraming = 7;
    ComPort1.SetStatusTrigger(lineErrorTrigger_, kOverrunParityFraming, true);
    return true;
}

bool TTransferEngine::openPort() {
    ComPort1.SetOpen(false);
    // A port closed from inside one of its notices (the end of the last
    // transfer) finishes closing once the notices queued for this thread
    // have run; an open asked for before that would only be noted, and
    // Connect would end with nothing open and nothing said. The dispatcher
    // waits for a notice at most kNoticeSendTimeout: the close ends by then.
    const auto closedBy = std::chrono::steady_clock::now() + 2 * kNoticeSendTimeout;
    while (ComPort1.PortState() == psShuttingDown && std::chrono::steady_clock::now() < closedBy) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }

    const MachineConfig& m = machine();
    ComPort1.SetComNumber(static_cast<uint16_t>(m.port));
    ComPort1.SetBaud(m.baudRate);
    ComPort1.SetDataBits(static_cast<uint16_t>(m.dataBits));
    ComPort1.SetStopBits(static_cast<uint16_t>(m.stopBits));
    ComPort1.SetParity(static_cast<TParity>(m.parity));
    switch (m.handshake) {
    case kHandshakeNone:
        ComPort1.SetHWFlowOptions(hwfNone);
        ComPort1.SetSWFlowOptions(swfNone);
        break;
    case kHandshakeXonXoff:
        ComPort1.SetHWFlowOptions(hwfNone);
        ComPort1.SetSWFlowOptions(swfBoth);
        break;
    case kHandshakeHardware:
        ComPort1.SetHWFlowOptions(ComPort1.HWFlowOptions() | hwfUseRTS | hwfRequireCTS);
        ComPort1.SetSWFlowOptions(swfNone);
        break;
    case kHandshakeXonXoffAndHardware:
        ComPort1.SetHWFlowOptions(ComPort1.HWFlowOptions() | hwfUseRTS | hwfRequireCTS);
        ComPort1.SetSWFlowOptions(swfBoth);
        break;
    default:
        break;
    }
    const bool bigBuffer = !m.usesAsciiProtocol() || ComPort1.SWFlowOptions() == swfBoth;
    ComPort1.SetOutSize(bigBuffer ? 8192 : 4096);

    if (const std::string path = ComPortDevicePath(m.port); platform::IsNetworkPath(path)) {
        // Connecting may take seconds; the window stays live meanwhile.
        view_.ShowStatus("Connecting to " + path);
    }
    connecting_ = true;
    connectCancelled_ = false;
    try {
        ComPort1.SetOpen(true);
    } catch (const EAlreadyOpen&) {
        status(TextId::PortAlreadyInUse);
    } catch (const EBadId&) {
        status(TextId::PortDoesNotExist);
    } catch (const EHardware&) {
        status(TextId::PortInUseByAnother);
    } catch (const EPortAccessDenied& e) {
        // The port component's text names the device and the reason.
        view_.ShowStatus(e.what());
    } catch (const EPortUnreachable& e) {
        view_.ShowStatus(e.what());
    } catch (const std::exception&) {
        status(TextId::UnknownErrorOpeningPort);
    }
    connecting_ = false;
    openSettings_ = lineSettings();
    if (connectCancelled_) {
        ComPort1.SetOpen(false); // open after all, just as Reset came
        return false;
    }
    return ComPort1.Open();
}

bool TTransferEngine::SetUpProtocol() {
    const MachineConfig& m = machine();
    switch (m.protocol) {
    case kProtocolAscii:
        Protocol1.SetProtocolType(ptAscii);
        Protocol1.SetAsciiLineDelay(static_cast<uint16_t>(m.blockDelay));
        break;
    case kProtocolXmodem:
        Protocol1.SetProtocolType(ptXmodem);
        break;
    case kProtocolXmodemCrc:
        Protocol1.SetProtocolType(ptXmodemCRC);
        break;
    case kProtocolXmodem1K:
        Protocol1.SetProtocolType(ptXmodem1K);
        break;
    default:
        break;
    }
    return true;
}

bool TTransferEngine::PrepareDownloadFile() {
    transfer.refilterNeeded = false;
    DownloadRequest request;
    request.sourcePath = transfer.fileName;
    request.startBlock = transfer.startBlock;
    request.prefixText = transfer.prefixText;
    request.translationFile = translationFile;
    request.previousTempFile = transfer.tempFileName;
    const PreparedDownload prepared = vorl::PrepareDownloadFile(machine(), request);
    transfer.tempFileName = prepared.tempFileName;
    if (!prepared.ok) {
        view_.ShowMessage(prepared.message);
        return false;
    }
    transfer.eolChar = static_cast<char>(prepared.eolChar);
    Protocol1.SetAsciiEOLChar(prepared.eolChar);
    showPanel(TransferView::Panel::CharsTotal, std::to_string(prepared.charsTotal));
    return true;
}

bool TTransferEngine::FinishUploadFile() {
    const FinishedUpload finished = vorl::FinishUploadFile(machine(), transfer.tempFileName,
                                                           transfer.fileName, translationFile);
    if (!finished.ok) {
        view_.ShowMessage(finished.message);
        view_.ShowStatus(finished.message);
    } else if (transfer.tempFileName == uploadTempFile_) {
        // Saved: a run killed from now on leaves no program to keep.
        (void)::truncate(uploadTempFile_.c_str(), 0);
    }
    return finished.ok;
}

// ---- Buttons -----------------------------------------------------------------

void TTransferEngine::cmdGoClick() {
    // A sequence that Stop has ended may still be on its way out; a click
    // that comes before it has left would start a second one under it.
    if (sequenceDepth_ > 0) {
        return;
    }
    setMonitoring(true);
    view_.ShowStatus(std::string());
    transfer.abortRequested = false;
    transfer.uploadEndAssumed = false;

    runSequence([this] {
        switch (goState_) {
        case GoState::Connect:
            if (!SetUpPort()) {
                if (connectCancelled_) {
                    connectCancelled_ = false;
                    cmdResetClick(); // the reset the click asked for
                    return;
                }
                ended(TransferOutcome::Kind::PortFailed);
                return; // the status tells why; the caption stays
            }
            SetUpProtocol();
            if (transfer.operation == TransferState::Download) {
                if (PrepareDownloadFile()) {
                    setGo(GoState::Transmit, true);
                } else {
                    cmdResetClick();
                    ended(TransferOutcome::Kind::FileFailed);
                }
            } else if (transfer.operation == TransferState::Upload) {
                setGo(GoState::Receive, true);
            }
            break;
        case GoState::Transmit:
            setGo(GoState::Transmit, false);
            if (transfer.refilterNeeded && !PrepareDownloadFile()) {
                cmdResetClick();
                ended(TransferOutcome::Kind::FileFailed);
                return;
            }
            StartDownload(transfer.fileName);
            break;
        case GoState::Receive:
            setGo(GoState::Receive, false);
            StartUpload(transfer.fileName);
            break;
        }
    });
}

void TTransferEngine::cmdResetClick() {
    if (connecting_) {
        // The open below us ends at once; the full reset follows it.
        connectCancelled_ = true;
        transfer.abortRequested = true;
        platform::CancelOpenWaits();
        return;
    }
    stopXoffStatusPoll();
    if (transfer.senderActive) {
        transfer.senderCancel = true; // the sender flushes and comes back here
        return;
    }
    if (protocolRunning_ && !transfer.protocolFinished) {
        Protocol1.CancelProtocol();
    }
    // What the cancelled transfer still reports belongs to a run that ended.
    if (protocolRunning_) {
        view_.ProtocolMoving(false);
    }
    protocolRunning_ = false;
    ++run_;
    letMessagesRun();

    view_.ShowProgress(0);
    setGo(GoState::Connect, false);
    SetFileName(std::string());
    view_.EnableReview(false);
    forgetRunTriggers();
    // Reset stops what is still going out for a run that has not ended (a
    // Start or Stop string the control has not taken); the close lets
    // anything else go to the line first.
    if (transfer.waitingForTrigger && ComPort1.Open()) {
        try {
            ComPort1.FlushOutBuffer();
        } catch (const ECommException&) {
            // The line is gone: nothing goes out anyway.
        }
    }
    closePort();
    view_.ForgetCommandLineFile();
    view_.ShowMachine(std::string());
    view_.ShowOperation(std::string());
    transfer.operation = TransferState::None;
    status(TextId::Reset);
    showPanel(TransferView::Panel::CharsTotal, std::string());
    showPanel(TransferView::Panel::CharsTransferred, std::string());
    view_.PutLightsOut();
    stopProgress();
    transfer.abortRequested = true;
    transfer.protocolFinished = false;
    transfer.waitingForTrigger = false;
    stopOwed_ = false;
    // An upload that ended by silence is abandoned, not saved by a later Stop.
    transfer.uploadEndAssumed = false;
}

// A Download or Upload command comes from the event loop of a wait, with the
// running sequence below it on the stack. A block sender would do its full
// reset only once the command had returned, and so wipe out the choice just
// made: the reset is done now, and the sender, told to stop as by Stop, only
// leaves when its turn comes.
void TTransferEngine::resetForNewChoice() {
    if (transfer.senderActive) {
        transfer.senderStopped = true;
        transfer.senderCancel = true;
        transfer.senderActive = false;
    }
    cmdResetClick();
}

void TTransferEngine::cmdStopClick() {
    if (transfer.senderActive) {
        transfer.senderStopped = true;
        transfer.senderCancel = true;
        status(TextId::DownloadCancelled);
        showPanel(TransferView::Panel::CharsTransferred, std::string());
        showPanel(TransferView::Panel::RemainingTime, std::string());
        enableGo();
        ended(TransferOutcome::Kind::Cancelled);
    } else if (protocolRunning_) {
        Protocol1.CancelProtocol(); // its finish event reports the cancel
    }
    stopXoffStatusPoll();
    letMessagesRun();
    view_.ShowProgress(0);
    if (transfer.uploadEndAssumed) {
        transfer.uploadEndAssumed = false;
        if (FinishUploadFile()) {
            showPanel(TransferView::Panel::CharsTotal, std::string());
            showPanel(TransferView::Panel::CharsTransferred, std::string());
            status(TextId::FileSaved);
            ended(TransferOutcome::Kind::Done);
        } else {
            ended(TransferOutcome::Kind::FileFailed);
        }
    }
}

// ---- Events --------------------------------------------------------------------

void TTransferEngine::ComPort1TriggerData(uint16_t triggerHandle) {
    if (triggerHandle == 0) {
        return;
    }
    if (triggerHandle == transfer.uploadEndTrigger) {
        uploadEndArrived();
        return;
    }
    if (triggerHandle == awaitedTrigger_) {
        removeTrigger(awaitedTrigger_);
        // The upload's Ready string, and with a port kept open (which keeps
        // its input) the download's End string, end what belongs to this
        // transfer: the string and what came before it are taken, so that
        // none of it is read as the start of the next program. Not the
        // download's Ready string: a flow control character may follow it
        // that the port has yet to see.
        if (!readyToDiscard_.empty() || takeAwaited_) {
            takeThroughAwaited();
        }
        if (!readyToDiscard_.empty()) {
            // The upload's End string is listened for from here on. The port
            // holds its input while this notice runs, so no byte after the
            // Ready string passes unheard, and the byte that ended the Ready
            // string is not looked at again.
            listenForUploadEnd();
        }
        transfer.waitingForTrigger = false;
    }
    // Any other handle is not this run's: it ends nothing.
}

// Runs in the awaited string's notice, while the port holds the input as it
// was when the string was seen. Nothing before the string was kept for
// reading (the input was emptied, or discarded while the string was awaited),
// so its first occurrence is the one that was seen; it and everything before
// it are taken, everything after it stays: a control may send its next
// program right behind its answer.
void TTransferEngine::takeThroughAwaited() {
    auto fold = [this](std::string text) {
        if (awaitedIgnoreCase_) {
            for (char& c : text) {
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            }
        }
        return text;
    };
    const std::string awaited = fold(std::move(awaited_));
    awaited_.clear();
    try {
        const uint32_t waiting = std::min<uint32_t>(ComPort1.GetInBuffUsed(), 0xFFFF);
        std::string input(waiting, '\0');
        if (waiting > 0) {
            ComPort1.PeekBlock(input.data(), static_cast<uint16_t>(waiting));
        }
        // Not there to take: everything is kept rather than anything lost.
        if (const size_t at = fold(input).find(awaited); at != std::string::npos) {
            ComPort1.GetBlock(input.data(), static_cast<uint16_t>(at + awaited.size()));
        }
    } catch (const ECommException&) {
        // The port went while the notice ran: there is nothing to keep.
    }
}

void TTransferEngine::ComPort1TriggerLineError(uint16_t error, bool) {
    if (error != 0) {
        status(TextId::LineError);
    }
    if (lineErrorTrigger_ != 0 && ComPort1.Open()) {
        ComPort1.SetStatusTrigger(lineErrorTrigger_, 7, true);
    }
}

void TTransferEngine::Protocol1ProtocolError(int32_t errorCode) {
    if (!protocolRunning_) {
        return;
    }
    // The code as it has always been shown, and what it means: a bare
    // number tells the operator nothing.
    std::string shown = Text(TextId::Error) + std::to_string(errorCode);
    if (const std::string text = ErrorMsg(errorCode); !text.empty()) {
        shown += " " + text;
    }
    view_.ShowStatus(shown);
}

void TTransferEngine::Protocol1ProtocolStatus(uint16_t) {
    if (!protocolRunning_) {
        return;
    }
    const int32_t st = Protocol1.GetProtocolStatus();
    if (const int64_t moved = Protocol1.BytesTransferred(); moved != protocolBytes_) {
        protocolBytes_ = moved;
        view_.ProtocolMoving(true);
    }
    if (st == psProtocolHandshake) {
        status(TextId::WaitingForMachineTool);
        return;
    }
    if (st != psOK) {
        return;
    }
    if (transfer.operation == TransferState::Download) {
        status(TextId::DownloadInProgress);
        transfer.charsTransferred = Protocol1.BytesTransferred();
        transfer.charsTotal = Protocol1.FileLength();
        showPanel(TransferView::Panel::CharsTransferred, std::to_string(transfer.charsTransferred));
        if (transfer.charsTotal >= 1) {
            view_.ShowProgress(
                static_cast<int>(transfer.charsTransferred * 100 / transfer.charsTotal));
        }
    } else if (transfer.operation == TransferState::Upload) {
        if (!transfer.uploadEndReceived) {
            status(TextId::UploadInProgress);
        }
        showPanel(TransferView::Panel::CharsTransferred,
                  std::to_string(Protocol1.BytesTransferred()));
    }
}

void TTransferEngine::startProtocol(bool transmit) {
    transfer.protocolFinished = false;
    protocolRunning_ = true;
    protocolBytes_ = 0;
    view_.ProtocolMoving(true);
    if (transmit) {
        Protocol1.StartTransmit();
    } else {
        Protocol1.StartReceive();
    }
}

void TTransferEngine::Protocol1ProtocolFinish(int32_t errorCode) {
    if (!protocolRunning_) {
        return; // a transfer Reset has already abandoned
    }
    protocolRunning_ = false;
    view_.ProtocolMoving(false);
    setMonitoring(false);
    stopProgressTicks();
    showPanel(TransferView::Panel::RemainingTime, std::string());
    showPanel(TransferView::Panel::CharsTransferred, std::string());
    transfer.protocolFinished = true;
    runSequence([this, errorCode] {
        if (transfer.operation == TransferState::Download) {
            downloadFinished(errorCode);
        } else if (transfer.operation == TransferState::Upload) {
            uploadFinished(errorCode);
        }
    });
}

void TTransferEngine::startBlockDelay(int32_t ms) {
    transfer.delayPending = true;
    delayUntil_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    Timer1->start(ms);
}

void TTransferEngine::stopBlockDelay() {
    Timer1->stop();
    transfer.delayPending = false;
}

void TTransferEngine::startXoffStatusPoll() {
    Timer2->start();
}

void TTransferEngine::stopXoffStatusPoll() {
    Timer2->stop();
}

void TTransferEngine::startProgressTicks() {
    Timer3->start();
}

void TTransferEngine::stopProgressTicks() {
    Timer3->stop();
}

void TTransferEngine::Timer1Timer() {
    // A timer may come a little early; the delay is a promise to the control.
    const auto now = std::chrono::steady_clock::now();
    if (now < delayUntil_) {
        Timer1->start(static_cast<int>(
            std::chrono::ceil<std::chrono::milliseconds>(delayUntil_ - now).count()));
        return;
    }
    transfer.delayPending = false;
    Timer1->stop();
}

void TTransferEngine::Timer2Timer() {
    if (ComPort1.GetFlowState() == fcXOutHold) {
        status(TextId::WaitingXoff);
    } else {
        status(TextId::DownloadInProgress);
    }
}

void TTransferEngine::Timer3Timer() {
    showProgress(progress.UpdateProgress(transfer.charsTotal, transfer.charsTransferred));
}

} // namespace vorl
