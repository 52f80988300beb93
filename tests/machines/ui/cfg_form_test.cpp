#include "machines/ui/cfg_form.h"

#include "../../temp_dir.h"
#include "dialog_helpers.h"
#include "machines/config_file.h"
#include "text/language_table.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

namespace {

using vorl::Direction;
using vorl::MachineConfig;
using vorl::MachineList;
using vorl::TCfgFrm;
using vorl::test::onNextModal;
using vorl::test::sampleMachines;

class CfgFormTest : public ::testing::Test {
protected:
    void open() {
        form = std::make_unique<TCfgFrm>(machines);
        form->show();
    }
    template <typename T> T* get(const char* name) {
        T* w = form->findChild<T*>(name);
        EXPECT_NE(w, nullptr) << name;
        return w;
    }
    QLineEdit* box(const char* name) { return get<QLineEdit>(name); }
    QComboBox* list(const char* name) { return get<QComboBox>(name); }
    QCheckBox* check(const char* name) { return get<QCheckBox>(name); }
    void choose(const char* name, const QString& item) {
        QComboBox* l = list(name);
        const int index = l->findText(item);
        ASSERT_GE(index, 0) << item.toStdString();
        l->setCurrentIndex(index);
    }
    void retype(const char* name, const QString& text) {
        QLineEdit* b = box(name);
        b->selectAll();
        QTest::keyClick(b, Qt::Key_Backspace);
        QTest::keyClicks(b, text);
    }
    // Types characters a plain key click cannot carry (letters outside ASCII).
    void type(const char* name, const QString& text) {
        QLineEdit* b = box(name);
        b->setFocus();
        for (const QChar c : text) {
            QTest::sendKeyEvent(QTest::Click, b, Qt::Key_unknown, QString(c), Qt::NoModifier);
        }
    }
    void clickOK() { QTest::mouseClick(get<QPushButton>("cmdOK"), Qt::LeftButton); }
    // Clicks OK expecting a refusal; returns the message shown.
    QString clickOKRefused() {
        QString text;
        onNextModal(
            [&](QWidget* modal) {
                auto* box = qobject_cast<QMessageBox*>(modal);
                ASSERT_NE(box, nullptr);
                text = box->text();
                EXPECT_TRUE(box->windowTitle().isEmpty());
                box->button(QMessageBox::Ok)->click();
            },
            form.get());
        clickOK();
        EXPECT_TRUE(form->isVisible());
        EXPECT_NE(form->result(), QDialog::Accepted);
        return text;
    }
    const MachineConfig& slot() { return machines[machines.selected]; }

    MachineList machines = sampleMachines();
    std::unique_ptr<TCfgFrm> form;
};

TEST_F(CfgFormTest, ShowsTheSelectedSlotAndCaption) {
    machines.selected = 2;
    open();
    EXPECT_EQ(form->windowTitle(), "Lathe");
    EXPECT_EQ(box("txtDDir")->text(), "/srv/nc/Lathe");
    EXPECT_EQ(list("cboxPort")->currentText(), "COM 3");
    EXPECT_EQ(list("cboxSpeed")->currentText(), "4800");
    EXPECT_EQ(list("cboxParity")->currentText(), "Even");
    EXPECT_EQ(box("txtDelay")->text(), "500");
    EXPECT_EQ(box("txtDStart")->text(), "%^M^J");
    EXPECT_EQ(box("txtDChars")->text(), "^R");
    EXPECT_EQ(get<QTabWidget>("pgcConfig")->currentIndex(), 0);
}

TEST_F(CfgFormTest, RestartSettingsHaveTheirOwnPageAndAreWrittenBackOnOK) {
    open();
    auto* tabs = get<QTabWidget>("pgcConfig");
    EXPECT_FALSE(tabs->isTabVisible(tabs->indexOf(get<QWidget>("tabRestart"))))
        << "without settings there is no page";
    form.reset();

    vorl::RestartOptions restart{vorl::ControlDialect::Unknown, "G91 G28 Z0"};
    form = std::make_unique<TCfgFrm>(machines);
    form->setRestartSettings(&restart);
    form->show();
    tabs = get<QTabWidget>("pgcConfig");
    EXPECT_TRUE(tabs->isTabVisible(tabs->indexOf(get<QWidget>("tabRestart"))));
    EXPECT_EQ(list("cboxControl")->currentText(), "Not set");
    EXPECT_EQ(box("txtRetract")->text(), "G91 G28 Z0");
    // A retract left at the default follows the control; a typed one stays.
    choose("cboxControl", "Lathe");
    EXPECT_EQ(box("txtRetract")->text(), "G28 U0 W0");
    retype("txtRetract", "G28 U0");
    choose("cboxControl", "Mill");
    EXPECT_EQ(box("txtRetract")->text(), "G28 U0");
    EXPECT_EQ(restart.dialect, vorl::ControlDialect::Unknown) << "nothing before OK";
    clickOK();
    EXPECT_EQ(form->result(), QDialog::Accepted);
    EXPECT_EQ(restart.dialect, vorl::ControlDialect::Mill);
    EXPECT_EQ(restart.safeRetract, "G28 U0");
}

TEST_F(CfgFormTest, OKWithoutChangesKeepsTheRecord) {
    const MachineConfig before = slot();
    open();
    clickOK();
    EXPECT_EQ(form->result(), QDialog::Accepted);
    EXPECT_EQ(slot(), before);
}

TEST_F(CfgFormTest, CapabilityLetters) {
    machines[1].capability = 'X';
    open();
    EXPECT_FALSE(check("cboxDownload")->isChecked());
    EXPECT_FALSE(check("cboxUpload")->isChecked());
    QTest::mouseClick(check("cboxUpload"), Qt::LeftButton);
    clickOK();
    EXPECT_EQ(slot().capability, 'U');

    open();
    QTest::mouseClick(check("cboxDownload"), Qt::LeftButton);
    clickOK();
    EXPECT_EQ(slot().capability, 'B');

    // A slot marked deleted stays deleted.
    machines[1].capability = '?';
    open();
    clickOK();
    EXPECT_EQ(slot().capability, '?');
}

TEST_F(CfgFormTest, ExtensionGetsItsDot) {
    machines[1].uploadExtension.clear();
    open();
    retype("txtDExt", "nc1");
    clickOK();
    EXPECT_EQ(slot().downloadExtension, ".nc1");
    EXPECT_EQ(box("txtDExt")->text(), ".nc1");
    EXPECT_EQ(slot().uploadExtension, "");
}

TEST_F(CfgFormTest, TypedValuesFitALineOfTheFile) {
    open();
    retype("txtDDir", "/" + QString(250, 'd'));
    retype("txtUStart", QString(250, 'G'));
    clickOK();
    vorl::test::TempDir dir;
    const std::string path = dir.file("vorl.vorlcfg");
    ASSERT_EQ(vorl::WriteConfiguration(path, machines), 3);
    MachineList reread;
    ASSERT_EQ(vorl::ReadConfiguration(path, reread), 3);
    EXPECT_EQ(reread[1].downloadDirectory.size(), 194u);
    EXPECT_EQ(reread[1], machines[1]);
}

// A path copied from a terminal ends in a line break; in the file it would
// split the line.
TEST_F(CfgFormTest, PastedLineBreaksAreLeftOutOfDirectoriesAndExtensions) {
    open();
    const auto paste = [this](const char* name, const QString& text) {
        QLineEdit* b = box(name);
        b->setFocus();
        b->selectAll();
        QApplication::clipboard()->setText(text);
        b->paste();
        return b->text();
    };
    EXPECT_EQ(paste("txtDDir", "/srv/nc/\tmill\n"), "/srv/nc/mill");
    EXPECT_EQ(paste("txtUDir", "/srv/nc\r\n/in\r\n"), "/srv/nc/in");
    EXPECT_EQ(paste("txtDExt", ".n\nc\n"), ".nc");
    EXPECT_EQ(paste("txtUExt", "tap\n"), "tap");
    clickOK();
    EXPECT_EQ(slot().downloadDirectory, "/srv/nc/mill");
    EXPECT_EQ(slot().uploadDirectory, "/srv/nc/in");
    EXPECT_EQ(slot().downloadExtension, ".nc");
    EXPECT_EQ(slot().uploadExtension, ".tap");
}

// A line of the file is counted in bytes: a directory of letters outside
// ASCII fills it sooner.
TEST_F(CfgFormTest, DirectoriesFitALineOfTheFileInBytes) {
    open();
    QLineEdit* b = box("txtDDir");
    b->setFocus();
    b->selectAll();
    for (int i = 0; i < 150; ++i) {
        QTest::sendKeyEvent(QTest::Click, b, Qt::Key_unknown, QString(QChar(0xE4)), Qt::NoModifier);
    }
    EXPECT_EQ(b->text(), QString(97, QChar(0xE4)));
    clickOK();
    vorl::test::TempDir dir;
    const std::string path = dir.file("vorl.vorlcfg");
    ASSERT_EQ(vorl::WriteConfiguration(path, machines), 3);
    MachineList reread;
    ASSERT_EQ(vorl::ReadConfiguration(path, reread), 3);
    EXPECT_EQ(reread[1].downloadDirectory, machines[1].downloadDirectory);
}

// Tab goes through the pages' controls and then Cancel and OK, left to right.
TEST_F(CfgFormTest, CancelComesBeforeOKInTheTabOrder) {
    open();
    EXPECT_EQ(get<QPushButton>("cmdCancel")->nextInFocusChain(), get<QPushButton>("cmdOK"));
}

TEST_F(CfgFormTest, LongStoredValuesAreNotCut) {
    machines[1].downloadExtension = ".extensionof15c";
    machines[1].blockDelay = 1234567;
    open();
    clickOK();
    EXPECT_EQ(slot().downloadExtension, ".extensionof15c");
    EXPECT_EQ(slot().blockDelay, 1234567);
}

TEST_F(CfgFormTest, SoftwareHandshakeWithXmodemIsRefused) {
    const MachineConfig before = slot();
    open();
    for (const char* handshake : {"Xon/Xoff", "Xon/Xoff/HW"}) {
        choose("cboxProtocol", "Xmodem");
        choose("cboxHandshake", handshake);
        EXPECT_EQ(clickOKRefused(), "Software handshake is not allowed when using XModem protocol");
        EXPECT_EQ(slot(), before);
    }
    choose("cboxProtocol", "ASCII");
    clickOK();
    EXPECT_EQ(form->result(), QDialog::Accepted);
    EXPECT_EQ(slot().handshake, 3);
}

TEST_F(CfgFormTest, XmodemStoresEightDataBitsOneStopBitNoParity) {
    open();
    EXPECT_TRUE(list("cboxDataBits")->isEnabled());
    choose("cboxProtocol", "Xmodem CRC");
    choose("cboxHandshake", "Hardware");
    EXPECT_FALSE(list("cboxDataBits")->isEnabled());
    EXPECT_FALSE(list("cboxStopBits")->isEnabled());
    EXPECT_FALSE(list("cboxParity")->isEnabled());
    clickOK();
    EXPECT_EQ(form->result(), QDialog::Accepted);
    EXPECT_EQ(slot().protocol, 2);
    EXPECT_EQ(slot().handshake, 2);
    EXPECT_EQ(slot().dataBits, 8);
    EXPECT_EQ(slot().stopBits, 1);
    EXPECT_EQ(slot().parity, 0);

    // Reopened: the lists show what was stored and stay disabled.
    open();
    EXPECT_EQ(list("cboxDataBits")->currentText(), "8");
    EXPECT_FALSE(list("cboxParity")->isEnabled());
}

TEST_F(CfgFormTest, CaretNotationInTriggerAndFilterBoxes) {
    open();
    retype("txtUEnd", "^M^J");
    retype("txtUStart", "^q");
    retype("txtUChars", "^@%");
    clickOK();
    EXPECT_EQ(slot().triggers[vorl::UploadEnd], "\r\n");
    EXPECT_EQ(slot().triggers[vorl::UploadStart], "\x11");
    EXPECT_EQ(slot().uploadFilterChars, std::string("\0%", 2));

    open();
    EXPECT_EQ(box("txtUEnd")->text(), "^M^J");
    EXPECT_EQ(box("txtUStart")->text(), "^Q");
    EXPECT_EQ(box("txtUChars")->text(), "^@%");
}

// The edit path through the real file: dialog, write, read, dialog again.
TEST_F(CfgFormTest, EditSurvivesTheConfigurationFile) {
    vorl::test::TempDir dir;
    const std::string path = dir.file("vorl.vorlcfg");
    open();
    retype("txtDReady", "DC2^m^j");
    box("txtDStart")->clear();
    type("txtDStart", QString::fromUtf8("\u00ca%"));
    choose("cboxProtocol", "Xmodem 1K");
    choose("cboxHandshake", "None");
    retype("txtUExt", "PRG");
    clickOK();
    ASSERT_EQ(vorl::WriteConfiguration(path, machines), 3);

    MachineList reread;
    ASSERT_EQ(vorl::ReadConfiguration(path, reread), 3);
    EXPECT_EQ(reread[1], machines[1]);
    EXPECT_EQ(reread[1].triggers[vorl::DownloadReady], "DC2\r\n");
    EXPECT_EQ(reread[1].triggers[vorl::DownloadStart], "\xca%");
    EXPECT_EQ(reread[2], machines[2]) << "the machine after it is still there";
    reread.selected = 1;
    machines = reread;
    open();
    EXPECT_EQ(box("txtDReady")->text(), "DC2^M^J");
    EXPECT_EQ(box("txtDStart")->text(), QString::fromUtf8("\u00ca%"));
    EXPECT_EQ(box("txtUExt")->text(), ".PRG");
    EXPECT_EQ(list("cboxProtocol")->currentText(), "Xmodem 1K");
}

// Trigger and filter strings take one byte per character: a character the
// code page lacks is refused, not sent to the machine as "?".
TEST_F(CfgFormTest, CharactersOutsideTheCodePageAreRefused) {
    const MachineConfig before = slot();
    open();
    box("txtDStart")->clear();
    type("txtDStart", QString::fromUtf8("%\u20ac"));
    QString text = clickOKRefused();
    EXPECT_TRUE(text.contains(QString::fromUtf8("\"\u20ac\" in Download Start")))
        << text.toStdString();
    EXPECT_EQ(slot(), before);
    EXPECT_EQ(get<QTabWidget>("pgcConfig")->currentWidget()->objectName(), "tabDataSpecs");
    EXPECT_EQ(box("txtDStart")->selectedText(), QString::fromUtf8("\u20ac"));

    retype("txtDStart", "%");
    type("txtUChars", QString::fromUtf8("\u00e9\u03a9"));
    text = clickOKRefused();
    EXPECT_TRUE(text.contains(QString::fromUtf8("\"\u03a9\""))) << text.toStdString();
    EXPECT_EQ(slot(), before);

    box("txtUChars")->clear();
    type("txtUChars", QString::fromUtf8("\u00e9"));
    clickOK();
    EXPECT_EQ(form->result(), QDialog::Accepted);
    EXPECT_EQ(slot().uploadFilterChars, "\xe9");
}

TEST_F(CfgFormTest, DelayAndLengthTakeDigitsOnly) {
    open();
    retype("txtDelay", "1a2-b 3");
    EXPECT_EQ(box("txtDelay")->text(), "123");
    retype("txtDelay", "9876543");
    EXPECT_EQ(box("txtDelay")->text(), "98765");
    retype("txtLength", "x7");
    EXPECT_EQ(box("txtLength")->text(), "7");
    clickOK();
    EXPECT_EQ(slot().blockDelay, 98765);
    EXPECT_EQ(slot().leaderLength, 7);

    open();
    box("txtDelay")->selectAll();
    QTest::keyClick(box("txtDelay"), Qt::Key_Backspace);
    box("txtLength")->clear();
    clickOK();
    EXPECT_EQ(slot().blockDelay, 0);
    EXPECT_EQ(slot().leaderLength, 0);
}

TEST_F(CfgFormTest, NoLineSpeedChosenIsRefused) {
    machines[1].baudRate = 1234;
    const MachineConfig before = slot();
    open();
    EXPECT_EQ(list("cboxSpeed")->currentIndex(), -1);
    EXPECT_EQ(clickOKRefused(), "Please choose a Line Speed from the list.");
    EXPECT_EQ(slot(), before);
    EXPECT_EQ(get<QTabWidget>("pgcConfig")->currentWidget()->objectName(), "tabCommunication");

    choose("cboxSpeed", "19200");
    clickOK();
    EXPECT_EQ(form->result(), QDialog::Accepted);
    EXPECT_EQ(slot().baudRate, 19200);
}

TEST_F(CfgFormTest, CancelAndEscapeLeaveTheSlot) {
    const MachineConfig before = slot();
    open();
    retype("txtDDir", "/tmp/other");
    QTest::mouseClick(check("cboxUpload"), Qt::LeftButton);
    QTest::mouseClick(get<QPushButton>("cmdCancel"), Qt::LeftButton);
    EXPECT_EQ(form->result(), QDialog::Rejected);
    EXPECT_EQ(slot(), before);

    open();
    retype("txtDelay", "7");
    QTest::keyClick(form.get(), Qt::Key_Escape);
    EXPECT_FALSE(form->isVisible());
    EXPECT_EQ(form->result(), QDialog::Rejected);
    EXPECT_EQ(slot(), before);
}

TEST_F(CfgFormTest, TriggerBoxShowsItsHintAndDirection) {
    open();
    form->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
    get<QTabWidget>("pgcConfig")->setCurrentWidget(get<QWidget>("tabDataSpecs"));
    auto* hint = get<QLabel>("lblHint");

    box("txtDStop")->setFocus();
    EXPECT_EQ(hint->text(),
              "Character(s) sent to machine controller to tell it that data transfer is complete");
    EXPECT_EQ(form->direction(), Direction::ToController);

    box("txtUReady")->setFocus();
    EXPECT_EQ(hint->text(), "Character(s) sent by machine controller to indicate start of upload");
    EXPECT_EQ(form->direction(), Direction::FromController);

    list("cboxEOB")->setFocus();
    EXPECT_EQ(hint->text(), "");
    EXPECT_EQ(form->direction(), Direction::Neutral);
}

TEST_F(CfgFormTest, LanguageTextsReplaceCaptions) {
    vorl::Language().setText(159, "XM-CRC");
    vorl::Language().setText(304, "Baudrate");
    vorl::Language().setText(351, "Bereit");
    open();
    vorl::Language().clear();
    EXPECT_EQ(list("cboxProtocol")->itemText(2), "XM-CRC");
    EXPECT_EQ(get<QLabel>("lblSpeed")->text(), "Baudrate");
    EXPECT_EQ(get<QLabel>("lblParity")->text(), "Parity");
    form->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
    get<QTabWidget>("pgcConfig")->setCurrentWidget(get<QWidget>("tabDataSpecs"));
    box("txtDReady")->setFocus();
    EXPECT_EQ(get<QLabel>("lblHint")->text(), "Bereit");
}

TEST_F(CfgFormTest, BrowsePutsTheChosenDirectoryIntoItsBox) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString before = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(dir.path()));
    open();
    QString caption;
    onNextModal(
        [&](QWidget* browser) {
            caption = browser->windowTitle();
            QTest::mouseClick(browser->findChild<QPushButton*>("cmdOK"), Qt::LeftButton);
        },
        form.get());
    QTest::mouseClick(get<QPushButton>("cmdUBrowse"), Qt::LeftButton);
    QDir::setCurrent(before);
    EXPECT_EQ(caption, "Browse");
    EXPECT_EQ(box("txtUDir")->text(), QDir(dir.path()).canonicalPath());
    clickOK();
    EXPECT_EQ(slot().uploadDirectory, QDir(dir.path()).canonicalPath().toStdString());
}

// A chosen directory that does not fit a line of the file is refused whole,
// never cut (here: the temporary directory, 120 letters and 40 letters of
// two bytes each).
TEST_F(CfgFormTest, BrowseRefusesADirectoryTooLongForTheFile) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString deep = dir.path() + '/' + QString(120, 'd') + '/' + QString(40, QChar(0xE4));
    ASSERT_TRUE(QDir().mkpath(deep));
    const QString before = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(deep));
    open();
    QString refusal;
    onNextModal(
        [&](QWidget* browser) {
            onNextModal(
                [&](QWidget* modal) {
                    auto* box = qobject_cast<QMessageBox*>(modal);
                    ASSERT_NE(box, nullptr);
                    refusal = box->text();
                    box->button(QMessageBox::Ok)->click();
                },
                browser);
            QTest::mouseClick(browser->findChild<QPushButton*>("cmdOK"), Qt::LeftButton);
        },
        form.get());
    QTest::mouseClick(get<QPushButton>("cmdDBrowse"), Qt::LeftButton);
    QDir::setCurrent(before);
    EXPECT_TRUE(refusal.contains("too long")) << refusal.toStdString();
    EXPECT_TRUE(refusal.contains(QDir(deep).canonicalPath())) << refusal.toStdString();
    EXPECT_EQ(box("txtDDir")->text(), "/srv/nc/Mill") << "the box keeps what it held";
}

} // namespace
