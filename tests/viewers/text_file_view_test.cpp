#include "viewers/text_file_view.h"
#include "viewers/text_search.h"

#include "viewer_test_util.h"

#include <QSignalSpy>
#include <QTextBlock>

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

QStringList shownLines(const TextFileView& view) {
    QStringList lines;
    for (QTextBlock b = view.document()->begin(); b.isValid(); b = b.next()) {
        lines << b.text();
    }
    return lines;
}

TEST(TextFileView, LoadedInSlicesTheLinesAreThoseOfTheFile) {
    test::TempFiles files;
    const QByteArray bytes = QByteArray("%\r\nO1234\rN10 G90\nN20 (\xC8)\n\rN30 X1\r\n\r\nT1") +
                             QByteArray(1, '\0') + "M6\r\r\nM30\r\n";
    const QString path = files.write("mixed.nc", bytes);
    for (qsizetype first : {1, 2, 5, 64}) {
        for (qsizetype next : {1, 3, 7}) {
            SCOPED_TRACE(testing::Message() << "slices " << first << "/" << next);
            TextFileView view;
            view.setSliceSizes(first, next);
            QSignalSpy finished(&view, &TextFileView::loadFinished);
            ASSERT_TRUE(view.loadFile(path));
            if (view.isLoading()) {
                ASSERT_TRUE(finished.wait(5000));
            }
            EXPECT_EQ(finished.count(), 1);
            EXPECT_FALSE(view.isLoading());
            EXPECT_EQ(shownLines(view), expectedLines(bytes));
        }
    }
}

TEST(TextFileView, LinesNeededNowAndSearchesLoadAheadOfTheEventLoop) {
    test::TempFiles files;
    QByteArray bytes = test::program(3000);
    bytes += "M30 (END OF PART)\r\n";
    const QString path = files.write("long.nc", bytes);
    TextFileView view;
    view.setSliceSizes(100, 100);
    ASSERT_TRUE(view.loadFile(path));
    ASSERT_TRUE(view.isLoading());
    view.loadThroughLine(1999, 10);
    EXPECT_GE(view.document()->blockCount(), 2010);
    EXPECT_EQ(view.document()->findBlockByNumber(1999).text(), "N20000 G01 X2000");
    ASSERT_TRUE(view.isLoading());

    // The only match lies in the part not loaded yet.
    EXPECT_TRUE(findNext(&view, "end of part"));
    EXPECT_FALSE(view.isLoading());
    EXPECT_EQ(view.textCursor().block().blockNumber(), 3000);
    EXPECT_EQ(view.textCursor().selectedText(), "END OF PART");
}

TEST(TextFileView, UnreadableFileLeavesTheViewEmpty) {
    TextFileView view;
    EXPECT_FALSE(view.loadFile("/nonexistent/part.nc"));
    EXPECT_FALSE(view.errorString().isEmpty());
    EXPECT_TRUE(view.document()->isEmpty());
    EXPECT_FALSE(view.isLoading());
}

} // namespace
} // namespace vorl
