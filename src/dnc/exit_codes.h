// The exit status of vorl-dnc, one per kind of failure, so a script can tell
// what to do about it.
#pragma once

namespace vorl::dnc {

enum ExitCode : int {
    kExitDone = 0,
    kExitUsage = 2,        // bad command line, unknown or ambiguous machine
    kExitFile = 3,         // the program or target cannot be read or written
    kExitPort = 4,         // the port is missing, in use, or not ours to open
    kExitNoAnswer = 5,     // the machine tool did not answer in time
    kExitFailed = 6,       // the transfer failed or was stopped
    kExitInterrupted = 130 // Ctrl-C or SIGTERM
};

} // namespace vorl::dnc
