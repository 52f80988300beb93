// The main window and its dialogs as an operator at the keyboard and a screen
// reader get them: value fields that say their values, the keyboard where the
// work starts, F1 at the window's help topic.
#include "app_fixture.h"

#include "../accessibility.h"
#include "app/help_window.h"
#include "machines/ui/mlist_form.h"
#include "viewer_test_util.h"

#include <QApplication>
#include <QLineEdit>
#include <QTest>
#include <QTextBlock>
#include <QTextBrowser>

#include <chrono>

namespace vorl {
namespace {

using namespace std::chrono_literals;
using test::accessibleDescription;
using test::accessibleLabels;
using test::accessibleName;
using test::AppTest;
using test::ModalDriver;
using test::writeBytes;

TEST_F(AppTest, ValueFieldsSayTheirValuesAndEveryChange) {
    writeMachines({{'D', "Mill"}});
    const std::string prog = dir.file("O1000 <b>.nc");
    writeBytes(prog, "%\nG0X0\n%\n");
    auto form = start({QString::fromStdString(prog), "-m", "Mill"});
    const std::pair<QLabel*, QString> fields[] = {
        {form->lblOperation, "Operation"},      {form->lblMachine, "Machine"},
        {form->lblFilename, "Filename"},        {form->lblStatus, "Status"},
        {form->panCharsTotal, "Characters"},    {form->panCharsTransferred, "Transferred"},
        {form->panElapsedTime, "Time Elapsed"}, {form->panRemainingTime, "Time Remaining"},
        {form->panCPS, "Characters / Second"}};
    for (const auto& [value, caption] : fields) {
        SCOPED_TRACE(caption.toStdString());
        EXPECT_EQ(accessibleDescription(value), caption);
        EXPECT_EQ(accessibleLabels(value), QStringList{caption + ':'});
    }
    EXPECT_EQ(accessibleName(form->lblOperation), "Download");
    EXPECT_EQ(accessibleName(form->lblMachine), "Mill");
    EXPECT_EQ(accessibleName(form->lblFilename), QString::fromStdString(prog))
        << "a file name is plain text";
    EXPECT_EQ(accessibleName(form->lblStatus), "Ready");

    QTest::mouseClick(form->cmdReset, Qt::LeftButton);
    EXPECT_EQ(accessibleName(form->lblStatus), "Reset");
    // An empty field reads as its caption.
    EXPECT_EQ(accessibleName(form->lblMachine), "Machine:");
    EXPECT_EQ(accessibleDescription(form->lblMachine), "Machine");
}

TEST_F(AppTest, TimeRemainingSaysUnknownWhenTheLineStalls) {
    auto form = start();
    std::chrono::steady_clock::time_point now{1000h};
    TTransferEngine& engine = *form->engine;
    engine.progress = TransferProgress([&now] { return now; });
    engine.progress.ResetProgress();
    form->transfer.charsTotal = 8640 + 9600;
    form->transfer.charsTransferred = 8640;
    now += 9s;
    engine.Timer3Timer();
    EXPECT_EQ(accessibleName(form->panCPS), "960");
    EXPECT_EQ(accessibleName(form->panRemainingTime), "00:00:10");

    // The controller holds the line for hours: the rate falls to nothing
    // while 9600 characters are still owed.
    now = engine.progress.startTime + 8643s;
    engine.Timer3Timer();
    EXPECT_EQ(form->panCPS->text(), "0");
    EXPECT_EQ(form->panRemainingTime->text(), "--:--:--");
    EXPECT_EQ(accessibleName(form->panRemainingTime), "--:--:--");
}

TEST_F(AppTest, MachineListOnAFreshFileTakesTheFirstNameAsTyped) {
    QString described;
    ModalDriver driver([&](QDialog* d) {
        auto* list = qobject_cast<TMListForm*>(d);
        ASSERT_NE(list, nullptr);
        QWidget* focus = d->focusWidget();
        ASSERT_EQ(focus, list->cellEditor(0)) << "the keyboard starts in the first cell";
        described = accessibleDescription(focus);
        // A space must not press a button: "Lathe 7" is a name.
        QTest::keyClicks(focus, "Lathe 7");
        EXPECT_TRUE(d->isVisible());
        EXPECT_EQ(accessibleDescription(focus), "") << "the prompt is gone once a name is typed";
        QTest::mouseClick(d->findChild<QPushButton*>("cmdOK"), Qt::LeftButton);
    });
    auto form = start();
    form->mnuConfigMachineList->trigger();
    EXPECT_EQ(described, "<Enter name of first machine here>");
    ASSERT_EQ(form->machineList.count, 2);
    EXPECT_EQ(form->machineList[1].name, "Lathe 7");
    EXPECT_EQ(driver.stuck, 0);
}

// Each dialog opens with the keyboard where its work starts: the first name of
// the list, the first setting, the directory tree, "Open Port" (nothing typed
// reaches the controller before), the program text.
TEST_F(AppTest, DialogsOpenWithTheKeyboardAtTheFirstThingToDo) {
    writeMachines({{'D', "Mill"}, {'D', "Lathe"}});
    writeBytes(dir.file("O1.nc"), "%\nG0X0\n%\n");
    std::vector<std::string> focused;
    ModalDriver driver([&](QDialog* d) {
        // The keyboard is handed out once the window is active.
        EXPECT_TRUE(QTest::qWaitFor([d] { return d->focusWidget() != nullptr; }, 2000));
        QWidget* focus = d->focusWidget();
        focused.push_back(focus != nullptr ? focus->objectName().toStdString() : "none");
        if (auto* list = qobject_cast<TMListForm*>(d)) {
            EXPECT_EQ(focus, list->cellEditor(0));
        }
        if (d->objectName() == "TCfgFrm") {
            test::onNextModal(
                [&](QWidget* browse) {
                    EXPECT_TRUE(QTest::qWaitFor(
                        [browse] { return browse->focusWidget() != nullptr; }, 2000));
                    focused.push_back(browse->focusWidget()->objectName().toStdString());
                    static_cast<QDialog*>(browse)->reject();
                },
                "vorl::TDirBrowse");
            QTest::mouseClick(d->findChild<QPushButton*>("cmdDBrowse"), Qt::LeftButton);
        }
        d->reject();
    });
    auto form = start({QString::fromStdString(dir.file("O1.nc")), "-m", "Mill"});
    form->mnuConfigMachineList->trigger();
    form->mnuConfigEditClick(1);
    form->mnuCommTerminal->trigger();
    form->mnuFileReview->trigger();
    EXPECT_EQ(focused, (std::vector<std::string>{"txtMachineName", "cboxDownload", "tvwDirs",
                                                 "cmdOpen", "txtReview"}));
}

// A help file whose topics lie far apart, each under an anchor named by its
// help context.
std::string helpWithTopics() {
    std::string html = "<html><body><h1>VORL II</h1>";
    for (int context : {10, 250, 260}) {
        for (int i = 0; i < 80; ++i) {
            html += "<p>Filler line " + std::to_string(i) + "</p>";
        }
        html += "<h2><a name=\"" + std::to_string(context) + "\"></a>Topic " +
                std::to_string(context) + "</h2><p>About it.</p>";
    }
    for (int i = 0; i < 80; ++i) {
        html += "<p>Closing line " + std::to_string(i) + "</p>";
    }
    return html + "</body></html>";
}

TEST_F(AppTest, F1OpensTheHelpAtTheTopicOfTheWindow) {
    writeMachines({{'D', "Mill"}});
    writeBytes(program() + ".hlp", helpWithTopics());
    auto form = start();
    // F1 in `target`: the first line the help window shows.
    const auto helpTopic = [](QWidget* target) {
        std::string top;
        bool closed = false;
        test::onNextModal(
            [&](QWidget* modal) {
                QTextBrowser* text = static_cast<THelpForm*>(modal)->txtHelp;
                top = text->cursorForPosition(QPoint(4, 4)).block().text().toStdString();
                QTest::keyClick(text, Qt::Key_F1); // opens no second help window
                static_cast<QDialog*>(modal)->reject();
                closed = true;
            },
            "vorl::THelpForm");
        QTest::keyClick(target, Qt::Key_F1);
        EXPECT_TRUE(QTest::qWaitFor([&] { return closed; }, 5000));
        return top;
    };
    std::string topic;
    const auto inDialog = [&](QWidget* dialog) {
        topic = helpTopic(dialog->focusWidget() != nullptr ? dialog->focusWidget() : dialog);
        static_cast<QDialog*>(dialog)->reject();
    };
    test::onNextModal(inDialog);
    form->mnuConfigEditClick(1);
    EXPECT_EQ(topic, "Topic 250");
    test::onNextModal(inDialog);
    form->mnuConfigMachineList->trigger();
    EXPECT_EQ(topic, "Topic 260");
    EXPECT_EQ(helpTopic(form->cmdReset), "Topic 10");

    bool aboutClosed = false;
    test::onNextModal([&](QWidget* about) {
        QTest::keyClick(about, Qt::Key_F1);
        aboutClosed = !about->isVisible();
    });
    form->mnuHelpAbout->trigger();
    EXPECT_TRUE(aboutClosed) << "F1 closes the about window like any other key";

    // The help file that comes with the program has a topic for every window:
    // main, configuration, machine list, terminal, review, log viewer.
    THelpForm installed;
    ASSERT_TRUE(installed.loadFile(VORL_SOURCE_DIR "/dist/vorl.hlp"));
    QStringList anchors;
    for (QTextBlock b = installed.txtHelp->document()->begin(); b.isValid(); b = b.next()) {
        for (auto it = b.begin(); !it.atEnd(); ++it) {
            anchors += it.fragment().charFormat().anchorNames();
        }
    }
    for (int context : {10, 250, 260, 270, 280, 290}) {
        EXPECT_TRUE(anchors.contains(QString::number(context))) << context;
    }
}

} // namespace
} // namespace vorl
