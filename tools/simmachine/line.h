// The simulator's end of the serial line: a new pty pair (the computer opens
// the slave, we work on the master) or a real tty, in raw mode.
#pragma once

#include <string>

namespace vorl::sim {

struct Line {
    int fd = -1;      // pty master or the tty; non-blocking
    int slaveFd = -1; // our own hold on the pty slave, or -1
    std::string path; // what the computer opens: the slave or the tty
    bool isPty = false;
};

// Creates a pty pair, puts the slave into raw mode (no echo, no line editing,
// no CR/LF translation, 8 bits). With `holdSlave` the slave stays open here,
// so the master never sees a hang-up while the computer closes and reopens it.
bool openPty(Line& line, bool holdSlave, std::string& error);

// Opens a tty exclusively in raw mode 8N1 at `baud`, no hardware or software
// flow control in the driver; the settings found are restored by closeLine.
bool openTty(Line& line, const std::string& path, int baud, std::string& error);

void closeLine(Line& line);

} // namespace vorl::sim
