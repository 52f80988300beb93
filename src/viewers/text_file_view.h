// A read-only, unwrapped view of a text file of any size: the part program in
// the review window, the terminal's log in the log viewer.
//
// How it works: the file is never loaded. A LineIndex finds where its lines
// start (the first megabyte at once, the rest on a thread while the view is
// in use), and the view paints only the lines in sight, read from the file as
// they are painted. Caret and selection are a line and a column, so a caret
// on line 20 million costs what one on line 20 does. The vertical scroll bar
// counts lines and grows while the index is built.
//
// Bytes are shown as Latin-1, one cell each of a fixed-width font: NC
// programs are ASCII, and any other byte still shows as one character, so no
// file fails to show. Control characters (a tab among them) show as a blank
// cell. A CR LF pair, a lone CR and a lone LF each end one line, as they end
// one block of a download.
//
// Assistive technology reads the view as a text of the lines around the
// caret (a hundred at a time): the caret's offset in it and the current line
// are announced as the caret moves.
#pragma once

#include "viewers/line_index.h"

#include <QAbstractScrollArea>
#include <QByteArray>
#include <QString>

#include <atomic>
#include <compare>
#include <functional>
#include <set>
#include <utility>
#include <vector>

namespace vorl {

class TextFileView : public QAbstractScrollArea {
    Q_OBJECT
public:
    struct Position {
        int line = 0;
        int column = 0; // bytes from the start of the line; its length is the line end
        friend auto operator<=>(const Position&, const Position&) = default;
    };

    explicit TextFileView(QWidget* parent = nullptr);
    ~TextFileView() override;

    // Shows the file. Returns false and leaves the view empty when the file
    // cannot be read; errorString() then says why.
    bool loadFile(const QString& path);
    QString errorString() const { return error_; }
    QString filePath() const { return path_; }

    // The index is still being built; loadFinished() tells when it is done.
    bool isLoading() const;
    // Waits until the whole file is indexed.
    void finishLoading();
    // Waits until line `line` is known; false when the file has fewer lines.
    bool waitForLine(int line);
    // Runs `action` once line `line` is known: at once when it is, else when
    // the index reaches it; never when the file turns out to be shorter. A
    // later call replaces an action still waiting.
    void whenLineKnown(int line, std::function<void()> action);

    int lineCount() const;
    // Where a line lies in the file; false when it is not known.
    bool lineSpan(int line, LineIndex::Line& out);
    QByteArray lineBytes(int line);
    // The bytes that end line `line` (CR LF, CR or LF); empty for the last.
    QByteArray lineEndBytes(int line);
    QString lineText(int line);
    // The whole text, lines joined by LF (for small files).
    QString toPlainText();

    Position position() const { return caret_; }
    Position anchor() const { return anchor_; }
    Position selectionStart() const { return std::min(caret_, anchor_); }
    Position selectionEnd() const { return std::max(caret_, anchor_); }
    bool hasSelection() const { return caret_ != anchor_; }
    // Moves the caret (clamped to the text) and brings it into sight; with
    // `keepAnchor` the selection runs from the anchor to it.
    void setPosition(Position position, bool keepAnchor = false);
    // Selects from `from` to `to` (the caret) and brings it into sight.
    void select(Position from, Position to);
    // Selects line `line` whole, caret at its end.
    void selectLine(int line);
    // Lines joined by LF; empty when the selection is too large to copy.
    QString selectedText();
    // 0-based line of the selection start (of the caret without a selection).
    int selectionStartLine() const { return selectionStart().line; }

    void setLineBold(int line, bool bold);
    bool isLineBold(int line) const { return boldLines_.count(line) != 0; }

    int firstVisibleLine() const;
    // Scrolls so that `line` is the top line, as far as the text allows.
    void scrollToLine(int line);
    // The text position under a point of the viewport.
    Position positionAt(const QPoint& point);

    // The text assistive technology reads: the lines from `firstLine` on,
    // joined by LF, the caret's line among them.
    struct AccessibleText {
        int firstLine = 0;
        QString text;
        std::vector<int> lineOffsets; // offset of each line's start in text
    };
    const AccessibleText& accessibleText();
    int accessibleOffset(Position position);
    Position accessiblePosition(int offset);
    QRect cellRect(Position position);

Q_SIGNALS:
    // The caret or the selection changed.
    void selectionChanged();
    // The index is complete.
    void loadFinished();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void changeEvent(QEvent* event) override;

public:
    // Bytes read at once by loadFile, and per read of the index after them
    // (tests make both small).
    void setReadSizes(int64_t first, size_t piece);

private:
    void indexAdvanced();
    void updateScrollBars();
    void ensureVisible(Position position);
    void changeSelection(Position caret, Position anchor);
    int lineLength(int line);
    int visibleRows() const;
    int visibleColumns() const;
    void updateMetrics();
    void copySelection();
    void announce(bool textMoved);

    LineIndex index_;
    QString path_;
    QString error_;
    std::atomic<bool> progressPosted_{false};
    bool finishedTold_ = true;
    int64_t firstRead_ = int64_t{1} << 20;
    size_t pieceSize_ = size_t{1} << 20;
    std::pair<int, std::function<void()>> pending_{-1, nullptr};

    Position caret_;
    Position anchor_;
    int goalColumn_ = 0; // the column Up and Down keep to
    bool dragging_ = false;
    std::set<int> boldLines_;

    int lineHeight_ = 1;
    int charWidth_ = 1;
    int ascent_ = 0;

    AccessibleText accessible_;
    bool accessibleValid_ = false;
};

} // namespace vorl
