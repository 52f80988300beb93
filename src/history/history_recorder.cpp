#include "history/history_recorder.h"

#include "history/history_settings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
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
    // Taken now: the worker may run after the current directory has changed.
    std::error_code ec;
    const std::filesystem::path path = std::filesystem::absolute(event.file, ec);
    if (event.program.empty()) {
        event.program = std::filesystem::path(event.file).filename().string();
    }
    if (!ec) {
        event.file = path.string();
    }
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
    if (remote.empty()) {
        return;
    }
    // What one push leaves out the next takes along.
    std::string why;
    if (!repo_.Push(remote, remoteBranch, why)) {
        if (!pushFailing_ && onFailure) {
            onFailure(why);
        }
        pushFailing_ = true;
        return;
    }
    pushFailing_ = false;
}

bool ReplaceFileWhole(const std::string& path, std::string_view content, std::string& why) {
    std::string temp = path + ".restore-XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) {
        why = path + ": " + std::strerror(errno);
        return false;
    }
    struct stat old {};
    if (::stat(path.c_str(), &old) == 0) {
        ::fchmod(fd, old.st_mode & 07777);
    }
    size_t done = 0;
    int error = 0;
    while (done < content.size() && error == 0) {
        const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno != EINTR) {
            error = errno;
        }
    }
    if (error == 0 && ::fsync(fd) != 0) {
        error = errno;
    }
    if (::close(fd) != 0 && error == 0) {
        error = errno;
    }
    if (error == 0 && ::rename(temp.c_str(), path.c_str()) != 0) {
        error = errno;
    }
    if (error != 0) {
        ::unlink(temp.c_str());
        why = path + ": " + std::strerror(error);
        return false;
    }
    return true;
}

std::shared_ptr<HistoryRecorder> OpenHistory(const std::string& configPath, std::string& why) {
    HistorySettings settings;
    if (!ReadHistorySettings(configPath, settings, why)) {
        return nullptr;
    }
    if (!settings.enabled) {
        return nullptr;
    }
    auto recorder = std::make_shared<HistoryRecorder>(settings.repository);
    recorder->remote = settings.remote;
    recorder->remoteBranch = settings.remoteBranch;
    return recorder;
}

} // namespace vorl::history
