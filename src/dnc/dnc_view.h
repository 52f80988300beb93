// What the transfer engine shows, on standard error: on a terminal one
// progress line rewritten at most four times a second (percent, characters,
// characters per second, time remaining, status); otherwise a line for each
// change of status. Quiet shows errors only. Messages and errors are always
// shown.
#pragma once

#include "transfer/transfer_view.h"

#include <QObject>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>

class QTimer;

namespace vorl::dnc {

class DncView : public QObject, public TransferView {
    Q_OBJECT

public:
    // Writes to `fd`; `terminal`: rewrite one line in place.
    DncView(int fd, bool terminal, bool quiet);

    // The program to send (the engine takes it as the window takes one named
    // on its command line), or the target to receive into.
    std::string sendFile;
    std::string receiveTarget;

    // Told how the transfer ended and when waits for the machine tool start
    // and end.
    std::function<void(const TransferOutcome&)> onEnded;
    std::function<void(bool)> onWaiting;
    // Told when a protocol transfer starts or moves data (true) and ends.
    std::function<void(bool)> onProtocolMoving;
    // Takes the messages and errors instead of the output (the service logs
    // them).
    std::function<void(const std::string&)> onError;

    const std::string& lastStatus() const { return status_; }
    // The last status without the " (COM<port>)" a failed open of the port
    // ends with: for a message that names the port itself.
    std::string lastStatusFor(int port) const;
    // `text` stands on a line of its own already (statuses printed line by
    // line, not on a terminal's progress line): no need to say it again.
    bool printedAsLine(const std::string& text) const {
        return !terminal_ && !quiet_ && printedStatus_ == text;
    }
    int percent() const { return percent_; }
    // The transfer begins: what the engine showed while it was being chosen
    // (a Reset of the idle engine) was no news to anyone and was not shown.
    void begin() { started_ = true; }
    // "vorl-dnc: `text`" on its own line, quiet or not.
    void error(const std::string& text);
    // Ends the progress line (the last state drawn, then a line break); no
    // progress is shown after it.
    void finish();

    void ShowStatus(const std::string& text) override;
    void ShowOperation(const std::string&) override {}
    void ShowMachine(const std::string&) override {}
    void ShowFileName(const std::string&) override {}
    void ShowPanel(Panel panel, const std::string& text) override;
    void ShowProgress(int percent) override;
    void ShowGoButton(const std::string&, bool) override {}
    void EnableReview(bool) override {}
    void SetLightMonitoring(bool) override {}
    void PutLightsOut() override {}
    void ShowMessage(const std::string& text) override { error(text); }
    void ShowError(const std::string& text) override { error(text); }
    std::optional<std::string> AskOpenFile(const FileQuestion&) override;
    std::optional<std::string> AskSaveFile(const FileQuestion&) override;
    bool HasCommandLineFile() override { return !sendFile.empty(); }
    void ForgetCommandLineFile() override { sendFile.clear(); }
    void TransferEnded(const TransferOutcome& outcome) override;
    void WaitingForMachine(bool waiting) override;
    void ProtocolMoving(bool moving) override {
        if (onProtocolMoving) {
            onProtocolMoving(moving);
        }
    }

    // The progress line as it is drawn (without the terminal's controls).
    std::string progressLine() const;

private:
    void changed();
    void draw();
    void write(const std::string& text);

    int fd_;
    bool terminal_;
    bool quiet_;
    std::string status_;
    std::string printedStatus_;
    int percent_ = 0;
    std::map<Panel, std::string> panels_;
    bool lineShown_ = false;
    bool started_ = false;
    bool closed_ = false; // finished: nothing more is drawn
    std::chrono::steady_clock::time_point lastDraw_{};
    QTimer* redraw_;
};

} // namespace vorl::dnc
