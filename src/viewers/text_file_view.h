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
// Each line shows in the encoding it was written in, one cell of a
// fixed-width font per character: a line that is valid UTF-8 (the terminal
// writes its log, its prefixes and banners from the language file and the
// date in UTF-8) shows as UTF-8; any other line shows one Latin-1 character
// per byte, so a byte that is not UTF-8 still shows as one cell and no file
// fails to show. NC programs are ASCII, where both are the same. A line
// longer than kDecodedLineLimit bytes is not read whole to tell: it shows
// byte by byte. Caret, selection, copy and search count characters (a
// character beyond the Basic Multilingual Plane takes two cells); the bytes
// of the file are left as they are (lineBytes). Control characters (a tab
// among them) show as a blank cell. A CR LF pair, a lone CR and a lone LF
// each end one line, as they end one block of a download.
//
// Assistive technology reads the view as a text of the lines around the
// caret (a hundred at a time): the caret's offset in it and the current line
// are announced as the caret moves.
#pragma once

#include "viewers/line_index.h"

#include <QAbstractScrollArea>
#include <QByteArray>
#include <QString>
#include <QStringView>

#include <array>
#include <atomic>
#include <compare>
#include <functional>
#include <set>
#include <string_view>
#include <utility>
#include <vector>

namespace vorl {

// Lines up to this many bytes are read whole to show them in their encoding.
inline constexpr int64_t kDecodedLineLimit = int64_t{64} << 10;

// How the bytes of a whole line show: as UTF-8 when they are valid UTF-8 and
// no longer than kDecodedLineLimit, else one Latin-1 character per byte.
QString lineTextOf(std::string_view bytes);

// Bytes `text` takes in UTF-8.
int64_t utf8Length(QStringView text);

class TextFileView : public QAbstractScrollArea {
    Q_OBJECT
public:
    struct Position {
        int line = 0;
        int column = 0; // characters from the start of the line; its length is the line end
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
    // The line's bytes as they are in the file, without the line end.
    QByteArray lineBytes(int line);
    // The bytes that end line `line` (CR LF, CR or LF); empty for the last.
    QByteArray lineEndBytes(int line);
    // The line's characters, one per cell.
    QString lineText(int line);
    // Characters in line `line`.
    int lineLength(int line);
    // The byte of line `line` that character `column` starts at, and the
    // character a byte of the line belongs to (the line's length past it).
    int64_t byteColumn(int line, int column);
    int cellColumn(int line, int64_t byteColumn);
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
    int visibleRows() const;
    int visibleColumns() const;
    void updateMetrics();
    void copySelection();
    void announce(bool textMoved);

    // A line as it shows: its characters when it is no longer than
    // kDecodedLineLimit (`decoded`), and whether they are fewer than its bytes
    // (`wide`: UTF-8 with characters of several bytes, where a cell is not a
    // byte). The lines painted and walked last are kept, by line number.
    struct ShownLine {
        int line = -1;
        int64_t start = 0;
        int64_t length = 0;
        bool decoded = false;
        bool wide = false;
        QString text;
    };
    const ShownLine* shownLine(int line);

    LineIndex index_;
    std::array<ShownLine, 64> shown_{};
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
