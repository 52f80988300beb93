// The Search button of the review window and of the log viewer.
//
// A search runs without case distinction from one character after the start of
// the selection to the end of the text and selects the match, so repeated
// clicks walk through the matches in turn. A match lies within one line, and
// it is a match of the text as the view shows it: in a UTF-8 line "entrée"
// finds "Entrée", in a line of other bytes it finds the Latin-1 "Entr\xE9e".
//
// The file is read from that point on, a megabyte at a time, on a thread of
// its own; a search that runs for more than half a second shows its progress
// in a window with a Cancel button.
#pragma once

#include <QString>

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

class QWidget;

class QLineEdit;

namespace vorl {

class TextFileView;

// Where a search starts and what it found: a byte offset of the file and the
// line and column there.
struct TextSpot {
    int64_t offset = 0;
    int line = 0;
    int column = 0;
};

// Reads a file from a spot on for the first occurrence of a pattern.
class FileSearch {
public:
    // Bytes compared through a folding table: `pattern` is already folded,
    // `fold` maps every byte to its folded form. For a pattern of ASCII
    // characters, which are the same bytes in every line whatever it is read as.
    FileSearch(std::string path, std::string pattern, const std::array<uint8_t, 256>& fold);
    // Characters compared without case distinction, each line read as the
    // view shows it (lineTextOf): for any other pattern.
    FileSearch(std::string path, QString text);

    // Runs to the end of the file, a match or cancel(). True when found.
    bool run(const TextSpot& from);
    void cancel() { cancelled_ = true; }

    const TextSpot& match() const { return match_; }
    // Bytes of the file the match takes.
    int64_t matchLength() const { return matchLength_; }
    // Bytes of the file read so far, for the progress shown.
    int64_t reached() const { return reached_; }
    bool cancelled() const { return cancelled_; }
    int error() const { return error_; } // errno of a failed read

private:
    bool runBytes(int fd, const TextSpot& from);
    bool runText(int fd, const TextSpot& from);

    std::string path_;
    QString text_; // the pattern of a search by characters, else empty
    std::string pattern_;
    std::array<uint8_t, 256> fold_;
    std::atomic<bool> cancelled_{false};
    std::atomic<int64_t> reached_{0};
    TextSpot match_;
    int64_t matchLength_ = 0;
    int error_ = 0;
};

enum class SearchOutcome { Found, NotFound, Cancelled, Failed };

// Selects the next match of `text`. Otherwise the selection stays as it was;
// a read error is told in `failure`. `parent` owns the progress window of a
// long search.
SearchOutcome findNext(TextFileView* view, const QString& text, QWidget* parent = nullptr,
                       QString* failure = nullptr);

// What the operator is told when the search finds nothing.
QString notFoundText(const QString& text);

// cmdSearchClick of both windows: nothing for an empty search text; otherwise
// the text gets the focus, and when nothing is found a message box (owned by
// `parent`) says so.
void searchClick(TextFileView* view, const QString& text, QWidget* parent);

// Return (or Enter) in the search field `field` runs `search`, rather than
// pressing the window's default button.
void searchOnReturn(QLineEdit* field, std::function<void()> search);

} // namespace vorl
