#include "app/main_form.h"

#include "app/main_form_text.h"

#include "app/about_form.h"
#include "app/application.h"
#include "app/command_line.h"
#include "app/file_locations.h"
#include "app/help_window.h"
#include "history/history_settings.h"
#include "machines/config_file.h"
#include "machines/legacy_import.h"
#include "machines/machine_table.h"
#include "machines/ui/cfg_form.h"
#include "machines/ui/dialog_text.h"
#include "machines/ui/mlist_form.h"
#include "platform/replaced_file.h"
#include "serial/ui/qt_delivery.h"
#include "serial/ui/status_light.h"
#include "terminal/term_form.h"
#include "text/language_table.h"
#include "viewers/history_form.h"
#include "viewers/review.h"
#include "viewers/value_field.h"

#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFrame>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLayout>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>
#include <QWidgetAction>

#include <cstdio>
#include <cstdlib>

namespace vorl {

using namespace main_form;

namespace {

constexpr int kClientWidth = 616;
constexpr int kClientHeight = 154;
constexpr int kPanelWidth = 525;
constexpr int kButtonsRightX = 526;
constexpr QPoint kDesignPosition{162, 278};
// Help topics of the two machine dialogs (F1).
constexpr int kConfigurationHelpContext = 250;
constexpr int kMachineListHelpContext = 260;

QString leftTruncated(QString s, qsizetype max) {
    s.truncate(max);
    return s;
}

} // namespace

TMainForm::TMainForm(MainFormEnvironment env, QWidget* parent)
    : QMainWindow(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                              Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                              Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint),
      engine(std::make_unique<TTransferEngine>(machineList, static_cast<TransferView&>(*this),
                                               std::make_shared<QtDelivery>())),
      transfer(engine->transfer), env_(std::move(env)) {
    if (env_.programPath.isEmpty()) {
        const QFileInfo exe(QCoreApplication::applicationFilePath());
        env_.programPath = exe.absolutePath() + '/' + exe.completeBaseName();
    }
    if (env_.arguments.isEmpty()) {
        env_.arguments = QCoreApplication::arguments();
    }
    if (!env_.terminate) {
        env_.terminate = [](int code) {
            std::fflush(nullptr);
            std::_Exit(code);
        };
    }
    setObjectName("MainForm");
    setWindowTitle("VORL II");
    setProperty("helpContext", 10);
    QCoreApplication::instance()->installEventFilter(
        new THelpKey([this] { return helpFile; }, this));

    createControls();
    createMenus();
    layout()->setSizeConstraint(QLayout::SetFixedSize);

    Timer1 = engine->Timer1;
    Timer2 = engine->Timer2;
    Timer3 = engine->Timer3;
    lightControl.SetComPort(&engine->ComPort1);

    move(kDesignPosition);
}

TMainForm::~TMainForm() {
    // The lamps leave the port while it is certainly still there. The engine
    // closes the port and may still report while it does.
    try {
        lightControl.SetComPort(nullptr);
    } catch (...) {
        // Nothing to report to at this point; the port has its handlers back.
    }
    engine.reset();
}

void TMainForm::createControls() {
    client_ = new QWidget(this);
    client_->setObjectName("client");
    client_->setFixedSize(kClientWidth, kClientHeight);
    client_->installEventFilter(this);
    setCentralWidget(client_);

    panInfo = new QFrame(client_);
    panInfo->setObjectName("panInfo");
    panInfo->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    panInfo->setGeometry(0, 0, kPanelWidth, kClientHeight);
    panInfo->installEventFilter(this);

    auto caption = [this](const char* name, TextId id, QRect geometry) {
        auto* label = new QLabel(qs(BuiltinText(id)), panInfo);
        label->setObjectName(name);
        label->setGeometry(geometry);
        captions_.emplace_back(label, id);
        return label;
    };
    auto value = [this](const char* name, QLabel* captionLabel, QRect geometry, bool bold,
                        bool panel) {
        auto* label = new QLabel(panInfo);
        label->setObjectName(name);
        label->setGeometry(geometry);
        valueFields_.emplace_back(label, captionLabel);
        if (bold) {
            QFont f = label->font();
            f.setBold(true);
            label->setFont(f);
        }
        if (panel) {
            label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
            label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        }
        return label;
    };

    const int rows[] = {6, 24, 42, 60};
    QLabel* c = caption("lblOperationCaption", TextId::OperationCaption, {8, rows[0], 82, 17});
    lblOperation = value("lblOperation", c, {92, rows[0], 425, 17}, false, false);
    c = caption("lblMachineCaption", TextId::MachineCaption, {8, rows[1], 82, 17});
    lblMachine = value("lblMachine", c, {92, rows[1], 425, 17}, true, false);
    c = caption("lblFilenameCaption", TextId::FilenameCaption, {8, rows[2], 82, 17});
    lblFilename = value("lblFilename", c, {92, rows[2], 425, 17}, true, false);
    c = caption("lblStatusCaption", TextId::StatusCaption, {8, rows[3], 82, 17});
    lblStatus = value("lblStatus", c, {92, rows[3], 425, 17}, false, false);

    auto* rule = new QFrame(panInfo);
    rule->setFrameStyle(QFrame::HLine | QFrame::Sunken);
    rule->setGeometry(4, 79, kPanelWidth - 8, 2);

    c = caption("lblCharsTotalCaption", TextId::CharactersCaption, {8, 85, 74, 18});
    panCharsTotal = value("panCharsTotal", c, {84, 84, 64, 20}, false, true);
    c = caption("lblCharsTransferredCaption", TextId::TransferredCaption, {8, 107, 74, 18});
    panCharsTransferred = value("panCharsTransferred", c, {84, 106, 64, 20}, false, true);
    c = caption("lblElapsedTimeCaption", TextId::TimeElapsedCaption, {156, 85, 104, 18});
    panElapsedTime = value("panElapsedTime", c, {262, 84, 60, 20}, false, true);
    c = caption("lblRemainingTimeCaption", TextId::TimeRemainingCaption, {156, 107, 104, 18});
    panRemainingTime = value("panRemainingTime", c, {262, 106, 60, 20}, false, true);
    c = caption("lblCPSCaption", TextId::CharactersPerSecondCaption, {330, 85, 128, 18});
    panCPS = value("panCPS", c, {460, 84, 58, 20}, false, true);

    auto light = [this, &caption](const char* lampName, const char* labelName, TextId id, int x) {
        auto* lamp = new TStatusLight(qs(BuiltinText(id)), panInfo);
        lamp->setObjectName(lampName);
        lamp->setGeometry(x, 112, 13, 8);
        namedBy_.emplace_back(lamp, caption(labelName, id, {x + 15, 107, 30, 18}));
        return lamp;
    };
    lightDSR = light("lightDSR", "lblDSR", TextId::DsrLight, 334);
    lightRXD = light("lightRXD", "lblRX", TextId::RxLight, 396);
    lightTXD = light("lightTXD", "lblTX", TextId::TxLight, 458);
    lightControl.Lights.DSRLight = lightDSR;
    lightControl.Lights.RXDLight = lightRXD;
    lightControl.Lights.TXDLight = lightTXD;

    nameFromCaptions();

    progress = new QProgressBar(panInfo);
    progress->setObjectName("progress");
    progress->setRange(0, 100);
    progress->setValue(0);
    progress->setTextVisible(false);
    progress->setAccessibleName(tr("Progress"));
    progress->setGeometry(4, 132, kPanelWidth - 8, 18);

    auto button = [this](const char* name, TextId id, int y) {
        auto* b = new QPushButton(qs(BuiltinText(id)), client_);
        b->setObjectName(name);
        b->setGeometry(kButtonsRightX, y, 90, 28);
        captions_.emplace_back(b, id);
        return b;
    };
    cmdGo = button("cmdGo", TextId::Connect, 10);
    cmdGo->setEnabled(false);
    cmdReset = button("cmdReset", TextId::Reset, 63);
    // Reset ends a connect that is still waiting for a network server.
    cmdReset->setProperty(kCancelsOpen, true);
    cmdStop = button("cmdStop", TextId::Stop, 116);
    connect(cmdGo, &QPushButton::clicked, this, &TMainForm::cmdGoClick);
    connect(cmdReset, &QPushButton::clicked, this, &TMainForm::cmdResetClick);
    connect(cmdStop, &QPushButton::clicked, this, &TMainForm::cmdStopClick);
}

void TMainForm::createMenus() {
    QMenuBar* bar = menuBar();
    auto menu = [this](QWidget* parent, const char* name, TextId id, int helpContext) {
        auto* m = new QMenu(qs(BuiltinText(id)), parent);
        m->setObjectName(name);
        m->menuAction()->setObjectName(name);
        if (helpContext != 0) {
            m->setProperty("helpContext", helpContext);
        }
        captions_.emplace_back(m->menuAction(), id);
        return m;
    };
    auto item = [this](QMenu* parent, const char* name, TextId id) {
        QAction* a = parent->addAction(qs(BuiltinText(id)));
        a->setObjectName(name);
        captions_.emplace_back(a, id);
        return a;
    };

    mnuFile = menu(bar, "mnuFile", TextId::FileMenu, 210);
    bar->addMenu(mnuFile);
    mnuFileReview = item(mnuFile, "mnuFileReview", TextId::ReviewRestartItem);
    mnuFileReview->setEnabled(false);
    mnuFileExit = item(mnuFile, "mnuFileExit", TextId::ExitItem);

    mnuComm = menu(bar, "mnuComm", TextId::CommunicateMenu, 220);
    bar->addMenu(mnuComm);
    mnuCommDownload = menu(mnuComm, "mnuCommDownload", TextId::DownloadMenu, 0);
    mnuComm->addMenu(mnuCommDownload);
    mnuCommDownload->menuAction()->setEnabled(false);
    mnuCommUpload = menu(mnuComm, "mnuCommUpload", TextId::UploadMenu, 0);
    mnuComm->addMenu(mnuCommUpload);
    mnuCommUpload->menuAction()->setEnabled(false);
    mnuCommTerminal = item(mnuComm, "mnuCommTerminal", TextId::TerminalItem);

    mnuConfig = menu(bar, "mnuConfig", TextId::ConfigureMenu, 230);
    bar->addMenu(mnuConfig);
    mnuConfigEdit = menu(mnuConfig, "mnuConfigEdit", TextId::EditMachineMenu, 0);
    mnuConfig->addMenu(mnuConfigEdit);
    mnuConfigEdit->menuAction()->setEnabled(false);
    mnuConfigMachineList = item(mnuConfig, "mnuConfigMachineList", TextId::MachineListItem);

    mnuHelp = menu(bar, "mnuHelp", TextId::HelpMenu, 240);
    bar->addMenu(mnuHelp);
    mnuHelpContents = item(mnuHelp, "mnuHelpContents", TextId::HelpContentsItem);
    mnuHelpAbout = item(mnuHelp, "mnuHelpAbout", TextId::AboutItem);

    connect(mnuFile, &QMenu::aboutToShow, this, &TMainForm::mnuFileClick);
    connect(mnuFileReview, &QAction::triggered, this, &TMainForm::mnuFileReviewClick);
    mnuFileHistory = new QAction(QStringLiteral("&History..."), mnuFile);
    mnuFileHistory->setObjectName("mnuFileHistory");
    mnuFile->insertAction(mnuFileExit, mnuFileHistory);
    connect(mnuFileHistory, &QAction::triggered, this, &TMainForm::mnuFileHistoryClick);
    connect(mnuFileExit, &QAction::triggered, this, &TMainForm::mnuFileExitClick);
    connect(mnuCommTerminal, &QAction::triggered, this, &TMainForm::mnuCommTerminalClick);
    connect(mnuConfigMachineList, &QAction::triggered, this, &TMainForm::mnuConfigMachineListClick);
    connect(mnuHelpContents, &QAction::triggered, this, &TMainForm::mnuHelpContentsClick);
    connect(mnuHelpAbout, &QAction::triggered, this, &TMainForm::mnuHelpAboutClick);
}

void TMainForm::applyLanguage() {
    const LanguageTable& table = Language();
    for (const auto& [object, id] : captions_) {
        if (!table.HasText(id)) {
            continue;
        }
        const QString text = qs(table.GetText(id));
        if (auto* action = qobject_cast<QAction*>(object)) {
            action->setText(text);
        } else if (auto* label = qobject_cast<QLabel*>(object)) {
            label->setText(text);
        } else if (auto* b = qobject_cast<QPushButton*>(object)) {
            b->setText(text);
        }
    }
    nameFromCaptions();
}

void TMainForm::nameFromCaptions() {
    for (const auto& [widget, captionLabel] : namedBy_) {
        widget->setAccessibleName(captionDescription(captionLabel->text()));
    }
    for (const auto& [value, captionLabel] : valueFields_) {
        bindValueField(value, captionLabel);
    }
}

void TMainForm::setStatus(const QString& text) {
    showValue(lblStatus, text);
}

// --- start-up --------------------------------------------------------------

void TMainForm::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (!startedUp_) {
        startedUp_ = true;
        FormShow();
    }
}

void TMainForm::FormShow() {
    const FileLocations files =
        LocateFiles(env_.programPath,
                    env_.userDirectory.isEmpty() ? UserConfigDirectory() : env_.userDirectory);
    // 1. Language file and captions.
    languageLoaded = Language().LoadLanguageFile(fileName(files.languageFile)) == "OK";
    if (languageLoaded) {
        applyLanguage();
    }
    // 2.
    windowStateBits = 0;
    transfer.startBlock = 0;
    transfer.senderActive = false;
    mnuCommUpload->menuAction()->setEnabled(false);
    mnuCommDownload->menuAction()->setEnabled(false);
    // 3.
    readWindowValues();
    // 4.
    parseCommandLine();
    // 5., 6.
    const MachineFiles machineFiles = UseMachineFiles(files, commandLineConfig);
    configPath = machineFiles.configPath;
    legacyConfigPath = machineFiles.legacyConfigPath;
    translationPath = machineFiles.translationPath;
    if (commandLineConfig.isEmpty()) {
        // The user's directory is made on the first start of an installed program.
        QDir().mkpath(QFileInfo(configPath).absolutePath());
    }
    engine->translationFile = fileName(translationPath);
    openHistory();
    helpFile = files.helpFile;
    // 7. The key table is fixed at compile time.
    mnuConfigEdit->menuAction()->setEnabled(false);
    // 8.
    loadMachines();
    // 9.
    if (!commandLineFile.isEmpty()) {
        if (QFileInfo(commandLineFile).isFile()) {
            engine->SetFileName(fileName(commandLineFile));
        } else {
            setStatus(qs(Text(TextId::FileNotFound)) + commandLineFile);
            commandLineFile.clear();
        }
    }
    // 10.
    chooseCommandLineMachine();
    // 11.
    transfer.tempFileName.clear();
    protocolHandshakeWait = 182;
    engine->Protocol1.SetHandshakeWait(static_cast<uint32_t>(protocolHandshakeWait));
    // 12.
    comPortLogFileName = leftTruncated(files.logDirectory + "/vorl.log", 255);
    comPortTraceFileName = leftTruncated(files.logDirectory + "/vorl.trc", 255);
    engine->ComPort1.SetLogName(fileName(comPortLogFileName));
    engine->ComPort1.SetTraceName(fileName(comPortTraceFileName));
    // A program a killed run received and did not save was kept: say where.
    if (const std::string kept = recoveredMessage(engine->leftovers()); !kept.empty()) {
        setStatus(fromFileName(kept));
    }
}

void TMainForm::readWindowValues() {
    if (!env_.settingsFile.isEmpty()) {
        settings_ = std::make_unique<QSettings>(env_.settingsFile, QSettings::IniFormat);
    } else {
#ifdef Q_OS_WIN
        settings_ = std::make_unique<QSettings>("HKEY_CURRENT_USER\\Software\\VORL",
                                                QSettings::NativeFormat);
#else
        settings_ = std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                                "VORL", "VORL");
#endif
    }
    // The first value that is missing or unreadable ends the step; the rest
    // keep their design-time values.
    auto read = [this](const char* key, int& out) {
        if (settings_->status() != QSettings::NoError) {
            return false;
        }
        const QVariant v = settings_->value(key);
        bool ok = false;
        const int n = v.toInt(&ok);
        if (!v.isValid() || !ok) {
            return false;
        }
        out = n;
        return true;
    };
    int left = 0;
    int top = 0;
    int state = 0;
    if (!read("Left", left)) {
        return;
    }
    move(left, y());
    if (!read("Top", top)) {
        return;
    }
    move(x(), top);
    // A position saved on a screen that is no longer there (another monitor,
    // another resolution) would open the window where nobody can see it.
    if (QGuiApplication::screenAt(QPoint(left + 40, top + 10)) == nullptr) {
        move(kDesignPosition);
    }
    if (!read("State", state)) {
        return;
    }
    windowStateBits = static_cast<uint32_t>(state);
    if (windowStateBits & 1u) {
        ToggleLayout();
    }
    if (windowStateBits & 2u) {
        setWindowState(windowState() | Qt::WindowMinimized);
    }
}

void TMainForm::parseCommandLine() {
    std::vector<std::string> args;
    for (const QString& a : env_.arguments) {
        args.push_back(fileName(a));
    }
    const CommandLine line = ParseCommandLine(args);
    for (const std::string& show : line.shows) {
        showMessage(this, QMessageBox::NoIcon, fromFileName(show), "CommandLineBox");
    }
    commandLineFile = fromFileName(line.file);
    commandLineMachine = fromFileName(line.machine);
    commandLineConfig = fromFileName(line.config);
}

// --- layout and window state -----------------------------------------------

bool TMainForm::buttonsOnLeft() const {
    return panInfo->x() != 0;
}

void TMainForm::ToggleLayout() {
    if (buttonsOnLeft()) {
        panInfo->move(0, 0);
        for (QPushButton* b : {cmdGo, cmdReset, cmdStop}) {
            b->move(kButtonsRightX, b->y());
        }
        windowStateBits &= ~1u;
    } else {
        panInfo->move(kClientWidth - kPanelWidth, 0);
        for (QPushButton* b : {cmdGo, cmdReset, cmdStop}) {
            b->move(0, b->y());
        }
        windowStateBits |= 1u;
    }
}

bool TMainForm::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseButtonDblClick) {
        if (watched == panInfo) {
            return true; // the panel is not the window's free area
        }
        if (watched == client_) {
            ToggleLayout();
            return true;
        }
    } else if (event->type() == QEvent::Paint && watched == client_ && !isMinimized()) {
        windowStateBits &= ~2u;
    }
    return QMainWindow::eventFilter(watched, event);
}

void TMainForm::changeEvent(QEvent* event) {
    // Minimizing sets bit 1; a repaint clears it, and restoring the window
    // repaints it.
    if (event->type() == QEvent::WindowStateChange) {
        if (isMinimized()) {
            windowStateBits |= 2u;
        } else {
            windowStateBits &= ~2u;
        }
    }
    QMainWindow::changeEvent(event);
}

// The history's failure is shown once (until a record succeeds again); the
// transfers go on as without it.
void TMainForm::openHistory() {
    std::string why;
    engine->history = history::OpenHistory(fileName(configPath), why);
    if (!why.empty()) {
        setStatus(qs("Nothing is recorded in the history: " + why));
    }
    if (engine->history) {
        engine->history->onFailure = [this](const std::string& text) {
            QMetaObject::invokeMethod(
                this, [this, text] { ShowMessage(text); }, Qt::QueuedConnection);
        };
    }
}

// --- close -----------------------------------------------------------------

int TMainForm::CloseSequence() {
    if (!transfer.tempFileName.empty()) {
        QFile::remove(fromFileName(transfer.tempFileName));
    }
    Timer1->stop();
    Timer2->stop();
    Timer3->stop();
    transfer.waitingForTrigger = false;
    transfer.delayPending = false;
    // The last transfer's record goes into the history before the process
    // ends; a history that hangs is given up.
    if (engine->history) {
        engine->history->WaitIdle(std::chrono::seconds(10));
    }
    if (!settings_) {
        readWindowValues(); // closed before the start-up ran: open the key now
    }
    settings_->setValue("Left", x());
    settings_->setValue("Top", y());
    settings_->setValue("State", static_cast<int>(windowStateBits));
    settings_->sync();
    const bool written = settings_->status() == QSettings::NoError;
    settings_.reset();
    return written ? 0 : 4;
}

void TMainForm::closeEvent(QCloseEvent* event) {
    const int code = CloseSequence();
    event->accept();
    env_.terminate(code);
}

// --- menu handlers ---------------------------------------------------------

void TMainForm::mnuFileClick() {
    if (lblFilename->text().isEmpty()) {
        mnuFileReview->setEnabled(false);
    }
}

void TMainForm::mnuFileReviewClick() {
    // "Build Prefix" reads the program as the chosen machine's control does.
    const int machine = machineList.selected;
    const RestartOptions restart =
        machine > 0 && machine < MachineList::kSlots
            ? ReadMachineRestart(RestartFilePath(fileName(configPath)), machineList[machine].name)
            : RestartOptions{};
    const ReviewFields fields{fileName(lblFilename->text()), transfer.startBlock,
                              transfer.prefixText, transfer.refilterNeeded, restart};
    showValue(lblOperation, qs(vorl::mnuFileReviewClick(this, fields, languageLoaded)));
}

// The history of the program shown, or of one the operator picks.
void TMainForm::mnuFileHistoryClick() {
    if (!engine->history) {
        ShowMessage("Nothing is recorded: the history is switched off in " +
                    history::HistorySettingsPath(fileName(configPath)));
        return;
    }
    std::string program = transfer.fileName;
    if (program.empty()) {
        QFileDialog dialog(this, QString(), QString(), QString());
        dialog.setObjectName("OpenDialog");
        dialog.setFileMode(QFileDialog::ExistingFile);
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
            return;
        }
        program = fileName(dialog.selectedFiles().front());
    }
    THistoryForm form(engine->history, program, this);
    form.exec();
}

void TMainForm::mnuFileExitClick() {
    close();
}

void TMainForm::mnuCommDownloadClick(int tag) {
    engine->mnuCommDownloadClick(tag);
}

void TMainForm::mnuCommUploadClick(int tag) {
    engine->mnuCommUploadClick(tag);
}

void TMainForm::mnuCommTerminalClick() {
    const QString connectCaption = qs(Text(TextId::Connect));
    // The terminal selects its own entry of the table for the port set-up; a
    // machine chosen for a download or upload must still be the one that
    // Connect opens afterwards.
    const int chosenMachine = machineList.selected;
    showTerminal(
        this, TerminalHost{engine->ComPort1, machineList, [this] { return engine->SetUpPort(); },
                           [this] { return WriteConfiguration(fileName(configPath), machineList); },
                           [this](bool on) { SetLightMonitoring(on); },
                           [this](const std::string& text) { ShowStatus(text); }, languageLoaded});
    machineList.selected = chosenMachine;
    // The terminal used the port: a connection made before is gone.
    if (cmdGo->text() != connectCaption) {
        cmdResetClick();
    }
}

void TMainForm::mnuConfigEditClick(int tag) {
    const int prepared = machineList.selected;
    machineList.selected = tag;
    TCfgFrm dialog(machineList, this);
    dialog.setWindowTitle(shownText(machineList[tag].name));
    dialog.setProperty("helpContext", kConfigurationHelpContext);
    // The restart settings lie beside the machine file, which keeps its format.
    const std::string restartFile = RestartFilePath(fileName(configPath));
    const std::string name = machineList[tag].name;
    RestartOptions restart = ReadMachineRestart(restartFile, name);
    dialog.setRestartSettings(&restart);
    if (dialog.exec() == QDialog::Accepted) {
        if (!WriteMachineRestart(restartFile, name, restart)) {
            QMessageBox::warning(
                this, QString(),
                QStringLiteral("The restart settings could not be written to %1.")
                    .arg(QFile::decodeName(QByteArray::fromStdString(restartFile))));
        }
        ReloadMachineTable();
    }
    // A download or upload prepared for another machine stays with the
    // machine the window shows: Connect must not open the edited machine's
    // port for it.
    if (transfer.operation != TransferState::None && prepared != 0) {
        machineList.selected = prepared;
    }
}

void TMainForm::mnuConfigMachineListClick() {
    TMListForm dialog(
        machineList, [this] { ReloadMachineTable(); }, this);
    dialog.setProperty("helpContext", kMachineListHelpContext);
    dialog.exec();
    // A download or upload prepared for a machine that is no longer in the
    // list must not go out on another machine's settings.
    if (transfer.operation != TransferState::None && machineList.selected == 0) {
        cmdResetClick();
    }
}

void TMainForm::mnuHelpContentsClick() {
    ShowHelpContents(helpFile, this);
}

void TMainForm::mnuHelpAboutClick() {
    TAboutForm about(languageLoaded, this);
    about.exec();
}

// --- transfer engine -------------------------------------------------------

void TMainForm::cmdGoClick() {
    engine->cmdGoClick();
}

void TMainForm::cmdResetClick() {
    engine->cmdResetClick();
}

void TMainForm::cmdStopClick() {
    engine->cmdStopClick();
}

void TMainForm::ShowStatus(const std::string& text) {
    setStatus(qs(text));
}

void TMainForm::ShowOperation(const std::string& text) {
    showValue(lblOperation, qs(text));
}

void TMainForm::ShowMachine(const std::string& text) {
    showValue(lblMachine, shownText(text));
}

void TMainForm::ShowFileName(const std::string& text) {
    showValue(lblFilename, QDir::toNativeSeparators(fromFileName(text)));
}

void TMainForm::ShowPanel(Panel panel, const std::string& text) {
    QLabel* label = nullptr;
    switch (panel) {
    case Panel::CharsTotal:
        label = panCharsTotal;
        break;
    case Panel::CharsTransferred:
        label = panCharsTransferred;
        break;
    case Panel::ElapsedTime:
        label = panElapsedTime;
        break;
    case Panel::RemainingTime:
        label = panRemainingTime;
        break;
    case Panel::CPS:
        label = panCPS;
        break;
    }
    showValue(label, qs(text));
}

void TMainForm::ShowProgress(int percent) {
    progress->setValue(percent);
}

void TMainForm::ShowGoButton(const std::string& caption, bool enabled) {
    cmdGo->setText(qs(caption));
    cmdGo->setEnabled(enabled);
}

void TMainForm::EnableReview(bool enabled) {
    mnuFileReview->setEnabled(enabled);
}

void TMainForm::SetLightMonitoring(bool on) {
    lightControl.SetMonitoring(on);
}

void TMainForm::PutLightsOut() {
    for (TStatusLight* lamp : {lightDSR, lightRXD, lightTXD}) {
        lamp->SetLit(false);
    }
}

void TMainForm::ShowMessage(const std::string& text) {
    showMessage(this, QMessageBox::NoIcon, qs(text), "MessageBox");
}

void TMainForm::ShowError(const std::string& text) {
    TApplication::ShowException(qs(text));
}

namespace {

QString fileFilter(const FileQuestion& q) {
    return QString("%1 (*%2);;%3 (*)").arg(qs(q.programs), qs(q.extension), qs(q.allFiles));
}

// The save question: a file a received program may not replace (a read-only
// program, a pipe or device, a folder closed to us) is refused with the
// reason before the dialog would ask about replacing it, and the dialog stays
// open for another name.
class SaveDialog : public QFileDialog {
public:
    using QFileDialog::QFileDialog;

    void accept() override {
        const QStringList files = selectedFiles();
        if (files.size() == 1 && !QFileInfo(files.first()).isDir()) {
            if (const std::string why = RefuseReplacing(fileName(files.first())); !why.empty()) {
                showMessage(this, QMessageBox::Warning, fromFileName(why), "RefusedTargetBox");
                return;
            }
        }
        QFileDialog::accept();
    }
};

} // namespace

std::optional<std::string> TMainForm::AskOpenFile(const FileQuestion& q) {
    QFileDialog dialog(this, QString(), fromFileName(q.directory), fileFilter(q));
    dialog.setObjectName("OpenDialog");
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return std::nullopt;
    }
    return fileName(dialog.selectedFiles().first());
}

std::optional<std::string> TMainForm::AskSaveFile(const FileQuestion& q) {
    SaveDialog dialog(this, QString(), fromFileName(q.directory), fileFilter(q));
    dialog.setObjectName("SaveDialog");
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    // Added before the dialog asks about overwriting, so it asks about the
    // file that will be written.
    QString suffix = qs(q.extension);
    if (suffix.startsWith('.')) {
        suffix.remove(0, 1);
    }
    dialog.setDefaultSuffix(suffix);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return std::nullopt;
    }
    return fileName(dialog.selectedFiles().first());
}

bool TMainForm::HasCommandLineFile() {
    return !commandLineFile.isEmpty();
}

void TMainForm::ForgetCommandLineFile() {
    commandLineFile.clear();
}

} // namespace vorl
