#include "transfer/temp_file.h"

#include "scratch_dir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vorl {
namespace {

class TempFiles : public ::testing::Test {
protected:
    void SetUp() override {
        const char* old = std::getenv("TMPDIR");
        saved = old != nullptr ? old : "";
        hadTmpdir = old != nullptr;
    }
    void TearDown() override {
        if (hadTmpdir) {
            setenv("TMPDIR", saved.c_str(), 1);
        } else {
            unsetenv("TMPDIR");
        }
    }
    std::string saved;
    bool hadTmpdir = false;
};

TEST_F(TempFiles, UniqueExclusiveAndPrivateInTmpdir) {
    test::ScratchDir dir;
    setenv("TMPDIR", (dir.path() + "/").c_str(), 1);
    EXPECT_EQ(temporaryDirectory(), dir.path());

    TempFile a = createTempFile();
    TempFile b = createTempFile();
    ASSERT_GE(a.fd, 0);
    ASSERT_GE(b.fd, 0);
    EXPECT_NE(a.path, b.path);
    EXPECT_EQ(a.path.rfind(dir.path() + "/vor", 0), 0u) << a.path;
    struct stat st {};
    ASSERT_EQ(fstat(a.fd, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(st.st_size, 0);
    ASSERT_EQ(lstat(a.path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    close(a.fd);
    close(b.fd);

    const std::string name = createTempFileName("log");
    EXPECT_EQ(name.rfind(dir.path() + "/log", 0), 0u) << name;
    EXPECT_EQ(access(name.c_str(), F_OK), 0);
    deleteTempFile(name);
    deleteTempFile(a.path);
    deleteTempFile(b.path);
    EXPECT_NE(access(name.c_str(), F_OK), 0);
    deleteTempFile(name); // already gone: fine
    deleteTempFile("");
}

// A run killed with its files leaves them to the next start, which deletes
// them; the files of runs still going, and files named otherwise, stay.
TEST_F(TempFiles, StartUpRemovesOnlyTheFilesOfEndedRuns) {
    test::ScratchDir dir;
    setenv("TMPDIR", dir.path().c_str(), 1);
    // Another run of the program: it makes its files and goes on, or is killed.
    const auto run = [](std::string& path) {
        int out[2];
        EXPECT_EQ(pipe(out), 0);
        const pid_t pid = fork();
        if (pid == 0) {
            const std::string made = createTempFileName("vor") + "\n";
            if (write(out[1], made.data(), made.size()) < 0)
                _exit(1);
            pause();
            _exit(0);
        }
        ::close(out[1]);
        char buf[512];
        ssize_t n = 0, got;
        while ((got = read(out[0], buf + n, sizeof buf - size_t(n))) > 0) {
            n += got;
            if (buf[n - 1] == '\n')
                break;
        }
        ::close(out[0]);
        path.assign(buf, n > 0 ? size_t(n - 1) : 0);
        return pid;
    };
    std::string killedFile, runningFile;
    const pid_t killed = run(killedFile);
    const pid_t running = run(runningFile);
    ASSERT_FALSE(killedFile.empty());
    ASSERT_FALSE(runningFile.empty());
    kill(killed, SIGKILL);
    waitpid(killed, nullptr, 0);

    const std::string mine = createTempFileName();
    // Just made by a run that has not yet taken its lock, and the same name
    // long after (its process id now another process's).
    const std::string young = dir.write("vor" + std::to_string(getppid()) + "-Ab3dE9.vorltmp", "x");
    const std::string foreign[] = {dir.write("vorschlag", "x"), dir.write("vor12-abc.vorltmp", "x"),
                                   dir.write("vor1-abcdef.tmp", "x")};

    EXPECT_EQ(removeAbandonedTempFiles().removed, 1);
    EXPECT_NE(access(killedFile.c_str(), F_OK), 0) << killedFile;
    for (const std::string& kept : {runningFile, mine, young, foreign[0], foreign[1], foreign[2]})
        EXPECT_EQ(access(kept.c_str(), F_OK), 0) << kept;

    const struct timespec old[2] = {{time(nullptr) - 3600, 0}, {time(nullptr) - 3600, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, young.c_str(), old, 0), 0);
    kill(running, SIGKILL);
    waitpid(running, nullptr, 0);
    EXPECT_EQ(removeAbandonedTempFiles().removed, 2);
    EXPECT_NE(access(runningFile.c_str(), F_OK), 0);
    EXPECT_NE(access(young.c_str(), F_OK), 0);
    EXPECT_EQ(access(mine.c_str(), F_OK), 0);
    deleteTempFile(mine);
}

// A run killed while its upload waited to be saved: the next start keeps the
// received program in the user's data folder and says where; an upload's file
// that holds nothing is only deleted.
TEST_F(TempFiles, AKilledRunsReceivedProgramIsKept) {
    test::ScratchDir dir;
    test::ScratchDir data;
    setenv("TMPDIR", dir.path().c_str(), 1);
    const char* oldData = std::getenv("XDG_DATA_HOME");
    const std::string savedData = oldData != nullptr ? oldData : "";
    setenv("XDG_DATA_HOME", data.path().c_str(), 1);
    const char* oldState = std::getenv("STATE_DIRECTORY");
    const std::string savedState = oldState != nullptr ? oldState : "";
    unsetenv("STATE_DIRECTORY");

    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        const TempFile received = createTempFile(kUploadTempPrefix);
        const TempFile empty = createTempFile(kUploadTempPrefix);
        const std::string program = "%\nO1000\nG1 X1\n";
        if (received.fd < 0 || empty.fd < 0 ||
            write(received.fd, program.data(), program.size()) < 0 || write(ready[1], "r", 1) < 0)
            _exit(1);
        pause();
        _exit(0);
    }
    ::close(ready[1]);
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    ::close(ready[0]);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);

    const LeftoverFiles leftovers = removeAbandonedTempFiles();
    EXPECT_EQ(leftovers.removed, 1);
    ASSERT_EQ(leftovers.recovered.size(), 1u);
    const std::string kept = leftovers.recovered[0];
    EXPECT_EQ(kept.rfind(data.path() + "/vorl/recovered/received-", 0), 0u) << kept;
    EXPECT_EQ(test::readFile(kept), "%\nO1000\nG1 X1\n");
    EXPECT_EQ(recoveredMessage(leftovers),
              "A program received by a run that ended before saving it is kept as " + kept);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                            std::filesystem::directory_iterator()),
              0);
    EXPECT_EQ(recoveredMessage(removeAbandonedTempFiles()), "");

    if (oldData != nullptr)
        setenv("XDG_DATA_HOME", savedData.c_str(), 1);
    else
        unsetenv("XDG_DATA_HOME");
    if (oldState != nullptr)
        setenv("STATE_DIRECTORY", savedState.c_str(), 1);
}

TEST_F(TempFiles, FallsBackToTmp) {
    setenv("TMPDIR", "/nonexistent/vorl", 1);
    EXPECT_EQ(temporaryDirectory(), "/tmp");
    unsetenv("TMPDIR");
    EXPECT_EQ(temporaryDirectory(), "/tmp");
}

TEST_F(TempFiles, FailureIsReported) {
    setenv("TMPDIR", "/proc", 1); // a directory nobody can create files in
    TempFile f = createTempFile();
    EXPECT_LT(f.fd, 0);
    EXPECT_TRUE(f.path.empty());
    EXPECT_NE(f.error, 0);
    EXPECT_TRUE(createTempFileName().empty());
}

} // namespace
} // namespace vorl
