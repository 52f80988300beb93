// Writing prepared data to a file descriptor in large pieces. The writing
// itself runs on a background thread, so the next piece is prepared while the
// kernel copies the last one; at most two buffers exist at a time.
#pragma once

#include "transfer/block_stream.h"

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace vorl {

// Writes all of `data`, retrying after signals and short writes. Returns 0 or
// the errno of the failure.
int writeAll(int fd, const void* data, size_t size);

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
