// Reading and writing program files in large pieces on background threads, so
// that the kernel copies the next piece in and the last one out while the
// current one is being prepared. Each side holds at most two buffers.
#pragma once

#include "transfer/block_stream.h"

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

namespace vorl {

// Writes all of `data`, retrying after signals and short writes. Returns 0 or
// the errno of the failure.
int writeAll(int fd, const void* data, size_t size);

// Reads a file ahead of its consumer.
class FileInput {
public:
    FileInput(int fd, size_t pieceSize);
    ~FileInput();
    FileInput(const FileInput&) = delete;
    FileInput& operator=(const FileInput&) = delete;

    // The next piece of the file, valid until the next call; empty at the end.
    // Throws std::system_error when reading failed.
    std::span<const uint8_t> next();

private:
    enum class Slot { Free, Full, InUse };
    void run();

    int fd_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<uint8_t> buffers_[2];
    size_t sizes_[2] = {0, 0};
    Slot slots_[2] = {Slot::Free, Slot::Free};
    int errors_[2] = {0, 0};
    int current_ = -1; // the slot the consumer holds
    bool stop_ = false;
    std::thread thread_;
};

// Writes a file behind its producer.
class FileOutput : public OutputSink {
public:
    explicit FileOutput(int fd);
    ~FileOutput() override;
    FileOutput(const FileOutput&) = delete;
    FileOutput& operator=(const FileOutput&) = delete;

    void put(std::vector<uint8_t>& buffer, size_t size) override;
    // Waits until everything is written; throws std::system_error on a failure
    // of any earlier piece.
    void finish();

private:
    void run();
    void waitIdle(std::unique_lock<std::mutex>& lock);

    int fd_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<uint8_t> pending_; // handed over, being written
    size_t pendingSize_ = 0;
    bool busy_ = false;
    bool stop_ = false;
    int error_ = 0;
    std::thread thread_;
};

} // namespace vorl
