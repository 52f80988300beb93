// The review window driven from the main window's File menu, and what the
// chosen restart does to the next download preparation.
#include "../app/app_fixture.h"
#include "transfer/data_preparation.h"
#include "viewer_test_util.h"

#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

#include <cstdio>

namespace vorl {
namespace {

using test::child;

class ReviewRestartTest : public test::AppTest {
protected:
    // The program's lines from `first` (1-based) to its end, as a machine
    // without filters gets them.
    static std::string linesFrom(int first, int lines) {
        std::string bytes;
        for (int i = first; i <= lines; ++i) {
            bytes += "N" + std::to_string(i * 10) + " G01 X" + std::to_string(i) + "\r\n";
        }
        return bytes;
    }

    std::string prepare(const TMainForm& form) {
        DownloadRequest request;
        request.sourcePath = form.lblFilename->text().toStdString();
        request.startBlock = form.transfer.startBlock;
        request.prefixText = form.transfer.prefixText;
        const PreparedDownload prepared = PrepareDownloadFile(MachineConfig{}, request);
        EXPECT_TRUE(prepared.ok) << prepared.message;
        const std::string bytes = test::readBytes(prepared.tempFileName);
        std::remove(prepared.tempFileName.c_str());
        return bytes;
    }
};

TEST_F(ReviewRestartTest, ChosenBlockAndPrefixReachTheNextPreparation) {
    const std::string prog = dir.file("part.nc");
    test::writeBytes(prog, test::program(30).toStdString());
    auto form = start();
    form->lblFilename->setText(QString::fromStdString(prog));
    form->mnuFileReview->setEnabled(true);

    test::onNextModal(
        [](QWidget* review) {
            test::caretToLine(child<TextFileView>(review, "txtReview"), 11);
            QTest::mouseClick(child<QPushButton>(review, "cmdSetBlock"), Qt::LeftButton);
            QTest::mouseClick(child<QPushButton>(review, "cmdAddPrefix"), Qt::LeftButton);
            QTest::keyClicks(child<QPlainTextEdit>(review, "txtPrefix"), "G90 G54");
            QTest::mouseClick(child<QPushButton>(review, "cmdAccept"), Qt::LeftButton);
            QTest::mouseClick(child<QPushButton>(review, "cmdClose"), Qt::LeftButton);
        },
        "vorl::TReviewForm");
    form->mnuFileReview->trigger();
    EXPECT_EQ(form->lblOperation->text(), "Download with prefix and starting at block: 12");
    EXPECT_EQ(form->transfer.startBlock, 12);
    EXPECT_EQ(form->transfer.prefixText, "G90 G54\r\n");
    EXPECT_TRUE(form->transfer.refilterNeeded);
    // Eleven counted blocks skipped, the prefix on a line of its own before block 12.
    EXPECT_EQ(prepare(*form), "G90 G54\r\n" + linesFrom(12, 30));

    // "Remove Prefix" after Connect: the file is prepared again, without it.
    form->transfer.refilterNeeded = false;
    test::onNextModal(
        [](QWidget* review) {
            QTest::mouseClick(child<QPushButton>(review, "cmdRemove"), Qt::LeftButton);
            QTest::mouseClick(child<QPushButton>(review, "cmdClose"), Qt::LeftButton);
        },
        "vorl::TReviewForm");
    form->mnuFileReview->trigger();
    EXPECT_EQ(form->lblOperation->text(), "Download starting at block: 12");
    EXPECT_TRUE(form->transfer.refilterNeeded);
    EXPECT_EQ(form->transfer.prefixText, "");
    EXPECT_EQ(prepare(*form), linesFrom(12, 30));
    closeForm(*form);
}

} // namespace
} // namespace vorl
