#include "app_fixture.h"

#include "history/history_recorder.h"
#include "platform/device.h"
#include "platform/port_map.h"
#include "platform/simulated_device.h"
#include "serial/ui/status_light.h"
#include "viewers/history_form.h"

#include <QMainWindow>
#include <QMenuBar>
#include <QProcess>
#include <QProgressBar>
#include <QTest>
#include <QTextBrowser>
#include <QTreeWidget>

#include <csignal>
#include <cstdlib>
#include <pty.h>
#include <unistd.h>

namespace vorl {
namespace {

using test::AppTest;
using test::ModalDriver;
using test::readBytes;
using test::writeBytes;

QStringList menuTexts(const QMenu* menu) {
    QStringList out;
    for (const QAction* a : menu->actions()) {
        out << a->text();
    }
    return out;
}

TEST_F(AppTest, FirstRunShowsTheDesignWindowAndWritesTheDefaultFile) {
    ModalDriver driver;
    auto form = start();
    EXPECT_EQ(form->windowTitle(), "VORL II");
    EXPECT_EQ(form->pos(), QPoint(162, 278));
    EXPECT_EQ(form->centralWidget()->size(), QSize(616, 154));
    EXPECT_FALSE(form->isMinimized());
    EXPECT_EQ(form->panInfo->x(), 0) << "panel on the left";
    EXPECT_EQ(form->cmdGo->x(), 526);
    EXPECT_TRUE(driver.boxes.empty());

    EXPECT_EQ(form->cmdGo->text(), "Connect");
    EXPECT_FALSE(form->cmdGo->isEnabled());
    EXPECT_EQ(form->cmdReset->text(), "Reset");
    EXPECT_EQ(form->cmdStop->text(), "Stop");
    EXPECT_EQ(form->cmdGo->size(), QSize(90, 28));
    for (const char* caption :
         {"Operation:", "Machine:", "Filename:", "Status:", "Characters:", "Transferred:",
          "Time Elapsed:", "Time Remaining:", "Characters / Second:", "DSR", "RX", "TX"}) {
        bool found = false;
        for (const QLabel* l : form->findChildren<QLabel*>()) {
            found = found || l->text() == caption;
        }
        EXPECT_TRUE(found) << caption;
    }
    EXPECT_TRUE(form->lblMachine->font().bold());
    EXPECT_TRUE(form->lblFilename->font().bold());
    EXPECT_FALSE(form->lightDSR->Lit());
    EXPECT_EQ(form->progress->maximum(), 100);

    QStringList titles;
    for (const QAction* a : form->menuBar()->actions()) {
        titles << a->text();
    }
    EXPECT_EQ(titles, (QStringList{"&File", "&Communicate", "C&onfigure", "&Help"}));
    EXPECT_EQ(menuTexts(form->mnuFile),
              (QStringList{"&Review / Restart...", "&History...", "E&xit"}));
    EXPECT_EQ(menuTexts(form->mnuComm), (QStringList{"&Download", "&Upload", "&Terminal..."}));
    EXPECT_EQ(menuTexts(form->mnuConfig), (QStringList{"&Edit Machine", "&Machine List..."}));
    EXPECT_EQ(menuTexts(form->mnuHelp), (QStringList{"&Help on VORL...", "&About VORL..."}));
    EXPECT_FALSE(form->mnuFileReview->isEnabled());
    EXPECT_TRUE(form->mnuFileExit->isEnabled());
    // The default file holds only the terminal entry: all three submenus are
    // empty and disabled.
    EXPECT_FALSE(form->mnuCommDownload->menuAction()->isEnabled());
    EXPECT_FALSE(form->mnuCommUpload->menuAction()->isEnabled());
    EXPECT_FALSE(form->mnuConfigEdit->menuAction()->isEnabled());
    EXPECT_TRUE(form->mnuCommDownload->actions().isEmpty());
    EXPECT_TRUE(form->mnuCommTerminal->isEnabled());
    EXPECT_TRUE(form->mnuConfigMachineList->isEnabled());
    EXPECT_EQ(form->mnuComm->property("helpContext").toInt(), 220);

    EXPECT_TRUE(form->Timer1->isActive());
    EXPECT_FALSE(form->Timer2->isActive());
    EXPECT_EQ(form->Timer2->interval(), 250);
    EXPECT_FALSE(form->Timer3->isActive());

    EXPECT_EQ(readBytes(configFile()), std::string(DefaultConfiguration()));
    EXPECT_EQ(form->machineList.count, 1);
    EXPECT_EQ(form->translationPath.toStdString(), program() + ".xlt");
    EXPECT_EQ(form->comPortLogFileName.toStdString(), dir.path().string() + "/vorl.log");
    EXPECT_EQ(form->protocolHandshakeWait, 182);

    EXPECT_EQ(closeForm(*form), 0);
    QSettings s(settingsFile(), QSettings::IniFormat);
    EXPECT_EQ(s.value("Left").toInt(), 162);
    EXPECT_EQ(s.value("Top").toInt(), 278);
    EXPECT_EQ(s.value("State").toInt(), 0);
}

TEST_F(AppTest, StateThreeStartsMinimizedWithTheButtonsOnTheLeft) {
    setWindowValues(40, 50, 3);
    auto form = start();
    EXPECT_EQ(form->pos(), QPoint(40, 50));
    EXPECT_TRUE(form->isMinimized());
    EXPECT_EQ(form->cmdGo->x(), 0);
    EXPECT_EQ(form->panInfo->x(), 616 - 525);
    EXPECT_EQ(form->windowStateBits, 3u);
    // Closed while still minimized: bit 1 is stored, so the next start is
    // minimized again.
    EXPECT_EQ(closeForm(*form), 0);
    EXPECT_EQ(QSettings(settingsFile(), QSettings::IniFormat).value("State").toInt(), 3);
}

// A position off every screen (saved with another monitor) opens the window at
// its design position, where it can be seen; the layout bits still count.
TEST_F(AppTest, APositionOffEveryScreenOpensAtTheDesignPosition) {
    setWindowValues(20000, 15000, 1);
    auto form = start();
    EXPECT_EQ(form->pos(), QPoint(162, 278));
    EXPECT_NE(form->panInfo->x(), 0) << "buttons on the left";
    EXPECT_EQ(closeForm(*form), 0);
    QSettings s(settingsFile(), QSettings::IniFormat);
    EXPECT_EQ(s.value("Left").toInt(), 162);
    EXPECT_EQ(s.value("Top").toInt(), 278);
}

TEST_F(AppTest, UnreadableWindowValueKeepsTheRestAtDesignValues) {
    setWindowValues(70, "not a number", 1);
    auto form = start();
    EXPECT_EQ(form->pos(), QPoint(70, 278));
    EXPECT_EQ(form->panInfo->x(), 0) << "State is not read after a failing Top";
}

TEST_F(AppTest, MinimizeSetsAndRepaintClearsTheMinimizedBit) {
    auto form = start();
    form->showMinimized();
    EXPECT_TRUE(form->windowStateBits & 2u);
    form->showNormal();
    EXPECT_FALSE(form->windowStateBits & 2u);
    form->windowStateBits |= 2u;
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    form->centralWidget()->repaint();
    EXPECT_FALSE(form->windowStateBits & 2u) << "a repaint clears the bit";
}

TEST_F(AppTest, DoubleClickOnTheFreeAreaTogglesTheLayout) {
    auto form = start();
    QWidget* client = form->centralWidget();
    // Between the Connect and Reset buttons: neither panel nor button.
    QTest::mouseDClick(client, Qt::LeftButton, {}, QPoint(570, 50));
    EXPECT_EQ(form->panInfo->x(), 91);
    EXPECT_EQ(form->cmdReset->x(), 0);
    EXPECT_EQ(form->windowStateBits & 1u, 1u);
    QTest::mouseDClick(form->panInfo, Qt::LeftButton, {}, QPoint(300, 70));
    EXPECT_EQ(form->panInfo->x(), 91) << "the panel is not the free area";
    QTest::mouseDClick(client, Qt::LeftButton, {}, QPoint(45, 50));
    EXPECT_EQ(form->panInfo->x(), 0);
    EXPECT_EQ(form->cmdStop->x(), 526);
    EXPECT_EQ(form->windowStateBits & 1u, 0u);
}

TEST_F(AppTest, CommandLineMachineChoice) {
    writeMachines({{'U', "Mazak lathe"}, {'D', "Mazak mill"}, {'B', "Okuma 1"}, {'D', "Okuma 2"}});
    const std::string prog = dir.file("O1000.nc");
    writeBytes(prog, "%\nG0X0\n%\n");
    const QString file = QString::fromStdString(prog);
    {
        auto form = start({file, "-m", "MAZAK"});
        EXPECT_EQ(form->machineList.selected, 2) << "the upload-only machine does not count";
        EXPECT_EQ(form->lblMachine->text(), "Mazak mill");
        EXPECT_EQ(form->lblOperation->text(), "Download");
        EXPECT_EQ(form->transfer.operation, TransferState::Download);
        EXPECT_EQ(form->lblFilename->text(), file);
        EXPECT_EQ(form->lblStatus->text(), "Ready");
        EXPECT_TRUE(form->cmdGo->isEnabled());
        EXPECT_TRUE(form->mnuFileReview->isEnabled());
    }
    {
        auto form = start({"-m", "okuma", file});
        EXPECT_EQ(form->machineList.selected, 0) << "two download machines match";
        EXPECT_EQ(form->lblMachine->text(), "");
        EXPECT_FALSE(form->cmdGo->isEnabled());
        EXPECT_EQ(form->lblFilename->text(), file);
    }
    {
        auto form = start({"-m", "Okuma 2"});
        EXPECT_EQ(form->machineList.selected, 0) << "-m without a file has no effect";
        EXPECT_EQ(form->lblOperation->text(), "");
    }
}

TEST_F(AppTest, MissingCommandLineFileIsReportedAndForgotten) {
    writeMachines({{'D', "Mill"}});
    const QString missing = QString::fromStdString(dir.file("nothere.nc"));
    auto form = start({missing, "-m", "Mill"});
    EXPECT_EQ(form->lblStatus->text(), "File not found: " + missing);
    EXPECT_TRUE(form->commandLineFile.isEmpty());
    EXPECT_EQ(form->lblFilename->text(), "");
    EXPECT_EQ(form->machineList.selected, 0);
}

TEST_F(AppTest, ConfigOptionWithAMissingFileWritesTheDefaultThere) {
    const std::string other = dir.file("shop.vorlcfg");
    auto form = start({"-c", QString::fromStdString(other)});
    EXPECT_EQ(form->configPath.toStdString(), other);
    EXPECT_EQ(form->legacyConfigPath.toStdString(), other);
    EXPECT_EQ(form->translationPath.toStdString(), dir.file("shop.xlt"));
    // The machines' ports are looked up in the port map beside it.
    EXPECT_EQ(platform::PortsFilePath(), dir.file("shop.ports"));
    EXPECT_EQ(readBytes(other), std::string(DefaultConfiguration()));
    EXPECT_FALSE(std::filesystem::exists(configFile()));
}

TEST_F(AppTest, AnInstalledProgramKeepsItsFilesInTheUsersDirectory) {
    std::filesystem::create_directories(dir.file("usr/bin"));
    std::filesystem::create_directories(dir.file("usr/share/vorl"));
    writeBytes(dir.file("usr/share/vorl/vorl.hlp"), "Choose a machine.");
    writeBytes(dir.file("usr/share/vorl/vorl.lan"), "13,Verbinden\n");
    const QString user = QString::fromStdString(dir.file("home/.config/vorl"));
    MainFormEnvironment env = environment({});
    env.programPath = QString::fromStdString(dir.file("usr/bin/vorl"));
    env.userDirectory = user;
    {
        TMainForm form(env);
        form.show();
        EXPECT_EQ(form.configPath, user + "/vorl.vorlcfg");
        EXPECT_EQ(form.translationPath, user + "/vorl.xlt");
        EXPECT_EQ(QString::fromStdString(platform::PortsFilePath()), user + "/vorl.ports");
        EXPECT_EQ(form.comPortLogFileName, user + "/vorl.log");
        EXPECT_EQ(form.helpFile.toStdString(), dir.file("usr/share/vorl/vorl.hlp"));
        EXPECT_EQ(form.cmdGo->text(), "Verbinden");
        EXPECT_EQ(readBytes(dir.file("home/.config/vorl/vorl.vorlcfg")),
                  std::string(DefaultConfiguration()));
        EXPECT_FALSE(std::filesystem::exists(dir.file("usr/bin/vorl.vorlcfg")));
    }
    const std::string other = dir.file("shop.vorlcfg");
    env.arguments = QStringList{"vorl", "-c", QString::fromStdString(other)};
    TMainForm form(env);
    form.show();
    EXPECT_EQ(form.configPath.toStdString(), other) << "-c names the machine file wherever it is";
    EXPECT_EQ(readBytes(other), std::string(DefaultConfiguration()));
}

// The real program: --version and --help answer without a window, and the
// end of the session closes the window as the operator would (exit code 0,
// window values saved).
TEST(VorlProgram, VersionHelpAndTheEndOfTheSession) {
    const QString vorl = VORL_BINARY_DIR "/src/app/vorl";
    QProcess p;
    p.start(vorl, {"--version"});
    ASSERT_TRUE(p.waitForFinished(30000));
    EXPECT_EQ(p.exitCode(), 0);
    EXPECT_TRUE(p.readAllStandardOutput().startsWith("vorl (VORL II) " VORL_VERSION "\n"));
    p.start(vorl, {"-m", "mill", "--help"});
    ASSERT_TRUE(p.waitForFinished(30000));
    EXPECT_EQ(p.exitCode(), 0);
    EXPECT_TRUE(p.readAllStandardOutput().contains("--version"));
    // An unknown option is an error before any window opens.
    for (const QString& option : {QStringLiteral("--bogus"), QStringLiteral("-h")}) {
        p.start(vorl, {option});
        ASSERT_TRUE(p.waitForFinished(30000));
        EXPECT_EQ(p.exitCode(), 2) << option.toStdString();
        EXPECT_EQ(p.readAllStandardError(), "vorl: unknown option '" + option.toUtf8() +
                                                "'\nTry 'vorl --help' for more information.\n");
    }
    // Without a display: how to run it, not only the platform's abort.
    QProcessEnvironment bare = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        bare.remove(name);
    }
    p.setProcessEnvironment(bare);
    p.start(vorl, {});
    ASSERT_TRUE(p.waitForFinished(30000));
    EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(p.exitCode(), 1);
    EXPECT_TRUE(p.readAllStandardError().contains("xvfb-run -a vorl"));

    test::TempDir home;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_CONFIG_HOME", QString::fromStdString(home.path().string()));
    env.insert("QT_QPA_PLATFORM", "offscreen");
    p.setProcessEnvironment(env);
    const std::string config = home.file("shop.vorlcfg");
    p.start(vorl, {"-c", QString::fromStdString(config)});
    ASSERT_TRUE(p.waitForStarted(30000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return std::filesystem::exists(config); }, 30000))
        << "the machine file is written at start-up";
    ::kill(static_cast<pid_t>(p.processId()), SIGTERM);
    ASSERT_TRUE(p.waitForFinished(30000));
    EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(p.exitCode(), 0);
    EXPECT_NE(readBytes(home.file("VORL/VORL.conf")).find("Left=162"), std::string::npos);
}

// A configuration file that is there but yields no machine (stray text before
// the first section, a file beginning with "M", ...) may hold the shop's
// machine list: the new default file must not take its place unkept.
TEST_F(AppTest, AnUnreadableConfigurationIsKeptBeforeTheDefaultIsWritten) {
    const std::string content =
        std::string(kConfigHeader) + "\n; edited by hand\n[]\nCAP=T\n[Mill]\nCAP=D\n";
    writeBytes(configFile(), content);
    ModalDriver driver;
    auto form = start();
    ASSERT_EQ(driver.boxes.size(), 1u);
    EXPECT_EQ(driver.boxes[0].objectName, "ConfigKeptBox");
    EXPECT_EQ(driver.boxes[0].title, "");
    EXPECT_NE(driver.boxes[0].text.find(configFile() + ".bak"), std::string::npos)
        << driver.boxes[0].text;
    EXPECT_EQ(readBytes(configFile() + ".bak"), content);
    EXPECT_EQ(readBytes(configFile()), std::string(DefaultConfiguration()));
    EXPECT_EQ(form->machineList.count, 1);

    // The next start reads the new file and keeps nothing more.
    ModalDriver again;
    auto second = start();
    EXPECT_TRUE(again.boxes.empty());
    EXPECT_FALSE(std::filesystem::exists(configFile() + ".bak2"));
}

// Reading ends at stray text; the machines after it would leave the file at the
// next save: the operator is told and a copy of the whole file is kept.
TEST_F(AppTest, AConfigurationReadOnlyInPartIsCopiedAndReported) {
    const std::string content =
        std::string(kConfigHeader) + "\n[]\nCAP=T\n[Mill]\nCAP=D\nCOLOUR=red\n[Lathe]\nCAP=D\n";
    writeBytes(configFile(), content);
    {
        ModalDriver driver;
        auto form = start();
        ASSERT_EQ(driver.boxes.size(), 1u);
        EXPECT_EQ(driver.boxes[0].objectName, "ConfigCutShortBox");
        EXPECT_NE(driver.boxes[0].text.find("line 6"), std::string::npos) << driver.boxes[0].text;
        EXPECT_NE(driver.boxes[0].text.find(configFile() + ".bak."), std::string::npos)
            << driver.boxes[0].text;
        EXPECT_EQ(form->machineList.count, 2);
        EXPECT_EQ(readBytes(configFile()), content) << "the file itself is left as it is";
        EXPECT_EQ(readBytes(configFile() + ".bak"), content);
    }
    ModalDriver again;
    auto form = start();
    EXPECT_EQ(again.boxes.size(), 1u);
    EXPECT_FALSE(std::filesystem::exists(configFile() + ".bak2")) << "one copy is enough";
}

TEST_F(AppTest, AnEmptyConfigurationIsSimplyReplacedByTheDefault) {
    writeBytes(configFile(), "");
    ModalDriver driver;
    auto form = start();
    EXPECT_TRUE(driver.boxes.empty());
    EXPECT_EQ(readBytes(configFile()), std::string(DefaultConfiguration()));
    EXPECT_FALSE(std::filesystem::exists(configFile() + ".bak"));
}

TEST_F(AppTest, AConfigurationThatCannotBeKeptIsLeftAsItIs) {
    const std::string other = configFile();
    writeBytes(other, "MZ not a configuration");
    for (const char* n : {"", "2", "3", "4", "5", "6", "7", "8", "9"}) {
        writeBytes(other + ".bak" + n, "taken");
    }
    ModalDriver driver;
    auto form = start();
    ASSERT_EQ(driver.boxes.size(), 1u);
    EXPECT_EQ(driver.boxes[0].objectName, "ConfigNotKeptBox");
    EXPECT_EQ(readBytes(other), "MZ not a configuration");
    EXPECT_EQ(form->machineList.count, 0);
}

TEST_F(AppTest, DebugOptionShowsTheCommandLineAndDoesNotTakeTheFile) {
    const std::string prog = dir.file("O1.nc");
    writeBytes(prog, "%\n");
    ModalDriver driver;
    auto form = start({"-d", QString::fromStdString(prog)});
    ASSERT_EQ(driver.boxes.size(), 1u);
    EXPECT_EQ(driver.boxes[0].objectName, "CommandLineBox");
    EXPECT_EQ(driver.boxes[0].text, "vorl -d " + prog + " ");
    EXPECT_EQ(driver.boxes[0].title, "");
    EXPECT_EQ(form->lblFilename->text(), "");
}

TEST_F(AppTest, StatusLightsFollowTheTransferPort) {
    auto line = platform::SimulatedLine::Register("main-form-lights");
    ::setenv("VORL_COM34", "sim:main-form-lights", 1);
    auto form = start();
    TComPort& port = form->engine->ComPort1;
    EXPECT_EQ(form->lightControl.ComPort(), &port);
    EXPECT_EQ(form->lightControl.Lights.DSRLight, form->lightDSR);
    EXPECT_EQ(form->lightControl.Lights.RXDLight, form->lightRXD);
    EXPECT_EQ(form->lightControl.Lights.TXDLight, form->lightTXD);
    for (TStatusLight* lamp : {form->lightDSR, form->lightRXD, form->lightTXD}) {
        EXPECT_EQ(lamp->size(), QSize(13, 8));
    }
    EXPECT_EQ(form->lightRXD->accessibleName(), "RX");

    // As a transfer does it: monitoring first, then the port opens.
    line->setLines(platform::kLineDSR);
    form->lightControl.SetMonitoring(true);
    port.SetComNumber(34);
    port.SetOpen(true);
    EXPECT_TRUE(form->lightDSR->Lit());
    const QImage shown = form->panInfo->grab(form->lightDSR->geometry()).toImage();
    EXPECT_EQ(shown.pixel(6, 4) | 0xFF000000, qRgb(0xFF, 0, 0)) << "lit red";
    EXPECT_FALSE(form->lightRXD->Lit());

    line->peerSend("%\r\n");
    EXPECT_TRUE(QTest::qWaitFor([&] { return form->lightRXD->Lit(); }));
    line->setLines(0);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !form->lightDSR->Lit(); }));
    form.reset();
    platform::SimulatedLine::Unregister("main-form-lights");
}

TEST_F(AppTest, LanguageFileReplacesCaptionsThatHaveText) {
    writeBytes(program() + ".lan", "* German\n13,Verbinden\n250,&Datei\n22,\"Maschine:\"\n"
                                   "30,\n263,&Ansehen...\n");
    auto form = start();
    EXPECT_TRUE(form->languageLoaded);
    EXPECT_EQ(form->cmdGo->text(), "Verbinden");
    EXPECT_EQ(form->mnuFile->title(), "&Datei");
    EXPECT_EQ(form->mnuFileReview->text(), "&Ansehen...");
    EXPECT_EQ(form->findChild<QLabel*>("lblMachineCaption")->text(), "Maschine:");
    EXPECT_EQ(form->findChild<QLabel*>("lblDSR")->text(), "DSR")
        << "an empty text keeps the caption";
    EXPECT_EQ(form->cmdReset->text(), "Reset");
}

TEST_F(AppTest, DamagedConfigurationIsReportedOncePerRead) {
    writeBytes(configFile(),
               std::string(kConfigHeader) + "\n[]\nCAP=T\n[Mill]\nCAP=D\nPORTSPEED=2\nBITS=8\n");
    ModalDriver driver;
    auto form = start();
    ASSERT_EQ(driver.boxes.size(), 1u);
    EXPECT_EQ(driver.boxes[0].text,
              "VORL configuration file is damaged. Machine parameters may be incorrect.");
    EXPECT_EQ(form->machineList.count, 2);
    EXPECT_TRUE(form->mnuCommDownload->menuAction()->isEnabled());
}

TEST_F(AppTest, WindowValuesThatCannotBeWrittenGiveExitCodeFour) {
    // The settings path is a directory: no write can succeed, whoever runs it.
    std::filesystem::create_directory(dir.file("settings.ini"));
    auto form = start();
    EXPECT_EQ(closeForm(*form), 4);
}

TEST_F(AppTest, TheProcessEndsWithExitCodeFourWhenTheUserSettingsAreUnwritable) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // The user's configuration directory lies under a regular file.
    const std::string blocker = dir.file("blocker");
    writeBytes(blocker, "x");
    const char* saved = std::getenv("XDG_CONFIG_HOME");
    const std::string savedValue = saved ? saved : "";
    setenv("XDG_CONFIG_HOME", (blocker + "/config").c_str(), 1);
    const std::string prog = program();
    const std::filesystem::path tmp = dir.path();
    EXPECT_EXIT(
        {
            MainFormEnvironment env;
            env.programPath = QString::fromStdString(prog);
            env.arguments = {"vorl"};
            env.terminate = [tmp](int code) {
                std::error_code ec;
                std::filesystem::remove_all(tmp, ec);
                std::_Exit(code);
            };
            TMainForm form(env);
            form.show();
            form.close();
            std::_Exit(99); // not reached: the close sequence ends the process
        },
        ::testing::ExitedWithCode(4), "");
    if (saved) {
        setenv("XDG_CONFIG_HOME", savedValue.c_str(), 1);
    } else {
        unsetenv("XDG_CONFIG_HOME");
    }
}

TEST_F(AppTest, HelpShowsTheHelpFileOrSaysItIsMissing) {
    std::string shown;
    ModalDriver driver([&](QDialog* d) {
        if (auto* browser = d->findChild<QTextBrowser*>("txtHelp")) {
            shown = browser->toPlainText().toStdString();
        }
        d->reject();
    });
    auto form = start();
    form->mnuHelpContents->trigger();
    ASSERT_EQ(driver.boxes.size(), 1u);
    EXPECT_EQ(driver.boxes[0].objectName, "HelpMissingBox");
    EXPECT_EQ(driver.boxes[0].text, "File not found: " + program() + ".hlp");

    writeBytes(program() + ".hlp", "<h1>VORL</h1><p>Choose a machine from the Download menu.</p>");
    form->mnuHelpContents->trigger();
    EXPECT_EQ(driver.dialogs, 1);
    EXPECT_NE(shown.find("Choose a machine from the Download menu."), std::string::npos) << shown;
}

TEST_F(AppTest, AboutWindowClosesOnAnyKey) {
    writeBytes(program() + ".lan", "337,Info\n375,Shop Systems Ltd\n");
    std::string title;
    std::string contact;
    int result = -1;
    ModalDriver driver([&](QDialog* d) {
        title = d->windowTitle().toStdString();
        contact = d->findChild<QLabel*>("lblContact1")->text().toStdString();
        EXPECT_EQ(d->size(), QSize(391, 247));
        QTest::keyClick(d, Qt::Key_Space);
        result = d->result();
    });
    auto form = start();
    form->mnuHelpAbout->trigger();
    EXPECT_EQ(title, "Info");
    EXPECT_EQ(contact, "Shop Systems Ltd");
    EXPECT_EQ(result, QDialog::Accepted);
}

TEST_F(AppTest, FileMenuDisablesReviewWithoutAFile) {
    auto form = start();
    form->mnuFileReview->setEnabled(true);
    Q_EMIT form->mnuFile->aboutToShow();
    EXPECT_FALSE(form->mnuFileReview->isEnabled());
}

// The terminal works on the main window's port with its own table entry; the
// machine chosen before stays chosen, and a connection made before is reset.
TEST_F(AppTest, TerminalUsesThePortAndLeavesTheChosenMachine) {
    int master = -1;
    int slave = -1;
    char name[128];
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    setenv("VORL_COM1", name, 1);
    writeMachines({{'D', "Mill"}});
    auto form = start();
    MachineConfig& terminal = form->machineList[0];
    terminal.port = 1;
    terminal.baudRate = 4800;
    terminal.dataBits = 8;
    terminal.stopBits = 1;
    form->machineList.selected = 1;
    form->cmdGo->setText("Transmit");
    std::string title;
    bool opened = false;
    ModalDriver driver([&](QDialog* d) {
        title = d->windowTitle().toStdString();
        QTest::mouseClick(d->findChild<QPushButton*>("cmdOpen"), Qt::LeftButton);
        opened = form->engine->ComPort1.Open();
        EXPECT_EQ(form->lblStatus->text(), "Port open");
        QTest::mouseClick(d->findChild<QPushButton*>("cmdClose"), Qt::LeftButton);
    });
    form->mnuCommTerminal->trigger();
    unsetenv("VORL_COM1");
    ::close(master);
    ::close(slave);
    EXPECT_EQ(title, "Terminal Mode");
    EXPECT_TRUE(opened);
    EXPECT_FALSE(form->engine->ComPort1.Open());
    EXPECT_EQ(form->machineList.selected, 1);
    EXPECT_EQ(form->cmdGo->text(), "Connect");
    EXPECT_EQ(form->lblStatus->text(), "Reset");
    MachineList saved;
    EXPECT_EQ(ReadConfiguration(configFile(), saved), 2);
    EXPECT_EQ(saved[0].capability, 'T');
}

// File > History... lists the history of the program shown, kept beside the
// machine file; with the history switched off it says where.
TEST_F(AppTest, HistoryListsTheProgramShown) {
    writeMachines({{'B', "Mill 1"}});
    const std::string program = dir.file("O1234.nc");
    writeBytes(program, "%\nO1234\nG0 X0\nM30\n%\n");
    {
        history::HistoryRecorder recorder(dir.file("vorl.history.git"));
        history::TransferEvent e;
        e.program = "O1234.nc";
        e.file = program;
        e.machine = "Mill 1";
        recorder.Record(e);
        ASSERT_TRUE(recorder.WaitIdle(std::chrono::seconds(20)));
    }
    int rows = -1;
    ModalDriver driver([&](QDialog* d) {
        if (auto* h = qobject_cast<THistoryForm*>(d)) {
            rows = h->lstHistory->topLevelItemCount();
        }
        d->reject();
    });
    auto form = start({QString::fromStdString(program)});
    ASSERT_TRUE(form->engine->history);
    EXPECT_EQ(form->engine->history->repository(), dir.file("vorl.history.git"));
    form->mnuFileHistory->trigger();
    EXPECT_EQ(rows, 1);

    writeBytes(dir.file("vorl.history"), "enabled = no\n");
    auto off = start({QString::fromStdString(program)});
    EXPECT_FALSE(off->engine->history);
    off->mnuFileHistory->trigger();
    ASSERT_FALSE(driver.boxes.empty());
    EXPECT_NE(driver.boxes.back().text.find("vorl.history"), std::string::npos);
}

} // namespace
} // namespace vorl
