// vorl-dnc diff and vorl-dnc history: the compare of two programs and the
// list of a program's versions and transfers, on the history's own modules.
#pragma once

#include "dnc/dnc_command_line.h"

#include <string>

namespace vorl::dnc {

// Prints the unified diff of line.file and line.otherFile; 0 when they are the
// same, 1 when they differ, 2 on trouble (as diff does).
int RunDiff(const DncCommandLine& line);

// Lists the history of line.file from the history of the machine file found
// as the window finds it (or -c); 0, or 2 when the history cannot be read.
int ShowHistory(const DncCommandLine& line, const std::string& programDir);

// The path of the history settings' machine file, found as the window finds
// it (or `config`).
std::string MachineFilePath(const std::string& config, const std::string& programDir);

} // namespace vorl::dnc
