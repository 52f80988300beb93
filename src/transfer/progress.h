// The arithmetic of the transfer progress fields: elapsed time, characters per
// second, remaining time and the progress bar. No widgets here: each call
// returns what the fields should show, and the main window shows it.
//
// Elapsed time changes every second; characters per second and remaining time
// only every third second after the fifth, so they do not flicker while the
// rate settles. Times read "hh:mm:ss"; hours keep counting past 24, since a
// long program can take days to drip-feed. A remaining time that cannot be
// told (characters owed, no measurable rate) reads "--:--:--".
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace vorl {

// What the three time and rate fields should show. A field with a value is set
// to that text (empty clears it); a field without a value stays as it is.
struct ProgressDisplay {
    std::optional<std::string> elapsedTime;   // panElapsedTime
    std::optional<std::string> cps;           // panCPS
    std::optional<std::string> remainingTime; // panRemainingTime
};

class TransferProgress {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    // `clock` defaults to the steady clock (not the wall clock, which may jump).
    explicit TransferProgress(Clock clock = {});

    // A transfer's port is set up: startTime := now, both counts 0, fields cleared.
    ProgressDisplay ResetProgress();
    // Reset: fields cleared; the caller also stops Timer3.
    ProgressDisplay StopProgress() const;
    // The Timer3 tick, with charsTotal and charsTransferred.
    ProgressDisplay UpdateProgress(int64_t total, int64_t transferred) const;

    std::chrono::steady_clock::time_point startTime{};
    int64_t charsTotal = 0;
    int64_t charsTransferred = 0;

private:
    Clock clock_;
};

// "hh:mm:ss" of a number of seconds.
std::string formatElapsed(int64_t seconds);

struct SenderProgress {
    std::optional<int> percent; // progress bar; none when the total is unknown
    std::string transferred;    // panCharsTransferred
};

// The block sender's progress: the share sent in whole percent and the count.
SenderProgress ShowSenderProgress(int64_t charsTotal, int64_t charsTransferred);

} // namespace vorl
