#include "transfer/file_io.h"

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

FileInput::FileInput(int fd, size_t pieceSize) : fd_(fd) {
    buffers_[0].resize(pieceSize);
    buffers_[1].resize(pieceSize);
    thread_ = std::thread([this] { run(); });
}

FileInput::~FileInput() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

std::span<const uint8_t> FileInput::next() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (current_ >= 0) {
        if (sizes_[current_] == 0 || errors_[current_] != 0) {
            return {}; // the end stays the end
        }
        slots_[current_] = Slot::Free;
        changed_.notify_all();
    }
    current_ = current_ < 0 ? 0 : current_ ^ 1;
    changed_.wait(lock, [this] { return slots_[current_] == Slot::Full; });
    slots_[current_] = Slot::InUse;
    if (errors_[current_] != 0) {
        throw std::system_error(errors_[current_], std::generic_category());
    }
    return {buffers_[current_].data(), sizes_[current_]};
}

void FileInput::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (int slot = 0;; slot ^= 1) {
        changed_.wait(lock, [&] { return stop_ || slots_[slot] == Slot::Free; });
        if (stop_) {
            return;
        }
        lock.unlock();
        ssize_t n;
        do {
            n = ::read(fd_, buffers_[slot].data(), buffers_[slot].size());
        } while (n < 0 && errno == EINTR);
        const int error = n < 0 ? errno : 0;
        lock.lock();
        sizes_[slot] = n > 0 ? static_cast<size_t>(n) : 0;
        errors_[slot] = error;
        slots_[slot] = Slot::Full;
        changed_.notify_all();
        if (n <= 0) {
            return; // end of file or failure: nothing more to read
        }
    }
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
