#include "history/history_recorder.h"

#include "history/history_settings.h"

#include <fstream>
#include <iterator>

namespace vorl::history {

HistoryRecorder::HistoryRecorder(std::string repository)
    : repo_(std::move(repository)), worker_([this] { work(); }) {}

HistoryRecorder::~HistoryRecorder() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    worker_.join();
}

void HistoryRecorder::Record(TransferEvent event) {
    {
        std::lock_guard lock(mutex_);
        queue_.push_back(std::move(event));
    }
    wake_.notify_all();
}

bool HistoryRecorder::WaitIdle(std::chrono::milliseconds deadline) {
    std::unique_lock lock(mutex_);
    return idle_.wait_for(lock, deadline, [this] { return queue_.empty() && !busy_; });
}

void HistoryRecorder::work() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (queue_.empty()) {
            return; // stopping, with nothing left to record
        }
        const TransferEvent event = std::move(queue_.front());
        queue_.pop_front();
        busy_ = true;
        lock.unlock();
        recordOne(event);
        lock.lock();
        busy_ = false;
        idle_.notify_all();
    }
}

void HistoryRecorder::recordOne(const TransferEvent& event) {
    RecordResult r;
    std::ifstream in(event.file, std::ios::binary);
    std::string content(std::istreambuf_iterator<char>(in), {});
    if (!in.good() && !in.eof()) {
        r.error = event.file + ": cannot be read for the history";
    } else {
        r = repo_.Record(event, content);
    }
    if (!r.ok) {
        if (!failing_ && onFailure) {
            onFailure("the history " + repo_.path() + " cannot be written: " + r.error);
        }
        failing_ = true;
        return;
    }
    failing_ = false;
    if (onRecorded) {
        onRecorded(event, r);
    }
}

std::shared_ptr<HistoryRecorder> OpenHistory(const std::string& configPath, std::string& why) {
    HistorySettings settings;
    if (!ReadHistorySettings(configPath, settings, why)) {
        return nullptr;
    }
    return settings.enabled ? std::make_shared<HistoryRecorder>(settings.repository) : nullptr;
}

} // namespace vorl::history
