// Records transfers in the history on a worker thread of its own: a transfer
// or a save hands over the event once its program is safe on disk and goes
// on; it never waits for git. A history that cannot be written (disk full, a
// damaged repository, a lock held too long) is reported once, and the next
// transfer tries again.
#pragma once

#include "history/history_repository.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace vorl::history {

class HistoryRecorder {
public:
    explicit HistoryRecorder(std::string repository);
    // Records what is still queued, then ends the worker.
    ~HistoryRecorder();
    HistoryRecorder(const HistoryRecorder&) = delete;
    HistoryRecorder& operator=(const HistoryRecorder&) = delete;

    const std::string& repository() const { return repo_.path(); }

    // Both are called on the worker thread; set them before the first
    // record. What they capture must outlive the recorder.
    // A record is in the history.
    std::function<void(const TransferEvent&, const RecordResult&)> onRecorded;
    // The history cannot be written: called for the first failure only,
    // and again only after a record has succeeded in between.
    std::function<void(const std::string& why)> onFailure;

    // Where each record is pushed (empty: nowhere) and the branch there;
    // set before the first record.
    std::string remote;
    std::string remoteBranch = "dnc";

    // Queues `event`; the program's bytes are read from event.file on the
    // worker. A program without a name is named after its file.
    void Record(TransferEvent event);

    // Waits until everything queued is recorded; false at the deadline.
    bool WaitIdle(std::chrono::milliseconds deadline);

private:
    void work();
    void recordOne(const TransferEvent& event);

    HistoryRepository repo_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::deque<TransferEvent> queue_;
    bool busy_ = false;
    bool stopping_ = false;
    bool failing_ = false; // only the worker touches them
    bool pushFailing_ = false;
    std::thread worker_;
};

// Writes `content` over the file `path` whole or not at all: into a file
// beside it, synced, with the old file's permissions, then renamed over it.
// False and why when it cannot (the old file is then as it was).
bool ReplaceFileWhole(const std::string& path, std::string_view content, std::string& why);

// The recorder of the machine file `configPath`'s history, as its settings
// say; null when they switch the history off, or (with why) when they
// cannot be read.
std::shared_ptr<HistoryRecorder> OpenHistory(const std::string& configPath, std::string& why);

} // namespace vorl::history
