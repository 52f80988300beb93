// The simulated machine tool, run as a child process on its own pty; each test
// plays the computer on the slave side, the way the serial layer would.
#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include "controller.h"
#include "options.h"
#include "sim_process.h"

using namespace vorl::sim;
using namespace vorl::sim::test;

namespace {

std::vector<std::string> with(std::vector<std::string> args, const TempDir& dir) {
    for (std::string name : {"report", "received", "capture"}) {
        args.push_back("--" + name);
        args.push_back(dir.file(name));
    }
    return args;
}

// A running simulator with its files in a temporary directory.
struct Sim {
    TempDir dir;
    SimProcess proc;
    explicit Sim(std::vector<std::string> args)
        : proc(with(std::move(args), dir), dir.file("stderr")) {}
    std::string report() const { return dir.file("report"); }
    std::string received() const { return readFile(dir.file("received")); }
    std::string log() const { return readFile(dir.file("stderr")); }
    Report wait(const std::function<bool(const Report&)>& ready) {
        return waitReport(report(), ready);
    }
};

// Every byte value, with the two-byte sequence `avoid` broken up wherever it
// would occur, so it cannot end the transfer early.
std::string allBytes(size_t size, const std::string& avoid) {
    std::string s;
    for (size_t i = 0; s.size() < size; ++i) {
        char c = static_cast<char>((i * 37 + i / 256) & 0xFF);
        if (!s.empty() && s.back() == avoid[0] && c == avoid[1])
            continue;
        s.push_back(c);
    }
    return s;
}

} // namespace

TEST(SimOptions, CaretNotationAndSettings) {
    EXPECT_EQ(decodeCaret("^M^J"), std::string("\r\n"));
    EXPECT_EQ(decodeCaret("^m^j"), std::string("\r\n"));
    EXPECT_EQ(decodeCaret("%"), std::string("%"));
    EXPECT_EQ(decodeCaret("^@G^["), std::string("\0G\x1b", 3));
    EXPECT_EQ(decodeCaret("^?"), std::string("\xff"));
    EXPECT_EQ(decodeCaret("A^"), std::nullopt);
    EXPECT_EQ(printable(std::string("\x11%\r\n\x1b\xff", 6)), "^Q%^M^J\\x1B\\xFF");

    TempDir dir;
    // ACTION lines read as in the machine's configuration file, trailing caret too.
    writeFile(dir.file("conf"), "# a machine\nACTION0=^R\nACTION7=^C^\n  download-stop = ^T \n"
                                "honour-xoff\nbuffer=100\nrate=12.5\n");
    auto r = parseOptions({"--config", dir.file("conf"), "--download-ready=^Q", "--buffer", "80"});
    ASSERT_TRUE(r.options) << r.error;
    const SimOptions& o = *r.options;
    EXPECT_EQ(o.triggers[vorl::DownloadStart], "\x12");
    EXPECT_EQ(o.triggers[vorl::DownloadReady], "\x11");
    EXPECT_EQ(o.triggers[vorl::DownloadStop], "\x14");
    EXPECT_EQ(o.triggers[vorl::UploadEnd], "\x03\xC0");
    EXPECT_TRUE(o.triggers[vorl::UploadStart].empty());
    EXPECT_TRUE(o.honourXoff);
    EXPECT_EQ(o.bufferSize, 80); // the later setting wins
    EXPECT_EQ(o.xoffAt, 60);
    EXPECT_EQ(o.xonAt, 20);
    EXPECT_DOUBLE_EQ(o.rate, 12.5);
    EXPECT_DOUBLE_EQ(o.sendRate, 960); // 9600 baud

    struct Bad {
        std::vector<std::string> args;
        const char* says;
    } bad[] = {
        {{"--buffer", "abc"}, "--buffer"},
        {{"--buffer"}, "needs a value"},
        {{"--speed", "9600"}, "unknown option '--speed'"},
        {{"--buffer", "64", "--xoff-at", "32", "--xon-at", "32"}, "--xon-at"},
        {{"--buffer", "64", "--xoff-at", "65"}, "beyond the buffer"},
        {{"--upload-end", "X^"}, "caret"},
        {{"--tty", "/dev/ttyS0", "--link", "/tmp/x"}, "--link"},
        {{"--honour-xoff=maybe"}, "takes no value"},
        {{"--config", dir.file("missing")}, "cannot read"},
        {{"stray"}, "unexpected argument"},
    };
    for (const auto& b : bad) {
        auto res = parseOptions(b.args);
        EXPECT_FALSE(res.options) << b.says;
        EXPECT_NE(res.error.find(b.says), std::string::npos) << res.error;
    }
    auto demo = parseOptions({"--config", VORL_SOURCE_DIR "/tools/simmachine/demo/machine.conf"});
    EXPECT_TRUE(demo.options) << demo.error;

    EXPECT_TRUE(parseOptions({"--buffer", "64", "--version"}).version);
    EXPECT_TRUE(parseOptions({"--help"}).help);
    EXPECT_NE(usageText().find("--version"), std::string::npos);

    writeFile(dir.file("conf2"), "buffer=64\nwhatever=1\n");
    auto res = parseOptions({"--config", dir.file("conf2")});
    EXPECT_NE(res.error.find("conf2:2: unknown setting 'whatever'"), std::string::npos)
        << res.error;
}

TEST(SimMachine, BadOptionEndsWithMessageAndStatus2) {
    TempDir dir;
    SimProcess proc({"--rate", "fast"}, dir.file("stderr"));
    EXPECT_EQ(proc.waitExit(), 2);
    EXPECT_TRUE(proc.firstLine().empty());
    EXPECT_NE(readFile(dir.file("stderr")).find("--rate needs a number"), std::string::npos);
}

TEST(SimMachine, DownloadStoresExactlyTheBytesBetweenStartAndStop) {
    Sim sim({"--download-start", "GO^M", "--download-ready", "^Q", "--download-stop", "^D%",
             "--download-end", "OK^M^J"});
    ASSERT_FALSE(sim.proc.ptyPath().empty()) << sim.log();
    Computer pc(sim.proc.ptyPath());
    ASSERT_TRUE(pc.isOpen());

    // Noise before the Start string is no program, and a near-Start is noise.
    pc.send("xxGO");
    pc.send("GO\r");
    EXPECT_EQ(pc.read(1), "\x11");
    // Program data holding every byte value, also lone halves of the Stop
    // string, and ending with its first byte right before the real one.
    std::string program = allBytes(3000, "\x04%") + "%\x04";
    for (size_t at = 0; at < program.size(); at += 700)
        pc.send(program.substr(at, 700));
    pc.send("\x04%");
    EXPECT_EQ(pc.read(4), "OK\r\n");

    Report r = sim.wait([](const Report& r) { return num(r, "downloads_completed") == 1; });
    EXPECT_EQ(sim.received(), program);
    EXPECT_EQ(num(r, "program_bytes"), static_cast<long long>(program.size()));
    EXPECT_EQ(num(r, "ignored_bytes"), 4);
    EXPECT_EQ(num(r, "download_start_seen"), 1);
    EXPECT_EQ(num(r, "download_stop_seen"), 1);
    EXPECT_EQ(num(r, "download_ready_sent"), 1);
    EXPECT_EQ(num(r, "download_end_sent"), 1);
    EXPECT_EQ(text(r, "state"), "idle");
    EXPECT_EQ(readFile(sim.dir.file("capture")), "xxGOGO\r" + program + "\x04%");
    EXPECT_EQ(pc.available(), "");
    EXPECT_EQ(sim.proc.stop(SIGTERM), 0);
    EXPECT_EQ(num(readReport(sim.report()), "running"), 0);
}

TEST(SimMachine, XoffAtHighWaterXonAfterDrainCountsCharactersAfterXoff) {
    // No Start string: the control is ready to receive at once. 10 characters
    // a second keep the drain slow against the test's own steps.
    Sim sim({"--download-stop", "^T", "--buffer", "64", "--xoff-at", "48", "--xon-at", "40",
             "--rate", "10"});
    Computer pc(sim.proc.ptyPath());
    ASSERT_TRUE(pc.isOpen()) << sim.log();

    std::string sent(47, 'A');
    pc.send(sent);
    Report r = sim.wait([](const Report& r) { return num(r, "bytes_received") == 47; });
    EXPECT_EQ(num(r, "xoff_sent"), 0);
    EXPECT_EQ(pc.available(), "");

    // One character at a time up to the mark (the drain may have taken one or
    // two meanwhile): the XOFF comes with the character that reaches it.
    while (num(r, "xoff_sent") == 0 && sent.size() < 60) {
        sent += 'B';
        pc.send("B");
        size_t n = sent.size();
        r = sim.wait([n](const Report& r) { return num(r, "bytes_received") == (long long)n; });
    }
    ASSERT_EQ(num(r, "xoff_sent"), 1);
    EXPECT_EQ(pc.read(1), "\x13");
    EXPECT_EQ(num(r, "after_xoff_max"), 0);

    // The computer's driver lets a few more go before it stops.
    pc.send("1234567");
    sent += "1234567";
    EXPECT_EQ(pc.read(1), "\x11"); // drained to the low-water mark
    r = sim.wait([](const Report& r) { return num(r, "xon_sent") == 1; });
    EXPECT_EQ(text(r, "after_xoff"), "7");
    EXPECT_EQ(num(r, "after_xoff_max"), 7);
    EXPECT_EQ(num(r, "flow_held"), 0);
    EXPECT_LE(num(r, "buffer_level"), 40);
    EXPECT_EQ(num(r, "overflow"), 0);

    pc.send("\x14");
    r = sim.wait([](const Report& r) { return num(r, "downloads_completed") == 1; });
    EXPECT_EQ(sim.received(), sent);
    EXPECT_EQ(sim.proc.stop(SIGTERM), 0);
}

TEST(SimMachine, OverflowCountedWhenTheComputerIgnoresXoff) {
    // A drain of one character in 1000 s: nothing drains during the test.
    Sim sim({"--buffer", "32", "--xoff-at", "24", "--xon-at", "8", "--rate", "0.001"});
    Computer pc(sim.proc.ptyPath());
    ASSERT_TRUE(pc.isOpen()) << sim.log();
    std::string data(40, 'N');
    pc.send(data);
    Report r = sim.wait([](const Report& r) { return num(r, "bytes_received") == 40; });
    EXPECT_EQ(pc.read(1), "\x13");
    EXPECT_EQ(num(r, "xoff_sent"), 1);
    EXPECT_EQ(text(r, "after_xoff"), "16");
    EXPECT_EQ(num(r, "buffer_level"), 32);
    EXPECT_EQ(num(r, "overflow"), 8);
    EXPECT_EQ(num(r, "flow_held"), 1);
    EXPECT_EQ(sim.received(), data); // stored all the same: the file shows what the line carried
    EXPECT_EQ(sim.proc.stop(SIGTERM), 3);
    EXPECT_NE(sim.log().find("OVERFLOW: 8 characters"), std::string::npos) << sim.log();
}

TEST(SimMachine, UploadSendsReadyProgramAndEndAfterStartOrCommand) {
    TempDir files;
    std::string program = allBytes(5000, "\x03\x03");
    writeFile(files.file("prog"), program);
    Sim sim({"--upload-start", "^R", "--upload-ready", "%^M^J", "--upload-end", "^C^C",
             "--upload-stop", "^V", "--program", files.file("prog"), "--ready-gap", "0",
             "--send-rate", "0"});
    Computer pc(sim.proc.ptyPath());
    ASSERT_TRUE(pc.isOpen()) << sim.log();
    std::string expected = "%\r\n" + program + "\x03\x03";

    pc.send("\x12");
    EXPECT_EQ(pc.read(expected.size()), expected);
    Report r = sim.wait([](const Report& r) { return num(r, "uploads_completed") == 1; });
    EXPECT_EQ(text(r, "state"), "await_stop");
    pc.send("\x16");
    r = sim.wait([](const Report& r) { return text(r, "state") == "idle"; });
    EXPECT_EQ(num(r, "upload_start_seen"), 1);
    EXPECT_EQ(num(r, "upload_stop_seen"), 1);
    EXPECT_EQ(num(r, "upload_bytes"), static_cast<long long>(program.size()));

    // The operator's command at the control starts the same upload.
    sim.proc.command("upload");
    EXPECT_EQ(pc.read(expected.size()), expected);
    pc.send("\x16");
    r = sim.wait([](const Report& r) {
        return num(r, "upload_stop_seen") == 2 && text(r, "state") == "idle";
    });
    EXPECT_EQ(num(r, "uploads_completed"), 2);
    EXPECT_EQ(num(r, "upload_start_seen"), 1);
    EXPECT_EQ(pc.available(), "");
    EXPECT_EQ(sim.proc.stop(SIGTERM), 0);
}

TEST(SimMachine, UploadHonoursXoffFromTheComputer) {
    TempDir files;
    std::string program = allBytes(4000, "\x11\x11");
    // Flow characters in the program would be taken for the computer's: none.
    for (char& c : program)
        if (c == '\x11' || c == '\x13')
            c = 'x';
    writeFile(files.file("prog"), program);
    Sim sim({"--upload-start", "^R", "--upload-ready", "^B", "--upload-end", "^C", "--program",
             files.file("prog"), "--ready-gap", "0", "--send-rate", "2000", "--honour-xoff"});
    Computer pc(sim.proc.ptyPath());
    ASSERT_TRUE(pc.isOpen()) << sim.log();

    // Held from the start: not even the Ready string goes out.
    pc.send("\x12\x13");
    Report r = sim.wait(
        [](const Report& r) { return num(r, "uploads") == 1 && num(r, "host_held") == 1; });
    EXPECT_EQ(num(r, "bytes_sent"), 0);
    EXPECT_EQ(pc.available(), "");

    pc.send("\x11");
    std::string got = pc.read(200);
    pc.send("\x13");
    r = sim.wait(
        [](const Report& r) { return num(r, "host_held") == 1 && num(r, "host_xoff") == 2; });
    // Whatever went out before the hold arrives; nothing after it.
    long long sent = num(r, "bytes_sent");
    got += pc.read(static_cast<size_t>(sent) - got.size());
    EXPECT_EQ(static_cast<long long>(got.size()), sent);
    EXPECT_EQ(pc.available(), "");
    r = readReport(sim.report());
    EXPECT_EQ(num(r, "bytes_sent"), sent);

    pc.send("\x11");
    std::string expected = "\x02" + program + "\x03";
    got += pc.read(expected.size() - got.size());
    EXPECT_EQ(got, expected);
    r = sim.wait([](const Report& r) { return num(r, "uploads_completed") == 1; });
    EXPECT_EQ(num(r, "host_xon"), 2);
    EXPECT_EQ(sim.proc.stop(SIGTERM), 0);
}

// A test of the computer's waits needs the machine tool to keep it waiting
// until the test has looked: with manual answers each answer waits for the
// operator's command.
TEST(SimMachine, ManualAnswersWaitForTheAnswerCommand) {
    TempDir files;
    writeFile(files.file("prog"), "%\nO1\nM30\n%\n");
    Sim sim({"--manual-answers",
             "--download-start",
             "^R",
             "--download-ready",
             "^Q",
             "--download-stop",
             "^T",
             "--download-end",
             "^F",
             "--upload-start",
             "^E",
             "--upload-ready",
             "^B",
             "--upload-end",
             "^C",
             "--program",
             files.file("prog"),
             "--ready-gap",
             "0",
             "--send-rate",
             "0"});
    Computer pc(sim.proc.ptyPath());
    ASSERT_TRUE(pc.isOpen()) << sim.log();
    auto pending = [&sim](const char* what) {
        return sim.wait([what](const Report& r) { return text(r, "answer_pending") == what; });
    };

    pc.send("\x12");
    Report r = pending("download_ready");
    EXPECT_EQ(num(r, "download_ready_sent"), 0);
    EXPECT_EQ(pc.available(), "");
    sim.proc.command("answer");
    EXPECT_EQ(pc.read(1), "\x11");

    pc.send("G0X0\n\x14");
    r = pending("download_end");
    EXPECT_EQ(num(r, "downloads_completed"), 1);
    EXPECT_EQ(pc.available(), "");
    sim.proc.command("answer");
    EXPECT_EQ(pc.read(1), "\x06");
    EXPECT_EQ(sim.received(), "G0X0\n");

    pc.send("\x05");
    r = pending("upload");
    EXPECT_EQ(num(r, "uploads"), 0);
    EXPECT_EQ(pc.available(), "");
    sim.proc.command("answer");
    EXPECT_EQ(pc.read(14), "\x02%\nO1\nM30\n%\n\x03");
    r = pending("");
    EXPECT_EQ(num(r, "download_end_sent"), 1);
    EXPECT_EQ(sim.proc.stop(SIGTERM), 0);
}

// --tty on a pty slave: the simulator treats it as a real serial port, and
// the test sits on the master as the computer would sit on the far end of
// the cable.
// The operator's side: a request punched out and the answer read, a program
// punched out to be saved, and a control that gives up waiting to read.
TEST(SimMachine, OperatorRequestsPunchesAndTimesOut) {
    TempDir files;
    writeFile(files.file("O77.nc"), "%\nO77\nG0X1\nM30\n%\n");
    Sim sim({"--download-start",  "^R",
             "--download-ready",  "^Q",
             "--download-stop",   "^T",
             "--download-end",    "^F",
             "--upload-ready",    "^B",
             "--upload-end",      "^C",
             "--upload-stop",     "^F",
             "--ready-gap",       "0",
             "--send-rate",       "0",
             "--read-timeout",    "0.5",
             "--request-program", "%^JO9999 ({name})^J%^J"});
    Computer pc(sim.proc.ptyPath());
    ASSERT_TRUE(pc.isOpen()) << sim.log();

    sim.proc.command("request P1234");
    EXPECT_EQ(pc.read(20), "\x02%\nO9999 (P1234)\n%\n\x03");
    pc.send("\x06"); // the computer's Stop string
    Report r = sim.wait([](const Report& r) { return num(r, "waiting_to_read") == 1; });
    EXPECT_EQ(num(r, "requests"), 1);
    pc.send("\x12");
    EXPECT_EQ(pc.read(1), "\x11");
    r = sim.wait([](const Report& r) { return num(r, "waiting_to_read") == 0; });
    EXPECT_EQ(text(r, "state"), "receiving");
    pc.send("%\nO1234\n%\n\x14");
    EXPECT_EQ(pc.read(1), "\x06");
    EXPECT_EQ(sim.received(), "%\nO1234\n%\n");

    sim.proc.command("punch " + files.file("O77.nc"));
    EXPECT_EQ(pc.read(19), "\x02%\nO77\nG0X1\nM30\n%\n\x03");
    pc.send("\x06");
    r = sim.wait([](const Report& r) { return num(r, "punches") == 1; });
    EXPECT_EQ(num(r, "waiting_to_read"), 0);

    // Nobody answers the request, then a download stops halfway: the control
    // gives up each time and is idle again.
    sim.proc.command("request P5");
    EXPECT_EQ(pc.read(17), "\x02%\nO9999 (P5)\n%\n\x03");
    pc.send("\x06");
    r = sim.wait([](const Report& r) { return num(r, "read_timeouts") == 1; });
    EXPECT_EQ(num(r, "waiting_to_read"), 0);
    pc.send("\x12");
    EXPECT_EQ(pc.read(1), "\x11");
    pc.send("%\nO5\n");
    r = sim.wait([](const Report& r) { return num(r, "read_timeouts") == 2; });
    EXPECT_EQ(text(r, "state"), "idle");
    EXPECT_EQ(num(r, "downloads_completed"), 1);
    EXPECT_EQ(sim.proc.stop(SIGTERM), 0);
}

// A computer that answers at once: its Stop string and its next Start string
// come back before the control has looked at its own upload again (the End
// string has gone out). Neither may be lost.
TEST(SimController, AnAnswerRightBehindTheEndStringIsHeard) {
    struct Quiet : ControllerOutput {
        void programBegun() override {}
        void programData(const std::string&) override {}
        std::optional<std::string> loadProgram() override { return std::nullopt; }
        void message(int, const std::string&) override {}
    } out;
    const auto parsed = parseOptions({"--download-start", "^R", "--download-ready", "^Q",
                                      "--upload-ready", "^B", "--upload-end", "^C", "--upload-stop",
                                      "^F", "--ready-gap", "0", "--send-rate", "0"});
    ASSERT_TRUE(parsed.options) << parsed.error;
    Controller control(*parsed.options, out, 0);
    control.punch(0, "%\nO1\n%\n", true);
    std::string line;
    while (line.empty() || line.back() != '\x03') {
        ASSERT_LT(line.size(), 100u);
        control.tick(0);
        line += control.output();
        control.noteSent(control.output().size());
        control.output().clear();
    }
    EXPECT_EQ(line, "\x02%\nO1\n%\n\x03");
    control.received("\x06\x12", 2, 0);
    EXPECT_EQ(control.state(), State::Receiving);
    EXPECT_EQ(control.output(), "\x11");
    EXPECT_EQ(control.counters().uploadsCompleted, 1);
}

TEST(SimMachine, TtyLineIsRawAtTheSpeedAndRestoredOnExit) {
    int master = -1, slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    std::string name = ttyname(slave);
    termios before{};
    ASSERT_EQ(tcgetattr(slave, &before), 0);
    ASSERT_TRUE(before.c_lflag & ICANON);
    Computer pc(master);

    Sim sim({"--tty", name, "--baud", "19200", "--download-stop", "^T", "--download-end", "^F"});
    EXPECT_EQ(sim.proc.firstLine(), "TTY " + name) << sim.log();
    sim.wait([](const Report& r) { return num(r, "running") == 1; });
    termios during{};
    tcgetattr(slave, &during);
    EXPECT_FALSE(during.c_lflag & (ICANON | ECHO | ISIG));
    EXPECT_FALSE(during.c_oflag & OPOST);
    EXPECT_FALSE(during.c_iflag & (ICRNL | IXON));
    EXPECT_EQ(cfgetospeed(&during), static_cast<speed_t>(B19200));

    pc.send("G1X1\r\n\x14");
    EXPECT_EQ(pc.read(1), "\x06");
    sim.wait([](const Report& r) { return num(r, "downloads_completed") == 1; });
    EXPECT_EQ(sim.received(), "G1X1\r\n");
    EXPECT_EQ(sim.proc.stop(SIGTERM), 0);

    termios after{};
    tcgetattr(slave, &after);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
    close(slave);
}

class SimMachineReopen : public testing::TestWithParam<bool> {};

// The serial layer opens and closes the port around every transfer: the line
// must work again after each reopen, whether the simulator keeps the slave
// open itself or waits out the master's hang-up.
TEST_P(SimMachineReopen, LineWorksAfterTheComputerClosesAndReopens) {
    bool hold = GetParam();
    TempDir dir;
    // No Start string: the first byte begins a download, with no Ready string
    // unless the operator's command sends it (round 2).
    std::vector<std::string> args{"--download-ready", "^Q", "--download-stop", "^T",
                                  "--download-end",   "^F", "--link",          dir.file("com1")};
    if (!hold)
        args.push_back("--no-hold");
    Sim sim(args);
    ASSERT_FALSE(sim.proc.ptyPath().empty()) << sim.log();

    std::string last;
    for (int round = 1; round <= 3; ++round) {
        Computer pc(dir.file("com1"));
        ASSERT_TRUE(pc.isOpen()) << "round " << round;
        if (round == 2) {
            sim.proc.command("download");
            EXPECT_EQ(pc.read(1), "\x11");
        }
        std::string program = "%\nO100" + std::to_string(round) + "\nG0X1\nM30\n%\n";
        pc.send(program + "\x14");
        EXPECT_EQ(pc.read(1), "\x06") << "round " << round;
        auto r =
            sim.wait([round](const Report& r) { return num(r, "downloads_completed") == round; });
        EXPECT_EQ(sim.received(), program) << "round " << round;
        last = program;
        // An open and close with nothing sent changes nothing either.
        Computer idle(dir.file("com1"));
        EXPECT_TRUE(idle.isOpen());
    }
    EXPECT_EQ(sim.proc.stop(SIGTERM), 0);
    EXPECT_EQ(sim.received(), last);
    // The symlink goes with the simulator.
    EXPECT_FALSE(std::filesystem::exists(dir.file("com1")));
}

INSTANTIATE_TEST_SUITE_P(HoldOrRepoll, SimMachineReopen, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& p) {
                             return p.param ? "HoldsSlave" : "RepollsAfterHangUp";
                         });
