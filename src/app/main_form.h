// The main window: the only window that lives for the whole run. It owns the
// machine table, the transfer state, the three timers and the status lights,
// runs the start-up sequence when it is first shown and the close sequence
// when it closes (which ends the process), and opens every other window
// modally from its menus.
//
// Start-up, in order: language file and captions; reset of the transfer
// state; window position from the settings; command line; configuration
// paths; configuration file (else the legacy file, else the default file) and
// the machine submenus; the command-line file and machine; the port
// component's log names.
//
// The transfer itself is the DNC transfer engine's (`engine`): it owns the
// port, the protocol, the transfer fields (`transfer`) and the three timers,
// and shows what it does through this window, which forwards the buttons and
// the Download and Upload items to it. The controls and menu items are public
// members named as the operator-visible parts are. A new window is opened
// from a menu handler modally and destroyed after.
#pragma once

#include "machines/machine_config.h"
#include "serial/status_lights.h"
#include "text/text_ids.h"
#include "transfer/transfer_engine.h"
#include "transfer/transfer_view.h"

#include <QMainWindow>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QAction;
class QFrame;
class QLabel;
class QMenu;
class QProgressBar;
class QPushButton;
class QSettings;
class QTimer;

namespace vorl {

class TStatusLight;
struct MachineMenuEntry;

// What the main window takes from its surroundings. The defaults are the real
// ones; tests give their own.
struct MainFormEnvironment {
    // The program's path without extension: the base of the .vorlcfg, .cfg,
    // .lan and .hlp files. Empty: the running executable's.
    QString programPath;
    // The user's configuration directory, used when the files do not stay
    // beside the program (app/file_locations.h). Empty: $XDG_CONFIG_HOME/vorl.
    QString userDirectory;
    // The command line with the program name first. Empty: the process's.
    QStringList arguments;
    // An INI file for the window values. Empty: the user's settings of the
    // organisation "VORL".
    QString settingsFile;
    // Ends the process with the given exit code. Empty: at once, as the close
    // sequence and the fatal legacy-file error require.
    std::function<void(int)> terminate;
};

class TMainForm : public QMainWindow, private TransferView {
    Q_OBJECT

public:
    explicit TMainForm(MainFormEnvironment env = {}, QWidget* parent = nullptr);
    ~TMainForm() override;

    // --- state ---------------------------------------------------------
    MachineList machineList;
    // Runs the transfers on `machineList`'s selected machine; shows them here.
    std::unique_ptr<TTransferEngine> engine;
    TransferState& transfer; // the engine's
    // Drives lightDSR, lightRXD and lightTXD from the engine's ComPort1; the
    // transfer switches its monitoring on and off.
    TSLController lightControl;
    QString configPath;
    QString translationPath; // configPath with the extension ".xlt"
    QString legacyConfigPath;
    QString helpFile;
    QString commandLineFile;
    QString commandLineMachine;
    QString commandLineConfig;
    uint32_t windowStateBits = 0; // bit 0: buttons on the left; bit 1: minimized
    bool languageLoaded = false;
    // Given to the serial port component at start-up.
    QString comPortLogFileName;
    QString comPortTraceFileName;
    int protocolHandshakeWait = 1092; // clock ticks of 55 ms

    // --- controls --------------------------------------------------------
    QFrame* panInfo = nullptr;
    QLabel* lblOperation = nullptr;
    QLabel* lblMachine = nullptr;
    QLabel* lblFilename = nullptr;
    QLabel* lblStatus = nullptr;
    QLabel* panCharsTotal = nullptr;
    QLabel* panCharsTransferred = nullptr;
    QLabel* panElapsedTime = nullptr;
    QLabel* panRemainingTime = nullptr;
    QLabel* panCPS = nullptr;
    TStatusLight* lightDSR = nullptr;
    TStatusLight* lightRXD = nullptr;
    TStatusLight* lightTXD = nullptr;
    QProgressBar* progress = nullptr;
    QPushButton* cmdGo = nullptr;
    QPushButton* cmdReset = nullptr;
    QPushButton* cmdStop = nullptr;

    QMenu* mnuFile = nullptr;
    QAction* mnuFileReview = nullptr;
    QAction* mnuFileHistory = nullptr;
    QAction* mnuFileExit = nullptr;
    QMenu* mnuComm = nullptr;
    QMenu* mnuCommDownload = nullptr;
    QMenu* mnuCommUpload = nullptr;
    QAction* mnuCommTerminal = nullptr;
    QMenu* mnuConfig = nullptr;
    QMenu* mnuConfigEdit = nullptr;
    QAction* mnuConfigMachineList = nullptr;
    QMenu* mnuHelp = nullptr;
    QAction* mnuHelpContents = nullptr;
    QAction* mnuHelpAbout = nullptr;

    QTimer* Timer1 = nullptr; // the engine's: block delay
    QTimer* Timer2 = nullptr; // the engine's: 250 ms, the sender's XOFF status
    QTimer* Timer3 = nullptr; // the engine's: 1000 ms, progress display

    // --- machine table ---------------------------------------------------
    // Rebuilds "&Edit Machine"; returns the number of items.
    int BuildEditMachineMenu();
    // Rebuilds "&Download" and "&Upload": 0 none, 1 download items only,
    // 2 upload items only, 3 both.
    int BuildMachineMenus();
    // Writes the configuration file from the table, reads it back and
    // rebuilds the submenus. Returns the sections read.
    int ReloadMachineTable();

    // The layout toggle of a double click: information panel left or right.
    void ToggleLayout();
    bool buttonsOnLeft() const;

    // Close steps 1-3; returns the exit code (0, or 4 when the window values
    // could not be written). closeEvent runs it and then ends the process.
    int CloseSequence();

public Q_SLOTS:
    void FormShow(); // the start-up sequence
    void cmdGoClick();
    void cmdResetClick();
    void cmdStopClick();
    void mnuFileClick();
    void mnuFileReviewClick();
    void mnuFileHistoryClick();
    void mnuFileExitClick();
    void mnuCommDownloadClick(int tag);
    void mnuCommUploadClick(int tag);
    void mnuCommTerminalClick();
    void mnuConfigEditClick(int tag);
    void mnuConfigMachineListClick();
    void mnuHelpContentsClick();
    void mnuHelpAboutClick();

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void createControls();
    void createMenus();
    void applyLanguage();
    // For screen readers: lamps are named by their captions; value fields say
    // their value and are described by their captions.
    void nameFromCaptions();
    void readWindowValues();
    void parseCommandLine();
    void loadMachines();
    // The history of the machine file's programs, for the engine to record in.
    void openHistory();
    // Moves a configuration file that yielded no machine out of the way
    // before anything can take its place, and says so. False when it is
    // there but could not be moved.
    bool keepUnreadableConfiguration();
    // A configuration file whose reading ended before its end (stray text, a
    // 51st section) loses the rest at the next save: a copy is kept, and the
    // operator is told.
    void keepCopyOfCutShortConfiguration(int stoppedAtLine);
    void chooseCommandLineMachine();
    void showConfigDamaged();
    void fillMachineMenu(QMenu* menu, const std::vector<MachineMenuEntry>& entries,
                         const QString& prefix, void (TMainForm::*handler)(int));
    void setStatus(const QString& text);

    // What the transfer engine shows and asks.
    void ShowStatus(const std::string& text) override;
    void ShowOperation(const std::string& text) override;
    void ShowMachine(const std::string& text) override;
    void ShowFileName(const std::string& text) override;
    void ShowPanel(Panel panel, const std::string& text) override;
    void ShowProgress(int percent) override;
    void ShowGoButton(const std::string& caption, bool enabled) override;
    void EnableReview(bool enabled) override;
    void SetLightMonitoring(bool on) override;
    void PutLightsOut() override;
    void ShowMessage(const std::string& text) override;
    void ShowError(const std::string& text) override;
    std::optional<std::string> AskOpenFile(const FileQuestion& q) override;
    std::optional<std::string> AskSaveFile(const FileQuestion& q) override;
    bool HasCommandLineFile() override;
    void ForgetCommandLineFile() override;

    MainFormEnvironment env_;
    std::unique_ptr<QSettings> settings_;
    bool startedUp_ = false;
    QWidget* client_ = nullptr;
    // Captions replaced from the language file: widgets and actions by text id.
    std::vector<std::pair<QObject*, TextId>> captions_;
    std::vector<std::pair<QWidget*, QLabel*>> namedBy_;
    std::vector<std::pair<QLabel*, QLabel*>> valueFields_; // value, caption
};

} // namespace vorl
