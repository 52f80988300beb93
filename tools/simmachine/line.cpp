#include "line.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace vorl::sim {

namespace {

// The tty's settings before we changed them; one line per process.
termios savedTermios;
bool restoreTermios = false;

speed_t speedFor(int baud) {
    static const struct {
        int baud;
        speed_t code;
    } table[] = {{50, B50},           {75, B75},           {110, B110},         {134, B134},
                 {150, B150},         {200, B200},         {300, B300},         {600, B600},
                 {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
                 {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
                 {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
                 {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
                 {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
                 {3500000, B3500000}, {4000000, B4000000}};
    for (const auto& e : table)
        if (e.baud == baud)
            return e.code;
    return B0;
}

void makeRaw(termios& t) {
    cfmakeraw(&t);
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS | CSTOPB | PARENB);
    t.c_cflag |= CLOCAL | CREAD | CS8;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
}

std::string sysError(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

} // namespace

bool openPty(Line& line, bool holdSlave, std::string& error) {
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master < 0) {
        error = sysError("cannot create a pty");
        return false;
    }
    char name[128];
    if (grantpt(master) != 0 || unlockpt(master) != 0 ||
        ptsname_r(master, name, sizeof name) != 0) {
        error = sysError("cannot set up the pty");
        close(master);
        return false;
    }
    // Raw mode before anything passes, or the slave's default echo would send
    // our own trigger strings back to us.
    int slave = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios t{};
    if (slave < 0 || tcgetattr(slave, &t) != 0) {
        error = sysError(std::string("cannot open the pty slave ") + name);
        if (slave >= 0)
            close(slave);
        close(master);
        return false;
    }
    makeRaw(t);
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
    if (tcsetattr(slave, TCSANOW, &t) != 0) {
        error = sysError("cannot set the pty to raw mode");
        close(slave);
        close(master);
        return false;
    }
    if (!holdSlave) {
        close(slave);
        slave = -1;
    }
    line.fd = master;
    line.slaveFd = slave;
    line.path = name;
    line.isPty = true;
    return true;
}

bool openTty(Line& line, const std::string& path, int baud, std::string& error) {
    speed_t speed = speedFor(baud);
    if (speed == B0) {
        error = "line speed " + std::to_string(baud) + " is not one this system offers";
        return false;
    }
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = sysError("cannot open " + path);
        return false;
    }
    termios t{};
    if (tcgetattr(fd, &t) != 0) {
        error = sysError(path + " is not a tty");
        close(fd);
        return false;
    }
    if (ioctl(fd, TIOCEXCL) != 0) {
        error = sysError("cannot get " + path + " for this program alone");
        close(fd);
        return false;
    }
    savedTermios = t;
    restoreTermios = true;
    makeRaw(t);
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    if (tcsetattr(fd, TCSANOW, &t) != 0) {
        error = sysError("cannot set the line settings of " + path);
        ioctl(fd, TIOCNXCL);
        close(fd);
        restoreTermios = false;
        return false;
    }
    tcflush(fd, TCIOFLUSH);
    line.fd = fd;
    line.slaveFd = -1;
    line.path = path;
    line.isPty = false;
    return true;
}

void closeLine(Line& line) {
    if (line.fd >= 0) {
        if (!line.isPty && restoreTermios) {
            tcsetattr(line.fd, TCSANOW, &savedTermios);
            ioctl(line.fd, TIOCNXCL);
            restoreTermios = false;
        }
        close(line.fd);
    }
    if (line.slaveFd >= 0)
        close(line.slaveFd);
    line.fd = line.slaveFd = -1;
}

} // namespace vorl::sim
