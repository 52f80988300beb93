#include "transfer/progress.h"

#include <algorithm>
#include <cstdio>

namespace vorl {

TransferProgress::TransferProgress(Clock clock) : clock_(std::move(clock)) {
    if (!clock_) {
        clock_ = [] { return std::chrono::steady_clock::now(); };
    }
    startTime = clock_();
}

ProgressDisplay TransferProgress::ResetProgress() {
    startTime = clock_();
    charsTotal = 0;
    charsTransferred = 0;
    return StopProgress();
}

ProgressDisplay TransferProgress::StopProgress() const {
    return {std::string(), std::string(), std::string()};
}

ProgressDisplay TransferProgress::UpdateProgress(int64_t total, int64_t transferred) const {
    using std::chrono::duration_cast;
    const int64_t seconds =
        std::max<int64_t>(0, duration_cast<std::chrono::seconds>(clock_() - startTime).count());
    ProgressDisplay display;
    display.elapsedTime = formatElapsed(seconds);
    if (seconds <= 5 || seconds % 3 != 0) {
        return display;
    }
    const int64_t cps = transferred / seconds;
    display.cps = std::to_string(cps);
    // Held in full: a large program drip-fed at a slow line can need more
    // than a day, and the operator plans the shift by this field.
    const int64_t owed = std::max<int64_t>(0, total - transferred);
    // Before anything has moved there is nothing to tell. Once it has, the
    // field always says something fresh: with no measurable rate (a stalled
    // line) the time is unknown, never the figure of three seconds ago.
    if (transferred != 0) {
        display.remainingTime = cps > 0    ? formatElapsed(owed / cps)
                                : owed > 0 ? "--:--:--"
                                           : formatElapsed(0);
    }
    return display;
}

std::string formatElapsed(int64_t seconds) {
    seconds = std::max<int64_t>(seconds, 0);
    char text[32];
    std::snprintf(text, sizeof text, "%02lld:%02d:%02d", static_cast<long long>(seconds / 3600),
                  static_cast<int>(seconds / 60 % 60), static_cast<int>(seconds % 60));
    return text;
}

SenderProgress ShowSenderProgress(int64_t charsTotal, int64_t charsTransferred) {
    SenderProgress progress;
    if (charsTotal > 0) {
        progress.percent =
            static_cast<int>(std::clamp<int64_t>(charsTransferred * 100 / charsTotal, 0, 100));
    }
    progress.transferred = std::to_string(charsTransferred);
    return progress;
}

} // namespace vorl
