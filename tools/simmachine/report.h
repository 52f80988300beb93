// The simulator's report: one key=value line per figure, in a fixed order.
// The file is replaced whole (written beside it, then renamed), so a reader
// never sees half of it and can wait for a change of the directory entry.
#pragma once

#include <string>

#include "controller.h"

namespace vorl::sim {

struct ReportHeader {
    int pid = 0;
    std::string line;
    bool running = true;
};

std::string formatReport(const ReportHeader& header, const Controller& controller);
// Returns false with `error` set when the file cannot be written.
bool writeFileAtomically(const std::string& path, const std::string& content, std::string& error);

} // namespace vorl::sim
