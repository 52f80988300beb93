// The history's repository read back with the git command, as any outside
// reader (a shop's git server, an auditor) reads it: versions, events and
// their trailers, and a repository git's own check finds whole after
// concurrent records, a killed record and a damaged name.
#include "history/history_recorder.h"
#include "history/history_repository.h"

#include "temp_dir.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <thread>

namespace vorl::history {
namespace {

class HistoryRepositoryTest : public ::testing::Test {
protected:
    std::string git(const std::string& args) {
        int status = -1;
        const std::string out = test::CommandOutput("git -C '" + repoPath + "' " + args, &status);
        EXPECT_EQ(status, 0) << args << "\n" << out;
        return out;
    }
    size_t lines(const std::string& s) { return std::count(s.begin(), s.end(), '\n'); }
    void expectFsckClean() {
        int status = -1;
        const std::string out =
            test::CommandOutput("git -C '" + repoPath + "' fsck --strict --no-dangling", &status);
        EXPECT_EQ(status, 0) << out;
    }
    TransferEvent event(const std::string& program, const std::string& machine, Direction d) {
        TransferEvent e;
        e.program = program;
        e.file = dir.file(program);
        e.machine = machine;
        e.port = "COM1 (/dev/ttyS0)";
        e.direction = d;
        return e;
    }

    test::TempDir dir;
    std::string repoPath = dir.file("shop.history.git");
    HistoryRepository repo{repoPath};
};

const std::string kSent = "%\nO1234\nN10 G0 X0\nN20 G1 X50. F400\nN30 M30\n%\n";
const std::string kEdited = "%\nO1234\nN10 G0 X0\nN20 G1 X50. F350\nN30 M30\n%\n";

TEST_F(HistoryRepositoryTest, AVersionOnlyWhenTheBytesDifferAndAnEventEveryTime) {
    const RecordResult first = repo.Record(event("O1234.nc", "Mill 1", Direction::Sent), kSent);
    ASSERT_TRUE(first.ok) << first.error;
    EXPECT_TRUE(first.newVersion);
    const RecordResult again = repo.Record(event("O1234.nc", "Mill 1", Direction::Sent), kSent);
    ASSERT_TRUE(again.ok) << again.error;
    EXPECT_FALSE(again.newVersion);
    EXPECT_EQ(again.version, first.version);

    EXPECT_EQ(lines(git("log --format=%H main")), 2u);
    EXPECT_EQ(lines(git("log --format=%H main -- programs/O1234.nc")), 1u);
    EXPECT_EQ(git("show main:programs/O1234.nc"), kSent);
    EXPECT_EQ(git("rev-parse main:programs/O1234.nc"), first.version + "\n");
    const std::string trailers = git("log -1 '--format=%(trailers)' main");
    for (const std::string& t :
         std::vector<std::string>{"Program: O1234.nc", "Machine: Mill 1", "Port: COM1 (/dev/ttyS0)",
                                  "Direction: sent", "Size: " + std::to_string(kSent.size()),
                                  "Version: " + first.version, "New-Version: no"}) {
        EXPECT_NE(trailers.find(t + "\n"), std::string::npos) << t << " in\n" << trailers;
    }
    EXPECT_NE(trailers.find("Time: 20"), std::string::npos) << trailers;
    expectFsckClean();
}

TEST_F(HistoryRepositoryTest, AReceivedProgramNamesTheVersionSentToThatMachine) {
    const RecordResult sent = repo.Record(event("O1234.nc", "Mill 1", Direction::Sent), kSent);
    ASSERT_TRUE(sent.ok) << sent.error;
    // The same name went to another machine since: it is not what Mill 1 has.
    ASSERT_TRUE(repo.Record(event("O1234.nc", "Lathe 2", Direction::Sent), kSent + "M2\n").ok);
    const RecordResult back =
        repo.Record(event("O1234.nc", "Mill 1", Direction::Received), kEdited);
    ASSERT_TRUE(back.ok) << back.error;
    EXPECT_EQ(back.sentVersion, sent.version);
    EXPECT_EQ(back.controlChangedBlocks, 1u);
    const std::string trailers = git("log -1 '--format=%(trailers)' main");
    EXPECT_NE(trailers.find("Sent-Version: " + sent.version + "\n"), std::string::npos);
    EXPECT_NE(trailers.find("Control-Changed-Blocks: 1\n"), std::string::npos);
    EXPECT_NE(trailers.find("Direction: received\n"), std::string::npos);

    // Nothing was sent to this machine under this name: nothing to tie to.
    const RecordResult other =
        repo.Record(event("O1234.nc", "Mill 3", Direction::Received), kEdited);
    ASSERT_TRUE(other.ok);
    EXPECT_TRUE(other.sentVersion.empty());

    std::vector<HistoryEntry> entries;
    std::string error;
    ASSERT_TRUE(repo.List("O1234.nc", entries, error)) << error;
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(entries[1].machine, "Mill 1");
    EXPECT_EQ(entries[1].direction, "received");
    EXPECT_EQ(entries[1].sentVersion, sent.version);
    EXPECT_EQ(entries[3].direction, "sent");
    std::string bytes;
    ASSERT_TRUE(repo.ReadVersion(entries[3].version, bytes, error)) << error;
    EXPECT_EQ(bytes, kSent);
    expectFsckClean();
}

TEST_F(HistoryRepositoryTest, NamesFromAMachineStayInsideTheProgramsPlace) {
    for (const std::string& name :
         std::vector<std::string>{"../../escape.nc", "/etc/passwd", "..", ".git", "a\\b", "O12\n34",
                                  "", "programs/../../x"}) {
        TransferEvent e = event(name, "Mill\n1: Evil", Direction::Received);
        const RecordResult r = repo.Record(e, "G0 X0\n" + name + "\n");
        ASSERT_TRUE(r.ok) << name << ": " << r.error;
    }
    const std::string files = git("ls-tree -r --name-only main");
    for (size_t at = 0; at < files.size();) {
        const std::string f = files.substr(at, files.find('\n', at) - at);
        at += f.size() + 1;
        EXPECT_EQ(f.rfind("programs/", 0), 0u) << f;
        EXPECT_EQ(f.find('/', 9), std::string::npos) << f;
        EXPECT_NE(f.substr(9, 1), ".") << f;
    }
    EXPECT_EQ(lines(files), 8u);
    EXPECT_FALSE(std::filesystem::exists(dir.file("escape.nc")));
    // A newline in a machine's name cannot forge a trailer.
    const std::string machine = git("log -1 '--format=%(trailers:key=Machine)' main");
    EXPECT_EQ(machine.rfind("Machine: Mill 1: Evil\n", 0), 0u) << machine;
    EXPECT_EQ(machine.find("Machine", 1), std::string::npos) << machine;
    expectFsckClean();
}

TEST_F(HistoryRepositoryTest, RecordsFromManyThreadsAreAllKept) {
    constexpr int kThreads = 4;
    constexpr int kEach = 10;
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            // One repository object per line, as each served line has.
            HistoryRepository own(repoPath);
            for (int i = 0; i < kEach; ++i) {
                const std::string name = "O" + std::to_string(t) + ".nc";
                const RecordResult r =
                    own.Record(event(name, "Mill " + std::to_string(t), Direction::Received),
                               "N1 X" + std::to_string(i) + "\n");
                failures += r.ok ? 0 : 1;
            }
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(lines(git("log --format=%H main")), size_t{kThreads * kEach});
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(git("show main:programs/O" + std::to_string(t) + ".nc"),
                  "N1 X" + std::to_string(kEach - 1) + "\n");
    }
    expectFsckClean();
}

// A record killed at any point leaves a repository git finds whole, and the
// next record goes through (a killed record's branch lock is not left to
// block it).
TEST_F(HistoryRepositoryTest, ARecordKilledMidwayLeavesAWholeRepository) {
    ASSERT_TRUE(repo.Record(event("O1.nc", "Mill 1", Direction::Sent), kSent).ok);
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(pipeFds[0]);
        HistoryRepository own(repoPath);
        std::string big(4 << 20, 'X');
        for (int i = 0;; ++i) {
            big[static_cast<size_t>(i) % big.size()] = '\n';
            (void)!::write(pipeFds[1], "r", 1);
            own.Record(event("O2.nc", "Mill 1", Direction::Received), big);
        }
    }
    ::close(pipeFds[1]);
    char c = 0;
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(::read(pipeFds[0], &c, 1), 1);
    }
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    ::close(pipeFds[0]);
    // A branch lock as a record killed while moving the branch leaves it.
    test::writeBytes(repoPath + "/refs/heads/main.lock", "");
    expectFsckClean();
    const RecordResult next = repo.Record(event("O1.nc", "Mill 1", Direction::Received), kEdited);
    ASSERT_TRUE(next.ok) << next.error;
    EXPECT_EQ(git("show main:programs/O1.nc"), kEdited);
    expectFsckClean();
}

TEST_F(HistoryRepositoryTest, AHistoryThatCannotBeWrittenSaysWhy) {
    test::writeBytes(dir.file("in-the-way"), "a file, not a directory");
    HistoryRepository blocked(dir.file("in-the-way") + "/history.git");
    const RecordResult r = blocked.Record(event("O1.nc", "Mill 1", Direction::Sent), kSent);
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.error.find("in-the-way"), std::string::npos) << r.error;
    std::vector<HistoryEntry> entries;
    std::string error;
    EXPECT_TRUE(HistoryRepository(dir.file("none.git")).List("O1.nc", entries, error));
    EXPECT_TRUE(entries.empty());
}

// Each record is pushed to the shop's central repository, on this host's
// branch; a remote that cannot be reached is reported once and costs no
// record, and the next push takes along what the failed one left.
TEST_F(HistoryRepositoryTest, RecordsArePushedToTheRemoteInTheBackground) {
    const std::string central = dir.file("central.git");
    ASSERT_EQ(system(("git init -q --bare '" + central + "'").c_str()), 0);
    std::vector<std::string> failures;
    {
        HistoryRecorder recorder(repoPath);
        recorder.remote = dir.file("missing.git");
        recorder.remoteBranch = "cell-a";
        recorder.onFailure = [&](const std::string& why) { failures.push_back(why); };
        test::writeBytes(dir.file("O1.nc"), kSent);
        recorder.Record(event("O1.nc", "Mill 1", Direction::Sent));
        recorder.Record(event("O1.nc", "Mill 1", Direction::Sent));
        ASSERT_TRUE(recorder.WaitIdle(std::chrono::seconds(30)));
    }
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_NE(failures[0].find("missing.git"), std::string::npos) << failures[0];
    EXPECT_EQ(lines(git("log --format=%H main")), 2u);

    HistoryRecorder recorder(repoPath);
    recorder.remote = central;
    recorder.remoteBranch = "cell-a";
    recorder.onFailure = [&](const std::string& why) { failures.push_back(why); };
    test::writeBytes(dir.file("O1.nc"), kEdited);
    recorder.Record(event("O1.nc", "Mill 1", Direction::Received));
    ASSERT_TRUE(recorder.WaitIdle(std::chrono::seconds(30)));
    EXPECT_EQ(failures.size(), 1u);
    int status = -1;
    const std::string pushed =
        test::CommandOutput("git -C '" + central + "' log --format=%s cell-a", &status);
    EXPECT_EQ(status, 0) << pushed;
    EXPECT_EQ(pushed, "O1.nc received from Mill 1\nO1.nc sent to Mill 1\nO1.nc sent to Mill 1\n");
}

} // namespace
} // namespace vorl::history
