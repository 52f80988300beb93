#include "platform/open_wait.h"

namespace vorl::platform {

namespace {

std::mutex gWaitLock;
OpenWait gWait;

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
    if (wait)
        wait(c, limit);
    else
        c.waitFor(limit);
}

} // namespace vorl::platform
