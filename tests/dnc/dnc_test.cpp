// vorl-dnc as a script runs it: sends and receives with the simulated machine
// tool on a pty, the exit status of each kind of failure, Ctrl-C.
#include "dnc/program_names.h"
#include "dnc_process.h"
#include "history/history_repository.h"
#include "machines/config_file.h"
#include "sim_process.h"
#include "sim_triggers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace vorl::test {
namespace {

using sim::test::num;
using sim::test::readFile;
using sim::test::Report;
using sim::test::SimProcess;
using sim::test::TempDir;
using sim::test::waitReport;
using sim::test::writeFile;

// A program of `blocks` numbered blocks with LF line ends.
std::string program(int blocks) {
    std::string text = "%\nO1234 (DNC TEST)\n";
    for (int i = 1; i <= blocks; ++i) {
        text += "N" + std::to_string(i * 10) + " G01 X" + std::to_string(i) + ".5 Y-" +
                std::to_string(i % 97) + ". F200\n";
    }
    return text + "M30\n%\n";
}

class DncTest : public ::testing::Test {
protected:
    DncTest() {
        MachineList machines;
        machines[0].capability = 'T';
        for (int slot : {1, 2, 3, 4}) {
            MachineConfig& m = machines[slot];
            m.capability = 'B';
            m.port = 7;
            m.baudRate = 115200;
            m.dataBits = 8;
            m.stopBits = 1;
            m.eobMode = 2;   // LF
            m.handshake = 1; // Xon/Xoff: the block sender
            m.downloadExtension = ".nc";
            m.uploadExtension = ".nc";
            UseSimTriggers(m);
        }
        machines[1].name = "Mill 1";
        machines[2].name = "Mill 2";
        machines[2].triggers[DownloadEnd].clear(); // nothing says the control has it all
        machines[3].name = "Lathe";
        machines[3].capability = 'U';
        // Served: its control punches out by itself, unasked.
        machines[4].name = "Cell";
        machines[4].triggers[UploadStart].clear();
        machines[4].downloadDirectory = dir.file("cell-programs");
        machines[4].uploadDirectory = dir.file("cell-received");
        std::filesystem::create_directories(dir.file("cell-programs"));
        std::filesystem::create_directories(dir.file("cell-received"));
        // Xmodem with no trigger strings: the protocol's own waits alone.
        machines[5] = machines[1];
        machines[5].name = "Xmodem";
        machines[5].protocol = 1;
        machines[5].handshake = 0;
        machines[5].triggers = {};
        machines.count = 6;
        config = dir.file("shop.vorlcfg");
        EXPECT_EQ(WriteConfiguration(config, machines), 6);
        writeFile(dir.file("O1234.nc"), program(400));
    }

    // The simulated machine tool on a pty; `extra` after the trigger strings.
    std::unique_ptr<SimProcess> startSim(std::vector<std::string> extra) {
        std::vector<std::string> args = kSimTriggerArgs;
        args.insert(args.end(), extra.begin(), extra.end());
        for (const char* name : {"report", "received"}) {
            args.push_back(std::string("--") + name);
            args.push_back(dir.file(name));
        }
        args.push_back("--quiet");
        auto sim = std::make_unique<SimProcess>(args, dir.file("sim.stderr"));
        port = sim->ptyPath();
        return sim;
    }

    std::unique_ptr<Dnc> dnc(std::vector<std::string> args) {
        args.insert(args.begin() + 1, {"-c", config});
        return std::make_unique<Dnc>(args, dir.file("dnc.stderr"), port);
    }
    int run(const std::vector<std::string>& args) { return dnc(args)->wait(); }
    std::string errors() const { return readFile(dir.file("dnc.stderr")); }
    Report report() const { return sim::test::readReport(dir.file("report")); }

    TempDir dir;
    std::string config;
    std::string port = "/nonexistent/vorl-dnc-port";
};

// A program sent and one received, each exact, with progress lines on a
// standard error that is no terminal; --quiet shows nothing.
TEST_F(DncTest, SendAndReceive) {
    auto sim = startSim({"--buffer", "2048", "--xoff-at", "1024", "--xon-at", "256", "--rate",
                         "20000", "--program", dir.file("O1234.nc"), "--send-rate", "0",
                         "--ready-gap", "100", "--upload-end", "^C"});
    EXPECT_EQ(run({"send", "-m", "mill 1", dir.file("O1234.nc")}), 0) << errors();
    EXPECT_EQ(readFile(dir.file("received")), program(400));
    EXPECT_NE(errors().find("Download in progress\n"), std::string::npos) << errors();
    EXPECT_NE(errors().find("Machine tool indicates completion\n"), std::string::npos);
    EXPECT_EQ(errors().find("Reset"), std::string::npos) << errors();

    // Without an extension the target gets the machine's; the End string is
    // filtered out of the data and leaves no empty block behind.
    EXPECT_EQ(run({"receive", "--machine=MILL 1", "--quiet", dir.file("back")}), 0) << errors();
    EXPECT_EQ(readFile(dir.file("back.nc")), program(400));
    EXPECT_EQ(errors(), "");
    const Report r = report();
    EXPECT_EQ(num(r, "downloads_completed"), 1);
    EXPECT_EQ(num(r, "uploads_completed"), 1);
    EXPECT_EQ(num(r, "upload_stop_seen"), 1);
}

// Without an End string to wait for, send ends once the Stop string has left
// for the line, never while it still waits in the port: the control gets it
// every time, and only then is the exit status 0.
TEST_F(DncTest, SendWithoutAnEndStringEndsOnceTheStopStringHasLeft) {
    writeFile(dir.file("short.nc"), program(3));
    for (int round = 0; round < 4; ++round) {
        std::filesystem::remove(dir.file("report"));
        auto sim = startSim({"--download-end", ""});
        ASSERT_EQ(run({"send", "-m", "mill 2", "--quiet", dir.file("short.nc")}), 0) << errors();
        const Report r = waitReport(
            dir.file("report"), [](const Report& r) { return num(r, "downloads_completed") >= 1; },
            std::chrono::milliseconds(5000));
        EXPECT_EQ(num(r, "downloads_completed"), 1) << "round " << round;
    }
}

// A control that stops sending without its End string: saved with --silence,
// otherwise a failure that leaves nothing under the target's name.
TEST_F(DncTest, ReceiveEndedBySilence) {
    auto sim =
        startSim({"--program", dir.file("O1234.nc"), "--send-rate", "0", "--ready-gap", "100"});
    EXPECT_EQ(run({"receive", "-m", "Mill 2", "--silence", "1", dir.file("quiet.nc")}), 0)
        << errors();
    EXPECT_EQ(readFile(dir.file("quiet.nc")), program(400));
    EXPECT_EQ(run({"receive", "-m", "Mill 2", dir.file("lost.nc")}), 6);
    EXPECT_NE(errors().find("without its End string"), std::string::npos) << errors();
    EXPECT_FALSE(std::filesystem::exists(dir.file("lost.nc")));
}

TEST_F(DncTest, ExitStatusOfEachFailure) {
    // Usage: 2, with the reason and the hint.
    EXPECT_EQ(run({"fetch", "x"}), 2);
    EXPECT_NE(errors().find("unknown command 'fetch'"), std::string::npos) << errors();
    EXPECT_NE(errors().find("Try 'vorl-dnc --help'"), std::string::npos);
    EXPECT_EQ(run({"send", dir.file("O1234.nc")}), 2); // no -m
    EXPECT_EQ(run({"send", "-m", "Mill 1", "--block", "x", dir.file("O1234.nc")}), 2);
    // No machine or several: 2, listing the candidates.
    EXPECT_EQ(run({"send", "-m", "Lathe", dir.file("O1234.nc")}), 2); // upload only
    EXPECT_NE(errors().find("Mill 1\n  Mill 2"), std::string::npos) << errors();
    EXPECT_EQ(run({"receive", "-m", "mill", dir.file("x.nc")}), 2);
    EXPECT_NE(errors().find("several"), std::string::npos) << errors();
    EXPECT_EQ(run({"send", "-m", "Mill", "-c", dir.file("missing.vorlcfg"), "p"}), 2);
    // The program or target: 3.
    EXPECT_EQ(run({"send", "-m", "Mill 1", dir.file("O9999.nc")}), 3);
    EXPECT_NE(errors().find("No such file"), std::string::npos) << errors();
    EXPECT_EQ(run({"receive", "-m", "Mill 1", dir.file("no/such/dir/x.nc")}), 3);
    // The port: 4, naming the device.
    EXPECT_EQ(run({"send", "-m", "Mill 1", dir.file("O1234.nc")}), 4);
    EXPECT_NE(errors().find("COM 7 (/nonexistent/vorl-dnc-port)"), std::string::npos) << errors();
    // A network port that refuses: the port is named once, before the reason.
    port = "tcp://127.0.0.1:1";
    EXPECT_EQ(run({"send", "-m", "Mill 1", dir.file("O1234.nc")}), 4);
    EXPECT_NE(errors().find("COM 7 (tcp://127.0.0.1:1): Connection refused by 127.0.0.1:1 (no "
                            "server port open there)\n"),
              std::string::npos)
        << errors();

    // A control that never answers: 5 after --timeout.
    auto sim = startSim({"--manual-answers"});
    EXPECT_EQ(run({"send", "-m", "Mill 1", "--timeout", "1", dir.file("O1234.nc")}), 5);
    EXPECT_NE(errors().find("did not answer within 1 s"), std::string::npos) << errors();
    sim.reset();

    // A line that goes away while the program goes out: 6.
    sim = startSim({"--buffer", "2048", "--xoff-at", "1024", "--xon-at", "256", "--rate", "500"});
    auto send = dnc({"send", "-m", "Mill 1", dir.file("O1234.nc")});
    waitReport(dir.file("report"), [](const Report& r) { return num(r, "program_bytes") > 0; });
    sim->stop(SIGKILL);
    EXPECT_EQ(send->wait(), 6) << errors();
}

// --timeout ends every wait of an Xmodem transfer: for a receiver that never
// asks for the program, and for a sender that stops in the middle of one.
TEST_F(DncTest, TimeoutEndsTheWaitsOfAnXmodemTransfer) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    port = ::ptsname(master);
    // Held open, so that the master side reads on between the two runs.
    const int slave = ::open(port.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(slave, 0);

    EXPECT_EQ(run({"send", "-m", "Xmodem", "--timeout", "1", dir.file("O1234.nc")}), 5);
    EXPECT_NE(errors().find("did not answer within 1 s"), std::string::npos) << errors();

    auto receive = dnc({"receive", "-m", "Xmodem", "--timeout", "1", dir.file("cut.nc")});
    // The receiver asks (NAK); one block comes, then nothing.
    std::string asked;
    for (const auto until = Clock::now() + 10s;
         asked.find('\x15') == std::string::npos && Clock::now() < until;) {
        pollfd p{master, POLLIN, 0};
        char buf[64];
        if (::poll(&p, 1, 100) > 0) {
            const ssize_t n = ::read(master, buf, sizeof buf);
            asked.append(buf, static_cast<size_t>(std::max<ssize_t>(n, 0)));
        }
    }
    ASSERT_NE(asked.find('\x15'), std::string::npos) << "the receiver never asked";
    std::string block = "\x01\x01\xfe";
    const std::string data = program(3).substr(0, 128);
    block += data;
    uint8_t sum = 0;
    for (char c : data) {
        sum = static_cast<uint8_t>(sum + static_cast<uint8_t>(c));
    }
    block += static_cast<char>(sum);
    ASSERT_EQ(::write(master, block.data(), block.size()), static_cast<ssize_t>(block.size()));
    EXPECT_EQ(receive->wait(), 5) << errors();
    EXPECT_NE(errors().find("did not answer within 1 s"), std::string::npos) << errors();
    EXPECT_FALSE(std::filesystem::exists(dir.file("cut.nc")));
    ::close(slave);
    ::close(master);
}

// One served line: a remote request answered with the program and with the
// not-found program, an untrusted name refused, programs punched out saved
// under their number and never over each other; status; SIGTERM ends it.
TEST_F(DncTest, ServeAnswersRequestsAndSavesPunchedPrograms) {
    writeFile(dir.file("shop.dnc"), "[service]\nretry_seconds = 1\n\n"
                                    "[Cell]\nrequest_delay = 0\nend_silence = 0.5\n");
    writeFile(dir.file("cell-programs/P1234.nc"), program(400));
    auto sim = startSim({"--upload-end", "^C", "--ready-gap", "100", "--send-rate", "0"});
    auto serve = dnc({"serve"});
    const std::string statusFile = dir.file("shop.dnc-status");
    // The operator at the control waits for the line to listen again.
    auto listening = [&] {
        return eventually(
            [&] { return readFile(statusFile).find("Cell\tidle") != std::string::npos; });
    };
    ASSERT_TRUE(listening()) << errors();

    sim->command("request P1234");
    Report r = waitReport(dir.file("report"),
                          [](const Report& r) { return num(r, "downloads_completed") == 1; });
    EXPECT_EQ(readFile(dir.file("received")), program(400)) << errors();
    ASSERT_TRUE(listening()) << errors();
    sim->command("request P999");
    r = waitReport(dir.file("report"),
                   [](const Report& r) { return num(r, "downloads_completed") == 2; });
    EXPECT_EQ(readFile(dir.file("received")), "%\nO9999 (NOT FOUND P999)\nM30\n%\n");

    // A refused name gets a program the control can show, saying why.
    const std::string log = dir.file("dnc-logs/Cell.log");
    ASSERT_TRUE(listening()) << errors();
    sim->command("request .SECRET");
    waitReport(dir.file("report"),
               [](const Report& r) { return num(r, "downloads_completed") == 3; });
    EXPECT_NE(readFile(log).find("refused"), std::string::npos) << readFile(log);
    EXPECT_EQ(readFile(dir.file("received")),
              "%\nO9999 (NOT FOUND NAME REFUSED: A NAME STARTING WITH A DOT)\nM30\n%\n");

    // The name's limit leaves room for the extension; another letter case
    // is found when only one program fits; a link to a program of the
    // folder is served.
    const std::string longest(dnc::kMaxProgramName, 'L');
    const std::vector<std::pair<std::string, std::string>> served = {
        {longest, longest + ".nc"}, {"O7000", "o7000.nc"}, {"LINKED", "LINKED.nc"}};
    writeFile(dir.file("cell-programs/" + longest + ".nc"), program(3));
    writeFile(dir.file("cell-programs/o7000.nc"), program(4));
    std::filesystem::create_symlink("P1234.nc", dir.file("cell-programs/LINKED.nc"));
    long long answered = 3;
    for (const auto& [name, file] : served) {
        ASSERT_TRUE(listening()) << errors();
        sim->command("request " + name);
        waitReport(dir.file("report"),
                   [&](const Report& r) { return num(r, "downloads_completed") == answered + 1; });
        ++answered;
        EXPECT_EQ(readFile(dir.file("received")), readFile(dir.file("cell-programs/" + file)))
            << name << "\n"
            << readFile(log);
    }

    writeFile(dir.file("O1234.nc"), program(400));
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(listening()) << errors();
        sim->command("punch " + dir.file("O1234.nc"));
        EXPECT_TRUE(eventually([&] {
            return std::filesystem::exists(
                dir.file(i == 0 ? "cell-received/O1234.nc" : "cell-received/O1234_1.nc"));
        })) << errors();
    }
    EXPECT_EQ(readFile(dir.file("cell-received/O1234.nc")), program(400));
    EXPECT_EQ(readFile(dir.file("cell-received/O1234_1.nc")), program(400));
    // The control's answers to the downloads were theirs: nothing was
    // received but the two programs.
    EXPECT_EQ(readFile(log).find("ended by silence"), std::string::npos) << readFile(log);

    ASSERT_TRUE(listening()) << errors();
    auto status = dnc({"status"});
    EXPECT_EQ(status->wait(), 0);
    EXPECT_NE(status->output.find("Cell: idle"), std::string::npos) << status->output;

    serve->signal(SIGTERM);
    EXPECT_EQ(serve->wait(), 0) << errors();
    EXPECT_NE(readFile(statusFile).find("running=0"), std::string::npos);
    EXPECT_NE(readFile(log).find("sent P1234"), std::string::npos) << readFile(log);
}

// A served line while it sends shows how far it is; a control that vanishes
// (its line hangs up) is waited for and served again when it comes back, with
// a log line each time; SIGTERM in the middle of a program being punched out
// leaves nothing of it in the machine's directory.
TEST_F(DncTest, ServeOutlivesALostLineAndStopsMidReceive) {
    writeFile(dir.file("shop.dnc"), "[service]\nretry_seconds = 0.5\n\n"
                                    "[Cell]\nrequest_delay = 0\n");
    writeFile(dir.file("cell-programs/P1234.nc"), program(150));
    const std::vector<std::string> control = {
        "--upload-end", "^C",   "--ready-gap", "0",
        "--buffer",     "2048", "--xoff-at",   "1024",
        "--xon-at",     "256",  "--rate",      "2000",
        "--send-rate",  "2000", "--link",      dir.file("com7")};
    auto sim = startSim(control);
    port = dir.file("com7");
    auto serve = dnc({"serve"});
    const std::string statusFile = dir.file("shop.dnc-status");
    const std::string log = dir.file("dnc-logs/Cell.log");
    auto state = [&](const std::string& want) {
        return eventually(
            [&] { return readFile(statusFile).find("Cell\t" + want) != std::string::npos; });
    };
    ASSERT_TRUE(state("idle")) << errors();

    sim->command("request P1234");
    ASSERT_TRUE(eventually([&] {
        const std::string text = readFile(statusFile);
        const size_t at = text.find("Cell\tsending P1234 ");
        return at != std::string::npos && std::atoi(text.c_str() + at + 19) > 0 &&
               text.find(" %\n", at) != std::string::npos;
    })) << readFile(statusFile);
    waitReport(dir.file("report"),
               [](const Report& r) { return num(r, "downloads_completed") == 1; });
    EXPECT_EQ(readFile(dir.file("received")), program(150));
    ASSERT_TRUE(state("idle")) << errors();

    sim->stop(SIGKILL);
    ASSERT_TRUE(state("waiting for the line")) << errors();
    EXPECT_NE(readFile(log).find("line lost (COM 7"), std::string::npos) << readFile(log);
    sim = startSim(control);
    EXPECT_TRUE(eventually([&] { return readFile(log).find("line is back") != std::string::npos; }))
        << readFile(log);
    ASSERT_TRUE(state("idle")) << errors();
    sim->command("request P1234");
    waitReport(dir.file("report"),
               [](const Report& r) { return num(r, "downloads_completed") == 1; });
    EXPECT_EQ(readFile(dir.file("received")), program(150));

    ASSERT_TRUE(state("idle")) << errors();
    writeFile(dir.file("O1234.nc"), program(150));
    sim->command("punch " + dir.file("O1234.nc"));
    ASSERT_TRUE(state("receiving")) << errors();
    waitReport(dir.file("report"), [](const Report& r) { return num(r, "upload_bytes") > 1000; });
    serve->signal(SIGTERM);
    EXPECT_EQ(serve->wait(), 0) << errors();
    EXPECT_TRUE(std::filesystem::is_empty(dir.file("cell-received")));
    EXPECT_NE(readFile(log).find("stopped"), std::string::npos);
}

// What earlier runs left is cleared up when serve starts, and said in the log:
// a killed run's temporary files are deleted, the program it had received but
// not saved is kept, its half-written hidden file in the received folder is
// deleted and a program it had received into its spool is saved. A stopped
// run leaves no temporary file. `receive` refuses a read-only target before
// anything is received.
TEST_F(DncTest, ServeClearsUpWhatEarlierRunsLeft) {
    struct Env {
        std::string name;
        std::string old;
        bool had;
        Env(std::string n, const std::string& value) : name(std::move(n)) {
            const char* v = std::getenv(name.c_str());
            had = v != nullptr;
            old = had ? v : "";
            setenv(name.c_str(), value.c_str(), 1);
        }
        ~Env() {
            if (had)
                setenv(name.c_str(), old.c_str(), 1);
            else
                unsetenv(name.c_str());
        }
    };
    std::filesystem::create_directories(dir.file("tmp"));
    Env tmpdir("TMPDIR", dir.file("tmp"));
    Env data("XDG_DATA_HOME", dir.file("data"));
    const pid_t ended = fork();
    if (ended == 0)
        _exit(0);
    waitpid(ended, nullptr, 0);
    const std::string id = std::to_string(ended);
    writeFile(dir.file("tmp/vor" + id + "-Abc123.vorltmp"), "prepared");
    writeFile(dir.file("tmp/upl" + id + "-Abc123.vorltmp"), "%\nO7000\nG1 X1\n");
    writeFile(dir.file("cell-received/.vorl" + id + "-Abc123.part"), "%\nO70");
    writeFile(dir.file("cell-received/.vorl-dnc-" + id + "-4.incoming"), "%\nO5555\nG1\n%\n");
    writeFile(dir.file("shop.dnc"), "[Cell]\nrequest_delay = 0\n");

    auto sim = startSim({"--upload-end", "^C"});
    auto serve = dnc({"serve"});
    const std::string statusFile = dir.file("shop.dnc-status");
    ASSERT_TRUE(eventually([&] {
        return readFile(statusFile).find("Cell\tidle") != std::string::npos;
    })) << errors();
    EXPECT_EQ(readFile(dir.file("cell-received/O5555.nc")), "%\nO5555\nG1\n%\n");
    std::vector<std::string> received;
    for (const auto& e : std::filesystem::directory_iterator(dir.file("cell-received")))
        received.push_back(e.path().filename().string());
    EXPECT_EQ(received, std::vector<std::string>{"O5555.nc"});
    std::vector<std::string> kept;
    for (const auto& e : std::filesystem::directory_iterator(dir.file("data/vorl/recovered")))
        kept.push_back(e.path().string());
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(readFile(kept[0]), "%\nO7000\nG1 X1\n");
    EXPECT_FALSE(std::filesystem::exists(dir.file("tmp/vor" + id + "-Abc123.vorltmp")));
    const std::string told = errors();
    EXPECT_NE(told.find("removed 1 temporary file(s)"), std::string::npos) << told;
    EXPECT_NE(told.find("is kept as " + kept[0]), std::string::npos) << told;
    EXPECT_NE(told.find("removed 1 partly written file(s)"), std::string::npos) << told;
    EXPECT_NE(told.find("kept " + std::filesystem::canonical(dir.file("cell-received")).string() +
                        "/O5555.nc"),
              std::string::npos)
        << told;

    // A program saved is no program to keep when the run is killed later.
    writeFile(dir.file("O1234.nc"), program(20));
    sim->command("punch " + dir.file("O1234.nc"));
    ASSERT_TRUE(eventually([&] {
        return std::filesystem::exists(dir.file("cell-received/O1234.nc")) &&
               readFile(statusFile).find("Cell\tidle") != std::string::npos;
    })) << errors();
    serve->signal(SIGKILL);
    serve->wait();
    std::filesystem::remove(statusFile);
    serve = dnc({"serve"});
    ASSERT_TRUE(eventually([&] {
        return readFile(statusFile).find("Cell\tidle") != std::string::npos;
    })) << errors();
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.file("data/vorl/recovered")),
                            std::filesystem::directory_iterator()),
              1);
    EXPECT_EQ(errors().find("kept"), std::string::npos) << errors();

    serve->signal(SIGTERM);
    EXPECT_EQ(serve->wait(), 0) << errors();
    EXPECT_TRUE(std::filesystem::is_empty(dir.file("tmp"))) << "a stopped run leaves nothing";

    writeFile(dir.file("O1000.nc"), "OLD\n");
    ASSERT_EQ(chmod(dir.file("O1000.nc").c_str(), 0444), 0);
    const long long uploads = num(report(), "uploads");
    EXPECT_EQ(run({"receive", "-m", "Mill 1", dir.file("O1000.nc")}), 3);
    EXPECT_NE(errors().find(dir.file("O1000.nc") + ": the file is read-only"), std::string::npos)
        << errors();
    EXPECT_EQ(num(report(), "uploads"), uploads) << "nothing was asked of the control";
}

// Run by systemd: a missing service file is one clear line and exit status 2
// (the unit does not restart on it); the status and the logs go to the
// folders the unit gives; a status that cannot be written is said once.
TEST_F(DncTest, ServeWritesWhereTheUnitSaysAndSaysWhatItCannotWrite) {
    EXPECT_EQ(run({"serve"}), 2);
    EXPECT_NE(errors().find("vorl-dnc: the service file " + dir.file("shop.dnc") +
                            " cannot be read: No such file or directory\n"),
              std::string::npos)
        << errors();

    writeFile(dir.file("shop.dnc"), "[service]\nretry_seconds = 0.2\n\n[Cell]\n");
    std::filesystem::create_directories(dir.file("run"));
    ::setenv("RUNTIME_DIRECTORY", dir.file("run").c_str(), 1);
    ::setenv("LOGS_DIRECTORY", dir.file("logs").c_str(), 1);
    auto serve = dnc({"serve"});
    ::unsetenv("RUNTIME_DIRECTORY");
    ::unsetenv("LOGS_DIRECTORY");
    EXPECT_TRUE(eventually([&] {
        return readFile(dir.file("run/status")).find("\nCell\t") != std::string::npos;
    })) << errors();
    EXPECT_TRUE(eventually([&] {
        return readFile(dir.file("logs/service.log")).find("serving 1") != std::string::npos;
    })) << errors();
    serve->signal(SIGTERM);
    EXPECT_EQ(serve->wait(), 0) << errors();
    EXPECT_FALSE(std::filesystem::exists(dir.file("shop.dnc-status")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("dnc-logs")));

    writeFile(dir.file("shop.dnc"), "[service]\nretry_seconds = 0.2\nstatus_file = " +
                                        dir.file("no/such/dir/status") + "\n\n[Cell]\n");
    serve = dnc({"serve"});
    // The line's state changes after the first write: the port is missing.
    EXPECT_TRUE(eventually([&] { return errors().find(" Cell: ") != std::string::npos; }))
        << errors();
    serve->signal(SIGTERM);
    EXPECT_EQ(serve->wait(), 0) << errors();
    const std::string said = errors();
    const size_t first = said.find("ERROR: the status file " + dir.file("no/such/dir/status") +
                                   " cannot be written: No such file or directory");
    EXPECT_NE(first, std::string::npos) << said;
    EXPECT_EQ(said.find("ERROR: the status file", first + 1), std::string::npos) << said;
}

// Ctrl-C acts as Reset: the port is closed and the control let go, the
// status is 130, and the line is free for the next run at once. A receive cut
// short leaves nothing under the target's name.
TEST_F(DncTest, CtrlCResetsTheTransfer) {
    auto sim = startSim({"--buffer", "2048", "--xoff-at", "1024", "--xon-at", "256", "--rate",
                         "500", "--program", dir.file("O1234.nc"), "--send-rate", "500",
                         "--ready-gap", "100", "--upload-end", "^C"});
    auto send = dnc({"send", "-m", "Mill 1", dir.file("O1234.nc")});
    Report r = waitReport(dir.file("report"),
                          [](const Report& r) { return num(r, "program_bytes") > 2000; });
    ASSERT_GT(num(r, "program_bytes"), 2000);
    send->signal(SIGINT);
    EXPECT_EQ(send->wait(5s), 130);
    EXPECT_NE(errors().find("interrupted"), std::string::npos) << errors();
    EXPECT_LT(readFile(dir.file("received")).size(), program(400).size());

    sim->command("reset"); // the control gives up the program it was reading
    auto receive = dnc({"receive", "-m", "Mill 1", dir.file("cut.nc")});
    r = waitReport(dir.file("report"),
                   [](const Report& r) { return num(r, "upload_bytes") > 500; });
    ASSERT_GT(num(r, "upload_bytes"), 500) << errors() << readFile(dir.file("report"));
    receive->signal(SIGTERM);
    EXPECT_EQ(receive->wait(5s), 130);
    EXPECT_FALSE(std::filesystem::exists(dir.file("cut.nc")));
}

// Two programs punched out in one burst are two programs, each answered once
// it is saved. A program the service cannot write (a disk that fills up: a
// file size limit fails the writes the same way) is not answered at all, so
// the control still holds it, and the failure is logged; the line serves on.
TEST_F(DncTest, ServeAnswersOnlyProgramsSavedEachOfABurst) {
    writeFile(dir.file("shop.dnc"), "[Cell]\nrequest_delay = 0\nend_silence = 5\n");
    auto sim = startSim({"--upload-end", "^C", "--ready-gap", "0", "--send-rate", "0", "--capture",
                         dir.file("capture")});
    const std::string statusFile = dir.file("shop.dnc-status");
    auto listening = [&] {
        return eventually(
            [&] { return readFile(statusFile).find("Cell\tidle") != std::string::npos; });
    };
    const std::string log = dir.file("dnc-logs/Cell.log");
    auto answers = [&] {
        const std::string got = readFile(dir.file("capture"));
        return std::count(got.begin(), got.end(), '\x06');
    };
    {
        auto serve = dnc({"serve"});
        ASSERT_TRUE(listening()) << errors();
        const std::string first = "%\nO101 (FIRST)\nG00 X1.\nM30\n%\n";
        const std::string second = "%\nO102 (SECOND)\nG00 X2.\nM30\n%\n";
        writeFile(dir.file("burst.nc"), first + "\x03" + second);
        sim->command("punch " + dir.file("burst.nc"));
        EXPECT_TRUE(eventually([&] { return answers() == 2; })) << readFile(log);
        EXPECT_EQ(readFile(dir.file("cell-received/O101.nc")), first);
        EXPECT_EQ(readFile(dir.file("cell-received/O102.nc")), second);
        serve->signal(SIGTERM);
        EXPECT_EQ(serve->wait(), 0) << errors();
    }

    rlimit old{};
    ::getrlimit(RLIMIT_FSIZE, &old);
    rlimit small = old;
    small.rlim_cur = 4096;
    ::setrlimit(RLIMIT_FSIZE, &small);
    auto serve = dnc({"serve"});
    ::setrlimit(RLIMIT_FSIZE, &old);
    ASSERT_TRUE(listening()) << errors();          // the first service left the line stopped
    writeFile(dir.file("O1234.nc"), program(200)); // larger than the limit
    sim->command("punch " + dir.file("O1234.nc"));
    EXPECT_TRUE(eventually([&] { return readFile(log).find("NOT SAVED") != std::string::npos; }))
        << readFile(log);
    EXPECT_FALSE(std::filesystem::exists(dir.file("cell-received/O1234.nc")));
    ASSERT_TRUE(listening()) << errors();
    writeFile(dir.file("O5.nc"), program(2));
    sim->command("punch " + dir.file("O5.nc"));
    EXPECT_TRUE(eventually([&] { return answers() == 3; })) << readFile(log);
    EXPECT_EQ(readFile(dir.file("cell-received/O1234.nc")), program(2))
        << readFile(log) << readFile(dir.file("report")) << readFile(dir.file("sim.stderr"));
    EXPECT_EQ(answers(), 3); // none for the program that was not saved
}

// A line whose port has never opened says so, not that it was lost. A request
// whose control never answers is given up after answer_timeout and the line
// serves on. The status file is rewritten now and then while nothing changes.
TEST_F(DncTest, ServeGivesUpOnAControlThatNeverAnswers) {
    writeFile(dir.file("shop.dnc"), "[service]\nretry_seconds = 0.3\nheartbeat_seconds = 0.2\n\n"
                                    "[Cell]\nrequest_delay = 0\nanswer_timeout = 1\n");
    writeFile(dir.file("cell-programs/P1234.nc"), program(20));
    port = dir.file("com7");
    auto serve = dnc({"serve"});
    const std::string log = dir.file("dnc-logs/Cell.log");
    ASSERT_TRUE(eventually([&] {
        return readFile(log).find("cannot open the line (COM 7") != std::string::npos;
    })) << readFile(log);
    const std::string statusFile = dir.file("shop.dnc-status");
    const std::string before = readFile(statusFile);
    EXPECT_TRUE(eventually([&] { return readFile(statusFile) != before; }));

    auto sim = startSim({"--manual-answers", "--upload-end", "^C", "--ready-gap", "0",
                         "--send-rate", "0", "--link", dir.file("com7")});
    EXPECT_TRUE(eventually([&] { return readFile(log).find("line opened") != std::string::npos; }))
        << readFile(log);
    auto state = [&](const std::string& want) {
        return eventually(
            [&] { return readFile(statusFile).find("Cell\t" + want) != std::string::npos; });
    };
    ASSERT_TRUE(state("idle")) << errors();
    sim->command("request P1234");
    ASSERT_TRUE(state("sending P1234")) << readFile(log);
    EXPECT_TRUE(eventually([&] {
        return readFile(log).find("did not answer within 1 s") != std::string::npos;
    })) << readFile(log);
    ASSERT_TRUE(state("idle")) << readFile(log);

    sim->command("reset");
    writeFile(dir.file("O1234.nc"), program(5));
    sim->command("punch " + dir.file("O1234.nc"));
    EXPECT_TRUE(eventually([&] {
        return readFile(dir.file("cell-received/O1234.nc")) == program(5);
    })) << readFile(log);
    EXPECT_EQ(readFile(log).find("line lost"), std::string::npos) << readFile(log);
}

// Bytes from the control reach the log escaped and cut: a name with a line
// break forges no log line, and a name of 400 KB does not rotate the log away.
TEST_F(DncTest, ServeLogsNamesFromTheControlSafely) {
    writeFile(dir.file("shop.dnc"), "[Cell]\nrequest_delay = 0\nrequest_pattern = "
                                    "\\(REQ=([^)]*)\\)\n");
    auto sim =
        startSim({"--upload-end", "^C", "--ready-gap", "0", "--send-rate", "0", "--request-program",
                  "%^JO9999 (REQ={name}^J2000-01-01 00:00:00 Cell: FORGED)^JM30^J%^J"});
    auto serve = dnc({"serve"});
    const std::string statusFile = dir.file("shop.dnc-status");
    const std::string log = dir.file("dnc-logs/Cell.log");
    auto listening = [&] {
        return eventually(
            [&] { return readFile(statusFile).find("Cell\tidle") != std::string::npos; });
    };
    ASSERT_TRUE(listening()) << errors();
    sim->command("request P1");
    waitReport(dir.file("report"),
               [](const Report& r) { return num(r, "downloads_completed") == 1; });
    EXPECT_NE(readFile(log).find("P1\\x0a2000-01-01"), std::string::npos) << readFile(log);
    EXPECT_EQ(readFile(log).find("\n2000-01-01"), std::string::npos) << readFile(log);

    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(listening()) << errors();
        writeFile(dir.file("long.nc"), "%\nO9999 (REQ=" + std::string(400000, 'A') + ")\nM30\n%\n");
        sim->command("punch " + dir.file("long.nc"));
        waitReport(dir.file("report"),
                   [&](const Report& r) { return num(r, "downloads_completed") == 2 + i; });
    }
    EXPECT_LT(readFile(log).size(), 4000u) << readFile(log).size();
    EXPECT_NE(readFile(log).find("... (400000 bytes)"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(log + ".1"));
}

} // namespace
} // namespace vorl::test

namespace vorl::test {
namespace {

// diff's exit status and output as diff's own, for scripts that already use
// diff; the options make a renumbered program the same.
TEST_F(DncTest, DiffComparesAsDiffDoes) {
    std::string renumbered = program(400);
    for (size_t at = 0; (at = renumbered.find("\nN", at)) != std::string::npos; ++at) {
        renumbered.insert(at + 2, "9");
    }
    writeFile(dir.file("renumbered.nc"), renumbered);
    std::string edited = program(400);
    edited.replace(edited.find("X7.5"), 4, "X7.4");
    writeFile(dir.file("edited.nc"), edited);

    auto same = dnc({"diff", dir.file("O1234.nc"), dir.file("O1234.nc")});
    EXPECT_EQ(same->wait(), 0);
    EXPECT_EQ(same->output, "");
    auto differ = dnc({"diff", dir.file("O1234.nc"), dir.file("edited.nc")});
    EXPECT_EQ(differ->wait(), 1);
    EXPECT_NE(differ->output.find("\n-N70 G01 X7.5 Y-7. F200\n+N70 G01 X7.4 Y-7. F200\n"),
              std::string::npos)
        << differ->output;
    EXPECT_EQ(run({"diff", dir.file("O1234.nc"), dir.file("renumbered.nc")}), 1);
    EXPECT_EQ(run({"diff", "--ignore-numbers", dir.file("O1234.nc"), dir.file("renumbered.nc")}),
              0);
    EXPECT_EQ(run({"diff", dir.file("O1234.nc"), dir.file("missing.nc")}), 2);
    EXPECT_NE(errors().find("missing.nc"), std::string::npos) << errors();
    EXPECT_EQ(run({"diff", "--ignore-numbers", dir.file("O1234.nc")}), 2);
}

// info prints what a program will do, read as the window's toolpath reads
// it; --json gives the same numbers to scripts.
TEST_F(DncTest, InfoPrintsWhatTheProgramWillDo) {
    writeFile(dir.file("pocket.nc"), "G21 G17 G90 G94 G54\nT1 M06\nS1000 M03\nG00 X0 Y0 Z5.\n"
                                     "G01 Z-1. F100.\nX30.\nY40.\n#1=2.\nX0\n");
    auto info = dnc({"info", dir.file("pocket.nc")});
    EXPECT_EQ(info->wait(), 0);
    for (const char* line :
         {"Extents:  X 0 to 30, Y 0 to 40, Z -1 to 5 mm\n", "Feed:     3 moves (0 arcs), 76 mm\n",
          "Run time: about 0:00:46 (", "Tools:    T1 (block 2)\n",
          "Path unknown from block 8: macro variable\n"}) {
        EXPECT_NE(info->output.find(line), std::string::npos) << line << info->output;
    }
    auto json = dnc({"info", "--json", dir.file("pocket.nc")});
    EXPECT_EQ(json->wait(), 0);
    EXPECT_NE(json->output.find("\"unknownFrom\":8,\"unknownWhy\":\"macro variable\""),
              std::string::npos)
        << json->output;
    EXPECT_EQ(run({"info", dir.file("missing.nc")}), 3);
    EXPECT_EQ(run({"info", "--block", "3", dir.file("pocket.nc")}), 2);
    EXPECT_EQ(run({"diff", "--json", dir.file("pocket.nc"), dir.file("pocket.nc")}), 2);
}

// The history of a program as recorded beside the machine file, or where the
// history's settings put it.
TEST_F(DncTest, HistoryListsVersionsAndTransfers) {
    history::HistoryRepository repo(dir.file("shop.history.git"));
    history::TransferEvent e;
    e.program = "O1234.nc";
    e.machine = "Mill 1";
    e.port = "COM7";
    ASSERT_TRUE(repo.Record(e, program(10)).ok);
    e.direction = history::Direction::Received;
    std::string edited = program(10);
    edited.replace(edited.find("F200"), 4, "F150");
    ASSERT_TRUE(repo.Record(e, edited).ok);

    auto list = dnc({"history", dir.file("O1234.nc")});
    EXPECT_EQ(list->wait(), 0) << errors();
    const std::string& out = list->output;
    const size_t received = out.find("received from Mill 1 on COM7");
    const size_t sent = out.find("sent to Mill 1 on COM7");
    EXPECT_NE(received, std::string::npos) << out;
    EXPECT_LT(received, sent) << out;
    EXPECT_NE(out.find("changed at the control: 1 block against version"), std::string::npos)
        << out;

    writeFile(dir.file("shop.history"), "repository = elsewhere.git\n");
    auto moved = dnc({"history", "O1234.nc"});
    EXPECT_EQ(moved->wait(), 0);
    EXPECT_EQ(moved->output, "");
    EXPECT_NE(errors().find("elsewhere.git"), std::string::npos) << errors();
    writeFile(dir.file("shop.history"), "repository\n");
    EXPECT_EQ(run({"history", "O1234.nc"}), 2);
}

// A program sent and the same program punched back edited: both in the
// history, the second tied to the first, readable with git.
TEST_F(DncTest, TransfersAreRecordedInTheHistory) {
    std::string edited = program(400);
    edited.replace(edited.find("N70 G01 X7.5 Y-7. F200"), 22, "N70 G01 X7.5 Y-7. F150");
    writeFile(dir.file("edited.nc"), edited);
    auto sim = startSim({"--program", dir.file("edited.nc"), "--send-rate", "0", "--ready-gap",
                         "100", "--upload-end", "^C"});
    ASSERT_EQ(run({"send", "-m", "mill 1", dir.file("O1234.nc")}), 0) << errors();
    std::filesystem::create_directories(dir.file("back"));
    ASSERT_EQ(run({"receive", "-m", "mill 1", dir.file("back/O1234.nc")}), 0) << errors();
    EXPECT_EQ(errors().find("history"), std::string::npos) << errors();

    const std::string repo = dir.file("shop.history.git");
    EXPECT_EQ(Git(repo, "show main~1:programs/O1234.nc"), program(400));
    EXPECT_EQ(Git(repo, "show main:programs/O1234.nc"), edited);
    const std::string sent = Git(repo, "rev-parse main~1:programs/O1234.nc");
    const std::string trailers = Git(repo, "log -1 '--format=%(trailers)' main");
    for (const std::string& t :
         std::vector<std::string>{"Direction: received\n", "Machine: Mill 1\n", "Port: COM 7 (",
                                  "File: " + dir.file("back/O1234.nc") + "\n",
                                  "Sent-Version: " + sent, "Control-Changed-Blocks: 1\n"}) {
        EXPECT_NE(trailers.find(t), std::string::npos) << t << " in\n" << trailers;
    }
    EXPECT_NE(Git(repo, "log -1 '--format=%(trailers)' main~1").find("Direction: sent\n"),
              std::string::npos);
    int status = -1;
    Git(repo, "fsck --strict", &status);
    EXPECT_EQ(status, 0);
}

// A served control punches out a program it was sent, edited: the service
// says what changed at the control. The answer to an unknown request is no
// program and is not recorded.
TEST_F(DncTest, ServeLogsWhatChangedAtTheControl) {
    writeFile(dir.file("shop.dnc"), "[service]\nretry_seconds = 1\n\n"
                                    "[Cell]\nrequest_delay = 0\nend_silence = 0.5\n");
    writeFile(dir.file("cell-programs/O1234.nc"), program(40));
    // The control's End string ends the last block again.
    std::string edited = program(40);
    edited.pop_back();
    for (const char* feed : {"X3.5 Y-3. F200", "X4.5 Y-4. F200", "X5.5 Y-5. F200"}) {
        edited.replace(edited.find(feed), 14, std::string(feed, 10) + "F180");
    }
    writeFile(dir.file("edited.nc"), edited);
    auto sim = startSim({"--upload-end", "^C", "--ready-gap", "100", "--send-rate", "0"});
    auto serve = dnc({"serve"});
    auto listening = [&] {
        return eventually([&] {
            return readFile(dir.file("shop.dnc-status")).find("Cell\tidle") != std::string::npos;
        });
    };
    ASSERT_TRUE(listening()) << errors();
    sim->command("request O1234");
    waitReport(dir.file("report"),
               [](const Report& r) { return num(r, "downloads_completed") == 1; });
    ASSERT_TRUE(listening()) << errors();
    sim->command("request O777");
    waitReport(dir.file("report"),
               [](const Report& r) { return num(r, "downloads_completed") == 2; });
    ASSERT_TRUE(listening()) << errors();
    sim->command("punch " + dir.file("edited.nc"));
    const std::string log = dir.file("dnc-logs/Cell.log");
    EXPECT_TRUE(eventually([&] {
        return readFile(log).find("O1234 changed at the control: 3 blocks\n") != std::string::npos;
    })) << readFile(log);
    serve->signal(SIGTERM);
    EXPECT_EQ(serve->wait(), 0) << errors();
    const std::string repo = dir.file("shop.history.git");
    EXPECT_EQ(Git(repo, "log --format=%s main"),
              "O1234.nc received from Cell\nO1234.nc sent to Cell\n");
}

// A history on a full disk: the program is received and saved exactly as
// without one, and the failure is said once however many programs come.
TEST_F(DncTest, AFullHistoryDiskNeverCostsAProgram) {
    const std::string full = dir.file("full");
    std::filesystem::create_directories(full);
    // A file system of its own, full, in a mount namespace of the service's.
    const std::string mountFull = "mount -t tmpfs -o size=64k none '" + full +
                                  "' && (cat /dev/zero > '" + full +
                                  "/fill' 2>/dev/null; true) && exec \"$0\" \"$@\"";
    if (std::system("unshare -rm true 2>/dev/null") != 0) {
        GTEST_SKIP() << "no mount namespace to fill a disk in";
    }
    writeFile(dir.file("shop.history"), "repository = full/history.git\n");
    writeFile(dir.file("shop.dnc"), "[service]\nretry_seconds = 1\n\n"
                                    "[Cell]\nrequest_delay = 0\nend_silence = 0.5\n");
    auto sim = startSim({"--upload-end", "^C", "--ready-gap", "100", "--send-rate", "0"});
    Dnc serve({"serve", "-c", config}, dir.file("dnc.stderr"), port,
              {"unshare", "-rm", "sh", "-c", mountFull});
    auto listening = [&] {
        return eventually([&] {
            return readFile(dir.file("shop.dnc-status")).find("Cell\tidle") != std::string::npos;
        });
    };
    writeFile(dir.file("O1234.nc"), program(400));
    for (const char* saved : {"cell-received/O1234.nc", "cell-received/O1234_1.nc"}) {
        ASSERT_TRUE(listening()) << errors();
        sim->command("punch " + dir.file("O1234.nc"));
        EXPECT_TRUE(eventually([&] { return std::filesystem::exists(dir.file(saved)); }))
            << errors();
        EXPECT_EQ(readFile(dir.file(saved)), program(400));
    }
    ASSERT_TRUE(listening()) << errors();
    serve.signal(SIGTERM);
    EXPECT_EQ(serve.wait(), 0) << errors();
    const std::string log = readFile(dir.file("dnc-logs/service.log"));
    const size_t first = log.find("cannot be written");
    EXPECT_NE(first, std::string::npos) << log << errors();
    EXPECT_EQ(log.find("cannot be written", first + 1), std::string::npos) << log;
}

} // namespace
} // namespace vorl::test
