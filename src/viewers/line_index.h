// Where the lines of a text file start, so a view can show any line of a
// program of gigabytes without holding the file.
//
// How it works. The file is read once from start to end in pieces of a
// megabyte; the start of every 64th line is kept (a few megabytes for a
// gigabyte of program). The first piece of the file is read at once, so a
// view shows the start of the program immediately; the rest is read on a
// thread of its own while the view is already in use, and lineCount() grows
// as it goes. A line asked for is found from the kept start before it by
// reading at most 63 lines of the file; the lines of the last few groups of
// 64 looked at are kept, so painting a screenful or moving the caret reads
// nothing twice.
//
// Lines end as blocks of a download end: a CR LF pair, a lone CR and a lone
// LF each end one line. There is always one line more than line ends: the
// last line is the text after the last line end, empty when the file ends
// with one.
//
// The file is read with pread() into small buffers, never mapped: a program
// that is rewritten or shortened on a network share while it is shown then
// only shows shorter lines, and the memory the view takes does not grow with
// the parts of the file looked at.
#pragma once

#include <array>
#include <atomic>
#include <bit>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vorl {

class LineIndex {
public:
    static constexpr int kStride = 64; // lines per kept start

    LineIndex() = default;
    ~LineIndex();
    LineIndex(const LineIndex&) = delete;
    LineIndex& operator=(const LineIndex&) = delete;

    // Opens `path`, reads its first `firstBytes` at once and the rest on the
    // index's thread, `pieceSize` bytes at a time; the thread calls
    // `onProgress` after every piece and at the end (it must only hand the
    // news on). Returns the errno of a failure to open or to read the start,
    // 0 on success.
    int open(const std::string& path, int64_t firstBytes, size_t pieceSize = size_t{1} << 20,
             std::function<void()> onProgress = nullptr);
    // Stops the reading thread and forgets the file.
    void close();

    bool isOpen() const { return fd_ >= 0; }
    int64_t fileSize() const { return size_; }

    // Lines whose start is known: every line of the file once complete().
    int lineCount() const;
    // The whole file has been read (or reading it failed, see readError()).
    bool complete() const;
    // errno of a read that failed while indexing; the index then ends there.
    int readError() const;
    // Bytes of the file indexed so far.
    int64_t indexedBytes() const;
    // The longest line found so far, in bytes without its line end.
    int64_t longestLine() const;
    // Blocks until `line` is known or the index is complete; true when known.
    bool waitForLine(int line) const;

    struct Line {
        int64_t start = 0;  // offset of its first byte
        int64_t length = 0; // bytes, without the line end
    };
    // Where line `line` (0-based) lies; false when it is not known yet or
    // reading the file failed. Called from one thread (the view's) only.
    bool line(int line, Line& out);

    // Up to `length` bytes from `offset` (fewer at the end of the file).
    std::string read(int64_t offset, size_t length) const;

private:
    struct Group { // the lines of one group of kStride lines
        int first = -1;
        int count = 0;
        std::array<int64_t, kStride> starts{};
        std::array<int64_t, kStride> lengths{};
    };

    // Reads and takes the next piece of the file; false when the file has
    // ended or reading it failed (the index is then complete).
    bool step(int64_t& offset, std::vector<uint8_t>& buffer, bool notify);
    void take(const uint8_t* data, size_t size, int64_t offset);
    void beginLine(int64_t start);
    void publish(int64_t offset, bool done, int error, bool notify);
    bool loadGroup(int group, Group& out);

    int fd_ = -1;
    int64_t size_ = 0;
    std::function<void()> onProgress_;
    std::thread thread_;

    // The index's own reading state (its thread only, or open() before it starts).
    int64_t lineStart_ = 0;      // start of the line being read
    int64_t lineEnds_ = 0;       // line ends found
    bool afterCR_ = false;       // the last byte read was a CR: an LF now belongs to it
    int64_t longest_ = 0;        // longest line so far
    std::vector<int64_t> found_; // kept starts not yet published

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<int64_t> starts_; // start of every kStride-th line
    int lines_ = 1;               // lines whose start is known
    int64_t indexed_ = 0;
    int64_t longestPublished_ = 0;
    bool complete_ = false;
    int error_ = 0;
    std::atomic<bool> stop_{false};

    // The view's reading (its thread only).
    std::array<Group, 8> groups_{};
    size_t nextGroupSlot_ = 0;
};

// Flags the bytes of the eight-byte word `v` that equal `b`: a byte of
// (v ^ pattern) is zero where v holds b. Only the lowest flag is exact, which is
// all a search for the first such byte needs.
constexpr uint64_t bytesEqual(uint64_t v, uint8_t b) {
    constexpr uint64_t ones = 0x0101010101010101ULL;
    constexpr uint64_t highs = 0x8080808080808080ULL;
    const uint64_t x = v ^ (ones * b);
    return (x - ones) & ~x & highs;
}

// The first byte in [begin, end) that `isStop` accepts, or end. Eight bytes at
// a time, the word tested with `hits` (a bytesEqual() or several of them
// joined); the bytes past the last whole word one by one.
template <typename Hits, typename IsStop>
const uint8_t* findFirst(const uint8_t* p, const uint8_t* end, Hits hits, IsStop isStop) {
    if constexpr (std::endian::native == std::endian::little) {
        while (end - p >= 8) {
            uint64_t v;
            std::memcpy(&v, p, 8);
            if (const uint64_t found = hits(v); found != 0) {
                return p + (std::countr_zero(found) >> 3);
            }
            p += 8;
        }
    }
    while (p < end && !isStop(*p)) {
        ++p;
    }
    return p;
}

// The first CR or LF in [begin, end), or end.
const uint8_t* findLineEnd(const uint8_t* begin, const uint8_t* end);

} // namespace vorl
