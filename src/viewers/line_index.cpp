#include "viewers/line_index.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vorl {
namespace {

constexpr size_t kGroupPiece = size_t{64} << 10;
constexpr int64_t kMaxLines = INT_MAX - 1;

// pread() until `size` bytes or the end of the file; the count, or -errno.
ssize_t readAt(int fd, void* data, size_t size, int64_t offset) {
    ssize_t n;
    do {
        n = ::pread(fd, data, size, static_cast<off_t>(offset));
    } while (n < 0 && errno == EINTR);
    return n < 0 ? -errno : n;
}

} // namespace

const uint8_t* findLineEnd(const uint8_t* begin, const uint8_t* end) {
    return findFirst(
        begin, end, [](uint64_t v) { return bytesEqual(v, '\n') | bytesEqual(v, '\r'); },
        [](uint8_t b) { return b == '\n' || b == '\r'; });
}

LineIndex::~LineIndex() {
    close();
}

void LineIndex::close() {
    stop_ = true;
    if (thread_.joinable()) {
        thread_.join();
    }
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    size_ = 0;
    onProgress_ = nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    starts_.assign(1, 0);
    lines_ = 1;
    indexed_ = 0;
    longestPublished_ = 0;
    complete_ = false;
    error_ = 0;
    for (Group& g : groups_) {
        g.first = -1;
    }
}

int LineIndex::open(const std::string& path, int64_t firstBytes, size_t pieceSize,
                    std::function<void()> onProgress) {
    close();
    stop_ = false;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return errno;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        const int error = S_ISDIR(st.st_mode) ? EISDIR : errno;
        ::close(fd);
        return error;
    }
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    fd_ = fd;
    size_ = st.st_size;
    lineStart_ = 0;
    lineEnds_ = 0;
    afterCR_ = false;
    longest_ = 0;
    found_.clear();

    std::vector<uint8_t> buffer(std::max<size_t>(pieceSize, 1));
    int64_t offset = 0;
    bool more = true;
    while (more && offset < std::max<int64_t>(firstBytes, 1)) {
        more = step(offset, buffer, false);
    }
    if (const int error = readError(); error != 0 && offset == 0) {
        close();
        return error;
    }
    onProgress_ = std::move(onProgress);
    if (more) {
        thread_ = std::thread([this, offset, buffer = std::move(buffer)]() mutable {
            while (!stop_ && step(offset, buffer, true)) {
            }
        });
    }
    return 0;
}

bool LineIndex::step(int64_t& offset, std::vector<uint8_t>& buffer, bool notify) {
    const ssize_t n = readAt(fd_, buffer.data(), buffer.size(), offset);
    if (n <= 0) {
        if (n == 0 && afterCR_) {
            afterCR_ = false;
            beginLine(offset); // the empty line after a final CR
        }
        if (n == 0) {
            longest_ = std::max(longest_, offset - lineStart_);
        }
        publish(offset, true, n < 0 ? int(-n) : 0, notify);
        return false;
    }
    take(buffer.data(), static_cast<size_t>(n), offset);
    offset += n;
    const bool tooMany = lineEnds_ >= kMaxLines;
    publish(offset, tooMany, tooMany ? EOVERFLOW : 0, notify);
    return !tooMany;
}

void LineIndex::beginLine(int64_t start) {
    lineStart_ = start;
    if (lineEnds_ % kStride == 0) {
        found_.push_back(start);
    }
}

void LineIndex::take(const uint8_t* data, size_t size, int64_t offset) {
    const uint8_t* p = data;
    const uint8_t* end = data + size;
    while (p < end) {
        if (afterCR_) {
            if (*p == '\n') {
                ++p;
            }
            afterCR_ = false;
            beginLine(offset + (p - data));
            continue;
        }
        const uint8_t* e = findLineEnd(p, end);
        if (e == end) {
            break;
        }
        longest_ = std::max(longest_, offset + (e - data) - lineStart_);
        ++lineEnds_;
        p = e + 1;
        if (*e == '\r') {
            afterCR_ = true; // its line starts after an LF that may follow
        } else {
            beginLine(offset + (p - data));
        }
    }
}

void LineIndex::publish(int64_t offset, bool done, int error, bool notify) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        starts_.insert(starts_.end(), found_.begin(), found_.end());
        const int64_t known = lineEnds_ + (afterCR_ ? 0 : 1);
        lines_ = static_cast<int>(std::min(known, kMaxLines));
        indexed_ = offset;
        longestPublished_ = std::max(longest_, afterCR_ ? 0 : offset - lineStart_);
        complete_ = done;
        error_ = error;
    }
    found_.clear();
    changed_.notify_all();
    if (notify && onProgress_) {
        onProgress_();
    }
}

int LineIndex::lineCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

bool LineIndex::complete() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return complete_;
}

int LineIndex::readError() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return error_;
}

int64_t LineIndex::indexedBytes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return indexed_;
}

int64_t LineIndex::longestLine() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return longestPublished_;
}

bool LineIndex::waitForLine(int line) const {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return line < lines_ || complete_; });
    return line < lines_;
}

bool LineIndex::loadGroup(int group, Group& out) {
    int64_t start = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (group < 0 || static_cast<size_t>(group) >= starts_.size()) {
            return false;
        }
        start = starts_[static_cast<size_t>(group)];
    }
    out.first = -1;
    out.count = 0;
    std::vector<uint8_t> buffer(kGroupPiece);
    int64_t offset = start;
    int64_t lineStart = start;
    bool afterCR = false;
    while (out.count < kStride) {
        const ssize_t n = readAt(fd_, buffer.data(), buffer.size(), offset);
        if (n < 0) {
            return false;
        }
        if (n == 0) { // the last line of the file
            out.starts[out.count] = afterCR ? offset : lineStart;
            out.lengths[out.count] = afterCR ? 0 : offset - lineStart;
            ++out.count;
            break;
        }
        const uint8_t* data = buffer.data();
        const uint8_t* p = data;
        const uint8_t* end = data + n;
        while (p < end && out.count < kStride) {
            if (afterCR) {
                if (*p == '\n') {
                    ++p;
                }
                afterCR = false;
                lineStart = offset + (p - data);
                continue;
            }
            const uint8_t* e = findLineEnd(p, end);
            if (e == end) {
                break;
            }
            out.starts[out.count] = lineStart;
            out.lengths[out.count] = offset + (e - data) - lineStart;
            ++out.count;
            p = e + 1;
            afterCR = *e == '\r';
            lineStart = offset + (p - data);
        }
        offset += n;
    }
    out.first = group * kStride;
    return true;
}

bool LineIndex::line(int line, Line& out) {
    if (fd_ < 0 || line < 0 || line >= lineCount()) {
        return false;
    }
    const int group = line / kStride;
    Group* found = nullptr;
    for (Group& g : groups_) {
        if (g.first == group * kStride) {
            found = &g;
            break;
        }
    }
    if (found == nullptr) {
        found = &groups_[nextGroupSlot_];
        nextGroupSlot_ = (nextGroupSlot_ + 1) % groups_.size();
        if (!loadGroup(group, *found)) {
            found->first = -1;
            return false;
        }
    }
    const int i = line - found->first;
    if (i >= found->count) {
        return false; // the file has changed since it was indexed
    }
    out.start = found->starts[static_cast<size_t>(i)];
    out.length = found->lengths[static_cast<size_t>(i)];
    return true;
}

std::string LineIndex::read(int64_t offset, size_t length) const {
    std::string bytes(length, '\0');
    size_t done = 0;
    while (done < length && fd_ >= 0) {
        const ssize_t n = readAt(fd_, bytes.data() + done, length - done, offset + done);
        if (n <= 0) {
            break;
        }
        done += static_cast<size_t>(n);
    }
    bytes.resize(done);
    return bytes;
}

} // namespace vorl
