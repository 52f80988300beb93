// What the transfer engine shows and asks. The main window implements it with
// its labels, panels, buttons and dialogs; tests implement it with plain
// fields. Every call comes on the thread that owns the engine.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace vorl {

// The file dialogs of the Download and Upload commands.
struct FileQuestion {
    std::string directory; // where the dialog starts
    std::string extension; // the machine's program extension, with its dot
    std::string programs;  // the word for NC programs, for the filter
    std::string allFiles;  // the word for all files, for the second filter
};

// How a transfer ended, for a front end that acts on it (an exit status)
// rather than only showing the status text.
struct TransferOutcome {
    enum class Kind {
        Done,       // sent and acknowledged, or received and saved
        PortFailed, // the port could not be opened
        FileFailed, // the program could not be read or the target written
        NoAnswer,   // the machine tool did not answer in time
        Failed,     // the transfer failed (line lost, protocol error)
        Cancelled,  // Stop ended it
        EndAssumed, // an upload ended by silence: Stop saves it
    };
    Kind kind = Kind::Done;
    int32_t error = 0; // the serial layer's or protocol's error code, when one
};

class TransferView {
public:
    enum class Panel { CharsTotal, CharsTransferred, ElapsedTime, RemainingTime, CPS };

    virtual ~TransferView() = default;

    virtual void ShowStatus(const std::string& text) = 0;
    virtual void ShowOperation(const std::string& text) = 0;
    virtual void ShowMachine(const std::string& text) = 0;
    virtual void ShowFileName(const std::string& text) = 0;
    virtual void ShowPanel(Panel panel, const std::string& text) = 0;
    virtual void ShowProgress(int percent) = 0;
    // The Connect/Transmit/Receive button.
    virtual void ShowGoButton(const std::string& caption, bool enabled) = 0;
    virtual void EnableReview(bool enabled) = 0;
    // The status lights: watching the port's lines, or all out.
    virtual void SetLightMonitoring(bool on) = 0;
    virtual void PutLightsOut() = 0;
    // A message box with an empty title.
    virtual void ShowMessage(const std::string& text) = 0;
    // An error the sequence cannot go on after, shown as the program shows
    // any unexpected error.
    virtual void ShowError(const std::string& text) = 0;

    // An existing program to send; nothing when the operator cancels.
    virtual std::optional<std::string> AskOpenFile(const FileQuestion& q) = 0;
    // A file to receive into (the dialog asks before overwriting); nothing
    // when the operator cancels.
    virtual std::optional<std::string> AskSaveFile(const FileQuestion& q) = 0;

    // The program named on the command line waits to be sent: a Download
    // command then takes it instead of asking. Reset forgets it.
    virtual bool HasCommandLineFile() = 0;
    virtual void ForgetCommandLineFile() = 0;

    // The transfer has ended as `outcome` says (the status line tells it in
    // words). Reset is not reported: whoever pressed it knows.
    virtual void TransferEnded(const TransferOutcome& outcome) { (void)outcome; }
    // The sequence starts (true) or ends (false) waiting for the machine tool
    // to answer: for CTS, a Ready or End string, the first character of an
    // upload. Only Reset ends such a wait; a front end without an operator
    // may want a time limit on it.
    virtual void WaitingForMachine(bool waiting) { (void)waiting; }
    // A protocol transfer has started or moved data (true), or has ended
    // (false). Each of its steps waits for the machine tool (the receiver's
    // request, each block's answer, the answer to the end, the next block),
    // each within the protocol's own times; a front end with a time limit of
    // its own may end one that has moved nothing for that long.
    virtual void ProtocolMoving(bool moving) { (void)moving; }
};

} // namespace vorl
