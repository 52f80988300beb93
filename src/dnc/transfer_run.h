// One send or receive from the command line: the machine file found as the
// window finds it, the machine chosen by the window's rule, and the window's
// transfer engine driven through Connect and Transmit or Receive. Returns the
// exit status (exit_codes.h).
#pragma once

#include "dnc/dnc_command_line.h"

#include <string>

namespace vorl::dnc {

// `programPath`: the executable's path without extension's directory, for
// finding the machine file beside it.
int RunTransfer(const DncCommandLine& line, const std::string& programDir);

} // namespace vorl::dnc
