// vorl-dnc info: what a program will do (extents, moves, lengths, tools, run
// time), read with the toolpath the review window draws.
#pragma once

#include "dnc/dnc_command_line.h"

namespace vorl::dnc {

// Prints the numbers of line.file as text or JSON; 0, or kExitFile when the
// program cannot be read.
int RunInfo(const DncCommandLine& line);

} // namespace vorl::dnc
