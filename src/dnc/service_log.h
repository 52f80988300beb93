// The service's log: each event with its time and machine, on standard error
// (which the journal keeps under systemd) and in a log file per machine that
// is rotated at a size (name.log, name.log.1 ... name.log.3). Any thread.
// A log file that cannot be written is said once on standard error, and again
// only after it was written in between.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

namespace vorl::dnc {

class ServiceLog {
public:
    // `directory` is made when missing; without it only standard error.
    explicit ServiceLog(std::string directory, int64_t rotateAt = 1 << 20);

    void event(const std::string& machine, const std::string& text);

    // The log file of `machine` (its name made safe for a file name).
    std::string fileOf(const std::string& machine) const;

private:
    std::mutex lock_;
    void say(const std::string& line);

    std::string directory_;
    int64_t rotateAt_;
    bool failing_ = false;
};

} // namespace vorl::dnc
