// The network devices: raw TCP and telnet serial port control ports against a
// bare socket, ser2net in front of a pty, and a relay that breaks, delays and
// changes what the server says. Everything stays on 127.0.0.1.
#include "net_peers.h"
#include "serial_test_util.h"

#include "platform/open_wait.h"
#include "platform/port_map.h"
#include "platform/rfc2217_device.h"
#include "platform/tcp_device.h"
#include "serial/com_port.h"
#include "serial/error_codes.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <termios.h>

namespace vorl::platform {
namespace {

using test::BareServer;
using test::FaultRelay;
using test::PtyPeer;
using test::Ser2net;
using test::UartServer;
using test::WaitUntil;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

std::string AllBytes() {
    std::string s;
    for (int i = 0; i < 256; ++i)
        s += char(i);
    return s + "\xff\xff\xfe\xfa\xf0" + s; // runs of IAC and telnet verbs too
}

// Writes everything, waiting for room as the dispatcher's writer does.
bool WriteAll(Device& d, const std::string& bytes) {
    size_t done = 0;
    const auto deadline = Clock::now() + 10s;
    while (done < bytes.size() && Clock::now() < deadline) {
        long n =
            d.write(reinterpret_cast<const uint8_t*>(bytes.data()) + done, bytes.size() - done);
        if (n < 0)
            return false;
        if (n == 0)
            d.waitOutput(100);
        done += size_t(n);
    }
    return done == bytes.size();
}

// Reads until `n` bytes came, waiting as the dispatcher's reader does.
std::string ReadAll(Device& d, size_t n) {
    std::string got;
    const auto deadline = Clock::now() + 10s;
    while (got.size() < n && Clock::now() < deadline) {
        uint8_t buf[1024];
        long r = d.read(buf, sizeof buf);
        if (r < 0)
            break;
        if (r == 0)
            d.waitInput(true, 50);
        got.append(reinterpret_cast<char*>(buf), size_t(std::max(r, 0L)));
    }
    return got;
}

// Waits as the dispatcher's writer does (a wake-up only means "try again")
// until one byte goes.
bool WritesAgain(Device& d) {
    const uint8_t x = 'x';
    return WaitUntil([&] {
        if (d.write(&x, 1) == 1)
            return true;
        d.waitOutput(50);
        return false;
    });
}

std::string Command(uint8_t code, const std::string& value) {
    return std::string("\xff\xfa\x2c") + char(code) + value + "\xff\xf0";
}

TEST(NetworkAddress, SchemesHostsPortsTimeoutAndThePortMap) {
    auto a = ParseNetworkAddress("tcp://10.1.2.3:4001", nullptr);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->kind, NetworkKind::Tcp);
    EXPECT_EQ(a->hostPort(), "10.1.2.3:4001");
    EXPECT_EQ(a->timeoutMs, kDefaultConnectTimeoutMs);
    a = ParseNetworkAddress("RFC2217://cabinet-a:7002/?timeout=2.5", nullptr);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->kind, NetworkKind::Rfc2217);
    EXPECT_EQ(a->host, "cabinet-a");
    EXPECT_EQ(a->timeoutMs, 2500);
    a = ParseNetworkAddress("tcp://[::1]:23", nullptr);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->host, "::1");
    EXPECT_EQ(a->hostPort(), "[::1]:23");
    for (const char* bad : {"tcp://host", "tcp://:80", "tcp://h:0", "tcp://h:70000", "tcp://::1:80",
                            "tcp://h:1?speed=3", "tcp://h:1?timeout=0", "tcp://h:x1"}) {
        std::string why;
        EXPECT_FALSE(ParseNetworkAddress(bad, &why)) << bad;
        EXPECT_NE(why.find(bad), std::string::npos) << why;
    }
    EXPECT_FALSE(IsNetworkPath("/dev/ttyS0"));
    EXPECT_TRUE(dynamic_cast<Rfc2217Device*>(MakeDevice("rfc2217://h:1").get()));
    EXPECT_TRUE(dynamic_cast<TcpDevice*>(MakeDevice("tcp://h:1").get()));

    // What follows the address is named, not taken for the port number.
    for (const auto& [bad, junk] : std::vector<std::pair<std::string, std::string>>{
             {"tcp://10.1.2.3:4001 # cabinet A", "'# cabinet A' after the address"},
             {"rfc2217://h:4001/x", "'/x' after the port number 4001"},
             {"tcp://h:4001?timeout=2  spare", "'spare' after the address"}}) {
        std::string why;
        EXPECT_FALSE(ParseNetworkAddress(bad, &why)) << bad;
        EXPECT_NE(why.find(junk), std::string::npos) << why;
    }

    // Port map lines and the variable carry the address whole, options too.
    const std::string ports = testing::TempDir() + "vorl_net.ports";
    std::ofstream(ports) << "COM5=tcp://10.1.2.3:4001?timeout=2\nCOM6 = rfc2217://cabinet-a:7002\n";
    EXPECT_EQ(ComPortPath(5, ports), "tcp://10.1.2.3:4001?timeout=2");
    EXPECT_EQ(ComPortPath(6, ports), "rfc2217://cabinet-a:7002");
    ::setenv("VORL_COM6", "tcp://127.0.0.1:1", 1);
    EXPECT_EQ(ComPortPath(6, ports), "tcp://127.0.0.1:1");
    // The Select Port list shows the address without connecting to it.
    const auto t0 = Clock::now();
    auto listed = AvailableComPorts(6, 6);
    ::unsetenv("VORL_COM6");
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].path, "tcp://127.0.0.1:1");
    EXPECT_LT(Clock::now() - t0, 1s);
    std::remove(ports.c_str());
}

TEST(TcpDevice, ConnectFailuresEndInTimeNameTheAddressAndLeaveTheCallerFree) {
    // The opening thread waits through the installed wait: it stays free to
    // run its own events while the connect thread works.
    int turns = 0;
    SetOpenWait([&](Completion& c, std::chrono::milliseconds limit) {
        const auto end = Clock::now() + limit;
        while (!c.finished() && Clock::now() < end) {
            ++turns;
            c.waitFor(20ms);
        }
    });
    const uint16_t closed = test::FreePort();
    TcpDevice refused;
    auto t0 = Clock::now();
    EXPECT_EQ(refused.open("tcp://127.0.0.1:" + std::to_string(closed)), -ECONNREFUSED);
    EXPECT_LT(Clock::now() - t0, 2s);
    EXPECT_NE(refused.errorText().find("refused by 127.0.0.1:" + std::to_string(closed)),
              std::string::npos)
        << refused.errorText();
    EXPECT_FALSE(refused.isOpen());

    BareServer silent(true);
    Rfc2217Device unanswered;
    const std::string at = "127.0.0.1:" + std::to_string(silent.port());
    t0 = Clock::now();
    turns = 0;
    EXPECT_EQ(unanswered.open("rfc2217://" + at + "?timeout=0.6"), -ETIMEDOUT);
    const auto took = Clock::now() - t0;
    EXPECT_GE(took, 550ms);
    EXPECT_LT(took, 3s);
    EXPECT_GT(turns, 5);
    EXPECT_EQ(unanswered.errorText(), "No answer from " + at + " within 0.6 s");

    TcpDevice nameless;
    t0 = Clock::now();
    int r = nameless.open("tcp://no-such-host.invalid:4001?timeout=2");
    EXPECT_TRUE(r == -kSysNoSuchDevice || r == -ETIMEDOUT) << r;
    EXPECT_LT(Clock::now() - t0, 4s);
    EXPECT_NE(nameless.errorText().find("no-such-host.invalid:4001"), std::string::npos)
        << nameless.errorText();
    SetOpenWait(nullptr);

    TcpDevice bad;
    EXPECT_EQ(bad.open("tcp://host-without-port"), -kSysNoSuchDevice);
    EXPECT_NE(bad.errorText().find("port number is missing"), std::string::npos);
}

TEST(TcpDevice, BytesBothWaysXoffHoldsAtOnceQueuedOutputCountsAndAnEndedConnection) {
    BareServer server;
    TcpDevice d;
    ASSERT_EQ(d.open("tcp://127.0.0.1:" + std::to_string(server.port())), 0);
    ASSERT_TRUE(server.accept());
    EXPECT_FALSE(d.hasModemLines());
    const std::string bytes = AllBytes();
    ASSERT_TRUE(WriteAll(d, bytes));
    EXPECT_EQ(server.read(bytes.size()), bytes);
    server.send(bytes);
    EXPECT_EQ(ReadAll(d, bytes.size()), bytes); // XON/XOFF are data while flow is off

    LineSettings s;
    ASSERT_EQ(d.getLineSettings(s), 0);
    s.xonXoffOut = true;
    ASSERT_EQ(d.setLineSettings(s), 0);
    server.send("a\x13"
                "b");
    EXPECT_EQ(ReadAll(d, 2), "ab"); // the XOFF is not data
    EXPECT_TRUE(d.status().holds & kHoldXoff);
    const uint8_t x = 'x';
    EXPECT_EQ(d.write(&x, 1), 0);
    EXPECT_EQ(d.waitOutput(100), WaitResult::Timeout);
    EXPECT_EQ(server.read(1, 200ms), "");
    std::thread xon([&] { server.send("\x11"); });
    EXPECT_EQ(d.waitOutput(5000), WaitResult::Ready); // the writer reads the XON itself
    xon.join();
    EXPECT_EQ(d.write(&x, 1), 1);
    EXPECT_EQ(server.read(1), "x");

    // A server that stops reading: what the socket holds is output queued.
    s.xonXoffOut = false;
    ASSERT_EQ(d.setLineSettings(s), 0);
    const std::string block(TcpDevice::kChunk, 'q');
    size_t written = 0;
    for (int i = 0; i < 10000; ++i) {
        long n = d.write(reinterpret_cast<const uint8_t*>(block.data()), block.size());
        if (n == 0 && d.waitOutput(200) == WaitResult::Timeout)
            break;
        written += size_t(std::max(n, 0L));
    }
    EXPECT_GT(d.outputQueued(), 0u);
    EXPECT_GT(d.status().outQueue, 0u);
    EXPECT_EQ(server.read(written).size(), written);
    EXPECT_TRUE(WaitUntil([&] { return d.outputQueued() == 0; }));

    server.closeClient();
    EXPECT_EQ(d.waitInput(true, 5000), WaitResult::Ready);
    uint8_t buf[8];
    EXPECT_EQ(d.read(buf, sizeof buf), ecLineLost);
    EXPECT_EQ(d.write(&x, 1), ecLineLost);
    d.close();
    EXPECT_FALSE(d.isOpen());
}

class Rfc2217Test : public ::testing::Test {
protected:
    Rfc2217Test() : server(pty.path(), dir()) {}

    static std::string dir() {
        static std::string d = [] {
            char tmpl[] = "/tmp/vorl-net-XXXXXX";
            return std::string(::mkdtemp(tmpl));
        }();
        return d;
    }

    termios lineTermios() {
        termios t{};
        ::tcgetattr(pty.master(), &t); // a pty master shows its slave's settings
        return t;
    }

    PtyPeer pty;
    Ser2net server;
};

TEST_F(Rfc2217Test, EveryByteBothWaysAndSettingsReachTheServersLine) {
    ASSERT_TRUE(server.running()) << "ser2net did not start";
    Rfc2217Device d;
    ASSERT_EQ(d.open(server.telnetUrl()), 0) << d.errorText();
    LineSettings s;
    ASSERT_EQ(d.getLineSettings(s), 0);
    s.baud = 19200;
    s.parity = 2;
    s.stopBits = kTwoStopBits;
    ASSERT_EQ(d.setLineSettings(s), 0) << d.errorText();
    // The kernel keeps a pty at 8 data bits without parity; speed and stop
    // bits show. The server has answered the parity asked, or the call failed.
    termios t = lineTermios();
    EXPECT_EQ(cfgetospeed(&t), B19200);
    EXPECT_TRUE(t.c_cflag & CSTOPB);
    s.baud = 4800;
    s.stopBits = kOneStopBit;
    ASSERT_EQ(d.setLineSettings(s), 0) << d.errorText();
    t = lineTermios();
    EXPECT_EQ(cfgetospeed(&t), B4800);
    EXPECT_FALSE(t.c_cflag & CSTOPB);

    const std::string bytes = AllBytes();
    ASSERT_TRUE(WriteAll(d, bytes));
    EXPECT_EQ(pty.receive(bytes.size()), bytes);
    pty.send(bytes);
    EXPECT_EQ(ReadAll(d, bytes.size()), bytes);

    // Break, DTR and purges are commands in the stream: the data stays whole.
    EXPECT_EQ(d.setBreak(true), 0);
    EXPECT_EQ(d.setBreak(false), 0);
    EXPECT_EQ(d.setDtr(false), 0);
    EXPECT_EQ(d.purge(PurgeRx | PurgeTx), 0);
    ASSERT_TRUE(WriteAll(d, "\xff"
                            "after\xff"));
    EXPECT_EQ(pty.receive(7), "\xff"
                              "after\xff");
    d.close();
}

TEST_F(Rfc2217Test, XonXoffIsTheServersOwnAndADrainWaitsForTheLine) {
    // The machine tool's XOFF stops the server's port at once, within its
    // UART; ours would come only after the XOFF crossed the network and all
    // the server holds had gone out.
    ASSERT_TRUE(server.running()) << "ser2net did not start";
    Rfc2217Device d;
    ASSERT_EQ(d.open(server.telnetUrl()), 0) << d.errorText();
    LineSettings s;
    ASSERT_EQ(d.getLineSettings(s), 0);
    s.baud = 9600;
    s.xonXoffOut = true;
    ASSERT_EQ(d.setLineSettings(s), 0) << d.errorText();
    EXPECT_TRUE(lineTermios().c_iflag & IXON);
    // Drained: the server has it all, and its line has had the time for it.
    const std::string bytes = "N10 G01 X1.\n";
    ASSERT_TRUE(WriteAll(d, bytes));
    EXPECT_EQ(d.drain(2000), 0);
    EXPECT_EQ(d.outputQueued(), 0u);
    EXPECT_EQ(pty.receive(bytes.size()), bytes);
    s.xonXoffOut = false;
    ASSERT_EQ(d.setLineSettings(s), 0) << d.errorText();
    EXPECT_FALSE(lineTermios().c_iflag & IXON);
    d.close();
}

TEST_F(Rfc2217Test, RefusalWrongSpeedAndSlowRepliesThroughTheRelay) {
    ASSERT_TRUE(server.running()) << "ser2net did not start";
    {
        FaultRelay relay(server.telnetPort());
        relay.refuseComPort();
        Rfc2217Device d;
        EXPECT_EQ(d.open(relay.url("rfc2217")), -EPROTONOSUPPORT);
        EXPECT_NE(d.errorText().find("refused serial port control"), std::string::npos)
            << d.errorText();
        EXPECT_NE(d.errorText().find("tcp://127.0.0.1:" + std::to_string(relay.port())),
                  std::string::npos);
    }
    {
        FaultRelay relay(server.telnetPort());
        relay.answerBaud(9600);
        Rfc2217Device d;
        ASSERT_EQ(d.open(relay.url("rfc2217")), 0) << d.errorText();
        LineSettings s;
        d.getLineSettings(s);
        s.baud = 19200;
        EXPECT_EQ(d.setLineSettings(s), ecBaudRate);
        EXPECT_EQ(d.errorText(), "The server at 127.0.0.1:" + std::to_string(relay.port()) +
                                     " set 9600 bit/s when 19200 was asked");
    }
    {
        FaultRelay relay(server.telnetPort());
        relay.delayReplies(300ms);
        Rfc2217Device d;
        ASSERT_EQ(d.open(relay.url("rfc2217")), 0) << d.errorText();
        LineSettings s;
        d.getLineSettings(s);
        s.baud = 38400;
        ASSERT_EQ(d.setLineSettings(s), 0) << d.errorText();
        pty.send("slow but whole\xff");
        EXPECT_EQ(ReadAll(d, 15), "slow but whole\xff");
    }
}

TEST_F(Rfc2217Test, ModemAndLineReportsAndTheServersFlowRequests) {
    ASSERT_TRUE(server.running()) << "ser2net did not start";
    FaultRelay relay(server.telnetPort());
    Rfc2217Device d;
    ASSERT_EQ(d.open(relay.url("rfc2217")), 0) << d.errorText();
    // The server's own first report (a pty: no lines) before ours.
    ASSERT_TRUE(WaitUntil([&] { return d.hasModemLines(); }));
    while (d.waitInput(true, 0) != WaitResult::Timeout) {
    }
    relay.inject(Command(107, "\xb0")); // CTS, DSR, DCD
    EXPECT_EQ(d.waitInput(true, 5000), WaitResult::Ready);
    EXPECT_TRUE(WaitUntil([&] { return d.modemLines() == (kLineCTS | kLineDSR | kLineDCD); }));
    EXPECT_TRUE(d.hasModemLines());
    relay.inject(Command(106, "\x18")); // framing error and break
    EXPECT_TRUE(WaitUntil([&] { return d.status().errors == (kErrFraming | kErrBreak); }));
    EXPECT_EQ(d.status().errors, 0); // reported once

    LineSettings s;
    d.getLineSettings(s);
    s.ctsOutFlow = true;
    ASSERT_EQ(d.setLineSettings(s), 0) << d.errorText();
    relay.inject(Command(107, "\x20")); // CTS drops
    EXPECT_TRUE(WaitUntil([&] { return (d.status().holds & kHoldCTS) != 0; }));
    const uint8_t x = 'x';
    EXPECT_EQ(d.write(&x, 1), 0);
    relay.inject(Command(107, "\x30"));
    EXPECT_TRUE(WritesAgain(d));
    EXPECT_EQ(pty.receive(1), "x");

    relay.inject(Command(108, "")); // FLOWCONTROL-SUSPEND
    EXPECT_TRUE(WaitUntil([&] { return (d.status().holds & kHoldXoff) != 0; }));
    EXPECT_EQ(d.write(&x, 1), 0);
    relay.inject(Command(109, "")); // FLOWCONTROL-RESUME
    EXPECT_TRUE(WritesAgain(d));
    EXPECT_EQ(pty.receive(1), "x");
}

// A server that knows no inbound flow modes and does not answer what it
// does not know: the settings a machine needs still go through, and a mode
// it lacks is named.
TEST_F(Rfc2217Test, ASecondServerTakesTheSettingsItKnowsAndAMissingAnswerIsNamed) {
    UartServer other(pty.path(), dir());
    ASSERT_TRUE(other.running()) << "the second server did not start";
    FaultRelay relay(other.port());
    Rfc2217Device d;
    ASSERT_EQ(d.open(relay.url("rfc2217") + "?timeout=2"), 0) << d.errorText();
    LineSettings s;
    ASSERT_EQ(d.getLineSettings(s), 0);
    s.baud = 115200;
    s.dtrControl = s.rtsControl = LineControl::On;
    ASSERT_EQ(d.setLineSettings(s), 0) << d.errorText();
    ASSERT_TRUE(WriteAll(d, "G1 X1\xff\n"));
    EXPECT_EQ(pty.receive(7), "G1 X1\xff\n");
    pty.send("%\xff");
    EXPECT_EQ(ReadAll(d, 2), "%\xff");

    // Hardware handshake: RTS/CTS covers both directions.
    s.ctsOutFlow = true;
    s.rtsControl = LineControl::Handshake;
    ASSERT_EQ(d.setLineSettings(s), 0) << d.errorText();
    EXPECT_EQ(relay.controls(3), 1);
    EXPECT_EQ(relay.controls(16), 0);

    // Input held by DTR is a mode this server lacks.
    s.ctsOutFlow = false;
    s.rtsControl = LineControl::On;
    s.dtrControl = LineControl::Handshake;
    EXPECT_EQ(d.setLineSettings(s), -ETIMEDOUT);
    EXPECT_EQ(d.errorText(), "The server at 127.0.0.1:" + std::to_string(relay.port()) +
                                 " did not answer SET-CONTROL 18 (inbound DTR flow control)"
                                 " within 2 s");

    // DTR and RTS go once each, as they change, not with every setting.
    s.dtrControl = LineControl::On;
    ASSERT_EQ(d.setLineSettings(s), 0) << d.errorText();
    ASSERT_TRUE(WriteAll(d, "x"));
    EXPECT_EQ(pty.receive(1), "x");
    const int dtrOn = relay.controls(8), rtsOn = relay.controls(11);
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(d.setLineSettings(s), 0) << d.errorText();
        EXPECT_EQ(d.setDtr(true), 0);
        EXPECT_EQ(d.setRts(true), 0);
    }
    EXPECT_EQ(d.setDtr(false), 0);
    ASSERT_TRUE(WriteAll(d, "x"));
    EXPECT_EQ(pty.receive(1), "x");
    EXPECT_EQ(relay.controls(8), dtrOn);
    EXPECT_EQ(relay.controls(9), 1); // DTR off
    EXPECT_EQ(relay.controls(11), rtsOn);
}

} // namespace
} // namespace vorl::platform
