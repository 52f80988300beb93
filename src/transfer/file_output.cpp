#include "transfer/file_output.h"

#include <cerrno>
#include <system_error>
#include <unistd.h>

namespace vorl {

int writeAll(int fd, const void* data, size_t size) {
    const auto* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, p, size);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        if (n == 0) {
            return EIO;
        }
        p += n;
        size -= static_cast<size_t>(n);
    }
    return 0;
}

FileOutput::FileOutput(int fd) : fd_(fd), thread_([this] { run(); }) {}

FileOutput::~FileOutput() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void FileOutput::waitIdle(std::unique_lock<std::mutex>& lock) {
    changed_.wait(lock, [this] { return !busy_; });
    if (error_ != 0) {
        throw std::system_error(error_, std::generic_category());
    }
}

void FileOutput::put(std::vector<uint8_t>& buffer, size_t size) {
    std::unique_lock<std::mutex> lock(mutex_);
    waitIdle(lock);
    pending_.swap(buffer);
    pendingSize_ = size;
    busy_ = true;
    lock.unlock();
    changed_.notify_all();
}

void FileOutput::finish() {
    std::unique_lock<std::mutex> lock(mutex_);
    waitIdle(lock);
}

void FileOutput::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return busy_ || stop_; });
        if (!busy_) {
            return;
        }
        const bool failed = error_ != 0;
        lock.unlock();
        const int error = failed ? 0 : writeAll(fd_, pending_.data(), pendingSize_);
        lock.lock();
        if (error != 0) {
            error_ = error;
        }
        busy_ = false;
        changed_.notify_all();
    }
}

} // namespace vorl
