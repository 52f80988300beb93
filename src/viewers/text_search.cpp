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
    ::close(fd);
    return found;
}

SearchOutcome findNext(TextFileView* view, const QString& text, QWidget* parent, QString* failure) {
    if (text.isEmpty()) {
        return SearchOutcome::NotFound;
    }
    const std::array<uint8_t, 256>& fold = foldTable();
    std::string pattern;
    for (const QChar c : text) {
        // The file shows as Latin-1 and a match lies within one line.
        if (c.unicode() > 255 || c == QLatin1Char('\r') || c == QLatin1Char('\n')) {
            return SearchOutcome::NotFound;
        }
        pattern += static_cast<char>(fold[c.unicode()]);
    }

    // One character after the start of the selection; past a line's end
    // that is the start of the next line.
    const TextFileView::Position start = view->selectionStart();
    LineIndex::Line span;
    if (!view->lineSpan(start.line, span)) {
        return SearchOutcome::NotFound;
    }
    TextSpot from{span.start + start.column + 1, start.line, start.column + 1};
    if (start.column + 1 > span.length) {
        const QByteArray end = view->lineEndBytes(start.line);
        if (end.isEmpty()) {
            return SearchOutcome::NotFound; // the last line
        }
        from = TextSpot{span.start + span.length + end.size(), start.line + 1, 0};
    }

    FileSearch search(QFile::encodeName(view->filePath()).toStdString(), pattern, fold);
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
    view->select(TextFileView::Position{at.line, at.column},
                 TextFileView::Position{at.line, at.column + int(pattern.size())});
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
