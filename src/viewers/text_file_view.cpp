#include "viewers/text_file_view.h"

#include "viewers/viewer_text.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <QFontDatabase>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>

#include <algorithm>
#include <climits>
#include <cstring>

namespace vorl {
namespace {

constexpr int kLeftMargin = 4;
constexpr int kAccessibleLines = 100; // lines in the text assistive technology reads
constexpr int kAccessibleStep = 50;   // the caret moves it on by half of that
constexpr int kAccessibleLineCap = 65536;
constexpr int64_t kCopyLimit = int64_t{64} << 20;

// Control characters show as a blank cell.
QString blanked(QString text) {
    for (QChar& c : text) {
        const char16_t u = c.unicode();
        if (u < 0x20 || (u >= 0x7F && u < 0xA0)) {
            c = QLatin1Char(' ');
        }
    }
    return text;
}

// Bytes of a character in UTF-8: a surrogate pair counts four at its first half.
int utf8Bytes(QChar c) {
    const char16_t u = c.unicode();
    if (u < 0x80) {
        return 1;
    }
    if (u < 0x800) {
        return 2;
    }
    if (c.isHighSurrogate()) {
        return 4;
    }
    return c.isLowSurrogate() ? 0 : 3;
}

// How the piece of a line at either end of a run of lines shows: the whole
// line's own reading (Latin-1, UTF-8), or judged from the bytes when the piece
// is a whole line.
enum class Reading { Judge, Latin1, Utf8 };

QString readPiece(std::string_view bytes, Reading reading) {
    switch (reading) {
    case Reading::Latin1:
        return QString::fromLatin1(bytes.data(), qsizetype(bytes.size()));
    case Reading::Utf8:
        return QString::fromUtf8(bytes.data(), qsizetype(bytes.size()));
    case Reading::Judge:
        break;
    }
    return lineTextOf(bytes);
}

// A run of lines of the file as text, line ends as LF: the first and the last
// piece are read as `first` and `last` say (they may be parts of lines), the
// lines between as they show.
QString joinedLines(const std::string& bytes, Reading first, Reading last) {
    QString text;
    text.reserve(qsizetype(bytes.size()));
    std::string_view rest(bytes);
    bool firstPiece = true;
    while (true) {
        const auto* begin = reinterpret_cast<const uint8_t*>(rest.data());
        const auto* end = findLineEnd(begin, begin + rest.size());
        const std::string_view piece = rest.substr(0, size_t(end - begin));
        const bool lastPiece = end == begin + rest.size();
        text += readPiece(piece, lastPiece ? last : firstPiece ? first : Reading::Judge);
        if (lastPiece) {
            break;
        }
        text += QLatin1Char('\n');
        size_t next = piece.size() + 1;
        if (*end == '\r' && next < rest.size() && rest[next] == '\n') {
            ++next;
        }
        rest.remove_prefix(next);
        firstPiece = false;
    }
    return text;
}

// The view as assistive technology sees it: a read-only text.
class TextFileViewAccessible : public QAccessibleWidget, public QAccessibleTextInterface {
public:
    explicit TextFileViewAccessible(TextFileView* view)
        : QAccessibleWidget(view, QAccessible::EditableText) {}

    void* interface_cast(QAccessible::InterfaceType type) override {
        if (type == QAccessible::TextInterface) {
            return static_cast<QAccessibleTextInterface*>(this);
        }
        return QAccessibleWidget::interface_cast(type);
    }
    QAccessible::State state() const override {
        QAccessible::State s = QAccessibleWidget::state();
        s.readOnly = true;
        s.multiLine = true;
        s.selectableText = true;
        return s;
    }
    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Value) {
            return v()->lineText(v()->position().line);
        }
        return QAccessibleWidget::text(t);
    }

    void selection(int index, int* start, int* end) const override {
        *start = *end = 0;
        if (index == 0 && v()->hasSelection()) {
            *start = v()->accessibleOffset(v()->selectionStart());
            *end = v()->accessibleOffset(v()->selectionEnd());
        }
    }
    int selectionCount() const override { return v()->hasSelection() ? 1 : 0; }
    void addSelection(int start, int end) override { setSelection(0, start, end); }
    void removeSelection(int) override { v()->setPosition(v()->position()); }
    void setSelection(int, int start, int end) override {
        v()->select(v()->accessiblePosition(start), v()->accessiblePosition(end));
    }
    int cursorPosition() const override { return v()->accessibleOffset(v()->position()); }
    void setCursorPosition(int position) override {
        v()->setPosition(v()->accessiblePosition(position));
    }
    QString text(int start, int end) const override {
        return v()->accessibleText().text.mid(start, std::max(0, end - start));
    }
    int characterCount() const override { return int(v()->accessibleText().text.size()); }
    QRect characterRect(int offset) const override {
        const QRect r = v()->cellRect(v()->accessiblePosition(offset));
        return QRect(v()->viewport()->mapToGlobal(r.topLeft()), r.size());
    }
    int offsetAtPoint(const QPoint& point) const override {
        return v()->accessibleOffset(v()->positionAt(v()->viewport()->mapFromGlobal(point)));
    }
    void scrollToSubstring(int start, int) override {
        v()->scrollToLine(v()->accessiblePosition(start).line);
    }
    QString attributes(int, int* start, int* end) const override {
        *start = 0;
        *end = characterCount();
        return QString();
    }

private:
    TextFileView* v() const { return static_cast<TextFileView*>(widget()); }
};

QAccessibleInterface* accessibleFactory(const QString& className, QObject* object) {
    if (className == QLatin1String("vorl::TextFileView") && object != nullptr &&
        object->isWidgetType()) {
        return new TextFileViewAccessible(static_cast<TextFileView*>(object));
    }
    return nullptr;
}

} // namespace

QString lineTextOf(std::string_view bytes) {
    if (int64_t(bytes.size()) > kDecodedLineLimit) {
        return QString::fromLatin1(bytes.data(), qsizetype(bytes.size()));
    }
    return viewerString(bytes);
}

int64_t utf8Length(QStringView text) {
    int64_t bytes = 0;
    for (const QChar c : text) {
        bytes += utf8Bytes(c);
    }
    return bytes;
}

TextFileView::TextFileView(QWidget* parent) : QAbstractScrollArea(parent) {
    static const bool factoryInstalled = [] {
        QAccessible::installFactory(accessibleFactory);
        return true;
    }();
    (void)factoryInstalled;
    setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    setFocusPolicy(Qt::StrongFocus);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    viewport()->setCursor(Qt::IBeamCursor);
    viewport()->setBackgroundRole(QPalette::Base);
    updateMetrics();
    updateScrollBars();
}

TextFileView::~TextFileView() {
    index_.close(); // no notice of the index's thread outlives the view
}

void TextFileView::setReadSizes(int64_t first, size_t piece) {
    firstRead_ = std::max<int64_t>(first, 1);
    pieceSize_ = std::max<size_t>(piece, 1);
}

bool TextFileView::loadFile(const QString& path) {
    index_.close();
    pending_ = {-1, nullptr};
    caret_ = anchor_ = Position{};
    goalColumn_ = 0;
    boldLines_.clear();
    shown_.fill(ShownLine{});
    accessibleValid_ = false;
    error_.clear();
    path_ = path;
    finishedTold_ = false;
    const int error =
        index_.open(QFile::encodeName(path).toStdString(), firstRead_, pieceSize_, [this] {
            if (!progressPosted_.exchange(true)) {
                QMetaObject::invokeMethod(
                    this, [this] { indexAdvanced(); }, Qt::QueuedConnection);
            }
        });
    verticalScrollBar()->setValue(0);
    horizontalScrollBar()->setValue(0);
    updateScrollBars();
    viewport()->update();
    viewport()->setCursor(Qt::IBeamCursor);
    Q_EMIT selectionChanged();
    if (error != 0) {
        error_ = QString::fromLocal8Bit(std::strerror(error));
        finishedTold_ = true;
        return false;
    }
    if (!isLoading()) {
        indexAdvanced();
    }
    return true;
}

bool TextFileView::isLoading() const {
    return index_.isOpen() && !index_.complete();
}

void TextFileView::finishLoading() {
    if (isLoading()) {
        QGuiApplication::setOverrideCursor(Qt::WaitCursor);
        index_.waitForLine(INT_MAX);
        QGuiApplication::restoreOverrideCursor();
    }
    indexAdvanced();
}

bool TextFileView::waitForLine(int line) {
    if (line >= lineCount() && isLoading()) {
        QGuiApplication::setOverrideCursor(Qt::WaitCursor);
        index_.waitForLine(line);
        QGuiApplication::restoreOverrideCursor();
        indexAdvanced();
    }
    return line < lineCount();
}

void TextFileView::indexAdvanced() {
    progressPosted_ = false;
    updateScrollBars();
    viewport()->update();
    if (accessibleValid_ && accessible_.lineOffsets.size() < size_t(kAccessibleLines)) {
        accessibleValid_ = false; // lines it lacked may be known now
    }
    if (pending_.second) {
        if (pending_.first < lineCount()) {
            auto action = std::move(pending_.second);
            pending_ = {-1, nullptr};
            viewport()->setCursor(Qt::IBeamCursor);
            action();
        } else if (!isLoading()) {
            pending_ = {-1, nullptr};
            viewport()->setCursor(Qt::IBeamCursor);
        }
    }
    if (!finishedTold_ && !isLoading()) {
        finishedTold_ = true;
        if (const int error = index_.readError(); error != 0) {
            error_ = QString::fromLocal8Bit(std::strerror(error));
        }
        Q_EMIT loadFinished();
    }
}

void TextFileView::whenLineKnown(int line, std::function<void()> action) {
    if (line < lineCount()) {
        pending_ = {-1, nullptr};
        action();
    } else if (isLoading()) {
        pending_ = {line, std::move(action)};
        viewport()->setCursor(Qt::BusyCursor);
    }
}

int TextFileView::lineCount() const {
    return index_.isOpen() ? index_.lineCount() : 1;
}

bool TextFileView::lineSpan(int line, LineIndex::Line& out) {
    return index_.line(line, out);
}

const TextFileView::ShownLine* TextFileView::shownLine(int line) {
    LineIndex::Line span;
    if (!index_.line(line, span)) {
        return nullptr;
    }
    ShownLine& shown = shown_[size_t(line) % shown_.size()];
    if (shown.line != line || shown.start != span.start || shown.length != span.length) {
        shown = ShownLine{};
        shown.line = line;
        shown.start = span.start;
        shown.length = span.length;
        shown.decoded = span.length <= kDecodedLineLimit;
        if (shown.decoded) {
            const std::string bytes = index_.read(span.start, size_t(span.length));
            shown.text = viewerString(bytes);
            // Fewer characters than bytes: read as UTF-8, with characters of
            // several bytes.
            shown.wide = shown.text.size() != qsizetype(bytes.size());
        }
    }
    return &shown;
}

int TextFileView::lineLength(int line) {
    const ShownLine* shown = shownLine(line);
    if (shown == nullptr) {
        return 0;
    }
    if (shown->decoded) {
        return int(shown->text.size());
    }
    return static_cast<int>(std::min<int64_t>(shown->length, INT_MAX));
}

int64_t TextFileView::byteColumn(int line, int column) {
    const ShownLine* shown = shownLine(line);
    if (shown == nullptr || column <= 0) {
        return 0;
    }
    if (!shown->wide) {
        return std::min<int64_t>(column, shown->length);
    }
    return utf8Length(QStringView(shown->text).left(column));
}

int TextFileView::cellColumn(int line, int64_t byteColumn) {
    const ShownLine* shown = shownLine(line);
    if (shown == nullptr || byteColumn <= 0) {
        return 0;
    }
    if (!shown->wide) {
        return static_cast<int>(std::min<int64_t>({byteColumn, shown->length, INT_MAX}));
    }
    int64_t bytes = 0;
    qsizetype cell = 0;
    while (cell < shown->text.size() && bytes < byteColumn) {
        bytes += utf8Bytes(shown->text[cell]);
        ++cell;
    }
    return int(cell);
}

QByteArray TextFileView::lineBytes(int line) {
    LineIndex::Line span;
    if (!index_.line(line, span)) {
        return QByteArray();
    }
    const std::string bytes = index_.read(span.start, static_cast<size_t>(span.length));
    return QByteArray(bytes.data(), qsizetype(bytes.size()));
}

QByteArray TextFileView::lineEndBytes(int line) {
    LineIndex::Line span;
    if (!index_.line(line, span)) {
        return QByteArray();
    }
    const std::string end = index_.read(span.start + span.length, 2);
    if (end == "\r\n") {
        return QByteArray("\r\n");
    }
    if (!end.empty() && (end[0] == '\r' || end[0] == '\n')) {
        return QByteArray(1, end[0]);
    }
    return QByteArray();
}

QString TextFileView::lineText(int line) {
    const ShownLine* shown = shownLine(line);
    if (shown != nullptr && shown->decoded) {
        return shown->text;
    }
    return QString::fromLatin1(lineBytes(line));
}

QString TextFileView::toPlainText() {
    finishLoading();
    if (!index_.isOpen()) {
        return QString();
    }
    return joinedLines(index_.read(0, static_cast<size_t>(index_.indexedBytes())), Reading::Judge,
                       Reading::Judge);
}

void TextFileView::changeSelection(Position caret, Position anchor) {
    if (caret == caret_ && anchor == anchor_) {
        return;
    }
    const int oldWindow = accessible_.firstLine;
    caret_ = caret;
    anchor_ = anchor;
    viewport()->update();
    announce(std::max(0, (caret.line / kAccessibleStep - 1) * kAccessibleStep) != oldWindow);
    Q_EMIT selectionChanged();
}

void TextFileView::setPosition(Position position, bool keepAnchor) {
    position.line = std::clamp(position.line, 0, lineCount() - 1);
    position.column = std::clamp(position.column, 0, lineLength(position.line));
    goalColumn_ = position.column;
    changeSelection(position, keepAnchor ? anchor_ : position);
    ensureVisible(position);
}

void TextFileView::select(Position from, Position to) {
    from.line = std::clamp(from.line, 0, lineCount() - 1);
    from.column = std::clamp(from.column, 0, lineLength(from.line));
    to.line = std::clamp(to.line, 0, lineCount() - 1);
    to.column = std::clamp(to.column, 0, lineLength(to.line));
    goalColumn_ = to.column;
    changeSelection(to, from);
    ensureVisible(to);
}

void TextFileView::selectLine(int line) {
    select(Position{line, 0}, Position{line, lineLength(line)});
}

QString TextFileView::selectedText() {
    if (!hasSelection()) {
        return QString();
    }
    const Position from = selectionStart();
    const Position to = selectionEnd();
    const ShownLine* shown = shownLine(from.line);
    if (shown == nullptr) {
        return QString();
    }
    const int64_t begin = shown->start + byteColumn(from.line, from.column);
    const Reading first = shown->wide ? Reading::Utf8 : Reading::Latin1;
    shown = shownLine(to.line);
    if (shown == nullptr) {
        return QString();
    }
    const int64_t end = shown->start + byteColumn(to.line, to.column);
    const Reading last = shown->wide ? Reading::Utf8 : Reading::Latin1;
    if (end - begin > kCopyLimit) {
        return QString();
    }
    // The pieces at either end begin or end at a character of their line.
    return joinedLines(index_.read(begin, static_cast<size_t>(end - begin)), first,
                       from.line == to.line ? first : last);
}

void TextFileView::copySelection() {
    const QString text = selectedText();
    if (text.isEmpty()) {
        if (hasSelection()) {
            QApplication::beep(); // too much for the clipboard
        }
        return;
    }
    QGuiApplication::clipboard()->setText(text);
}

void TextFileView::setLineBold(int line, bool bold) {
    if (bold) {
        boldLines_.insert(line);
    } else {
        boldLines_.erase(line);
    }
    viewport()->update();
}

int TextFileView::firstVisibleLine() const {
    return verticalScrollBar()->value();
}

void TextFileView::scrollToLine(int line) {
    verticalScrollBar()->setValue(std::max(0, line));
}

int TextFileView::visibleRows() const {
    return std::max(1, viewport()->height() / lineHeight_);
}

int TextFileView::visibleColumns() const {
    return std::max(1, (viewport()->width() - kLeftMargin) / charWidth_);
}

void TextFileView::updateMetrics() {
    const QFontMetrics metrics(font());
    lineHeight_ = std::max(1, metrics.lineSpacing());
    charWidth_ = std::max(1, metrics.horizontalAdvance(QLatin1Char('0')));
    ascent_ = metrics.ascent();
}

void TextFileView::updateScrollBars() {
    const int rows = visibleRows();
    verticalScrollBar()->setRange(0, std::max(0, lineCount() - rows));
    verticalScrollBar()->setPageStep(rows);
    verticalScrollBar()->setSingleStep(1);
    const int columns = visibleColumns();
    const int64_t longest = index_.isOpen() ? index_.longestLine() : 0;
    horizontalScrollBar()->setRange(
        0, static_cast<int>(std::clamp<int64_t>(longest + 1 - columns, 0, INT_MAX)));
    horizontalScrollBar()->setPageStep(columns);
    horizontalScrollBar()->setSingleStep(1);
}

void TextFileView::ensureVisible(Position position) {
    const int rows = visibleRows();
    QScrollBar* vertical = verticalScrollBar();
    if (position.line < vertical->value()) {
        vertical->setValue(position.line);
    } else if (position.line >= vertical->value() + rows) {
        vertical->setValue(position.line - rows + 1);
    }
    const int columns = visibleColumns();
    QScrollBar* horizontal = horizontalScrollBar();
    if (position.column < horizontal->value()) {
        horizontal->setValue(position.column);
    } else if (position.column >= horizontal->value() + columns) {
        horizontal->setValue(position.column - columns + 1);
    }
}

TextFileView::Position TextFileView::positionAt(const QPoint& point) {
    const int row = point.y() >= 0 ? point.y() / lineHeight_ : -1 - (-point.y() / lineHeight_);
    Position p;
    p.line = std::clamp(firstVisibleLine() + row, 0, lineCount() - 1);
    const double cell = double(point.x() - kLeftMargin) / charWidth_;
    const int64_t column = horizontalScrollBar()->value() + std::llround(std::max(0.0, cell));
    p.column = static_cast<int>(std::min<int64_t>(column, lineLength(p.line)));
    return p;
}

QRect TextFileView::cellRect(Position position) {
    return QRect(kLeftMargin + (position.column - horizontalScrollBar()->value()) * charWidth_,
                 (position.line - firstVisibleLine()) * lineHeight_, charWidth_, lineHeight_);
}

void TextFileView::paintEvent(QPaintEvent* event) {
    QPainter painter(viewport());
    const QRect area = event->rect();
    painter.fillRect(area, palette().base());
    const int first = firstVisibleLine();
    const int count = lineCount();
    const int firstColumn = horizontalScrollBar()->value();
    const int columns = visibleColumns() + 2;
    const Position from = selectionStart();
    const Position to = selectionEnd();
    QFont normal = font();
    QFont bold = font();
    bold.setBold(true);

    for (int row = 0; first + row < count; ++row) {
        const int y = row * lineHeight_;
        if (y > area.bottom()) {
            break;
        }
        if (y + lineHeight_ <= area.top()) {
            continue;
        }
        const int line = first + row;
        const ShownLine* shown = shownLine(line);
        if (shown == nullptr) {
            break;
        }
        QString text;
        if (shown->decoded) {
            text = shown->text.mid(firstColumn, columns);
        } else if (shown->length > firstColumn) {
            const std::string bytes = index_.read(
                shown->start + firstColumn,
                static_cast<size_t>(std::min<int64_t>(shown->length - firstColumn, columns)));
            text = QString::fromLatin1(bytes.data(), qsizetype(bytes.size()));
        }
        text = blanked(std::move(text));
        const bool wide = shown->wide;
        const int64_t length = lineLength(line);
        const QPoint origin(kLeftMargin, y + ascent_);
        // Characters of several bytes may be drawn wider or narrower than a
        // cell: each is put at its own cell so that caret and selection fit.
        const auto drawCells = [&painter, &text, &origin, wide, this] {
            if (!wide) {
                painter.drawText(origin, text);
                return;
            }
            for (qsizetype i = 0; i < text.size(); ++i) {
                const qsizetype n = text[i].isHighSurrogate() && i + 1 < text.size() ? 2 : 1;
                painter.drawText(origin + QPoint(int(i) * charWidth_, 0), text.mid(i, n));
                i += n - 1;
            }
        };
        painter.setFont(isLineBold(line) ? bold : normal);
        painter.setPen(palette().text().color());
        drawCells();

        if (hasSelection() && line >= from.line && line <= to.line) {
            // A selection that runs on past the line shows its line end as a cell.
            const int64_t start = line == from.line ? from.column : 0;
            const int64_t end = line == to.line ? to.column : length + 1;
            const int64_t left = std::max<int64_t>(start - firstColumn, 0);
            const int64_t right = std::min<int64_t>(end - firstColumn, columns);
            if (right > left) {
                const QRect cellsRect(kLeftMargin + int(left) * charWidth_, y,
                                      int(right - left) * charWidth_, lineHeight_);
                painter.fillRect(cellsRect, palette().highlight());
                painter.save();
                painter.setClipRect(cellsRect);
                painter.setPen(palette().highlightedText().color());
                drawCells();
                painter.restore();
            }
        }
    }
    if (hasFocus() && caret_.line >= first) {
        const QRect caret = cellRect(caret_);
        if (caret.left() >= 0 && caret.top() <= viewport()->height()) {
            painter.fillRect(QRect(caret.left(), caret.top(), 1, lineHeight_),
                             palette().text().color());
        }
    }
}

void TextFileView::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    updateScrollBars();
}

void TextFileView::changeEvent(QEvent* event) {
    QAbstractScrollArea::changeEvent(event);
    if (event->type() == QEvent::FontChange) {
        updateMetrics();
        updateScrollBars();
        viewport()->update();
    }
}

void TextFileView::keyPressEvent(QKeyEvent* event) {
    if (event->matches(QKeySequence::Copy)) {
        copySelection();
        return;
    }
    if (event->matches(QKeySequence::SelectAll)) {
        const int last = lineCount() - 1;
        select(Position{0, 0}, Position{last, lineLength(last)});
        return;
    }
    const bool shift = event->modifiers().testFlag(Qt::ShiftModifier);
    const bool control = event->modifiers().testFlag(Qt::ControlModifier);
    const int last = lineCount() - 1;
    const int rows = visibleRows();
    Position p = caret_;
    bool vertical = false;
    switch (event->key()) {
    case Qt::Key_Left:
        if (p.column > 0) {
            --p.column;
        } else if (p.line > 0) {
            --p.line;
            p.column = lineLength(p.line);
        }
        break;
    case Qt::Key_Right:
        if (p.column < lineLength(p.line)) {
            ++p.column;
        } else if (p.line < last) {
            ++p.line;
            p.column = 0;
        }
        break;
    case Qt::Key_Up:
        p.line = std::max(0, p.line - 1);
        vertical = true;
        break;
    case Qt::Key_Down:
        p.line = std::min(last, p.line + 1);
        vertical = true;
        break;
    case Qt::Key_PageUp:
        p.line = std::max(0, p.line - rows);
        verticalScrollBar()->setValue(verticalScrollBar()->value() - rows);
        vertical = true;
        break;
    case Qt::Key_PageDown:
        p.line = std::min(last, p.line + rows);
        verticalScrollBar()->setValue(verticalScrollBar()->value() + rows);
        vertical = true;
        break;
    case Qt::Key_Home:
        p = control ? Position{0, 0} : Position{p.line, 0};
        break;
    case Qt::Key_End:
        p.line = control ? last : p.line;
        p.column = lineLength(p.line);
        break;
    default:
        event->ignore(); // Return, Escape and Tab belong to the window
        return;
    }
    const int goal = goalColumn_;
    if (vertical) {
        p.column = std::min(goal, lineLength(p.line));
    }
    setPosition(p, shift);
    if (vertical) {
        goalColumn_ = goal;
    }
}

void TextFileView::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        QAbstractScrollArea::mousePressEvent(event);
        return;
    }
    setPosition(positionAt(event->position().toPoint()),
                event->modifiers().testFlag(Qt::ShiftModifier));
    dragging_ = true;
}

void TextFileView::mouseMoveEvent(QMouseEvent* event) {
    if (!dragging_) {
        return;
    }
    // Dragging past the top or bottom edge scrolls a line at a time.
    const QPoint point = event->position().toPoint();
    if (point.y() < 0) {
        verticalScrollBar()->setValue(verticalScrollBar()->value() - 1);
    } else if (point.y() >= viewport()->height()) {
        verticalScrollBar()->setValue(verticalScrollBar()->value() + 1);
    }
    QPoint inside = point;
    inside.setY(std::clamp(point.y(), 0, std::max(0, viewport()->height() - 1)));
    setPosition(positionAt(inside), true);
}

void TextFileView::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        dragging_ = false;
    }
}

void TextFileView::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        return;
    }
    // A word is a run of printable characters: an address with its value.
    const Position at = positionAt(event->position().toPoint());
    const QString text = lineText(at.line);
    auto inWord = [&text](int i) { return text[i].unicode() > ' '; };
    int begin = std::min<int>(at.column, int(text.size()));
    int end = begin;
    while (begin > 0 && inWord(begin - 1)) {
        --begin;
    }
    while (end < text.size() && inWord(end)) {
        ++end;
    }
    select(Position{at.line, begin}, Position{at.line, end});
}

void TextFileView::focusInEvent(QFocusEvent* event) {
    QAbstractScrollArea::focusInEvent(event);
    viewport()->update();
}

void TextFileView::focusOutEvent(QFocusEvent* event) {
    QAbstractScrollArea::focusOutEvent(event);
    viewport()->update();
}

const TextFileView::AccessibleText& TextFileView::accessibleText() {
    const int first = std::max(0, (caret_.line / kAccessibleStep - 1) * kAccessibleStep);
    if (!accessibleValid_ || accessible_.firstLine != first) {
        accessible_ = AccessibleText{};
        accessible_.firstLine = first;
        const int end = std::min(lineCount(), first + kAccessibleLines);
        for (int line = first; line < end; ++line) {
            if (line > first) {
                accessible_.text += QLatin1Char('\n');
            }
            accessible_.lineOffsets.push_back(int(accessible_.text.size()));
            accessible_.text += lineText(line).left(kAccessibleLineCap);
        }
        accessibleValid_ = true;
    }
    return accessible_;
}

int TextFileView::accessibleOffset(Position position) {
    const AccessibleText& a = accessibleText();
    if (a.lineOffsets.empty() || position.line < a.firstLine) {
        return 0;
    }
    const size_t i = static_cast<size_t>(position.line - a.firstLine);
    if (i >= a.lineOffsets.size()) {
        return int(a.text.size());
    }
    const int lineEnd =
        i + 1 < a.lineOffsets.size() ? a.lineOffsets[i + 1] - 1 : int(a.text.size());
    return std::min(a.lineOffsets[i] + position.column, lineEnd);
}

TextFileView::Position TextFileView::accessiblePosition(int offset) {
    const AccessibleText& a = accessibleText();
    if (a.lineOffsets.empty()) {
        return Position{};
    }
    const auto it = std::upper_bound(a.lineOffsets.begin(), a.lineOffsets.end(), offset);
    const size_t i = it == a.lineOffsets.begin() ? 0 : size_t(it - a.lineOffsets.begin()) - 1;
    return Position{a.firstLine + int(i), std::max(0, offset - a.lineOffsets[i])};
}

void TextFileView::announce(bool textMoved) {
    if (!QAccessible::isActive()) {
        accessibleValid_ = accessibleValid_ && !textMoved;
        return;
    }
    if (textMoved) {
        const QString old = accessible_.text;
        accessibleValid_ = false;
        QAccessibleTextUpdateEvent update(this, 0, old, accessibleText().text);
        QAccessible::updateAccessibility(&update);
    }
    QAccessibleTextCursorEvent cursor(this, accessibleOffset(caret_));
    QAccessible::updateAccessibility(&cursor);
    if (hasSelection()) {
        QAccessibleTextSelectionEvent selection(this, accessibleOffset(selectionStart()),
                                                accessibleOffset(selectionEnd()));
        QAccessible::updateAccessibility(&selection);
    }
}

} // namespace vorl
