#include "transfer/prepared_reader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vorl {

PreparedFileReader::~PreparedFileReader() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

int PreparedFileReader::open(const std::string& path, size_t window) {
    path_ = path;
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) {
        return errno;
    }
    struct stat st {};
    if (::fstat(fd_, &st) != 0) {
        return errno;
    }
    ::posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
    size_ = st.st_size;
    window_.resize(std::max<size_t>(window, 1));
    start_ = 0;
    length_ = 0;
    return 0;
}

bool PreparedFileReader::load(int64_t offset) {
    const size_t wanted =
        static_cast<size_t>(std::min<int64_t>(int64_t(window_.size()), size_ - offset));
    start_ = offset;
    length_ = 0; // until it holds what it should
    size_t done = 0;
    while (done < wanted) {
        const ssize_t n =
            ::pread(fd_, window_.data() + done, wanted - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            error_ = errno;
            return false;
        }
        if (n == 0) {
            short_ = true;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    length_ = done;
    return true;
}

int64_t PreparedFileReader::groupEnd(int64_t from, int n, char eol) {
    int64_t end = from;
    int64_t at = from;
    while (n > 0 && at < size_) {
        if (at < start_ || at >= start_ + int64_t(length_)) {
            if (!load(at)) {
                return -1;
            }
        }
        const char* begin = window_.data() + (at - start_);
        const char* stop = window_.data() + length_;
        const char* p = begin;
        while (n > 0 && p < stop) {
            const auto* hit = static_cast<const char*>(std::memchr(p, eol, size_t(stop - p)));
            if (hit == nullptr) {
                p = stop;
                break;
            }
            p = hit + 1;
            end = at + (p - begin);
            --n;
        }
        at += p - begin;
    }
    return end;
}

const char* PreparedFileReader::bytes(int64_t offset, size_t length) {
    if (offset < start_ || offset + int64_t(length) > start_ + int64_t(length_)) {
        if (length > window_.size() || !load(offset) || length_ < length) {
            short_ = short_ || error_ == 0;
            return nullptr;
        }
    }
    return window_.data() + (offset - start_);
}

void PreparedFileReader::readAhead(int64_t offset) {
    const int64_t left = start_ + int64_t(length_) - offset;
    if (offset < size_ && left < int64_t(window_.size() / 2) && start_ + int64_t(length_) < size_) {
        load(offset); // a failure is met again where the bytes are needed
    }
}

std::string PreparedFileReader::failure() const {
    if (error_ != 0) {
        return path_ + ": " + std::strerror(error_);
    }
    return path_ + ": the file is shorter than when it was prepared";
}

} // namespace vorl
