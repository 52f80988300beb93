#include "platform/open_wait.h"

#include <algorithm>
#include <thread>
#include <utility>
#include <vector>

namespace vorl::platform {

namespace {

std::mutex gWaitLock;
OpenWait gWait;
// The completions awaited now, with the thread that waits; under gWaitLock.
std::vector<std::pair<Completion*, std::thread::id>> gWaiting;

} // namespace

void Completion::finish() {
    std::lock_guard<std::mutex> lk(m_);
    done_ = true;
    cv_.notify_all();
    // Under the lock, so that onFinish() can promise the wake-up is over.
    if (wake_)
        wake_();
}

bool Completion::finished() const {
    std::lock_guard<std::mutex> lk(m_);
    return done_;
}

void Completion::onFinish(std::function<void()> wake) {
    std::lock_guard<std::mutex> lk(m_);
    wake_ = std::move(wake);
}

bool Completion::waitFor(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lk(m_);
    return cv_.wait_for(lk, limit, [this] { return done_; });
}

void Completion::cancel() {
    std::lock_guard<std::mutex> lk(m_);
    if (cancelled_ || done_)
        return;
    cancelled_ = true;
    // Under the lock, so that onCancel() can promise the stop is over.
    if (stop_)
        stop_();
}

bool Completion::cancelled() const {
    std::lock_guard<std::mutex> lk(m_);
    return cancelled_;
}

void Completion::onCancel(std::function<void()> stop) {
    std::lock_guard<std::mutex> lk(m_);
    stop_ = std::move(stop);
    if (cancelled_ && stop_)
        stop_();
}

void SetOpenWait(OpenWait wait) {
    std::lock_guard<std::mutex> lk(gWaitLock);
    gWait = std::move(wait);
}

void WaitForCompletion(Completion& c, std::chrono::milliseconds limit) {
    OpenWait wait;
    {
        std::lock_guard<std::mutex> lk(gWaitLock);
        wait = gWait;
    }
    {
        std::lock_guard<std::mutex> lk(gWaitLock);
        gWaiting.emplace_back(&c, std::this_thread::get_id());
    }
    if (wait)
        wait(c, limit);
    else
        c.waitFor(limit);
    // CancelOpenWaits holds the lock while it cancels: once out of the
    // list, `c` is nobody's but its owner's.
    std::lock_guard<std::mutex> lk(gWaitLock);
    gWaiting.erase(std::find_if(gWaiting.begin(), gWaiting.end(),
                                [&c](const auto& w) { return w.first == &c; }));
}

void CancelOpenWaits() {
    std::lock_guard<std::mutex> lk(gWaitLock);
    for (const auto& [c, waiter] : gWaiting)
        if (waiter == std::this_thread::get_id())
            c->cancel();
}

} // namespace vorl::platform
