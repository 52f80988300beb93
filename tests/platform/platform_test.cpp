// The device layer: port numbers to paths, errno to system errors, and the
// POSIX tty on a pty pair.
#include "platform/port_access.h"
#include "platform/port_map.h"
#include "platform/posix_tty.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <pty.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vorl::platform {
namespace {

TEST(PortMap, EnvironmentThenPortsFileThenTtyS) {
    std::string dir = testing::TempDir();
    std::string cfg = dir + "vorl_ports_test.vorlcfg";
    SetConfigurationPath(cfg);
    EXPECT_EQ(PortsFilePath(), dir + "vorl_ports_test.ports");
    {
        std::ofstream f(PortsFilePath());
        f << "# ports of the shop\n"
          << "COM2 = /dev/ttyUSB0\r\n"
          << "com3=/dev/ttyACM1\n"
          << "COM30=/dev/wrong\n"
          << "COM4=\n";
    }
    ::unsetenv("VORL_COM2");
    EXPECT_EQ(ComPortPath(2), "/dev/ttyUSB0");
    EXPECT_EQ(ComPortPath(3), "/dev/ttyACM1");
    EXPECT_EQ(ComPortPath(4), "/dev/ttyS3"); // an empty entry counts as none
    EXPECT_EQ(ComPortPath(1), "/dev/ttyS0");
    ::setenv("VORL_COM2", "/dev/pts/77", 1);
    EXPECT_EQ(ComPortPath(2), "/dev/pts/77");
    ::unsetenv("VORL_COM2");
    EXPECT_EQ(ComPortPath(3, ""), "/dev/ttyS2");
    std::remove(PortsFilePath().c_str());
    EXPECT_EQ(ComPortPath(2), "/dev/ttyS1"); // no ports file

    SetConfigurationPath("/etc/vorl/noext");
    EXPECT_EQ(PortsFilePath(), "/etc/vorl/noext.ports");
    SetConfigurationPath("/a.b/plain");
    EXPECT_EQ(PortsFilePath(), "/a.b/plain.ports");
    SetConfigurationPath("");
    EXPECT_EQ(PortsFilePath(), "");
}

TEST(DeviceErrors, ErrnoToSystemErrorsAndTexts) {
    EXPECT_EQ(SystemErrorFromErrno(ENOENT), kSysNoSuchDevice);
    EXPECT_EQ(SystemErrorFromErrno(ENODEV), kSysNoSuchDevice);
    EXPECT_EQ(SystemErrorFromErrno(ENXIO), kSysNoSuchDevice);
    EXPECT_EQ(SystemErrorFromErrno(EBUSY), kSysInUse);
    EXPECT_EQ(SystemErrorFromErrno(EWOULDBLOCK), kSysInUse);
    EXPECT_EQ(SystemErrorFromErrno(EACCES), kSysPermissionDenied);
    EXPECT_EQ(SystemErrorFromErrno(EMFILE), EMFILE);
    std::string text = DeviceErrorText(kSysPermissionDenied, "/dev/vorl-no-such-tty");
    EXPECT_EQ(text, "Permission denied on /dev/vorl-no-such-tty")
        << "no group is guessed for a device that cannot be examined";
    EXPECT_NE(DeviceErrorText(kSysInUse, "/dev/ttyS1").find("/dev/ttyS1"), std::string::npos);

    // A refused open names the group that owns the device and what to do.
    PortOwnership port{"/dev/ttyUSB0", "dialout", true, false, false, "op", "root"};
    EXPECT_EQ(PermissionDeniedText(port),
              "Permission denied on /dev/ttyUSB0: the user is not in the group 'dialout' that "
              "owns it (an administrator adds it with: usermod -aG dialout op; then log in "
              "again)");
    EXPECT_EQ(NoAccessNote(port), "no access: not in group 'dialout'");
    port.listedInGroup = true; // added, but this login does not have it yet
    EXPECT_NE(PermissionDeniedText(port).find("log out and in again"), std::string::npos);
    EXPECT_EQ(NoAccessNote(port), "no access: log in again for group 'dialout'");
    port.inGroup = true; // the group is not what is missing: no advice about it
    EXPECT_EQ(PermissionDeniedText(port), "Permission denied on /dev/ttyUSB0");
    EXPECT_EQ(NoAccessNote(port), "no access");
    port = PortOwnership{"/dev/ttyS4", "tty", false, false, false, "op", "root"};
    EXPECT_EQ(PermissionDeniedText(port), "Permission denied on /dev/ttyS4: it belongs to the user "
                                          "'root' and the group 'tty', and that group may not "
                                          "read and write it")
        << "a group that may not use it is not the one to join, and no other group is guessed";

    const std::string file = testing::TempDir() + "vorl_port_access_test";
    std::ofstream(file) << "";
    ::chmod(file.c_str(), 0660);
    const PortOwnership mine = QueryPortOwnership(file);
    EXPECT_EQ(mine.device, file);
    EXPECT_FALSE(mine.group.empty());
    EXPECT_TRUE(mine.groupMayUse);
    EXPECT_TRUE(mine.inGroup) << "a new file has the process's group";
    EXPECT_EQ(PermissionDeniedText(mine), "Permission denied on " + file);

    // Seen by a user outside the group that owns the device. Root is in every
    // group that matters: the look runs in a child that gives that up.
    const group* dialout = ::getgrnam("dialout");
    if (geteuid() == 0 && dialout != nullptr) {
        ASSERT_EQ(::chown(file.c_str(), 0, dialout->gr_gid), 0);
        EXPECT_EXIT(
            {
                if (::setgroups(0, nullptr) != 0 || ::setresgid(65534, 65534, 65534) != 0 ||
                    ::setresuid(65534, 65534, 65534) != 0) {
                    std::_Exit(3);
                }
                const PortOwnership other = QueryPortOwnership(file);
                const bool named =
                    other.group == "dialout" && !other.inGroup &&
                    PermissionDeniedText(other).find("not in the group 'dialout' that owns it") !=
                        std::string::npos;
                std::_Exit(named ? 0 : 1);
            },
            ::testing::ExitedWithCode(0), "");
    }
    std::remove(file.c_str());
    EXPECT_TRUE(QueryPortOwnership(file).group.empty()) << "nothing there: nothing known";
}

TEST(PosixTtyDevice, ExclusiveOpenAndWhatIsNotASerialDevice) {
    int master, slave;
    char name[128];
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    PosixTty a, b;
    ASSERT_EQ(a.open(name), 0);
    EXPECT_EQ(b.open(name), -kSysInUse);
    EXPECT_FALSE(a.hasModemLines()); // a pty has none: no failure either
    EXPECT_EQ(a.modemLines(), 0);
    DeviceStatus st = a.status();
    EXPECT_EQ(st.errors, 0);
    EXPECT_EQ(a.setDtr(true), 0);
    a.close();
    EXPECT_FALSE(a.isOpen());
    EXPECT_EQ(b.open(name), 0); // free again once closed
    b.close();

    std::string file = testing::TempDir() + "vorl_not_a_tty";
    std::ofstream(file) << "x";
    PosixTty c;
    EXPECT_EQ(c.open(file), -kSysNoSuchDevice);
    EXPECT_EQ(c.open("/nonexistent/ttyS9"), -kSysNoSuchDevice);
    std::remove(file.c_str());
    ::close(master);
    ::close(slave);
}

TEST(PosixTtyDevice, WaitsEndOnWakeAndClose) {
    int master, slave;
    char name[128];
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    PosixTty t;
    ASSERT_EQ(t.open(name), 0);
    t.wakeInput(); // kept for the next wait, as a wake-up must be
    EXPECT_EQ(t.waitInput(true, -1), WaitResult::Woken);
    EXPECT_EQ(t.waitInput(true, 0), WaitResult::Timeout);
    ASSERT_EQ(::write(master, "ab", 2), 2);
    EXPECT_EQ(t.waitInput(true, 5000), WaitResult::Ready);
    EXPECT_EQ(t.waitInput(false, 0), WaitResult::Timeout); // data alone does not wake it
    uint8_t buf[4];
    EXPECT_EQ(t.read(buf, 4), 2);
    EXPECT_EQ(t.waitOutput(1000), WaitResult::Ready);
    std::thread closer([&] { t.close(); });
    EXPECT_NE(t.waitInput(true, 10000), WaitResult::Timeout);
    closer.join();
    EXPECT_EQ(t.waitInput(true, 0), WaitResult::Failed);
    ::close(master);
    ::close(slave);
}

} // namespace
} // namespace vorl::platform
