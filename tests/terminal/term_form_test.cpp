#include "terminal/term_form.h"

#include "machines/config_file.h"
#include "serial/ui/qt_delivery.h"
#include "serial_test_util.h"
#include "temp_dir.h"
#include "text/language_table.h"
#include "viewer_test_util.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QGroupBox>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTextBlock>

#include <cstdlib>
#include <memory>

namespace vorl {
namespace {

using namespace std::chrono_literals;
using test::child;

MachineConfig terminalEntry(int port, int baud) {
    MachineConfig m;
    m.capability = 'T';
    m.port = int16_t(port);
    m.baudRate = baud;
    m.dataBits = 8;
    m.stopBits = 1;
    return m;
}

// The log with the date and time of every banner replaced by "T".
std::string withoutTimes(std::string log) {
    for (size_t at = log.find("-----"); at != std::string::npos;) {
        const size_t word = log.find(" Port ", at);
        if (word == std::string::npos) {
            break;
        }
        log.replace(at + 5, word - at - 5, "T");
        const size_t closing = log.find("-----", at + 5);
        at = closing == std::string::npos ? closing : log.find("-----", closing + 5);
    }
    return log;
}

// The test plays the controller on the master side of a pty pair whose slave
// is COM 2; the terminal runs in a real offscreen window on a real port.
class TerminalTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("VORL_COM2", peer.path().c_str(), 1);
        setenv("TMPDIR", dir.path().c_str(), 1);
        configPath = dir.file("vorl.vorlcfg");
    }
    void TearDown() override {
        form.reset();
        unsetenv("VORL_COM2");
        unsetenv("TMPDIR");
        Language().clear();
    }

    TTermForm* open(bool languageLoaded = false) {
        TerminalHost host{port,
                          machines,
                          [this] { return setUpPort(); },
                          [this] {
                              ++writes;
                              return WriteConfiguration(configPath, machines);
                          },
                          [this](bool on) { monitoring = on; },
                          [this](const std::string& text) { status = text; },
                          languageLoaded};
        form = std::make_unique<TTermForm>(host);
        form->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(form.get()));
        txtTerm = child<QPlainTextEdit>(form.get(), "txtTerm");
        return form.get();
    }

    // The port set-up of the transfer engine, reduced to what a pty shows.
    bool setUpPort() {
        const MachineConfig& m = machines[machines.selected];
        port.SetOpen(false);
        port.SetComNumber(uint16_t(m.port));
        port.SetBaud(m.baudRate);
        port.SetDataBits(uint16_t(m.dataBits));
        port.SetStopBits(uint16_t(m.stopBits));
        port.SetParity(TParity(m.parity));
        port.SetSWFlowOptions(m.handshake & 1 ? swfBoth : swfNone);
        try {
            port.SetOpen(true);
            status = "Port open";
        } catch (const std::exception& e) {
            status = e.what();
        }
        return port.Open();
    }

    void click(const char* name) {
        QTest::mouseClick(child<QAbstractButton>(form.get(), name), Qt::LeftButton);
    }
    void openPort() {
        click("cmdOpen");
        ASSERT_TRUE(port.Open()) << status;
    }
    void type(int key, const QString& text) {
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, text);
        QCoreApplication::sendEvent(txtTerm, &press);
    }
    QString text() const { return txtTerm->toPlainText(); }
    bool showsText(const QString& expected) {
        return QTest::qWaitFor([&] { return text() == expected; }, 5000);
    }
    QString combo(const char* name) { return child<QComboBox>(form.get(), name)->currentText(); }

    test::TempDir dir;
    test::PtyPeer peer;
    std::string configPath;
    std::shared_ptr<QtDelivery> delivery = std::make_shared<QtDelivery>();
    TComPort port{delivery};
    MachineList machines;
    int writes = 0;
    bool monitoring = false;
    std::string status;
    std::unique_ptr<TTermForm> form;
    QPlainTextEdit* txtTerm = nullptr;
};

TEST_F(TerminalTest, WithoutTerminalEntryShowOffersDefaultsAndOpenCreatesOne) {
    machines[0].capability = 'D';
    machines[0].name = "Mill";
    machines[0].port = 1;
    machines.count = 1;
    open();
    EXPECT_EQ(combo("cboxPort"), "COM 2");
    EXPECT_EQ(combo("cboxDataBits"), "8");
    EXPECT_EQ(combo("cboxStopBits"), "1");
    EXPECT_EQ(combo("cboxParity"), "None");
    EXPECT_EQ(combo("cboxHandshake"), "None");
    EXPECT_EQ(combo("cboxSpeed"), "300");
    EXPECT_EQ(form->terminalSlot(), -1);

    openPort();
    EXPECT_EQ(machines.count, 2);
    EXPECT_EQ(machines.selected, 1);
    EXPECT_EQ(machines[0].port, 1) << "the machine keeps its settings";
    EXPECT_EQ(port.Baud(), 300);
    MachineList read;
    ASSERT_EQ(ReadConfiguration(configPath, read), 2);
    EXPECT_EQ(read[1].capability, 'T');
    EXPECT_EQ(read[1].port, 2);
    EXPECT_EQ(read[1].baudRate, 300);
    EXPECT_TRUE(monitoring);
    EXPECT_FALSE(child<QPushButton>(form.get(), "cmdOpen")->isEnabled());
    for (const char* name : {"cboxPort", "cboxSpeed", "cboxHandshake", "cboxLog"}) {
        EXPECT_FALSE(child<QWidget>(form.get(), name)->isEnabled()) << name;
    }

    click("cmdClosePort");
    EXPECT_FALSE(port.Open());
    EXPECT_FALSE(monitoring);
    EXPECT_EQ(status, "");
    EXPECT_TRUE(child<QPushButton>(form.get(), "cmdOpen")->isEnabled());
    EXPECT_FALSE(child<QPushButton>(form.get(), "cmdClosePort")->isEnabled());
    EXPECT_TRUE(child<QWidget>(form.get(), "cboxLog")->isEnabled());
}

TEST_F(TerminalTest, UsesTheLastTerminalEntryAndWritesTheChosenSettingsIntoIt) {
    machines[0] = terminalEntry(1, 4800);
    machines[1].capability = 'D';
    machines[1].name = "Lathe";
    machines[2] = terminalEntry(2, 9600);
    machines[2].dataBits = 7;
    machines[2].stopBits = 2;
    machines[2].parity = 2;
    machines[2].handshake = 1;
    machines.count = 3;
    open();
    EXPECT_EQ(machines.selected, 2);
    EXPECT_EQ(combo("cboxPort"), "COM 2");
    EXPECT_EQ(combo("cboxSpeed"), "9600");
    EXPECT_EQ(combo("cboxDataBits"), "7");
    EXPECT_EQ(combo("cboxStopBits"), "2");
    EXPECT_EQ(combo("cboxParity"), "Even");
    EXPECT_EQ(combo("cboxHandshake"), "Xon/Xoff");

    // A pty takes neither parity nor 7 data bits.
    child<QComboBox>(form.get(), "cboxSpeed")->setCurrentText("19200");
    child<QComboBox>(form.get(), "cboxDataBits")->setCurrentText("8");
    child<QComboBox>(form.get(), "cboxParity")->setCurrentIndex(0);
    child<QComboBox>(form.get(), "cboxHandshake")->setCurrentIndex(0);
    openPort();
    EXPECT_EQ(machines.count, 3);
    EXPECT_EQ(machines[2].baudRate, 19200);
    EXPECT_EQ(machines[2].dataBits, 8);
    EXPECT_EQ(machines[2].stopBits, 2);
    EXPECT_EQ(machines[2].handshake, 0);
    EXPECT_EQ(machines[0].baudRate, 4800);
    EXPECT_EQ(port.Baud(), 19200);
    EXPECT_EQ(port.StopBits(), 2);
    EXPECT_EQ(writes, 1);
}

TEST_F(TerminalTest, ReceivedLineWithCrLfInEachDisplayMode) {
    open();
    openPort();
    peer.send("N10G01\r\n");
    EXPECT_TRUE(showsText("In-->N10G01^M^J\n")) << text().toStdString();
    click("optExpand");
    peer.send("N10 G01\r\n");
    EXPECT_TRUE(showsText("In-->N10G01^M^J\nN10<SP>G01<CR><LF>\n")) << text().toStdString();
    click("optNone");
    peer.send("N10G01\r\n");
    EXPECT_TRUE(showsText("In-->N10G01^M^J\nN10<SP>G01<CR><LF>\nN10G01__\n"))
        << text().toStdString();
    EXPECT_TRUE(test::lineBold(txtTerm, 0));
    EXPECT_TRUE(test::lineBold(txtTerm, 2));

    // The next run starts on the line the line feed began, not after a blank.
    type(Qt::Key_A, "A");
    EXPECT_TRUE(text().endsWith("N10G01__\nOut->A")) << text().toStdString();
}

TEST_F(TerminalTest, LongRunWithoutLineFeedsIsShownInBoundedLines) {
    open();
    openPort();
    const std::string run(20000, 'X');
    peer.send(run);
    ASSERT_TRUE(QTest::qWaitFor([&] { return text().count('X') == int(run.size()); }, 10000));
    EXPECT_GT(txtTerm->document()->blockCount(), 5);
    for (QTextBlock b = txtTerm->document()->begin(); b.isValid(); b = b.next()) {
        EXPECT_LE(b.length(), 4200);
    }
}

TEST_F(TerminalTest, HighByteAndEscape) {
    open();
    click("optExpand");
    openPort();
    peer.send("\xC8\x1B"
              "A");
    EXPECT_TRUE(showsText("In--><0xC8>A")) << text().toStdString();
    click("optStd");
    peer.send("\xC8\x1B");
    EXPECT_TRUE(showsText("In--><0xC8>A_^[")) << text().toStdString();
}

TEST_F(TerminalTest, TypedReturnWithAndWithoutCrLfOut) {
    open();
    openPort();
    type(Qt::Key_Return, "\r");
    EXPECT_EQ(peer.receive(2), "\r\n");
    EXPECT_EQ(text(), "Out->^M^J\n");
    click("cboxCRLF");
    type(Qt::Key_Return, "\r");
    type(Qt::Key_G, "G");
    EXPECT_EQ(peer.receive(2), "\rG");
    EXPECT_EQ(text(), "Out->^M^J\n^M\nG") << "a carriage return alone ends the line too";
    EXPECT_FALSE(test::lineBold(txtTerm, 0));
}

// Controls that end their blocks with CR alone read one block a line; a CR
// whose LF comes with the next characters still ends only one line. Neither
// the bytes nor the log get the line ends of the text area.
TEST_F(TerminalTest, ACarriageReturnAloneEndsTheShownLine) {
    open();
    click("cboxLog");
    openPort();
    std::string blocks;
    for (int i = 1; i <= 300; ++i) {
        blocks += "N" + std::to_string(i) + "\r";
    }
    peer.send(blocks);
    ASSERT_TRUE(QTest::qWaitFor([&] { return text().endsWith("N300^M"); }, 10000))
        << text().toStdString();
    EXPECT_EQ(txtTerm->document()->blockCount(), 300);
    EXPECT_EQ(txtTerm->document()->findBlockByNumber(1).text(), "N2^M");

    peer.send("N301\r");
    ASSERT_TRUE(QTest::qWaitFor([&] { return text().endsWith("N301^M"); }, 5000));
    peer.send("\nN302");
    EXPECT_TRUE(showsText(text() + "^J\nN302")) << text().toStdString();
    click("cmdClosePort");
    const std::string log = test::readBytes(form->logFilePath());
    EXPECT_NE(log.find("\r\nIn-->N1^MN2^M"), std::string::npos);
    EXPECT_NE(log.find("N300^MN301^M^JN302\r\n-----"), std::string::npos);
}

// Echo switched on in the middle of typing, or the text cleared in the middle
// of a run, starts the run anew on the screen with its prefix; the log goes on
// with the run.
TEST_F(TerminalTest, EchoOrClearTextInTheMiddleOfARunStartsItAnew) {
    open();
    click("cboxLog");
    click("cboxEcho");
    openPort();
    peer.send("x");
    ASSERT_TRUE(showsText("In-->x"));
    type(Qt::Key_B, "b");
    click("cboxEcho");
    type(Qt::Key_C, "c");
    EXPECT_EQ(text(), "In-->x\nOut->c");
    click("cmdClear");
    type(Qt::Key_D, "d");
    EXPECT_EQ(text(), "Out->d");
    peer.send("y");
    ASSERT_TRUE(showsText("Out->d\nIn-->y"));
    click("cmdClear");
    peer.send("z");
    EXPECT_TRUE(showsText("In-->z")) << text().toStdString();
    EXPECT_EQ(peer.receive(3), "bcd");
    click("cmdClosePort");
    const std::string log = test::readBytes(form->logFilePath());
    EXPECT_NE(log.find("\r\nIn-->x\r\nOut->bcd\r\nIn-->yz\r\n-----"), std::string::npos) << log;
}

TEST_F(TerminalTest, EchoOffSendsWithoutShowingAndReceivedStillShows) {
    open();
    click("cboxEcho");
    openPort();
    type(Qt::Key_A, "A");
    type(Qt::Key_B, "B");
    EXPECT_EQ(peer.receive(2), "AB");
    EXPECT_EQ(text(), "");
    peer.send("ok");
    EXPECT_TRUE(showsText("In-->ok")) << text().toStdString();
}

TEST_F(TerminalTest, EachDirectionRunStartsALineAndAReopenStartsAnother) {
    open();
    openPort();
    peer.send("a");
    ASSERT_TRUE(showsText("In-->a"));
    type(Qt::Key_B, "b");
    peer.send("c");
    ASSERT_TRUE(showsText("In-->a\nOut->b\nIn-->c")) << text().toStdString();
    EXPECT_TRUE(test::lineBold(txtTerm, 0));
    EXPECT_FALSE(test::lineBold(txtTerm, 1));
    EXPECT_TRUE(test::lineBold(txtTerm, 2));

    click("cmdClosePort");
    type(Qt::Key_X, "x");
    EXPECT_EQ(text(), "In-->a\nOut->b\nIn-->c") << "keys are ignored while the port is closed";
    openPort();
    peer.send("d");
    EXPECT_TRUE(showsText("In-->a\nOut->b\nIn-->c\nIn-->d")) << text().toStdString();
    EXPECT_EQ(peer.receive(1), "b");
    EXPECT_EQ(peer.receiveFor(50ms), "") << "the key typed while closed went out";
}

TEST_F(TerminalTest, TwoLoggedOpeningsGoIntoOneLogFileThatIsOfferedAndDeleted) {
    open();
    click("cboxLog");
    openPort();
    const std::string logPath = form->logFilePath();
    ASSERT_FALSE(logPath.empty());
    EXPECT_EQ(QFileInfo(QString::fromStdString(logPath)).dir(), QDir(dir.path()));
    EXPECT_TRUE(QFileInfo(QString::fromStdString(logPath)).fileName().startsWith("log"));
    peer.send("A\r");
    ASSERT_TRUE(showsText("In-->A^M"));
    click("cmdClosePort");
    openPort();
    EXPECT_EQ(form->logFilePath(), logPath);
    type(Qt::Key_B, "B");

    std::string logged;
    QString viewed;
    test::onNextModal([&](QWidget* viewer) {
        logged = test::readBytes(logPath);
        viewed = child<TextFileView>(viewer, "txtLog")->toPlainText();
        QTest::mouseClick(child<QPushButton>(viewer, "cmdClose"), Qt::LeftButton);
    });
    click("cmdClose");
    EXPECT_FALSE(port.Open());

    const std::string opening = "\r\n-----T Port Opened-----\r\n"
                                "Port: 2 Speed: 300 Data Bits: 8 Stop Bits: 1\r\n"
                                "Parity: None Handshaking: None\r\n";
    EXPECT_EQ(withoutTimes(logged), opening + "\r\nIn-->A^M\r\n-----T Port Closed-----" + opening +
                                        "\r\nOut->B\r\n-----T Port Closed-----");
    EXPECT_TRUE(viewed.contains("Out->B"));
    EXPECT_TRUE(QDir(dir.path()).entryList({"log*"}, QDir::Files).isEmpty())
        << "the log is deleted after the viewer closes";
}

TEST_F(TerminalTest, PortThatCannotOpenLeavesTheWindowAsItWas) {
    setenv("VORL_COM2", dir.file("no-such-tty").c_str(), 1);
    open();
    click("cmdOpen");
    EXPECT_FALSE(port.Open());
    EXPECT_NE(status, "Port open");
    EXPECT_EQ(writes, 0);
    EXPECT_TRUE(child<QPushButton>(form.get(), "cmdOpen")->isEnabled());
    EXPECT_FALSE(child<QPushButton>(form.get(), "cmdClosePort")->isEnabled());
    EXPECT_TRUE(child<QWidget>(form.get(), "cboxSpeed")->isEnabled());
}

TEST_F(TerminalTest, FullMachineTableWithoutTerminalEntryRefusesToOpen) {
    for (int i = 0; i < MachineList::kSlots; ++i) {
        machines[i].capability = 'D';
    }
    machines.count = MachineList::kSlots;
    open();
    click("cmdOpen");
    EXPECT_FALSE(port.Open());
    EXPECT_EQ(machines.count, MachineList::kSlots);
    EXPECT_FALSE(status.empty());
}

TEST_F(TerminalTest, LanguageTextsReplaceCaptionsPrefixesAndBanners) {
    Language().setText(309, "Terminal");
    Language().setText(57, "Ouvrir");
    Language().setText(315, "Etendu");
    Language().setText(299, "Parite");
    Language().setText(152, "Paire");
    Language().setText(156, "Xon/Xoff/Mat");
    Language().setText(326, "Rx>");
    Language().setText(327, "Tx>");
    Language().setText(328, " ouvert");
    Language().setText(319, "Voie");
    open(false);
    EXPECT_EQ(form->windowTitle(), "Terminal Mode") << "only a loaded language file counts";
    form.reset();

    open(true);
    EXPECT_EQ(form->windowTitle(), "Terminal");
    EXPECT_EQ(child<QPushButton>(form.get(), "cmdOpen")->text(), "Ouvrir");
    EXPECT_EQ(child<QRadioButton>(form.get(), "optExpand")->text(), "Etendu");
    EXPECT_EQ(child<QGroupBox>(form.get(), "grpParity")->title(), "Parite");
    EXPECT_EQ(child<QComboBox>(form.get(), "cboxParity")->itemText(2), "Paire");
    EXPECT_EQ(child<QComboBox>(form.get(), "cboxHandshake")->itemText(3), "Xon/Xoff/Mat");
    click("cboxLog");
    openPort();
    peer.send("a");
    ASSERT_TRUE(showsText("Rx>a"));
    type(Qt::Key_B, "b");
    EXPECT_EQ(text(), "Rx>a\nTx>b");
    click("cmdClosePort");
    const std::string log = test::readBytes(form->logFilePath());
    EXPECT_NE(log.find(" ouvert-----\r\nVoie: 2 "), std::string::npos) << log;
    EXPECT_NE(log.find("\r\nRx>a\r\nTx>b"), std::string::npos) << log;
}

TEST_F(TerminalTest, ClosingGivesThePortBackAsItWas) {
    int earlier = 0;
    port.OnTriggerAvail = [&](TComPort&, uint16_t) { ++earlier; };
    open();
    openPort();
    test::NoModalGuard noViewer; // nothing was logged
    QTest::keyClick(txtTerm, Qt::Key_Escape);
    EXPECT_FALSE(form->isVisible());
    EXPECT_FALSE(port.Open());
    ASSERT_TRUE(port.OnTriggerAvail);
    port.OnTriggerAvail(port, 1);
    EXPECT_EQ(earlier, 1);

    // A window destroyed with the port open and a log recorded leaves
    // neither a handler into it nor its log file behind.
    form.reset();
    open();
    click("cboxLog");
    openPort();
    form.reset();
    EXPECT_FALSE(port.Open());
    EXPECT_TRUE(QDir(dir.path()).entryList({"log*"}, QDir::Files).isEmpty());
    port.OnTriggerAvail(port, 1);
    EXPECT_EQ(earlier, 2);
}

} // namespace
} // namespace vorl
