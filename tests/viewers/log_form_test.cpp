#include "viewers/log_form.h"

#include "text/language_table.h"
#include "viewer_test_util.h"

#include <QAccessible>
#include <QDir>
#include <QFileDialog>
#include <QGroupBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTextBlock>

#include <memory>

namespace vorl {
namespace {

using test::child;

const QByteArray kLog = "\r\n-----07.12.2024 08:00:00 Port Opened-----\r\n"
                        "Port: 1 Speed: 9600 Data Bits: 7 Stop Bits: 2\r\n"
                        "Parity: Even Handshaking: Xon/Xoff\r\n"
                        "Out->%\r\nIn-->O1234^M^J\r\nIn-->o1234 again\r\n"
                        "Entr\xC3\xA9"
                        "e->G01 X1 Y2\r\n"
                        "-----07.12.2024 08:05:00 Port ferm\xC3\xA9-----";

class LogFormTest : public ::testing::Test {
protected:
    void SetUp() override { logPath = files.write("log123.tmp", kLog); }
    void TearDown() override { Language().clear(); }

    TLogForm* open(bool languageLoaded = false) {
        form = std::make_unique<TLogForm>(logPath.toStdString(), languageLoaded);
        form->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(form.get()));
        return form.get();
    }

    // Clicks "Save Log File" and answers the dialog with `typed` in the
    // temporary directory; returns the dialog's title.
    QString saveAs(const QString& typed) {
        QString title;
        test::onNextModal([&](QWidget* modal) {
            auto* dialog = qobject_cast<QFileDialog*>(modal);
            ASSERT_NE(dialog, nullptr);
            title = dialog->windowTitle();
            EXPECT_EQ(dialog->nameFilters(),
                      QStringList({"NC Programs (*.log)", "All Files (*.*)"}));
            EXPECT_EQ(dialog->acceptMode(), QFileDialog::AcceptSave);
            auto* name = dialog->findChild<QLineEdit*>("fileNameEdit");
            ASSERT_NE(name, nullptr);
            EXPECT_EQ(name->text(), "vorl.log");
            dialog->setDirectory(QFileInfo(files.path("x")).absolutePath());
            name->setText(typed);
            QTest::keyClick(name, Qt::Key_Return);
        });
        QTest::mouseClick(child<QPushButton>(form.get(), "cmdSave"), Qt::LeftButton);
        return title;
    }

    test::TempFiles files;
    QString logPath;
    std::unique_ptr<TLogForm> form;
};

const QByteArray kSaved = "\r\n-----07.12.2024 08:00:00 Port Opened-----\r\n"
                          "Port: 1 Speed: 9600 Data Bits: 7 Stop Bits: 2\r\n"
                          "Parity: Even Handshaking: Xon/Xoff\r\n"
                          "Out->%\r\nIn-->O1234^M^J\r\nIn-->o1234 again\r\n"
                          "Entr\xC3\xA9"
                          "e->G01 X1 Y2\r\n"
                          "-----07.12.2024 08:05:00 Port ferm\xC3\xA9-----\r\n";

TEST_F(LogFormTest, SavedWithLogAppendedOnlyToANameWithoutExtension) {
    open();
    EXPECT_EQ(form->windowTitle(), "Log File");
    EXPECT_EQ(saveAs("shift1"), "Save Log File");
    EXPECT_EQ(files.read("shift1.log"), kSaved);
    EXPECT_FALSE(QFile::exists(files.path("shift1")));

    saveAs("shift1.txt");
    EXPECT_EQ(files.read("shift1.txt"), kSaved);
    EXPECT_FALSE(QFile::exists(files.path("shift1.txt.log")));
}

TEST_F(LogFormTest, AnExistingFileUnderTheAppendedNameIsReplacedOnlyWhenConfirmed) {
    files.write("night.log", "older log\r\n");
    open();
    for (auto answer : {QMessageBox::No, QMessageBox::Yes}) {
        test::onNextModal([&](QWidget* dialog) {
            test::onNextModal(
                [answer](QWidget* modal) {
                    auto* box = qobject_cast<QMessageBox*>(modal);
                    ASSERT_NE(box, nullptr);
                    EXPECT_TRUE(box->text().contains("night.log"));
                    box->button(answer)->click();
                },
                "QMessageBox");
            qobject_cast<QFileDialog*>(dialog)->setDirectory(
                QFileInfo(files.path("x")).absolutePath());
            auto* name = dialog->findChild<QLineEdit*>("fileNameEdit");
            name->setText("night");
            QTest::keyClick(name, Qt::Key_Return);
        });
        QTest::mouseClick(child<QPushButton>(form.get(), "cmdSave"), Qt::LeftButton);
        EXPECT_EQ(files.read("night.log"), answer == QMessageBox::Yes ? kSaved : "older log\r\n");
    }
}

TEST_F(LogFormTest, SearchFindsTheNextOccurrence) {
    open();
    auto* log = child<TextFileView>(form.get(), "txtLog");
    auto* arg = child<QLineEdit>(form.get(), "txtSearchArg");
    QTest::keyClicks(arg, "o1234");
    QTest::mouseClick(child<QPushButton>(form.get(), "cmdSearch"), Qt::LeftButton);
    EXPECT_EQ(log->selectedText(), "O1234");
    // Return in the search field searches too, as in the review window.
    test::NoModalGuard noSaveDialog;
    QTest::keyClick(arg, Qt::Key_Return);
    EXPECT_EQ(log->selectedText(), "o1234");
    EXPECT_EQ(log->position().line, 6);
    EXPECT_TRUE(form->isVisible());

    // The terminal writes its prefixes and banners in UTF-8: they read as
    // written, a character to a cell, on the screen and to a screen reader.
    arg->setText("ENTRÉE");
    QTest::keyClick(arg, Qt::Key_Return);
    EXPECT_EQ(log->selectionStart(), (TextFileView::Position{7, 0}));
    EXPECT_EQ(log->lineText(7), "Entrée->G01 X1 Y2");
    QAccessibleTextInterface* text = QAccessible::queryAccessibleInterface(log)->textInterface();
    ASSERT_NE(text, nullptr);
    int start = 0;
    int end = 0;
    text->selection(0, &start, &end);
    EXPECT_EQ(text->text(start, end), "Entrée");
    EXPECT_EQ(text->textAtOffset(start, QAccessible::LineBoundary, &start, &end).trimmed(),
              "Entrée->G01 X1 Y2");
    arg->setText("x1");
    QTest::keyClick(arg, Qt::Key_Return);
    EXPECT_EQ(log->selectionStart(), (TextFileView::Position{7, 12}));
    QTest::keyClick(log, Qt::Key_Down, Qt::ShiftModifier);
    QTest::keyClick(log, Qt::Key_End, Qt::ShiftModifier);
    EXPECT_EQ(log->selectedText(), "X1 Y2\n-----07.12.2024 08:05:00 Port fermé-----");
}

TEST_F(LogFormTest, LanguageCaptionsAndSaveDialogTitle) {
    Language().setText(323, "Protokoll");
    Language().setText(61, "Suchen");
    Language().setText(64, "Protokoll speichern");
    Language().setText(58, "Schließen");
    Language().setText(321, "Suchen nach...");
    Language().setText(324, "NC-Programme");
    open(true);
    EXPECT_EQ(form->windowTitle(), "Protokoll");
    EXPECT_EQ(child<QPushButton>(form.get(), "cmdSearch")->text(), "Suchen");
    EXPECT_EQ(child<QPushButton>(form.get(), "cmdSave")->text(), "Protokoll speichern");
    EXPECT_EQ(child<QPushButton>(form.get(), "cmdClose")->text(), "Schließen");
    EXPECT_EQ(child<QGroupBox>(form.get(), "GroupBox1")->title(), "Suchen nach...");

    QString title;
    QStringList filters;
    test::onNextModal([&](QWidget* modal) {
        title = modal->windowTitle();
        filters = qobject_cast<QFileDialog*>(modal)->nameFilters();
        qobject_cast<QFileDialog*>(modal)->reject();
    });
    QTest::mouseClick(child<QPushButton>(form.get(), "cmdSave"), Qt::LeftButton);
    EXPECT_EQ(title, "Protokoll speichern");
    EXPECT_EQ(filters, QStringList({"NC-Programme (*.log)", "All Files (*.*)"}));
}

TEST_F(LogFormTest, PlacementFollowsTheWindowSize) {
    open();
    for (QSize size : {QSize(600, 400), QSize(1000, 700)}) {
        form->resize(size);
        const QRect log = child<QWidget>(form.get(), "txtLog")->geometry();
        const QRect search = child<QWidget>(form.get(), "GroupBox1")->geometry();
        const QRect save = child<QWidget>(form.get(), "cmdSave")->geometry();
        const QRect close = child<QWidget>(form.get(), "cmdClose")->geometry();
        EXPECT_EQ(log.topLeft(), QPoint(0, 0));
        EXPECT_EQ(log.width(), size.width());
        EXPECT_LE(log.bottom(), search.top());
        EXPECT_GE(log.bottom(), search.top() - 10);
        EXPECT_GE(search.bottom(), size.height() - 10);
        EXPECT_GE(close.right(), size.width() - 10);
        EXPECT_GE(close.bottom(), size.height() - 10);
        EXPECT_EQ(save.bottom(), close.bottom());
        EXPECT_LT(save.right(), close.left());
        EXPECT_GE(save.right(), close.left() - 10);
        EXPECT_LT(search.right(), save.left());
    }
}

TEST(LogViewer, ShownModallyAndClosedWithClose) {
    test::TempFiles files;
    const QString path = files.write("log1.tmp", "In-->ready\r\n");
    QString shown;
    test::onNextModal([&shown](QWidget* modal) {
        shown = child<TextFileView>(modal, "txtLog")->toPlainText();
        QTest::mouseClick(child<QPushButton>(modal, "cmdClose"), Qt::LeftButton);
    });
    showLogViewer(nullptr, path.toStdString(), false);
    EXPECT_EQ(shown, "In-->ready\n");
    EXPECT_TRUE(QFile::exists(path)); // deleting it is the terminal's business
}

} // namespace
} // namespace vorl
