// `vorl-dnc serve`: one process serving the machines of the service file,
// each on a line of its own (served_line.h), with the status file kept
// current; SIGTERM (or Ctrl-C) stops every line as Reset does and ends with
// status 0. `vorl-dnc status` prints that file.
#pragma once

#include "dnc/dnc_command_line.h"

#include <string>

namespace vorl::dnc {

int RunService(const DncCommandLine& line, const std::string& programDir);
int ShowServiceStatus(const DncCommandLine& line, const std::string& programDir);

} // namespace vorl::dnc
