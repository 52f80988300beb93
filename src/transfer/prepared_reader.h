// The prepared download file as the block sender reads it: through a window
// of bounded size, so that the memory a download takes does not grow with
// the program.
//
// The sender asks where the next group of blocks ends and then for its bytes
// a put at a time. After each group it lets the reader read on
// (readAhead): once less than half a window is left, the window moves on
// to the group's end, while the line still drains what was put. A group
// larger than the window is found by reading through it and then put from
// the file a piece at a time.
//
// A file that cannot be read, or that ends before the size it had when it
// was opened (shortened meanwhile), is a failure: the sender never sends a
// cut program as if it were whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vorl {

class PreparedFileReader {
public:
    PreparedFileReader() = default;
    ~PreparedFileReader();
    PreparedFileReader(const PreparedFileReader&) = delete;
    PreparedFileReader& operator=(const PreparedFileReader&) = delete;

    // Opens `path`, to be read through `window` bytes. 0 or the errno.
    int open(const std::string& path, size_t window);
    int64_t size() const { return size_; }

    // The end (one past) of the group that starts at `from`: through the
    // `n`-th `eol` after it, or through the last one before the end of the
    // file; `from` when none follows. -1 when reading failed.
    int64_t groupEnd(int64_t from, int n, char eol);
    // `length` bytes (at most a window) from `offset`, valid until the next
    // call; null when reading failed.
    const char* bytes(int64_t offset, size_t length);
    // The sender has put everything before `offset`.
    void readAhead(int64_t offset);

    // Why reading failed.
    std::string failure() const;

private:
    // Fills the window from `offset`; false when reading failed.
    bool load(int64_t offset);

    std::string path_;
    int fd_ = -1;
    int64_t size_ = 0;
    std::vector<char> window_;
    int64_t start_ = 0;  // file offset of window_[0]
    size_t length_ = 0;  // bytes of the file in the window
    int error_ = 0;      // errno of a failed read
    bool short_ = false; // the file ended before its size
};

} // namespace vorl
