#include "viewers/review.h"
#include "viewers/review_form.h"
#include "viewers/toolpath_panel.h"
#include "viewers/toolpath_view.h"

#include "../accessibility.h"
#include "text/language_table.h"
#include "viewer_test_util.h"

#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QTimer>

#include <memory>

namespace vorl {
namespace {

using test::caretToLine;
using test::child;

class ReviewFormTest : public ::testing::Test {
protected:
    void SetUp() override { fileName = files.write("part.nc", test::program(200)).toStdString(); }
    void TearDown() override { Language().clear(); }

    ReviewFields fields() {
        return ReviewFields{fileName, startBlock, prefixText, refilterNeeded, restart};
    }

    TReviewForm* open(bool languageLoaded = false) {
        form = std::make_unique<TReviewForm>(fields(), languageLoaded);
        form->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(form.get()));
        return form.get();
    }

    TextFileView* review() { return child<TextFileView>(form.get(), "txtReview"); }
    bool lineBold(int line) { return review()->isLineBold(line); }
    void click(const char* name) {
        QTest::mouseClick(child<QPushButton>(form.get(), name), Qt::LeftButton);
    }
    QString blockCaption() { return child<QGroupBox>(form.get(), "GroupBox2")->title(); }
    QString blockNumber() { return child<QLabel>(form.get(), "lblBlockNumber")->text(); }
    int firstVisibleLine() { return review()->firstVisibleLine(); }

    test::TempFiles files;
    std::string fileName;
    int startBlock = 0;
    std::string prefixText;
    bool refilterNeeded = false;
    RestartOptions restart{ControlDialect::Mill, "G91 G28 Z0"};
    std::unique_ptr<TReviewForm> form;
};

TEST_F(ReviewFormTest, ShowsTheProgramAndTheLineOfTheCaret) {
    open();
    EXPECT_EQ(form->windowTitle(), "Review: " + QString::fromStdString(fileName));
    EXPECT_EQ(review()->lineText(11), "N120 G01 X12");
    EXPECT_EQ(blockNumber(), "1");
    EXPECT_EQ(blockCaption(), "Alternate start block: None");
    caretToLine(review(), 11);
    EXPECT_EQ(blockNumber(), "12");
    QTest::keyClick(review(), Qt::Key_Up, Qt::ShiftModifier);
    EXPECT_EQ(blockNumber(), "11"); // the start of the selection counts

    // A screen reader reads the number, described by its caption.
    auto* number = child<QLabel>(form.get(), "lblBlockNumber");
    EXPECT_EQ(test::accessibleName(number), "11");
    EXPECT_EQ(test::accessibleDescription(number), "Block");
    EXPECT_EQ(test::accessibleLabels(number), QStringList{"Block:"});
}

// The toolpath beside the text: the caret's block is highlighted on the path,
// a click on the path puts the caret on the block that drew it, and the
// restart block is marked.
TEST_F(ReviewFormTest, ToolpathFollowsTheCaretAndAClickSelectsTheBlock) {
    fileName = files
                   .write("square.nc", "G21 G17 G90 G94 G54\r\nT1 M06\r\nG00 X0 Y0 Z0\r\n"
                                       "G01 X40. F100.\r\nY40.\r\nX0\r\nY0\r\nM30\r\n")
                   .toStdString();
    open();
    auto* panel = child<ToolpathPanel>(form.get(), "pnlToolpath");
    auto* view = panel->view();
    ASSERT_TRUE(QTest::qWaitFor([&] { return panel->isRead(); }, 20000));
    caretToLine(review(), 4);
    EXPECT_EQ(view->highlightedBlock(), 5);
    EXPECT_EQ(child<QLabel>(form.get(), "lblHighlight")->text(),
              "Block 5 ends at X 40 Y 40 Z 0 mm");
    // Half way along block 6, from (40, 40) to (0, 40).
    const ScreenPoint middle = view->projection().toScreen(20, 40, 0);
    QTest::mouseClick(view, Qt::LeftButton, {}, QPoint(qRound(middle.x), qRound(middle.y)));
    EXPECT_TRUE(QTest::qWaitFor([&] { return review()->selectionStartLine() == 5; }, 5000));
    EXPECT_EQ(blockNumber(), "6");
    EXPECT_EQ(view->highlightedBlock(), 6);
    caretToLine(review(), 4);
    click("cmdSetBlock");
    EXPECT_EQ(view->restartBlock(), 5);
    EXPECT_NE(test::accessibleDescription(view).indexOf("Run time about 0:01:36."), -1)
        << test::accessibleDescription(view).toStdString();
}

TEST_F(ReviewFormTest, SetBlockOnLine12StoresItAndBoldsIt) {
    open();
    caretToLine(review(), 11);
    click("cmdSetBlock");
    EXPECT_EQ(form->chosenBlock(), 12);
    EXPECT_TRUE(lineBold(11));
    EXPECT_FALSE(lineBold(10));
    EXPECT_FALSE(lineBold(12));
    EXPECT_EQ(blockCaption(), "Alternate start block: 12");
    EXPECT_EQ(blockNumber(), "12");
    EXPECT_TRUE(refilterNeeded);
    EXPECT_EQ(startBlock, 0); // taken over only when the window closes
}

TEST_F(ReviewFormTest, SetBlockTwiceMovesTheBoldAndBlockOneMeansNone) {
    open();
    caretToLine(review(), 11);
    click("cmdSetBlock");
    caretToLine(review(), 29);
    click("cmdSetBlock");
    EXPECT_FALSE(lineBold(11));
    EXPECT_TRUE(lineBold(29));
    EXPECT_EQ(form->chosenBlock(), 30);
    EXPECT_EQ(blockCaption(), "Alternate start block: 30");

    caretToLine(review(), 0);
    click("cmdSetBlock");
    EXPECT_EQ(form->chosenBlock(), 0);
    EXPECT_FALSE(lineBold(29));
    EXPECT_FALSE(lineBold(0));
    EXPECT_EQ(blockCaption(), "Alternate start block: None");
}

TEST_F(ReviewFormTest, ReopeningShowsTheChosenLineAtTheTopAndTheAcceptedPrefix) {
    test::onNextModal([](QWidget* modal) {
        auto* view = child<TextFileView>(modal, "txtReview");
        caretToLine(view, 11);
        QTest::mouseClick(child<QPushButton>(modal, "cmdSetBlock"), Qt::LeftButton);
        QTest::mouseClick(child<QPushButton>(modal, "cmdAddPrefix"), Qt::LeftButton);
        auto* prefix = child<QPlainTextEdit>(modal, "txtPrefix");
        EXPECT_TRUE(prefix->isVisible());
        QTest::keyClicks(prefix, "G90");
        QTest::keyClick(prefix, Qt::Key_Return);
        QTest::keyClicks(prefix, "G54");
        QTest::mouseClick(child<QPushButton>(modal, "cmdAccept"), Qt::LeftButton);
        QTest::mouseClick(child<QPushButton>(modal, "cmdClose"), Qt::LeftButton);
    });
    EXPECT_EQ(mnuFileReviewClick(nullptr, fields(), false),
              "Download with prefix and starting at block: 12");
    EXPECT_EQ(startBlock, 12);
    EXPECT_EQ(prefixText, "G90\r\nG54\r\n");
    EXPECT_TRUE(refilterNeeded);

    refilterNeeded = false;
    test::onNextModal([](QWidget* modal) {
        auto* view = child<TextFileView>(modal, "txtReview");
        EXPECT_TRUE(view->isLineBold(11));
        EXPECT_EQ(view->firstVisibleLine(), 11);
        EXPECT_EQ(child<QGroupBox>(modal, "GroupBox2")->title(), "Alternate start block: 12");
        EXPECT_EQ(child<QLabel>(modal, "lblBlockNumber")->text(), "12");
        auto* prefix = child<QPlainTextEdit>(modal, "txtPrefix");
        EXPECT_TRUE(prefix->isVisible());
        EXPECT_EQ(prefix->toPlainText(), "G90\nG54\n");
        QTest::keyClick(modal, Qt::Key_Escape);
    });
    EXPECT_EQ(mnuFileReviewClick(nullptr, fields(), false),
              "Download with prefix and starting at block: 12");
    EXPECT_EQ(startBlock, 12);
    EXPECT_EQ(prefixText, "G90\r\nG54\r\n");
    EXPECT_FALSE(refilterNeeded);
}

TEST_F(ReviewFormTest, PrefixTypedButNotAcceptedStoresNothing) {
    open();
    click("cmdAddPrefix");
    QTest::keyClicks(child<QPlainTextEdit>(form.get(), "txtPrefix"), "G90 G17");
    click("cmdClose");
    EXPECT_EQ(prefixText, "");
    EXPECT_FALSE(refilterNeeded);
}

TEST_F(ReviewFormTest, RemovePrefixEmptiesItAndAsksForANewPreparation) {
    prefixText = "G90\r\n";
    startBlock = 40;
    open();
    auto* prefix = child<QPlainTextEdit>(form.get(), "txtPrefix");
    ASSERT_TRUE(prefix->isVisible());
    EXPECT_EQ(prefix->toPlainText(), "G90\n");
    EXPECT_EQ(firstVisibleLine(), 39);
    click("cmdRemove");
    EXPECT_EQ(prefixText, "");
    EXPECT_TRUE(refilterNeeded);
    EXPECT_FALSE(prefix->isVisible());
    EXPECT_FALSE(child<QPushButton>(form.get(), "cmdAccept")->isVisible());
    EXPECT_TRUE(prefix->toPlainText().isEmpty());
}

TEST_F(ReviewFormTest, AddPrefixKeepsTheChosenLineAtTheTop) {
    startBlock = 50;
    open();
    review()->verticalScrollBar()->setValue(120);
    click("cmdAddPrefix");
    EXPECT_EQ(firstVisibleLine(), 49);
    EXPECT_TRUE(child<QPlainTextEdit>(form.get(), "txtPrefix")->hasFocus());
}

TEST_F(ReviewFormTest, SearchFindsOccurrencesInTurnWithoutCaseDistinction) {
    QByteArray bytes = test::program(40);
    bytes.replace("N50 G01 X5", "N50 G54 X5").replace("N90 G01 X9", "N90 g54 X9");
    fileName = files.write("search.nc", bytes).toStdString();
    open();
    auto* arg = child<QLineEdit>(form.get(), "txtSearchArg");
    QTest::keyClicks(arg, "G54");

    click("cmdSearch");
    EXPECT_EQ(review()->selectedText(), "G54");
    EXPECT_EQ(review()->position().line, 4);
    EXPECT_TRUE(review()->hasFocus());
    EXPECT_EQ(blockNumber(), "5");

    click("cmdSearch");
    EXPECT_EQ(review()->selectedText(), "g54");
    EXPECT_EQ(review()->position().line, 8);
    const auto found = std::make_pair(review()->anchor(), review()->position());

    // Nothing after the last match: the operator is told and the selection stays.
    QString told;
    test::onNextModal([&told](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        ASSERT_NE(box, nullptr);
        told = box->text();
        box->accept();
    });
    click("cmdSearch");
    EXPECT_EQ(told, "\"G54\" was not found after the current position.");
    EXPECT_EQ(std::make_pair(review()->anchor(), review()->position()), found);
}

// Return in the search field searches; elsewhere Close stays the default.
TEST_F(ReviewFormTest, ReturnInTheSearchFieldSearchesAndElsewhereCloses) {
    QByteArray bytes = test::program(40);
    bytes.replace("N50 G01 X5", "N50 G54 X5").replace("N90 G01 X9", "N90 g54 X9");
    fileName = files.write("search.nc", bytes).toStdString();
    open();
    auto* arg = child<QLineEdit>(form.get(), "txtSearchArg");
    QTest::keyClicks(arg, "G54");
    QTest::keyClick(arg, Qt::Key_Return);
    ASSERT_TRUE(form->isVisible());
    EXPECT_EQ(review()->position().line, 4);
    QTest::keyClick(arg, Qt::Key_Enter, Qt::KeypadModifier);
    ASSERT_TRUE(form->isVisible());
    EXPECT_EQ(review()->position().line, 8);

    QTest::keyClick(review(), Qt::Key_Return);
    EXPECT_FALSE(form->isVisible());
    EXPECT_EQ(form->result(), QDialog::Accepted);
}

TEST_F(ReviewFormTest, EmptySearchFieldDoesNothing) {
    open();
    caretToLine(review(), 7);
    const TextFileView::Position before = review()->position();
    {
        test::NoModalGuard guard;
        click("cmdSearch");
    }
    EXPECT_EQ(review()->position(), before);
    EXPECT_FALSE(review()->hasSelection());
}

TEST_F(ReviewFormTest, PlacementFollowsTheWindowSize) {
    open();
    EXPECT_EQ(form->minimumSize(), QSize(574, 333));
    auto check = [this](bool prefix) {
        SCOPED_TRACE(prefix ? "with prefix editor" : "without prefix editor");
        const int w = form->width();
        const int h = form->height();
        // The text and its toolpath side by side, where the text alone was.
        const QRect text = child<QWidget>(form.get(), "splReview")->geometry();
        EXPECT_LT(review()->geometry().right(),
                  child<QWidget>(form.get(), "pnlToolpath")->geometry().left());
        const QRect search = child<QWidget>(form.get(), "GroupBox1")->geometry();
        const QRect block = child<QWidget>(form.get(), "GroupBox2")->geometry();
        const QRect close = child<QWidget>(form.get(), "cmdClose")->geometry();
        const QRect number = child<QWidget>(form.get(), "lblBlockNumber")->geometry();
        const QRect word = child<QWidget>(form.get(), "lblBlockWord")->geometry();
        EXPECT_EQ(text.left(), 0);
        EXPECT_EQ(text.width(), w);
        EXPECT_LE(text.bottom(), search.top());
        EXPECT_GE(text.bottom(), search.top() - 10);
        EXPECT_GE(search.bottom(), h - 10);
        EXPECT_EQ(block.bottom(), search.bottom());
        EXPECT_GE(close.bottom(), h - 10);
        EXPECT_GE(close.right(), w - 10);
        EXPECT_GE(number.right(), w - 10);
        EXPECT_EQ(number.top(), search.top());
        EXPECT_EQ(word.top(), search.top());
        EXPECT_LT(word.right(), number.left());
        EXPECT_LE(number.bottom(), close.top());
        EXPECT_LE(search.right(), block.left());
        EXPECT_LE(block.right(), word.left());
        if (prefix) {
            const QRect editor = child<QWidget>(form.get(), "txtPrefix")->geometry();
            const QRect accept = child<QWidget>(form.get(), "cmdAccept")->geometry();
            const QRect remove = child<QWidget>(form.get(), "cmdRemove")->geometry();
            EXPECT_EQ(editor.top(), 0);
            EXPECT_EQ(editor.height(), h / 3);
            EXPECT_EQ(editor.width(), w);
            EXPECT_GT(accept.top(), editor.bottom());
            EXPECT_LE(accept.top(), editor.bottom() + 5);
            EXPECT_EQ(remove.top(), accept.top());
            EXPECT_GT(remove.left(), accept.right());
            EXPECT_GT(text.top(), accept.bottom());
        } else {
            EXPECT_EQ(text.top(), 0);
        }
    };
    check(false);
    form->resize(900, 640);
    check(false);
    click("cmdAddPrefix");
    check(true);
    form->resize(1000, 700);
    check(true);
    form->resize(100, 100);
    EXPECT_GE(form->width(), 574);
    EXPECT_GE(form->height(), 333);
    check(true);
}

TEST_F(ReviewFormTest, LanguageCaptionsReplaceTheDesignCaptionsWhenLoaded) {
    Language().setText(322, "Durchsicht: ");
    Language().setText(61, "Suchen");
    Language().setText(62, "Vorsatz übernehmen");
    Language().setText(58, "Schließen");
    Language().setText(63, "Vorsatz entfernen");
    Language().setText(60, "Satz wählen");
    Language().setText(59, "Vorsatz");
    Language().setText(321, "Suchen nach...");
    Language().setText(336, "Satz:");
    Language().setText(104, "Alternativer Startsatz: ");
    Language().setText(106, "Keiner");
    open(true);
    EXPECT_EQ(form->windowTitle(), "Durchsicht: " + QString::fromStdString(fileName));
    EXPECT_EQ(child<QPushButton>(form.get(), "cmdSearch")->text(), "Suchen");
    EXPECT_EQ(child<QPushButton>(form.get(), "cmdAccept")->text(), "Vorsatz übernehmen");
    EXPECT_EQ(child<QPushButton>(form.get(), "cmdClose")->text(), "Schließen");
    EXPECT_EQ(child<QPushButton>(form.get(), "cmdRemove")->text(), "Vorsatz entfernen");
    EXPECT_EQ(child<QPushButton>(form.get(), "cmdSetBlock")->text(), "Satz wählen");
    EXPECT_EQ(child<QPushButton>(form.get(), "cmdAddPrefix")->text(), "Vorsatz");
    EXPECT_EQ(child<QGroupBox>(form.get(), "GroupBox1")->title(), "Suchen nach...");
    EXPECT_EQ(child<QLabel>(form.get(), "lblBlockWord")->text(), "Satz:");
    EXPECT_EQ(blockCaption(), "Alternativer Startsatz: Keiner");

    // Without a loaded language file the design captions stay.
    open(false);
    EXPECT_EQ(child<QPushButton>(form.get(), "cmdSetBlock")->text(), "Set Block");
    EXPECT_EQ(form->windowTitle(), "Review: " + QString::fromStdString(fileName));
}

TEST_F(ReviewFormTest, MissingFileAndStartBlockPastTheEnd) {
    startBlock = 500; // the file was shortened since the block was chosen
    open();
    EXPECT_EQ(blockCaption(), "Alternate start block: 500");
    EXPECT_EQ(form->chosenBlock(), 500);

    fileName = files.path("gone.nc").toStdString();
    QString told;
    test::onNextModal(
        [&told](QWidget* modal) {
            told = qobject_cast<QMessageBox*>(modal)->text();
            QWidget* reviewForm = modal->parentWidget();
            modal->close();
            QTimer::singleShot(0, reviewForm, [reviewForm] { reviewForm->close(); });
        },
        "QMessageBox");
    EXPECT_EQ(mnuFileReviewClick(nullptr, fields(), false), "Download starting at block: 500");
    EXPECT_EQ(told, "File not found: " + files.path("gone.nc"));
}

TEST_F(ReviewFormTest, BuildPrefixFillsTheEditorWithTheStateBeforeTheChosenBlock) {
    fileName = files
                   .write("mill.nc", "G21 G17 G90 G54\r\nT1 M06\r\nS1000 M03\r\nG00 X1. Y2.\r\n"
                                     "G43 H1 Z5.\r\nG01 Z-1. F100\r\nX5.\r\nY6.\r\n")
                   .toStdString();
    open();
    QString told;
    test::onNextModal(
        [&told](QWidget* modal) {
            told = qobject_cast<QMessageBox*>(modal)->text();
            modal->close();
        },
        "QMessageBox");
    click("cmdBuildPrefix");
    EXPECT_EQ(told, "Choose the start block first: put the caret on its line and click \"Set "
                    "Block\".");

    caretToLine(review(), 7);
    click("cmdSetBlock");
    auto* editor = child<QPlainTextEdit>(form.get(), "txtPrefix");
    {
        test::NoModalGuard certain;
        click("cmdBuildPrefix");
    }
    EXPECT_TRUE(editor->isVisible());
    const QString expected = "(PREFIX FOR A RESTART AT BLOCK 8, STATE AFTER BLOCK 7)\n"
                             "G91 G28 Z0 (SAFE RETRACT)\n"
                             "G21 G17 G90 G54 (BLOCK 1)\n"
                             "T1 M06 (BLOCK 2)\n"
                             "S1000 M03 (BLOCK 3)\n"
                             "G00 X5. Y2. (X BLOCK 7, Y BLOCK 4)\n"
                             "G01 G43 H1 Z-1. F100 (G43 H BLOCK 5, Z F BLOCK 6)\n"
                             "G01 F100 (BLOCK 6)";
    EXPECT_EQ(editor->toPlainText(), expected);
    EXPECT_TRUE(prefixText.empty()) << "taken only by Accept Prefix";
    click("cmdAccept");
    EXPECT_EQ(QString::fromStdString(prefixText), QString(expected).replace("\n", "\r\n") + "\r\n");
}

TEST_F(ReviewFormTest, ABuiltPrefixIsShownWholeWithoutScrolling) {
    // A pass under a rotation: ten lines, the longest with four sources.
    fileName =
        files
            .write("rotated.nc",
                   "%\nO2001\nN10 G90 G17 G21 G40 G49 G80 G94\nN20 G91 G28 Z0\n"
                   "N30 T1 M06\nN40 S12000 M03\nN50 G90 G54 G00 X0 Y0\nN60 G43 H1 Z25. M08\n"
                   "N70 G01 Z-2. F500\nN80 G00 Z25.\nN90 G40 X0 Y0\nN100 G68 X25. Y20. R30.\n"
                   "N110 G00 X40. Y20.\nN120 G01 Z-1. F300\nN130 X60.\nN140 X70.\n")
            .toStdString();
    open();
    caretToLine(review(), 15);
    click("cmdSetBlock");
    {
        test::NoModalGuard certain;
        click("cmdBuildPrefix");
    }
    auto* editor = child<QPlainTextEdit>(form.get(), "txtPrefix");
    QApplication::processEvents();
    EXPECT_GE(editor->document()->blockCount(), 10) << editor->toPlainText().toStdString();
    EXPECT_EQ(editor->horizontalScrollBar()->maximum(), 0) << "no scrolling sideways";
    EXPECT_EQ(editor->verticalScrollBar()->maximum(), 0) << "every line in view";
    EXPECT_GT(review()->height(), 0) << "the program stays in view below";
}

TEST_F(ReviewFormTest, BuildPrefixAsksBeforeReplacingATypedPrefixAndSaysWhatIsNotCertain) {
    startBlock = 12; // the program sets no distance mode: its moves are in doubt
    open();
    click("cmdAddPrefix");
    auto* editor = child<QPlainTextEdit>(form.get(), "txtPrefix");
    QTest::keyClicks(editor, "G90 G54");
    test::onNextModal(
        [](QWidget* modal) { qobject_cast<QMessageBox*>(modal)->button(QMessageBox::No)->click(); },
        "QMessageBox");
    click("cmdBuildPrefix");
    EXPECT_EQ(editor->toPlainText(), "G90 G54");

    QString warning;
    test::onNextModal(
        [&warning](QWidget* question) {
            qobject_cast<QMessageBox*>(question)->button(QMessageBox::Yes)->click();
            test::onNextModal(
                [&warning](QWidget* modal) {
                    warning = qobject_cast<QMessageBox*>(modal)->text();
                    modal->close();
                },
                "QMessageBox");
        },
        "QMessageBox");
    click("cmdBuildPrefix");
    EXPECT_TRUE(editor->toPlainText().startsWith(
        "(PREFIX FOR A RESTART AT BLOCK 12, STATE AFTER BLOCK 11)\n"
        "(UNCHECKED: THE STATE IS NOT CERTAIN, CHECK EVERY LINE)\n"))
        << editor->toPlainText().toStdString();
    EXPECT_TRUE(editor->toPlainText().contains("\nG00 X11 (UNCHECKED: X BLOCK 11)\n"));
    EXPECT_EQ(warning.toStdString(),
              "The state of the machine at block 12 is not certain:\n"
              "- Axis moves before any G90 or G91, read as absolute, at block 1 and 10 "
              "later blocks\n"
              "- Feed motion G01 without an F word before the start block\n\n"
              "The lines of the prefix are marked UNCHECKED. Check every line against the "
              "program before you click \"Accept Prefix\".");
}

TEST(OperationText, FourCasesOfStartBlockAndPrefix) {
    EXPECT_EQ(OperationText(12, "G90\r\n"), "Download with prefix and starting at block: 12");
    EXPECT_EQ(OperationText(12, ""), "Download starting at block: 12");
    EXPECT_EQ(OperationText(0, "G90\r\n"), "Download with prefix");
    EXPECT_EQ(OperationText(0, ""), "Download");
    Language().setText(230, "Start bei Satz: ");
    EXPECT_EQ(OperationText(7, ""), "Start bei Satz: 7");
    Language().clear();
}

} // namespace
} // namespace vorl
