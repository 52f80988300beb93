// A read-only, unwrapped plain-text view of a file: the part program in the
// review window, the terminal's log in the log viewer.
//
// How it works: part programs reach hundreds of megabytes, and a text document
// costs a few microseconds for every line put into it. So the file is read
// whole, the first slice goes into the document at once and the rest follows in
// slices from the event loop, each small enough that scrolling and typing stay
// smooth. Lines are filled in from the start of the file, so line numbers are
// exact for everything already shown; whatever needs the whole text (search,
// save) calls finishLoading() first.
//
// Bytes are shown as Latin-1: NC programs are ASCII, and any other byte still
// shows as one character, so no file fails to load. A CR LF pair, a lone CR and
// a lone LF each end one line, as they end one block of a download.
#pragma once

#include <QByteArray>
#include <QPlainTextEdit>
#include <QString>

class QTimer;

namespace vorl {

class TextFileView : public QPlainTextEdit {
    Q_OBJECT
public:
    explicit TextFileView(QWidget* parent = nullptr);

    // Replaces the text by the file's. Returns false and leaves the view empty
    // when the file cannot be read; errorString() then says why.
    bool loadFile(const QString& path);
    QString errorString() const { return error_; }

    bool isLoading() const { return loading_; }
    // Loads at once until line `line` (0-based) and `extra` lines after it are
    // in the document, or the file ends.
    void loadThroughLine(int line, int extra);
    void finishLoading();

    // 0-based line of the selection start (of the caret without a selection).
    int selectionStartLine() const;

    void setLineBold(int line, bool bold);

    // Bytes put into the document at once, and then per turn of the event loop.
    void setSliceSizes(qsizetype first, qsizetype next);

Q_SIGNALS:
    void loadFinished();

private:
    void appendSlice(qsizetype maxBytes);
    void loadNextSlice();
    void finishIfComplete();

    QByteArray data_;
    qsizetype loaded_ = 0;
    bool loading_ = false;
    qsizetype firstSlice_ = 512 * 1024;
    qsizetype nextSlice_ = 256 * 1024;
    QTimer* timer_;
    QString error_;
};

} // namespace vorl
