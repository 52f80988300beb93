// Delivery of notices from the dispatcher's threads to the thread that owns a
// component (the main thread for the port component).
//
// The dispatcher never calls a component from its own threads. It hands the
// call as a function to a `Delivery`:
// - `post(fn)` queues fn to run on the owning thread and returns at once;
// - `send(fn, timeout)` queues fn and waits until it has run on the owning
//   thread, at most `timeout`; true when it ran in time. Called on the owning
//   thread itself it runs fn at once.
// A function whose sender stopped waiting still runs later, in order. It must
// then touch only what is still alive: capture shared or weak ownership (or a
// generation number), never a bare pointer to something that may be gone.
//
// `LoopDelivery` is the plain implementation for code and tests without Qt:
// the owning thread calls `pump()` or `pumpUntil()` to run what is queued. The
// Qt implementation runs the functions from the Qt event loop.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace vorl {

class Delivery {
public:
    virtual ~Delivery() = default;
    virtual void post(std::function<void()> fn) = 0;
    virtual bool send(std::function<void()> fn, std::chrono::milliseconds timeout) = 0;
};

// How long a dispatcher waits for a notice to be handled on the owning thread.
constexpr std::chrono::milliseconds kNoticeSendTimeout{3000};

class LoopDelivery final : public Delivery {
public:
    // The owning thread is the constructing thread (see `setOwner`).
    LoopDelivery();
    void setOwner(std::thread::id owner);

    void post(std::function<void()> fn) override;
    bool send(std::function<void()> fn, std::chrono::milliseconds timeout) override;

    // Runs everything queued now (and what those functions queue); returns the
    // number of functions run. Owning thread only.
    int pump();
    // Runs queued functions as they come until `done()` is true or `timeout`
    // has passed; returns `done()`. Sleeps while nothing is queued.
    bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);
    // Wakes a pumpUntil so it re-checks its condition.
    void poke();
    size_t queued();

private:
    struct Item;
    std::mutex m_;
    std::condition_variable cv_;
    std::deque<std::shared_ptr<Item>> queue_;
    std::thread::id owner_;
    uint64_t pokes_ = 0;
};

} // namespace vorl
