// How a thread that opens a device waits for work done on another thread (a
// network connect: name look-up, connection, negotiation, up to seconds).
//
// The device layer knows no event loop. By default the opening thread simply
// blocks until the work is finished. A desktop front end installs a wait of
// its own (`SetOpenWait`) that keeps its window painting while it waits, so
// Connect on a network port never freezes the window, and its Reset ends the
// wait at once through CancelOpenWaits().
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
    // Waiter side: asks the work to stop as soon as it can (it still
    // finishes, early); runs the worker's `stop` (onCancel) once.
    void cancel();
    bool cancelled() const;
    // Worker side: `stop` runs on the cancelling thread when cancel() comes,
    // at once when it came already. Once this returns with an empty
    // function, an earlier `stop` is no longer running and never runs again.
    void onCancel(std::function<void()> stop);

private:
    mutable std::mutex m_;
    std::condition_variable cv_;
    bool done_ = false;
    bool cancelled_ = false;
    std::function<void()> wake_;
    std::function<void()> stop_;
};

// Waits until `c` is finished, or at most `limit` (the work has a deadline of
// its own; the limit only bounds a wait that would otherwise never end).
using OpenWait = std::function<void(Completion& c, std::chrono::milliseconds limit)>;

// Installs the wait used by WaitForCompletion (empty: block).
void SetOpenWait(OpenWait wait);
void WaitForCompletion(Completion& c, std::chrono::milliseconds limit);
// Cancels the work that WaitForCompletion waits for on the calling thread:
// the operator's Reset, run by the wait's event loop while a port connects.
// Other threads' waits go on.
void CancelOpenWaits();

} // namespace vorl::platform
