// Eight machine tools served by one `vorl-dnc serve`, each control on its own
// pty requesting programs (some of them missing) and punching programs out in
// random order, some of them right behind the answer to a download in the
// same write: every program arrives byte for byte, nothing is lost, every
// request is answered without waiting for the silence, and one control that
// vanishes halfway and comes back goes unnoticed by the other seven.
// VORL_DNC_STRESS_SECONDS sets how long the controls work (8 s in the suite;
// 60 for the full run).
//
// The time from a request to the first byte of its answer is measured by the
// controls; the bound here is generous, as the suite loads the machine: its
// target (100 ms) is measured by bench_dnc_serve. Missing the request's End
// string would cost the whole end silence (2 s).
#include "dnc_process.h"
#include "machines/config_file.h"
#include "sim_process.h"
#include "sim_triggers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace vorl::test {
namespace {

namespace fs = std::filesystem;
using sim::test::num;
using sim::test::readFile;
using sim::test::Report;
using sim::test::SimProcess;
using sim::test::TempDir;
using sim::test::text;
using sim::test::waitReport;
using sim::test::writeFile;

constexpr int kLines = 8;
constexpr int kStoredPrograms = 4;
constexpr long long kAnswerBoundMs = 1500;

// A program numbered `number` of `blocks` blocks, its text told apart by `tag`.
std::string program(const std::string& number, const std::string& tag, int blocks) {
    std::string out = "%\n" + number + " (" + tag + ")\n";
    for (int i = 1; i <= blocks; ++i) {
        out += "N" + std::to_string(i * 10) + " G01 X" + std::to_string(i % 113) + ".25 Y-" +
               std::to_string(i % 71) + ". F" + std::to_string(100 + i % 900) + "\n";
    }
    return out + "M30\n%\n";
}

class DncStress : public ::testing::Test {
protected:
    DncStress() {
        MachineList machines;
        machines[0].capability = 'T';
        std::string ports;
        std::string service = "[service]\nretry_seconds = 0.5\n";
        for (int i = 1; i <= kLines; ++i) {
            MachineConfig& m = machines[i];
            m.name = "Cell " + std::to_string(i);
            m.capability = 'B';
            m.port = 10 + i;
            m.baudRate = 115200;
            m.dataBits = 8;
            m.stopBits = 1;
            m.eobMode = 2;   // LF
            m.handshake = 1; // Xon/Xoff: the block sender
            m.downloadExtension = ".nc";
            m.uploadExtension = ".nc";
            vorl::test::UseSimTriggers(m);
            m.triggers[UploadStart].clear(); // the controls punch out unasked
            m.downloadDirectory = dir.file("programs" + std::to_string(i));
            m.uploadDirectory = dir.file("received" + std::to_string(i));
            fs::create_directories(m.downloadDirectory);
            fs::create_directories(m.uploadDirectory);
            ports += "COM" + std::to_string(m.port) + "=" + link(i) + "\n";
            service += "\n[" + m.name + "]\nrequest_delay = 0\n";
        }
        machines.count = kLines + 1;
        EXPECT_EQ(WriteConfiguration(dir.file("shop.vorlcfg"), machines), kLines + 1);
        writeFile(dir.file("shop.ports"), ports);
        writeFile(dir.file("shop.dnc"), service);
    }

    std::string link(int line) const { return dir.file("com" + std::to_string(line)); }
    std::string file(int line, const std::string& name) const {
        return dir.file(name + std::to_string(line));
    }

    std::unique_ptr<SimProcess> startControl(int line) {
        const std::vector<std::string> args = {"--download-start", "^R",
                                               "--download-ready", "^Q",
                                               "--download-stop",  "^T",
                                               "--download-end",   "^F",
                                               "--upload-ready",   "^B",
                                               "--upload-stop",    "^F",
                                               "--upload-end",     "^C",
                                               "--ready-gap",      "0",
                                               "--send-rate",      "0",
                                               "--link",           link(line),
                                               "--report",         file(line, "report"),
                                               "--received",       file(line, "got"),
                                               "--quiet"};
        return std::make_unique<SimProcess>(args, file(line, "sim.stderr"));
    }

    bool statusShows(int line, const std::string& state) {
        return eventually([&] {
            return readFile(dir.file("shop.dnc-status"))
                       .find("Cell " + std::to_string(line) + "\t" + state + "\n") !=
                   std::string::npos;
        });
    }

    TempDir dir;
};

TEST_F(DncStress, EightLinesServeRequestsAndPunchedProgramsAtRandom) {
    const char* env = std::getenv("VORL_DNC_STRESS_SECONDS");
    const double seconds = env != nullptr ? std::atof(env) : 8.0;
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));

    std::vector<std::unique_ptr<SimProcess>> controls;
    for (int i = 1; i <= kLines; ++i) {
        controls.push_back(startControl(i));
    }
    Dnc serve({"serve", "-c", dir.file("shop.vorlcfg")}, dir.file("dnc.stderr"), "/nonexistent");
    for (int i = 1; i <= kLines; ++i) {
        ASSERT_TRUE(statusShows(i, "idle")) << readFile(dir.file("dnc.stderr"));
    }

    const auto until = Clock::now() + std::chrono::duration<double>(seconds);
    const auto halfway = Clock::now() + std::chrono::duration<double>(seconds / 2);
    std::vector<std::map<std::string, std::string>> expected(kLines + 1); // saved files
    std::vector<int> operations(kLines + 1);
    std::vector<std::thread> threads;
    for (int line = 1; line <= kLines; ++line) {
        threads.emplace_back([&, line] {
            std::mt19937 random(seed + static_cast<unsigned>(line));
            std::vector<std::string> stored;
            for (int k = 1; k <= kStoredPrograms; ++k) {
                stored.push_back(program("O" + std::to_string(line * 100 + k),
                                         "CELL " + std::to_string(line) + " STORED",
                                         std::uniform_int_distribution<>(5, 400)(random)));
                writeFile(file(line, "programs") + "/P" + std::to_string(k) + ".nc", stored.back());
            }
            const std::string report = file(line, "report");
            long long downloads = 0;
            long long uploads = 0;
            bool vanished = false;
            while (Clock::now() < until && !::testing::Test::HasFailure()) {
                if (line == 1 && !vanished && Clock::now() >= halfway) {
                    vanished = true;
                    controls[0]->stop(SIGKILL);
                    EXPECT_TRUE(statusShows(1, "waiting for the line"));
                    controls[0] = startControl(1);
                    downloads = uploads = 0; // a new control counts from nothing
                    EXPECT_TRUE(statusShows(1, "idle"));
                    continue;
                }
                const int choice = std::uniform_int_distribution<>(0, 11)(random);
                std::string want;
                // A program punched out right behind the answer to this
                // request's download, in the same write.
                std::string behind;
                if (choice >= 10) {
                    const std::string number = "O" + std::to_string(line * 1000 + operations[line]);
                    behind = program(number, "CELL " + std::to_string(line) + " BEHIND",
                                     std::uniform_int_distribution<>(1, 50)(random));
                    writeFile(file(line, "behind"), behind);
                    controls[line - 1]->command("punch-behind-answer " + file(line, "behind"));
                    expected[line][number + ".nc"] = behind;
                }
                if (choice < 4 || choice >= 10) {
                    const int k = std::uniform_int_distribution<>(1, kStoredPrograms)(random);
                    controls[line - 1]->command("request P" + std::to_string(k));
                    want = stored[static_cast<size_t>(k - 1)];
                } else if (choice < 6) {
                    const std::string name = "P9" + std::to_string(operations[line]);
                    controls[line - 1]->command("request " + name);
                    want = "%\nO9999 (NOT FOUND " + name + ")\nM30\n%\n";
                } else {
                    const std::string number = "O" + std::to_string(line * 1000 + operations[line]);
                    const std::string punched =
                        program(number, "CELL " + std::to_string(line) + " PUNCHED",
                                std::uniform_int_distribution<>(1, 300)(random));
                    const std::string path = file(line, "punch");
                    writeFile(path, punched);
                    controls[line - 1]->command("punch " + path);
                    // The control is done once the service has answered its End string.
                    const Report r = waitReport(report, [&](const Report& r) {
                        return num(r, "upload_stop_seen") == uploads + 1 &&
                               text(r, "state") == "idle";
                    });
                    EXPECT_EQ(num(r, "upload_stop_seen"), uploads + 1) << "line " << line;
                    ++uploads;
                    expected[line][number + ".nc"] = punched;
                    ++operations[line];
                    continue;
                }
                const Report r = waitReport(report, [&](const Report& r) {
                    return num(r, "downloads_completed") == downloads + 1;
                });
                EXPECT_EQ(num(r, "downloads_completed"), downloads + 1)
                    << "line " << line << "\n"
                    << readFile(report) << readFile(dir.file("shop.dnc-status"));
                EXPECT_TRUE(readFile(file(line, "got")) == want) << "line " << line;
                ++downloads;
                ++uploads; // the request went out as an upload too
                ++operations[line];
                if (!behind.empty()) {
                    const Report b = waitReport(report, [&](const Report& r) {
                        return num(r, "upload_stop_seen") == uploads + 1 &&
                               text(r, "state") == "idle";
                    });
                    EXPECT_EQ(num(b, "upload_stop_seen"), uploads + 1) << "line " << line;
                    ++uploads;
                }
            }
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    ASSERT_FALSE(HasFailure()) << readFile(dir.file("dnc.stderr"));

    // Every program punched out is saved under its number, exactly, and
    // nothing else is left in the machine's directory.
    for (int line = 1; line <= kLines; ++line) {
        SCOPED_TRACE("line " + std::to_string(line));
        EXPECT_GT(operations[line], 0);
        const std::string directory = file(line, "received");
        EXPECT_TRUE(eventually([&] {
            return static_cast<size_t>(std::distance(fs::directory_iterator(directory),
                                                     fs::directory_iterator())) ==
                   expected[line].size();
        })) << readFile(dir.file("dnc.stderr"));
        for (const auto& [name, content] : expected[line]) {
            EXPECT_TRUE(readFile(directory + "/" + name) == content) << name;
        }
        const std::string log =
            readFile(dir.file("dnc-logs/Cell " + std::to_string(line) + ".log"));
        // Only programs were received: the controls' answers were taken by
        // the transfers they answered.
        EXPECT_EQ(log.find("ended by silence"), std::string::npos) << log;
        const Report r = sim::test::readReport(file(line, "report"));
        EXPECT_LT(num(r, "request_answer_ms_max"), kAnswerBoundMs) << log;
        RecordProperty("line " + std::to_string(line) + " longest answer ms",
                       static_cast<int>(num(r, "request_answer_ms_max")));
        if (line == 1) {
            EXPECT_NE(log.find("line lost"), std::string::npos);
            EXPECT_NE(log.find("line is back"), std::string::npos);
        } else {
            EXPECT_EQ(log.find("line lost"), std::string::npos) << log;
            EXPECT_EQ(log.find("failed"), std::string::npos) << log;
        }
    }
    int total = 0;
    for (const int n : operations) {
        total += n;
    }
    RecordProperty("operations", total);
    serve.signal(SIGTERM);
    EXPECT_EQ(serve.wait(), 0) << readFile(dir.file("dnc.stderr"));

    // The lines recorded at once: every program punched out is in the
    // history as it was saved, and git finds the repository whole.
    const std::string repo = dir.file("shop.history.git");
    for (int line = 1; line <= kLines; ++line) {
        for (const auto& [name, content] : expected[line]) {
            EXPECT_TRUE(Git(repo, "show main:programs/" + name) == content) << name;
        }
    }
    int status = -1;
    EXPECT_EQ(Git(repo, "fsck --strict", &status), "");
    EXPECT_EQ(status, 0);
}

} // namespace
} // namespace vorl::test
