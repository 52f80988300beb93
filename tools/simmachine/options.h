// Settings of the simulated machine tool and how they are read: command-line
// options and a small key=value file with the same keys. Trigger strings use
// the caret notation of the machine record (^M is carriage return, ^J line
// feed, ^Q DC1, ...), so a machine's ACTION0 ... ACTION7 lines can be copied
// into the file as they are.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "machines/machine_config.h"

namespace vorl::sim {

struct SimOptions {
    // Line: a real tty when `ttyPath` is set, otherwise a new pty pair whose
    // slave path is printed on stdout and optionally published below.
    std::string ttyPath;
    std::string linkPath;  // symlink to the pty slave, removed on exit
    std::string ptyFile;   // file that receives the slave path
    int baud = 9600;       // line speed of a real tty
    bool holdSlave = true; // keep the pty slave open so the master never hangs up

    // Trigger strings by TriggerIndex (raw bytes). Empty: step skipped.
    std::array<std::string, kTriggerCount> triggers{};

    std::string receivedPath; // program data of the current or last download
    std::string programPath;  // program sent on an upload
    std::string reportPath;   // key=value report
    std::string capturePath;  // every byte the line delivered, in order

    // Receive buffer, drained at `rate` characters per second (0: at once).
    int64_t bufferSize = 256;
    int64_t xoffAt = -1; // high-water mark; -1: three quarters of the buffer
    int64_t xonAt = -1;  // low-water mark; -1: a quarter of the buffer
    double rate = 0;
    bool sendXoff = true;

    // Upload side.
    bool honourXoff = false; // stop on DC3 from the computer, go on at DC1
    double sendRate = -1;    // characters per second; -1: baud / 10; 0: unpaced
    int64_t readyGapMs = 500;

    // The control answers only when told (the `answer` command): the download
    // Ready and End strings, and an upload asked for by its Start string.
    bool manualAnswers = false;

    // The operator's side. `request NAME` punches out this program, with
    // "{name}" replaced by NAME, and then waits to read the answer.
    std::string requestProgram = "%\nO9999 (REQ={name})\nM30\n%\n";
    // A control waiting to read gives up after this many seconds without a
    // byte (waiting after a request, or within a download); 0: never.
    double readTimeout = 0;

    int verbosity = 1; // 0 quiet, 1 events, 2 also flow control
};

struct ParseResult {
    std::optional<SimOptions> options; // empty on error or after --help
    std::string error;                 // what was wrong, for the user
    bool help = false;
    bool version = false; // --version
};

ParseResult parseOptions(const std::vector<std::string>& args);
std::string usageText();
std::string versionText();

// Caret notation as in the machine's configuration file ("^" and c give the
// byte (upper-case(c) - 64) mod 256), except that a caret at the end of the
// text, most likely a typing mistake here, is refused.
std::optional<std::string> decodeCaret(const std::string& text);
// Bytes made readable for messages: 0-26 in caret notation, other control
// bytes and bytes above 126 as \xNN, the rest as themselves.
std::string printable(const std::string& bytes);

} // namespace vorl::sim
