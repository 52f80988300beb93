// The compare window and the history window: what they mark and list, the
// options and the keyboard, and a restore that writes the file whole and is
// recorded, read back with git.
#include "viewers/compare_form.h"
#include "viewers/history_form.h"

#include "../temp_dir.h"
#include "viewer_test_util.h"

#include <QCheckBox>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTextBlock>
#include <QTreeWidget>

namespace vorl {
namespace {

const std::string kOld = "%\nO1234\nN10 G0 X0 Y0\nN20 G1 X50. F400\nN30 Y30.\nN40 M30\n%\n";
const std::string kNew = "%\nO1234\nN10 G0 X0 Y0\nN20 G1 X50. F350\nN30 Y30.\nN35 M9\nN40 M30\n%\n";

// The texts a view marks, whole rows left out.
std::vector<std::string> markedWords(QPlainTextEdit* view) {
    std::vector<std::string> out;
    for (const QTextEdit::ExtraSelection& s : view->extraSelections()) {
        if (s.cursor.hasSelection()) {
            out.push_back(s.cursor.selectedText().toStdString());
        }
    }
    return out;
}

std::string row(QPlainTextEdit* view, int n) {
    return view->document()->findBlockByNumber(n).text().toStdString();
}

TEST(CompareForm, MarksChangedBlocksAndWordsSideBySide) {
    TCompareForm form("old", kOld, "new", kNew);
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    EXPECT_EQ(form.result().changes.size(), 2u);
    EXPECT_EQ(markedWords(form.txtOld), std::vector<std::string>{"F400"});
    EXPECT_EQ(markedWords(form.txtNew), std::vector<std::string>{"F350"});
    // Rows line up: the inserted block faces an empty row.
    EXPECT_EQ(form.txtOld->document()->blockCount(), form.txtNew->document()->blockCount());
    EXPECT_EQ(row(form.txtOld, 5), "");
    EXPECT_EQ(row(form.txtNew, 5), "N35 M9");
    EXPECT_EQ(row(form.txtOld, 6), "N40 M30");

    // F8 and Shift+F8 walk the changes.
    QTest::keyClick(&form, Qt::Key_F8);
    EXPECT_EQ(form.currentChange(), 0);
    EXPECT_EQ(form.txtNew->textCursor().blockNumber(), form.rowOfChange(0));
    QTest::keyClick(&form, Qt::Key_F8);
    EXPECT_EQ(form.currentChange(), 1);
    EXPECT_EQ(form.txtOld->textCursor().blockNumber(), 5);
    QTest::keyClick(&form, Qt::Key_F8, Qt::ShiftModifier);
    EXPECT_EQ(form.currentChange(), 0);
    EXPECT_EQ(form.lblSummary->text().toStdString(), "Change 1 of 2");
}

TEST(CompareForm, OptionsAndOnlyChanges) {
    std::string renumbered;
    std::string program = "%\n";
    for (int i = 1; i <= 40; ++i) {
        program += "N" + std::to_string(i * 10) + " G1 X" + std::to_string(i) + "\n";
        renumbered +=
            "N" + std::to_string(i * 5) + " G1 X" + std::to_string(i == 20 ? 99 : i) + "\n";
    }
    renumbered = "%\n" + renumbered;
    TCompareForm form("a", program, "b", renumbered);
    EXPECT_EQ(form.result().changedBlocks(), 40u);
    form.chkIgnoreNumbers->setChecked(true);
    EXPECT_EQ(form.result().changedBlocks(), 1u);
    EXPECT_EQ(form.txtOld->document()->blockCount(), 41);
    form.chkOnlyChanges->setChecked(true);
    // The change and three blocks either side.
    EXPECT_EQ(form.txtOld->document()->blockCount(), 7);
    EXPECT_EQ(row(form.txtNew, 3), "N100 G1 X99");
    EXPECT_EQ(markedWords(form.txtNew), std::vector<std::string>{"X99"});
    form.chkIgnoreNumbers->setChecked(false);
    EXPECT_EQ(form.result().changedBlocks(), 40u);
}

class HistoryFormTest : public ::testing::Test {
protected:
    void SetUp() override {
        program = dir.file("O1234.nc");
        test::writeBytes(program, kNew);
        recorder = std::make_shared<history::HistoryRecorder>(dir.file("shop.history.git"));
        history::TransferEvent e;
        e.program = "O1234.nc";
        e.file = program;
        e.machine = "Mill 1";
        e.port = "COM 1 (/dev/ttyS0)";
        test::writeBytes(program, kOld);
        recorder->Record(e);
        ASSERT_TRUE(recorder->WaitIdle(std::chrono::seconds(20)));
        test::writeBytes(program, kNew);
        e.direction = history::Direction::Received;
        recorder->Record(e);
        ASSERT_TRUE(recorder->WaitIdle(std::chrono::seconds(20)));
    }

    vorl::test::TempDir dir;
    std::string program;
    std::shared_ptr<history::HistoryRecorder> recorder;
};

TEST_F(HistoryFormTest, ListsComparesAndRestores) {
    THistoryForm form(recorder, program);
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    ASSERT_EQ(form.lstHistory->topLevelItemCount(), 2);
    QTreeWidgetItem* received = form.lstHistory->topLevelItem(0);
    QTreeWidgetItem* sent = form.lstHistory->topLevelItem(1);
    EXPECT_EQ(received->text(1).toStdString(), "received");
    EXPECT_EQ(received->text(2).toStdString(), "Mill 1");
    EXPECT_EQ(received->text(6).toStdString(),
              "new version, 2 blocks changed; changed at the control: 2 blocks");
    EXPECT_FALSE(form.cmdCompare->isEnabled());

    size_t compared = 0;
    std::string oldTitle;
    form.showCompare = [&](TCompareForm& c) {
        compared = c.result().changedBlocks();
        oldTitle = c.lblOld->text().toStdString();
    };
    received->setSelected(true);
    sent->setSelected(true);
    ASSERT_TRUE(form.cmdCompare->isEnabled());
    EXPECT_FALSE(form.cmdRestore->isEnabled());
    QTest::mouseClick(form.cmdCompare, Qt::LeftButton);
    EXPECT_EQ(compared, 2u);
    EXPECT_NE(oldTitle.find("sent"), std::string::npos) << oldTitle;

    received->setSelected(false);
    test::onNextModal(
        [](QWidget* w) {
            auto* box = qobject_cast<QMessageBox*>(w);
            ASSERT_NE(box, nullptr);
            EXPECT_EQ(box->objectName().toStdString(), "RestoreQuestion");
            box->button(QMessageBox::Yes)->click();
        },
        "QMessageBox");
    QTest::mouseClick(form.cmdRestore, Qt::LeftButton);
    EXPECT_EQ(test::readBytes(program), kOld);
    ASSERT_EQ(form.lstHistory->topLevelItemCount(), 3);
    EXPECT_EQ(form.lstHistory->topLevelItem(0)->text(1).toStdString(), "restored");
    int status = -1;
    EXPECT_EQ(test::CommandOutput("git -C '" + dir.file("shop.history.git") +
                                      "' show main:programs/O1234.nc",
                                  &status),
              kOld);
    EXPECT_EQ(status, 0);
    // Nothing is left beside the program.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                            std::filesystem::directory_iterator()),
              2);
}

TEST_F(HistoryFormTest, RestoreAnsweredNoChangesNothing) {
    THistoryForm form(recorder, program);
    form.lstHistory->topLevelItem(1)->setSelected(true);
    test::onNextModal(
        [](QWidget* w) { qobject_cast<QMessageBox*>(w)->button(QMessageBox::No)->click(); },
        "QMessageBox");
    QTest::mouseClick(form.cmdRestore, Qt::LeftButton);
    EXPECT_EQ(test::readBytes(program), kNew);
    EXPECT_EQ(form.lstHistory->topLevelItemCount(), 2);
}

} // namespace
} // namespace vorl
