#include "platform/tty_rate.h"

#include <algorithm>
#include <asm/termbits.h>
#include <cerrno>
#include <sys/ioctl.h>

namespace vorl::platform {

int ApplyTtyWithRate(int fd, unsigned iflag, unsigned oflag, unsigned cflag, unsigned lflag,
                     const unsigned char* cc, size_t ccCount, uint32_t baud) {
    struct termios2 t {};
    if (::ioctl(fd, TCGETS2, &t) != 0)
        return errno;
    t.c_iflag = iflag;
    t.c_oflag = oflag;
    t.c_cflag = (cflag & ~(CBAUD | (CBAUD << IBSHIFT))) | BOTHER | (BOTHER << IBSHIFT);
    t.c_lflag = lflag;
    std::copy_n(cc, std::min<size_t>(ccCount, NCCS), t.c_cc);
    t.c_ispeed = baud;
    t.c_ospeed = baud;
    if (::ioctl(fd, TCSETS2, &t) != 0)
        return errno;
    return 0;
}

uint32_t TtyRate(int fd) {
    struct termios2 t {};
    if (::ioctl(fd, TCGETS2, &t) != 0)
        return 0;
    return t.c_ospeed;
}

} // namespace vorl::platform
