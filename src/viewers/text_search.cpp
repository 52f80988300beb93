#include "viewers/text_search.h"

#include "viewers/text_file_view.h"

#include <QEvent>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressDialog>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace vorl {
namespace {

constexpr size_t kPiece = size_t{1} << 20;
// A search with less than this to read runs at once, without a thread.
constexpr int64_t kSearchAtOnce = int64_t{1} << 20;

// Latin-1 bytes to their case-folded form, as far as it is Latin-1 too.
const std::array<uint8_t, 256>& foldTable() {
    static const std::array<uint8_t, 256> table = [] {
        std::array<uint8_t, 256> t{};
        for (int b = 0; b < 256; ++b) {
            const char16_t folded = QChar(char16_t(b)).toCaseFolded().unicode();
            t[size_t(b)] = static_cast<uint8_t>(folded < 256 ? folded : b);
        }
        return t;
    }();
    return table;
}

} // namespace

FileSearch::FileSearch(std::string path, std::string pattern, const std::array<uint8_t, 256>& fold)
    : path_(std::move(path)), pattern_(std::move(pattern)), fold_(fold) {}

FileSearch::FileSearch(std::string path, QString text)
    : path_(std::move(path)), text_(std::move(text)), fold_{} {}

namespace {

// The first byte in [p, end) that is one of `stops`, or end.
const uint8_t* findAny(const uint8_t* p, const uint8_t* end, const std::vector<uint8_t>& stops) {
    return findFirst(
        p, end,
        [&stops](uint64_t v) {
            uint64_t hits = 0;
            for (const uint8_t stop : stops) {
                hits |= bytesEqual(v, stop);
            }
            return hits;
        },
        [&stops](uint8_t b) { return std::find(stops.begin(), stops.end(), b) != stops.end(); });
}

} // namespace

bool FileSearch::run(const TextSpot& from) {
    const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error_ = errno;
        return false;
    }
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    const bool found = text_.isEmpty() ? runBytes(fd, from) : runText(fd, from);
    ::close(fd);
    return found;
}

bool FileSearch::runBytes(int fd, const TextSpot& from) {
    const size_t m = pattern_.size();
    const auto* pattern = reinterpret_cast<const uint8_t*>(pattern_.data());
    // The bytes worth stopping at: line ends, and every byte that folds to
    // the pattern's first.
    std::vector<uint8_t> stops{'\r', '\n'};
    for (int b = 0; b < 256; ++b) {
        if (fold_[size_t(b)] == pattern[0]) {
            stops.push_back(uint8_t(b));
        }
    }
    std::vector<uint8_t> buffer(kPiece + m);
    int64_t offset = from.offset; // of buffer[0]
    size_t have = 0;
    int line = from.line;
    int64_t lineStart = from.offset - from.column;
    bool afterCR = false; // the last byte read was a CR: an LF now belongs to it
    bool found = false;
    while (!found && !cancelled_) {
        const ssize_t n = ::pread(fd, buffer.data() + have, kPiece, offset + int64_t(have));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            error_ = errno;
            break;
        }
        have += static_cast<size_t>(n);
        const bool atEnd = n == 0;
        // Bytes a match could still begin at wait for the next piece.
        const size_t limit = atEnd ? have : (have >= m ? have - m + 1 : 0);
        size_t i = 0;
        if (afterCR && have > 0) {
            afterCR = false;
            if (buffer[0] == '\n') {
                lineStart = offset + 1;
                i = 1;
            }
        }
        while (i < limit) {
            i = size_t(findAny(buffer.data() + i, buffer.data() + limit, stops) - buffer.data());
            if (i >= limit) {
                break;
            }
            const uint8_t b = buffer[i];
            if (b == '\r' || b == '\n') {
                ++line;
                if (b == '\r' && i + 1 < have) {
                    i += buffer[i + 1] == '\n' ? 1 : 0;
                } else if (b == '\r') {
                    afterCR = true; // the next piece tells
                }
                lineStart = offset + int64_t(i) + 1;
                ++i;
                continue;
            }
            if (i + m <= have) {
                size_t k = 1;
                while (k < m && fold_[buffer[i + k]] == pattern[k]) {
                    ++k;
                }
                if (k == m) {
                    const int64_t at = offset + int64_t(i);
                    match_ = TextSpot{at, line, static_cast<int>(at - lineStart)};
                    matchLength_ = int64_t(m);
                    found = true;
                    break;
                }
            }
            ++i;
        }
        if (atEnd || found) {
            break;
        }
        const size_t consumed = std::max(i, limit);
        std::memmove(buffer.data(), buffer.data() + consumed, have - consumed);
        offset += int64_t(consumed);
        have -= consumed;
        reached_ = offset;
    }
    return found;
}

// Line by line: a line no longer than kDecodedLineLimit is held whole and read
// as it shows; a longer one shows byte by byte and is looked through as
// Latin-1 while it is read, keeping only the bytes a match could begin in.
bool FileSearch::runText(int fd, const TextSpot& from) {
    const qsizetype m = text_.size();
    int line = from.line;
    int64_t lineStart = from.offset - from.column;
    std::string held; // the bytes of the current line from heldColumn on
    int64_t heldColumn = 0;
    bool longLine = false; // the current line is longer than kDecodedLineLimit
    int64_t offset = lineStart;
    if (from.column > kDecodedLineLimit) { // what lies before the start is not needed
        longLine = true;
        heldColumn = from.column;
        offset = from.offset;
    }
    bool afterCR = false; // the last byte read was a CR: an LF now belongs to it
    const auto matched = [&](int64_t column, int64_t length) {
        match_ = TextSpot{lineStart + column, line, static_cast<int>(column)};
        matchLength_ = length;
        return true;
    };
    // Looks for the pattern in what is held of the current line, at or after
    // the start on the first line; a line that shows as it was written is
    // looked at once it has ended (`whole`).
    const auto look = [&](bool whole) {
        const int64_t first = line == from.line ? from.column : 0;
        longLine = longLine || int64_t(held.size()) > kDecodedLineLimit;
        if (longLine) {
            const QString text = QString::fromLatin1(held.data(), qsizetype(held.size()));
            const qsizetype at = text.indexOf(
                text_, qsizetype(std::max<int64_t>(0, first - heldColumn)), Qt::CaseInsensitive);
            if (at >= 0) {
                return matched(heldColumn + at, m);
            }
            const size_t keep = std::min(held.size(), size_t(m - 1));
            heldColumn += int64_t(held.size() - keep);
            held.erase(0, held.size() - keep);
            return false;
        }
        if (!whole || std::all_of(held.begin(), held.end(), [](char c) { return c >= 0; })) {
            return false; // ASCII alone cannot hold a pattern that is not
        }
        const QString text = lineTextOf(held);
        const bool utf8 = text.size() != qsizetype(held.size());
        const qsizetype start =
            utf8 ? QString::fromUtf8(held.data(), qsizetype(first)).size() : qsizetype(first);
        const qsizetype at = text.indexOf(text_, start, Qt::CaseInsensitive);
        if (at < 0) {
            return false;
        }
        if (!utf8) {
            return matched(at, m);
        }
        const QStringView shown(text);
        return matched(utf8Length(shown.left(at)), utf8Length(shown.mid(at, m)));
    };

    std::vector<uint8_t> buffer(kPiece);
    bool found = false;
    while (!found && !cancelled_) {
        const ssize_t n = ::pread(fd, buffer.data(), kPiece, offset);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            error_ = errno;
            break;
        }
        if (n == 0) {
            found = look(true); // the last line
            break;
        }
        const uint8_t* data = buffer.data();
        const uint8_t* p = data;
        const uint8_t* end = data + n;
        while (p < end && !found) {
            if (afterCR) {
                afterCR = false;
                if (*p == '\n') {
                    ++p;
                    ++lineStart;
                    continue;
                }
            }
            const uint8_t* e = findLineEnd(p, end);
            held.append(reinterpret_cast<const char*>(p), size_t(e - p));
            if (e == end) {
                found = look(false);
                break;
            }
            found = look(true);
            if (!found) {
                ++line;
                lineStart = offset + (e - data) + 1;
                afterCR = *e == '\r';
                held.clear();
                heldColumn = 0;
                longLine = false;
                p = e + 1;
            }
        }
        offset += n;
        reached_ = offset;
    }
    return found;
}

SearchOutcome findNext(TextFileView* view, const QString& text, QWidget* parent, QString* failure) {
    if (text.isEmpty()) {
        return SearchOutcome::NotFound;
    }
    if (text.contains(QLatin1Char('\r')) || text.contains(QLatin1Char('\n'))) {
        return SearchOutcome::NotFound; // a match lies within one line
    }
    // ASCII, the text of NC programs, is searched for byte by byte.
    const std::array<uint8_t, 256>& fold = foldTable();
    const QString folded = text.toCaseFolded();
    const bool ascii =
        std::all_of(folded.begin(), folded.end(), [](QChar c) { return c.unicode() < 0x80; });
    std::string pattern;
    if (ascii) {
        for (const QChar c : folded) {
            pattern += static_cast<char>(fold[c.unicode()]);
        }
    }

    // One character after the start of the selection; past a line's end
    // that is the start of the next line.
    const TextFileView::Position start = view->selectionStart();
    LineIndex::Line span;
    if (!view->lineSpan(start.line, span)) {
        return SearchOutcome::NotFound;
    }
    const int64_t next = view->byteColumn(start.line, start.column + 1);
    TextSpot from{span.start + next, start.line, static_cast<int>(next)};
    if (start.column + 1 > view->lineLength(start.line)) {
        const QByteArray end = view->lineEndBytes(start.line);
        if (end.isEmpty()) {
            return SearchOutcome::NotFound; // the last line
        }
        from = TextSpot{span.start + span.length + end.size(), start.line + 1, 0};
    }

    const std::string path = QFile::encodeName(view->filePath()).toStdString();
    FileSearch search = ascii ? FileSearch(path, pattern, fold) : FileSearch(path, text);
    bool found = false;
    const int64_t size = QFileInfo(view->filePath()).size();
    if (size - from.offset <= kSearchAtOnce) {
        found = search.run(from);
    } else {
        QProgressDialog progress(QStringLiteral("Searching for \"%1\"...").arg(text),
                                 QStringLiteral("Cancel"), 0, 1000, parent);
        progress.setObjectName(QStringLiteral("SearchProgress"));
        progress.setWindowModality(Qt::ApplicationModal);
        progress.setMinimumDuration(500);
        progress.setAutoReset(false);
        progress.setAutoClose(false);
        QObject::connect(&progress, &QProgressDialog::canceled, [&search] { search.cancel(); });
        QEventLoop loop;
        QTimer tick;
        tick.setInterval(100);
        QObject::connect(&tick, &QTimer::timeout, [&] {
            const double share = double(search.reached() - from.offset) /
                                 double(std::max<int64_t>(1, size - from.offset));
            progress.setValue(std::clamp(int(share * 1000), 0, 999));
        });
        std::thread worker([&] {
            found = search.run(from);
            QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
        });
        tick.start();
        loop.exec();
        worker.join();
    }
    if (search.error() != 0) {
        if (failure != nullptr) {
            *failure = view->filePath() + QStringLiteral(": ") +
                       QString::fromLocal8Bit(std::strerror(search.error()));
        }
        return SearchOutcome::Failed;
    }
    if (search.cancelled()) {
        return SearchOutcome::Cancelled;
    }
    if (!found) {
        return SearchOutcome::NotFound;
    }
    const TextSpot& at = search.match();
    if (!view->waitForLine(at.line)) {
        return SearchOutcome::NotFound; // the file changed under the search
    }
    const int column = view->cellColumn(at.line, at.column);
    const int end = view->cellColumn(at.line, at.column + search.matchLength());
    view->select(TextFileView::Position{at.line, column}, TextFileView::Position{at.line, end});
    return SearchOutcome::Found;
}

QString notFoundText(const QString& text) {
    return QStringLiteral("\"%1\" was not found after the current position.").arg(text);
}

void searchClick(TextFileView* view, const QString& text, QWidget* parent) {
    if (text.isEmpty()) {
        return;
    }
    view->setFocus();
    QString failure;
    switch (findNext(view, text, parent, &failure)) {
    case SearchOutcome::Found:
    case SearchOutcome::Cancelled:
        break;
    case SearchOutcome::NotFound:
        QMessageBox::information(parent, QString(), notFoundText(text));
        view->setFocus();
        break;
    case SearchOutcome::Failed:
        QMessageBox::warning(parent, QString(), failure);
        view->setFocus();
        break;
    }
}

namespace {

class ReturnSearches : public QObject {
public:
    ReturnSearches(std::function<void()> search, QObject* parent)
        : QObject(parent), search_(std::move(search)) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::KeyPress) {
            const auto* key = static_cast<QKeyEvent*>(event);
            const auto modifiers = key->modifiers() & ~Qt::KeypadModifier;
            if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) &&
                modifiers == Qt::NoModifier) {
                search_();
                return true;
            }
        }
        return QObject::eventFilter(watched, event);
    }

private:
    std::function<void()> search_;
};

} // namespace

void searchOnReturn(QLineEdit* field, std::function<void()> search) {
    field->installEventFilter(new ReturnSearches(std::move(search), field));
}

} // namespace vorl
