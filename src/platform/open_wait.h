// How a thread that opens a device waits for work done on another thread (a
// network connect: name look-up, connection, negotiation, up to seconds).
//
// The device layer knows no event loop. By default the opening thread simply
// blocks until the work is finished. A desktop front end installs a wait of
// its own (`SetOpenWait`) that keeps its window painting while it waits, so
// Connect on a network port never freezes the window.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

namespace vorl::platform {

// Work finished on one thread, awaited on another.
class Completion {
public:
    // Worker side: marks the work finished and runs the waiter's wake-up.
    void finish();
    bool finished() const;
    // Waiter side: `wake` runs on the finishing thread when finish() comes
    // (not when it came already); an empty function stops that. Once this
    // returns, an earlier `wake` is no longer running and never runs again.
    void onFinish(std::function<void()> wake);
    // Blocks until finished or `limit` has passed; true when finished.
    bool waitFor(std::chrono::milliseconds limit);

private:
    mutable std::mutex m_;
    std::condition_variable cv_;
    bool done_ = false;
    std::function<void()> wake_;
};

// Waits until `c` is finished, or at most `limit` (the work has a deadline of
// its own; the limit only bounds a wait that would otherwise never end).
using OpenWait = std::function<void(Completion& c, std::chrono::milliseconds limit)>;

// Installs the wait used by WaitForCompletion (empty: block).
void SetOpenWait(OpenWait wait);
void WaitForCompletion(Completion& c, std::chrono::milliseconds limit);

} // namespace vorl::platform
