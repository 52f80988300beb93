// Line rates that have no termios speed constant (14400 bit/s and the like),
// set and read through the kernel's termios2 interface. Its header clashes
// with the C library's <termios.h>, so this part lives in a file of its own
// and passes the termios fields as plain numbers.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorl::platform {

// Applies the given termios fields to the tty `fd` together with `baud` as
// the rate in both directions, in one step. 0 or an errno.
int ApplyTtyWithRate(int fd, unsigned iflag, unsigned oflag, unsigned cflag, unsigned lflag,
                     const unsigned char* cc, size_t ccCount, uint32_t baud);

// The output rate the kernel holds for the tty `fd`, in bits per second; 0
// when it cannot be read.
uint32_t TtyRate(int fd);

} // namespace vorl::platform
