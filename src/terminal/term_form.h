// TTermForm, the terminal window: the operator talks to a machine tool's
// controller by hand over the main window's port. Typed characters are sent
// at once; what comes back and (with Echo) what was typed are appended to one
// text area, each run of one direction on a new line after its prefix, the
// received text bold and control characters in the chosen visible form.
// Everything shown can be recorded in a log file, offered in the log viewer
// when the window closes and deleted afterwards.
//
// A line feed that passes (either way) also ends the line in the text area,
// and so does a carriage return that no line feed follows, so a program sent
// by the controller reads one block a line (with its ^M^J or ^M still shown);
// the log keeps the run as one line.
//
// The port settings live in the terminal entry (capability 'T') of the
// machine table; opening the port writes them there and saves the
// configuration file. The window reaches the port, the table and the main
// window only through TerminalHost, so it needs nothing of the transfer
// engine but its port set-up.
#pragma once

#include "machines/machine_config.h"
#include "serial/com_port.h"
#include "terminal/term_display.h"

#include <QDialog>
#include <QFile>
#include <QTextCharFormat>

#include <functional>
#include <string>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;

namespace vorl {

// What the terminal window uses of the main window.
struct TerminalHost {
    TComPort& ComPort1;
    MachineList& machineList;
    // Configures ComPort1 from machineList's selected slot and opens it; shows
    // "Port open" or the reason of a failure in the main window's status line.
    // True when the port is open.
    std::function<bool()> SetUpPort;
    // Writes the configuration file from machineList; returns the sections
    // written, or -1 when the file could not be written.
    std::function<int()> WriteConfiguration;
    // The status lights' monitoring switch (may be empty).
    std::function<void(bool)> SetMonitoring;
    // The main window's status line (may be empty).
    std::function<void(const std::string&)> ShowStatus;
    bool languageLoaded = false;
};

class TTermForm : public QDialog {
    Q_OBJECT
public:
    static constexpr int kDesignWidth = 600;
    static constexpr int kDesignHeight = 335;

    explicit TTermForm(TerminalHost host, QWidget* parent = nullptr);
    ~TTermForm() override;

    // The machine table slot of the terminal settings, -1 while there is none.
    int terminalSlot() const { return terminalSlot_; }
    // The log file of this window; empty until a port opening was logged.
    const std::string& logFilePath() const { return logPath_; }
    DisplayMode displayMode() const { return displayMode_; }

    // Close query: closes the port, offers the log in the log viewer, then
    // deletes the log file. Reached by "Close", Escape and the window's close.
    void done(int result) override;

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    enum class Direction { None, Received, Sent, Reopened };

    void FormShow();
    void FormCloseQuery();
    void cmdOpenClick();
    void cmdClosePortClick();
    void cmdClearClick();
    void OptionClick();
    // Key press in the text area; true when the key was taken.
    bool txtTermKeyPress(int key, const QString& text);
    void ComPort1TriggerAvail(uint16_t count);

    void applyLanguage();
    void selectFromSlot(const MachineConfig& slot);
    void storeIntoSlot(MachineConfig& slot) const;
    void readDisplayMode();
    void setPortControls(bool open);
    void directionChange(Direction d);
    void append(const std::string& text);
    // Characters on the text area's last line.
    size_t shownLineLength() const;
    void log(const std::string& bytes);
    bool openLog();
    void writeOpenBanner(const MachineConfig& slot);
    // Close Port without touching the window: for the destructor too.
    void releasePort();
    void status(const std::string& text);

    TerminalHost host_;
    int terminalSlot_ = -1;
    DisplayMode displayMode_ = DisplayMode::Standard;
    Direction direction_ = Direction::None;
    std::string inputPrefix_;
    std::string outputPrefix_;
    bool logging_ = false;
    std::string logPath_;
    QFile logStream_;
    bool portOurs_ = false; // our handler is installed on ComPort1
    TComPort::TTriggerAvailEvent previousAvail_;
    bool shown_ = false;
    bool closing_ = false;
    // The text area's last line ends with a carriage return whose line ends
    // unless a line feed follows.
    bool crPending_ = false;
    // Echo changed or the text was cleared: the next character starts its run
    // anew in the text area, on a new line after its prefix.
    bool runShownAnew_ = false;
    QTextCharFormat typing_;

    QPlainTextEdit* txtTerm;
    QPushButton* cmdOpen;
    QPushButton* cmdClosePort;
    QCheckBox* cboxCRLF;
    QGroupBox* grpDisplay;
    QRadioButton* optStd;
    QRadioButton* optExpand;
    QRadioButton* optNone;
    QCheckBox* cboxEcho;
    QCheckBox* cboxLog;
    QPushButton* cmdClear;
    QPushButton* cmdClose;
    QGroupBox* grpPort;
    QGroupBox* grpDataBits;
    QGroupBox* grpParity;
    QGroupBox* grpSpeed;
    QGroupBox* grpStopBits;
    QGroupBox* grpHandshake;
    QComboBox* cboxPort;
    QComboBox* cboxDataBits;
    QComboBox* cboxParity;
    QComboBox* cboxSpeed;
    QComboBox* cboxStopBits;
    QComboBox* cboxHandshake;
};

// mnuCommTerminalClick's window: creates the terminal window, shows it
// modally and releases it.
void showTerminal(QWidget* parent, TerminalHost host);

} // namespace vorl
