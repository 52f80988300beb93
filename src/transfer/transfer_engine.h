// The DNC transfer engine: connects to the selected machine tool, sends a
// prepared program to it (download) and receives one from it (upload), with
// the machine's trigger strings, flow control and protocol.
//
// It owns the port component `ComPort1`, the protocol component `Protocol1`,
// the transfer state and the three timers, and shows everything through a
// `TransferView` (the main window, or a test's plain view). The main window
// forwards its button clicks and menu choices; no widget is touched here.
//
// How it works
// - `cmdGoClick` walks Connect -> Transmit (download) or Receive (upload);
//   the button's state is the engine's `goState`.
// - A sequence waits (for CTS, a trigger string, an empty output buffer, a
//   block delay, the first received character) by running the event loop
//   until a flag of `transfer` changes. The loop sleeps until an event
//   comes, and every flag is changed by one: a click, a port notice (trigger
//   string, status trigger, received data), a protocol event or a timer. So a
//   machine tool that takes an hour to answer costs no processor time, and
//   Reset, Stop and the protocol's events are handled during every wait.
// - Reset sets `abortRequested`, clears `waitingForTrigger` and, while the
//   block sender runs, only asks it to stop (`senderCancel`); the sender
//   flushes the port's output and then runs the full reset itself. While
//   the port connects (a network port, seconds at worst, the window's
//   events running meanwhile) Reset cancels the connect; the full reset
//   follows when the open has returned.
// - Each Reset also starts a new run number. A wait whose run has ended
//   returns even when a new run has cleared `abortRequested` meanwhile, and a
//   protocol event of an ended run is ignored.
// - The data triggers registered for a run (the Ready or End string awaited,
//   the upload's End string) are removed as their waits end and at Reset.
//   The port keeps a trigger across a close and reopen with its handle and
//   never gives that handle to another, so a trigger of an earlier run never
//   ends a wait or an upload of a later one.
#pragma once

#include "history/history_recorder.h"
#include "machines/machine_config.h"
#include "protocols/protocol.h"
#include "serial/com_port.h"
#include "text/text_ids.h"
#include "transfer/prepared_reader.h"
#include "transfer/progress.h"
#include "transfer/temp_file.h"
#include "transfer/transfer_state.h"
#include "transfer/transfer_view.h"

#include <QObject>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class QTimer;

namespace vorl {

class TTransferEngine : public QObject {
    Q_OBJECT

public:
    // `machines` is the main window's machine table (its `selected` machine is
    // the one the transfer uses); `delivery` brings the port's and protocol's
    // notices onto this thread.
    TTransferEngine(MachineList& machines, TransferView& view, std::shared_ptr<Delivery> delivery,
                    QObject* parent = nullptr);
    ~TTransferEngine() override;

    enum class GoState { Connect, Transmit, Receive };

    TransferState transfer;
    TComPort ComPort1;
    TProtocol Protocol1;
    // The engine's timers, started and stopped through the helpers below.
    QTimer* Timer1 = nullptr; // block delay
    QTimer* Timer2 = nullptr; // 250 ms: the block sender's XOFF status
    QTimer* Timer3 = nullptr; // 1000 ms: progress display
    TransferProgress progress;
    std::string translationFile; // the tape code translation file; may be missing

    // How often the block sender looks at the output buffer while it waits
    // for it to drain, once the line should be free, besides the port's own
    // output-buffer notice (which comes at the port's 50 ms pace): short
    // enough that a fast line never idles long between two groups.
    std::chrono::milliseconds drainPoll{5};
    // Bytes of the prepared file the block sender holds at once (at least one
    // put); it reads on while the line drains.
    size_t senderWindow = size_t{256} << 10;
    // An ASCII upload ends as soon as the machine's End string has come and
    // what came up to it is taken, instead of at the silence that follows
    // it; the Stop string answers once the upload has ended, so nothing the
    // control sends after the answer is taken into this program. For a
    // front end that answers the control at once (the service); the window
    // keeps waiting for the silence.
    bool endUploadAtEndString = false;
    // The Stop string that answers an upload's End string is left to the
    // front end (AnswerUploadEnd), which sends it once the program is safely
    // kept where it belongs: a control that is told its program arrived may
    // delete it. Otherwise it goes out as the upload's file is written (with
    // endUploadAtEndString) or at once (the window).
    bool answerWhenSaved = false;
    // An ASCII upload's Ready string may come before the program or not (a
    // control that punches out unasked): it is not waited for, and taken off
    // the front of a program that begins with it.
    bool uploadReadyOptional = false;
    // The port stays open from one transfer to the next: Reset and the
    // Download and Upload commands leave it open (a line that has failed is
    // closed), Connect keeps it while the machine's line settings are the
    // same, and an upload takes what the machine tool sent since the last
    // transfer instead of discarding it: its Ready or End string is looked
    // for in that input too. For a front end that serves a machine tool
    // unattended, which may punch a program out at any moment.
    bool keepPortOpen = false;
    // The history the programs that move are recorded in (null: none). A
    // program sent, or received and written, is handed to the history's
    // worker once the transfer has ended well; the transfer never waits for
    // it, and a history that fails never fails the transfer.
    std::shared_ptr<history::HistoryRecorder> history;
    // Which good transfers the engine records itself. A front end that saves
    // a received program under a name of its own records it with
    // RecordInHistory once it is saved; one that sends a text of its own
    // making (an answer, not a program) records nothing.
    bool recordSends = true;
    bool recordReceives = true;
    // Records the program in `file`, named `program` (the file's name when
    // empty), as moved to or from the selected machine.
    void RecordInHistory(history::Direction direction, const std::string& file,
                         const std::string& program = {});
    // Told of every put of the block sender: offset in the prepared file and
    // length (tests and benchmarks).
    std::function<void(int64_t offset, size_t length)> OnSenderPut;

    GoState goState() const { return goState_; }
    // What the clean-up at the process's first engine found: programs that
    // killed runs received and did not save are kept, and the front end
    // tells the user where (empty for every later engine).
    const LeftoverFiles& leftovers() const { return leftovers_; }
    const MachineConfig& machine() const { return machines_[machines_.selected]; }

    // ---- Operator commands ----
    void mnuCommDownloadClick(int tag);
    void mnuCommUploadClick(int tag);
    void cmdGoClick();
    void cmdResetClick();
    void cmdStopClick();
    // The program named on the command line, shown as the file to send.
    void SetFileName(const std::string& name);
    // Sends the Stop string owed to the End string of the upload that has
    // just ended well (answerWhenSaved); nothing when none is owed.
    void AnswerUploadEnd();
    bool UploadEndOwed() const { return stopOwed_; }

    // ---- Steps ----
    // Closes the port and opens it again with the selected machine's settings
    // (with keepPortOpen, a working port open on the same line stays as it
    // is); true when it is open. Also used by the terminal window.
    bool SetUpPort();
    bool SetUpProtocol();
    bool PrepareDownloadFile();
    // Writes the received program into the target file; false (and the
    // reason shown) when it could not.
    bool FinishUploadFile();
    // False when the download was abandoned before its data went out.
    bool StartDownload(const std::string& fileName);
    void SendFileInBlocks();
    // False when Reset ended the wait for the End string.
    bool FinishDownload(bool ignoreCase);
    // False when the upload was abandoned before the protocol started.
    bool StartUpload(const std::string& fileName);

    // ---- Events ----
    void ComPort1TriggerData(uint16_t triggerHandle);
    void ComPort1TriggerLineError(uint16_t error, bool lineBreak);
    void Protocol1ProtocolStatus(uint16_t options);
    void Protocol1ProtocolError(int32_t errorCode);
    void Protocol1ProtocolFinish(int32_t errorCode);
    void Timer1Timer(); // the block delay has passed
    void Timer2Timer(); // shows whether the machine tool holds the line with XOFF
    void Timer3Timer(); // updates the progress fields

private:
    void startBlockDelay(int32_t ms); // delayPending until it has passed
    void stopBlockDelay();
    void startXoffStatusPoll();
    void stopXoffStatusPoll();
    void startProgressTicks();
    void stopProgressTicks();
    void status(TextId id);
    void setGo(GoState state, bool enabled);
    void enableGo();
    void setMonitoring(bool on);
    void showProgress(const ProgressDisplay& display);
    void resetProgress();
    void stopProgress();
    void showPanel(TransferView::Panel panel, const std::string& text);
    void ended(TransferOutcome::Kind kind, int32_t error = 0);

    // Runs the event loop until `done` or the current run ends; true when
    // `done` ended it.
    bool waitUntil(const std::function<bool()>& done);
    void letMessagesRun();
    // Waits for the output buffer to be empty (or the sender to be cancelled).
    bool waitOutputDrained();
    // Waits until the output has gone to the line (the port's queues, then
    // the device: DrainOutput): 0, 1 when Reset ended the wait, or the
    // line's failure.
    int32_t deliverOutput();
    // The sender handed `bytes` to the port: the line is busy that long.
    void noteLineBusy(size_t bytes);
    // Sends `send` and waits for `awaited` (either may be empty), showing the
    // status while it waits; false when Reset ended the wait.
    // `seeWaiting`: the awaited string may also be in the input already
    // waiting.
    bool sendAndAwait(const std::string& send, const std::string& awaited, bool ignoreCase,
                      TextId statusId, bool seeWaiting = false);
    bool waitForCTS();
    void settlePort();
    // Closes the port, unless it is kept open and its line still works.
    void closePort();
    // Opens the port with the selected machine's settings (closing it first).
    bool openPort();
    // The line settings the port was opened with (keepPortOpen).
    std::string lineSettings() const;
    void removeTrigger(uint16_t& handle);
    void forgetRunTriggers();
    bool runSequence(const std::function<void()>& sequence);
    void resetForNewChoice();
    // Starts Protocol1's transfer (its file set) and tells the view.
    void startProtocol(bool transmit);
    void downloadFinished(int32_t errorCode);
    void uploadFinished(int32_t errorCode);
    // Registers the upload's End string (when it has one) as uploadEndTrigger.
    void listenForUploadEnd(bool seeWaiting = false);
    void uploadEndArrived();
    // Takes the awaited string, and what came before it, from the input.
    void takeThroughAwaited();
    // The block sender, step by step: load the prepared file, send a group
    // (the tail after the last end of block, and the wait for the line to
    // drain, are the last steps), then finish the download or abandon it.
    enum class SenderStep { Sent, Done, Abandon };
    struct BlockSender {
        PreparedFileReader file;
        int32_t delay = 0;
        int perPut = 1; // blocks per put
        char eol = '\n';
        int64_t pos = 0;     // start of the next group
        int64_t end = 0;     // its end (one past); pos when no end of block follows
        std::string failure; // why the prepared file could not be read on
    };
    bool loadBlockSender();
    SenderStep sendGroup();
    void finishBlockSender();
    void abandonBlockSender();
    bool putGroup(int64_t offset, size_t length);
    size_t putPiece() const;
    void senderReadFailed();

    MachineList& machines_;
    TransferView& view_;
    GoState goState_ = GoState::Connect;
    uint64_t run_ = 0;              // a new number at every Reset
    int sequenceDepth_ = 0;         // sequences on the stack
    bool connecting_ = false;       // the port's open runs below us (a network connect)
    bool connectCancelled_ = false; // Reset came while it ran
    bool protocolRunning_ = false;  // a transfer of Protocol1 belongs to this run
    int64_t protocolBytes_ = -1;    // what it had moved at its last status
    uint16_t awaitedTrigger_ = 0;   // the Ready or End string a wait is for
    std::string awaited_;           // that string
    bool awaitedIgnoreCase_ = false;
    bool takeAwaited_ = false; // the awaited string is taken from the input
    uint16_t lineErrorTrigger_ = 0;
    uint16_t drainTrigger_ = 0;   // output buffer empty
    int32_t putFailure_ = 0;      // the port refused a group: the line is gone
    uint16_t modemTrigger_ = 0;   // CTS changed
    uint16_t barrierTrigger_ = 0; // fires at once: the port's next notice
    bool barrierPassed_ = false;
    std::chrono::steady_clock::time_point delayUntil_{}; // end of the block delay
    std::chrono::steady_clock::time_point lineFreeAt_{}; // the sender's last put has left
    std::string openSettings_;                           // lineSettings() at the port's open
    bool stopOwed_ = false;      // the End string came: Stop answers it at the upload's end
    std::string uploadTempFile_; // the upload's own temporary file, kept for the run
    LeftoverFiles leftovers_;
    std::string readyToDiscard_; // the upload's awaited Ready string, while it is awaited
    QTimer* drainTimer_ = nullptr;
    std::unique_ptr<BlockSender> sender_; // while the block sender runs
};

} // namespace vorl
