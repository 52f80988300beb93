#include "serial/delivery.h"

namespace vorl {

struct LoopDelivery::Item {
    std::function<void()> fn;
    bool done = false;
};

LoopDelivery::LoopDelivery() : owner_(std::this_thread::get_id()) {}

void LoopDelivery::setOwner(std::thread::id owner) {
    std::lock_guard<std::mutex> lk(m_);
    owner_ = owner;
}

void LoopDelivery::post(std::function<void()> fn) {
    auto item = std::make_shared<Item>();
    item->fn = std::move(fn);
    {
        std::lock_guard<std::mutex> lk(m_);
        queue_.push_back(std::move(item));
    }
    cv_.notify_all();
}

bool LoopDelivery::send(std::function<void()> fn, std::chrono::milliseconds timeout) {
    {
        std::unique_lock<std::mutex> lk(m_);
        if (std::this_thread::get_id() == owner_) {
            lk.unlock();
            fn();
            return true;
        }
    }
    auto item = std::make_shared<Item>();
    item->fn = std::move(fn);
    std::unique_lock<std::mutex> lk(m_);
    queue_.push_back(item);
    cv_.notify_all();
    return cv_.wait_for(lk, timeout, [&] { return item->done; });
}

int LoopDelivery::pump() {
    int n = 0;
    for (;;) {
        std::shared_ptr<Item> item;
        {
            std::lock_guard<std::mutex> lk(m_);
            if (queue_.empty())
                break;
            item = std::move(queue_.front());
            queue_.pop_front();
        }
        item->fn();
        ++n;
        {
            std::lock_guard<std::mutex> lk(m_);
            item->done = true;
        }
        cv_.notify_all();
    }
    return n;
}

bool LoopDelivery::pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        pump();
        if (done())
            return true;
        std::unique_lock<std::mutex> lk(m_);
        uint64_t pokes = pokes_;
        // Wake for new work or a poke; re-check the condition at least every
        // 10 ms since it may change on another thread without telling us.
        auto until =
            std::min(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(10));
        cv_.wait_until(lk, until, [&] { return !queue_.empty() || pokes_ != pokes; });
        if (queue_.empty() && std::chrono::steady_clock::now() >= deadline) {
            lk.unlock();
            return done();
        }
    }
}

void LoopDelivery::poke() {
    {
        std::lock_guard<std::mutex> lk(m_);
        ++pokes_;
    }
    cv_.notify_all();
}

size_t LoopDelivery::queued() {
    std::lock_guard<std::mutex> lk(m_);
    return queue_.size();
}

} // namespace vorl
