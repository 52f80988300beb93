#include "viewers/text_file_view.h"
#include "viewers/text_search.h"

#include "viewer_test_util.h"

#include <QAccessible>
#include <QSignalSpy>
#include <QTest>

namespace vorl {
namespace {

// The lines of a download's block splitting: CR LF, a lone CR and a lone LF
// each end one line.
QStringList expectedLines(const QByteArray& bytes) {
    QStringList lines;
    QString line;
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const char c = bytes[i];
        if (c == '\r' || c == '\n') {
            lines << line;
            line.clear();
            if (c == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') {
                ++i;
            }
        } else {
            line += QChar::fromLatin1(c);
        }
    }
    lines << line; // the empty line after a final line end
    return lines;
}

QStringList shownLines(TextFileView& view) {
    QStringList lines;
    for (int i = 0; i < view.lineCount(); ++i) {
        lines << view.lineText(i);
    }
    return lines;
}

void waitLoaded(TextFileView& view, QSignalSpy& finished) {
    if (view.isLoading()) {
        ASSERT_TRUE(finished.wait(10000));
    }
    EXPECT_EQ(finished.count(), 1);
    EXPECT_FALSE(view.isLoading());
}

TEST(TextFileView, LinesAreThoseOfTheFileHoweverTheIndexReadsIt) {
    test::TempFiles files;
    // Every kind of line end, past several index groups, a line longer than
    // any piece read, and a last line without a line end.
    const QByteArray mixed = QByteArray("%\r\nO1234\rN10 G90\nN20 (\xC8)\n\rN30 X1\r\n\r\nT1") +
                             QByteArray(1, '\0') + "M6\r\r\nM30\r\n";
    QByteArray bytes;
    for (int i = 0; i < 40; ++i) {
        bytes += mixed;
        if (i == 20) {
            bytes += "N99 (" + QByteArray(70000, 'X') + ")\r";
        }
    }
    for (const QByteArray& tail : {QByteArray("M02"), QByteArray("M02\r"), QByteArray()}) {
        const QString path = files.write("mixed.nc", bytes + tail);
        const QStringList expected = expectedLines(bytes + tail);
        for (auto [first, piece] :
             {std::pair<int64_t, size_t>{1, 1}, {2, 3}, {5, 7}, {64, 4096}, {1 << 20, 1 << 20}}) {
            SCOPED_TRACE(testing::Message()
                         << "tail " << tail.size() << ", reads " << first << "/" << piece);
            TextFileView view;
            view.setReadSizes(first, piece);
            QSignalSpy finished(&view, &TextFileView::loadFinished);
            ASSERT_TRUE(view.loadFile(path));
            waitLoaded(view, finished);
            EXPECT_EQ(shownLines(view), expected);
        }
    }
}

TEST(TextFileView, SearchStreamsFromTheSelectionAcrossIndexGroups) {
    test::TempFiles files;
    // Larger than a search run at once, so it runs on its own thread, beside
    // an index read in small pieces.
    QByteArray bytes = test::program(90000);
    bytes.replace("N640 G01 X64\r\n", "N640 G54 X64\r\n");
    // A word that is not ASCII, in a line of Latin-1 bytes, in a UTF-8 line
    // after a character of two bytes, and in a line too long to be read whole.
    bytes.replace("N700000 G01 X70000\r\n", "N700000 (fr\xE4se 1)\r\n");
    bytes.replace("N800000 G01 X80000\r\n", "N800000 (\xC3\x89 FR\xC3\x84SE 2)\r\n");
    bytes.replace("N850000 G01 X85000\r\n",
                  "N850000 (" + QByteArray(70000, 'x') + " Fr\xE4se 3)\r\n");
    bytes += "M30 (END OF PART)\r\n";
    const QString path = files.write("long.nc", bytes);
    TextFileView view;
    view.setReadSizes(100, 4096);
    ASSERT_TRUE(view.loadFile(path));
    // A start block deep in the program is gone to once the index knows it.
    int known = -1;
    view.whenLineKnown(85000, [&] { known = view.lineCount(); });
    QTRY_VERIFY_WITH_TIMEOUT(known > 85000, 10000);
    view.finishLoading();
    view.whenLineKnown(90002, [&] { known = -2; }); // past the end: never
    EXPECT_NE(known, -2);

    // From the end of line 63 on: the match opens the next group of the index.
    view.setPosition(TextFileView::Position{62, 99});
    EXPECT_EQ(findNext(&view, "g54"), SearchOutcome::Found);
    EXPECT_EQ(view.selectionStart(), (TextFileView::Position{63, 5}));
    EXPECT_EQ(view.selectedText(), "G54");

    for (auto [line, column, shown] :
         {std::tuple{69999, 9, "fräse"}, {79999, 11, "FRÄSE"}, {84999, 70010, "Fräse"}}) {
        EXPECT_EQ(findNext(&view, "FräSE"), SearchOutcome::Found);
        EXPECT_EQ(view.selectionStart(), (TextFileView::Position{line, column}));
        EXPECT_EQ(view.selectedText(), QString::fromUtf8(shown));
    }

    EXPECT_EQ(findNext(&view, "end of part"), SearchOutcome::Found);
    EXPECT_EQ(view.position().line, 90000);
    EXPECT_EQ(view.selectedText(), "END OF PART");
    EXPECT_EQ(view.lineText(89999), "N900000 G01 X90000");
    EXPECT_EQ(findNext(&view, "end of part"), SearchOutcome::NotFound);
    EXPECT_EQ(view.selectedText(), "END OF PART");
}

TEST(TextFileView, KeyboardMovesTheCaretAndTheCurrentLineIsReadOut) {
    test::TempFiles files;
    TextFileView view;
    view.resize(400, 300);
    view.show();
    ASSERT_TRUE(view.loadFile(files.write("part.nc", test::program(5000))));
    test::caretToLine(&view, 2);
    QTest::keyClick(&view, Qt::Key_End);
    EXPECT_EQ(view.position(), (TextFileView::Position{2, 10}));
    QTest::keyClick(&view, Qt::Key_Left, Qt::ShiftModifier);
    QTest::keyClick(&view, Qt::Key_Up, Qt::ShiftModifier);
    EXPECT_EQ(view.selectedText(), "2\nN30 G01 X3");
    EXPECT_EQ(view.selectionStartLine(), 1);

    QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(&view);
    ASSERT_NE(accessible, nullptr);
    QAccessibleTextInterface* text = accessible->textInterface();
    ASSERT_NE(text, nullptr);
    EXPECT_TRUE(accessible->state().readOnly);
    for (int line : {1, 4321}) {
        view.setPosition(TextFileView::Position{line, 3});
        int start = 0;
        int end = 0;
        const QString current =
            text->textAtOffset(text->cursorPosition(), QAccessible::LineBoundary, &start, &end);
        EXPECT_EQ(current.trimmed(), view.lineText(line));
        EXPECT_EQ(text->cursorPosition() - start, 3);
        EXPECT_EQ(accessible->text(QAccessible::Value), view.lineText(line));
    }
    QTest::keyClick(&view, Qt::Key_End, Qt::ControlModifier);
    EXPECT_EQ(view.position().line, 5000);
    EXPECT_GT(view.firstVisibleLine(), 4950); // brought into sight
}

TEST(TextFileView, UnreadableFileLeavesTheViewEmpty) {
    TextFileView view;
    EXPECT_FALSE(view.loadFile("/nonexistent/part.nc"));
    EXPECT_FALSE(view.errorString().isEmpty());
    EXPECT_EQ(view.lineCount(), 1);
    EXPECT_TRUE(view.lineText(0).isEmpty());
    EXPECT_FALSE(view.isLoading());
}

} // namespace
} // namespace vorl
