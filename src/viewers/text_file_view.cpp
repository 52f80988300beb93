#include "viewers/text_file_view.h"

#include <QFile>
#include <QFontDatabase>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTimer>

#include <new>

namespace vorl {

TextFileView::TextFileView(QWidget* parent) : QPlainTextEdit(parent), timer_(new QTimer(this)) {
    setReadOnly(true);
    setLineWrapMode(QPlainTextEdit::NoWrap);
    setUndoRedoEnabled(false);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    // Keeps the caret visible in a read-only view, so the keyboard can move it.
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    timer_->setInterval(0);
    connect(timer_, &QTimer::timeout, this, &TextFileView::loadNextSlice);
}

bool TextFileView::loadFile(const QString& path) {
    timer_->stop();
    loading_ = false;
    data_.clear();
    loaded_ = 0;
    clear();
    error_.clear();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error_ = file.errorString();
        return false;
    }
    try {
        data_ = file.readAll();
    } catch (const std::bad_alloc&) {
        data_.clear();
        error_ = tr("Not enough memory to read the file");
        return false;
    }
    if (file.error() != QFileDevice::NoError) {
        error_ = file.errorString();
        data_.clear();
        return false;
    }
    loading_ = true;
    appendSlice(firstSlice_);
    finishIfComplete();
    if (loading_) {
        timer_->start();
    }
    return true;
}

// Appends about `maxBytes` from the file, always ending after a line end (or at
// the end of the file), so a CR LF pair is never split into two line ends.
void TextFileView::appendSlice(qsizetype maxBytes) {
    const qsizetype size = data_.size();
    const char* bytes = data_.constData();
    qsizetype end = std::min(size, loaded_ + std::max<qsizetype>(maxBytes, 1));
    while (end < size) {
        const char last = bytes[end - 1];
        if (last == '\n' || (last == '\r' && bytes[end] != '\n')) {
            break;
        }
        ++end;
    }
    // A caret at the end of the text would be carried along by the new text:
    // it stays where the operator left it, and so does the view.
    const QTextCursor caret = textCursor();
    const int anchor = caret.anchor();
    const int position = caret.position();
    QTextCursor cursor(document());
    cursor.movePosition(QTextCursor::End);
    // A plain format: the text must not take over the bold of a chosen last line.
    cursor.insertText(QString::fromLatin1(bytes + loaded_, end - loaded_), QTextCharFormat());
    loaded_ = end;
    if (textCursor().anchor() != anchor || textCursor().position() != position) {
        const int horizontal = horizontalScrollBar()->value();
        const int vertical = verticalScrollBar()->value();
        QTextCursor restored(document());
        restored.setPosition(anchor);
        restored.setPosition(position, QTextCursor::KeepAnchor);
        setTextCursor(restored);
        horizontalScrollBar()->setValue(horizontal);
        verticalScrollBar()->setValue(vertical);
    }
}

void TextFileView::finishIfComplete() {
    if (loading_ && loaded_ >= data_.size()) {
        loading_ = false;
        timer_->stop();
        data_.clear();
        loaded_ = 0;
        Q_EMIT loadFinished();
    }
}

void TextFileView::loadNextSlice() {
    if (loading_) {
        appendSlice(nextSlice_);
        finishIfComplete();
    }
}

void TextFileView::loadThroughLine(int line, int extra) {
    while (loading_ && document()->blockCount() <= line + extra) {
        appendSlice(nextSlice_);
        finishIfComplete();
    }
}

void TextFileView::finishLoading() {
    if (loading_) {
        appendSlice(data_.size() - loaded_);
        finishIfComplete();
    }
}

int TextFileView::selectionStartLine() const {
    return document()->findBlock(textCursor().selectionStart()).blockNumber();
}

void TextFileView::setLineBold(int line, bool bold) {
    const QTextBlock block = document()->findBlockByNumber(line);
    if (!block.isValid()) {
        return;
    }
    QTextCursor cursor(block);
    cursor.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
    QTextCharFormat format;
    format.setFontWeight(bold ? QFont::Bold : QFont::Normal);
    if (cursor.hasSelection()) {
        cursor.mergeCharFormat(format);
    } else {
        cursor.mergeBlockCharFormat(format);
    }
}

void TextFileView::setSliceSizes(qsizetype first, qsizetype next) {
    firstSlice_ = std::max<qsizetype>(first, 1);
    nextSlice_ = std::max<qsizetype>(next, 1);
}

} // namespace vorl
