#include "transfer/data_preparation.h"

#include "platform/replaced_file.h"
#include "scratch_dir.h"
#include "transfer/block_filter.h"
#include "transfer/temp_file.h"
#include "transfer/translation_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <functional>
#include <grp.h>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vorl {
namespace {

using test::readFile;
using test::ScratchDir;

MachineConfig machine(int eobMode, int charCode = 0) {
    MachineConfig m;
    m.capability = 'B';
    m.name = "Mill";
    m.eobMode = static_cast<int16_t>(eobMode);
    m.charCode = static_cast<int16_t>(charCode);
    return m;
}

MachineConfig stripping(int eobMode, bool spaces, bool comments, int charCode = 0) {
    MachineConfig m = machine(eobMode, charCode);
    m.downloadStripSpaces = m.uploadStripSpaces = spaces;
    m.downloadStripComments = m.uploadStripComments = comments;
    return m;
}

class Preparation : public ::testing::Test {
protected:
    // The prepared bytes of `program` (the temporary file is removed again).
    std::string prepare(const MachineConfig& m, const std::string& program,
                        DownloadRequest request = {}) {
        request.sourcePath = dir.write("program.nc", program);
        last = PrepareDownloadFile(m, request);
        EXPECT_TRUE(last.ok) << last.message;
        std::string bytes = readFile(last.tempFileName);
        EXPECT_EQ(last.charsTotal, static_cast<int64_t>(bytes.size()));
        deleteTempFile(last.tempFileName);
        return bytes;
    }

    // The target file FinishUploadFile makes of `received`.
    std::string finish(const MachineConfig& m, const std::string& received,
                       const std::string& translationFile = "", size_t readSize = 1 << 20) {
        const std::string temp = dir.write("received.tmp", received);
        const std::string target = dir.file("target.nc");
        FinishedUpload done = FinishUploadFile(m, temp, target, translationFile, readSize);
        EXPECT_TRUE(done.ok) << done.message;
        std::string bytes = readFile(target);
        EXPECT_EQ(done.size, static_cast<int64_t>(bytes.size()));
        EXPECT_EQ(readFile(temp), received) << "the received file stays";
        return bytes;
    }

    ScratchDir dir;
    PreparedDownload last;
};

TEST_F(Preparation, CommentsAndSpacesRemoved) {
    EXPECT_EQ(prepare(stripping(1, true, true), "G01 X1.(FEED)\r\n"), "G01X1.\r");
    // An unclosed comment takes the rest of the block but not its EOB.
    EXPECT_EQ(prepare(stripping(0, false, true), "G01 X1 (FEED\r\nG02\r\n"), "G01 X1 \r\nG02\r\n");
    // Only spaces removed: blanks inside a comment stay.
    EXPECT_EQ(prepare(stripping(2, true, false), "G1 (A B) X2\r\n"), "G1(A B)X2\n");
    // A stray ")" outside a comment is kept.
    EXPECT_EQ(prepare(stripping(2, false, true), "G1) X2\n"), "G1) X2\n");
}

TEST_F(Preparation, EmptyBlocksAreDroppedAndTheStartBlockIsTheMarkedLine) {
    const std::string program = "N0010 (ROUGH)\r\nG01\r\nN20\r\nG02\r\nG03\r\n";
    const auto from = [](int line) {
        DownloadRequest request;
        request.startBlock = line;
        return request;
    };
    // With comments removed the N0010 and N20 lines say nothing and are not
    // sent; a restart still begins at the line marked in the program.
    EXPECT_EQ(prepare(stripping(0, false, true), program), "G01\r\nG02\r\nG03\r\n");
    EXPECT_EQ(prepare(stripping(0, false, true), program, from(2)), "G01\r\nG02\r\nG03\r\n");
    EXPECT_EQ(prepare(stripping(0, false, true), program, from(4)), "G02\r\nG03\r\n");
    // A marked line that is dropped: the restart begins with the next block sent.
    EXPECT_EQ(prepare(stripping(0, false, true), program, from(3)), "G02\r\nG03\r\n");
    // With comments kept every line is sent.
    EXPECT_EQ(prepare(machine(0), program, from(2)), "G01\r\nN20\r\nG02\r\nG03\r\n");
    // A NUL at the start of a block does not make its words disappear.
    EXPECT_EQ(prepare(stripping(0, false, true), std::string("\0%\r\nN5\r\n", 7)),
              std::string("\0%\r\n", 4));
}

TEST_F(Preparation, BlockSplittingAndEob) {
    // No final line end: the last line is a block like the others.
    EXPECT_EQ(prepare(machine(0), "G1\nG2"), "G1\r\nG2\r\n");
    // CR LF, CR and LF each end one block; LF CR ends two.
    EXPECT_EQ(prepare(machine(2), "A\r\nB\rC\nD\n\rE"), "A\nB\nC\nD\n\nE\n");
    EXPECT_EQ(prepare(machine(1), "A\r\n\r\n"), "A\r\r");
    EXPECT_EQ(prepare(machine(0), ""), "");
}

TEST_F(Preparation, NullsAndListedCharacters) {
    MachineConfig m = machine(0);
    m.downloadStripNulls = 1;
    m.downloadFilterChars = std::string("%;\0", 3);
    EXPECT_EQ(prepare(m, std::string("%\0G1;\r\n", 7)), "G1\r\n");
    // A listed CR takes the CR out of every EOB.
    m.downloadFilterChars = "\r";
    EXPECT_EQ(prepare(m, "G1\r\nG2\r\n"), "G1\nG2\n");
}

TEST_F(Preparation, StartBlockPrefixLeaderAndTrailer) {
    MachineConfig m = machine(0);
    m.punchLeader = 1;
    m.punchTrailer = 1;
    m.leaderLength = 3;
    const std::string zeros(360, '\0');
    EXPECT_EQ(prepare(m, "G1\r\n"), zeros + "G1\r\n" + zeros);

    m.punchTrailer = 0;
    m.leaderLength = 1;
    DownloadRequest request;
    request.startBlock = 5;
    request.prefixText = "G90\r\nG54";
    EXPECT_EQ(prepare(m, "N1\r\nN2\r\nN3\r\nN4\r\nN5\r\nN6\r\n", request),
              std::string(120, '\0') + "G90\r\nG54\r\nN5\r\nN6\r\n");
    EXPECT_EQ(last.eolChar, '\n');

    // The prefix follows eobMode and goes through the download filter as the
    // program does: a machine that strips comments gets none from the prefix
    // either, and a line that was only a comment is dropped.
    MachineConfig cr = stripping(1, true, true);
    request.startBlock = 0;
    request.prefixText = "(RESTART AT BLOCK 5)\r\nG90 (X)\r\nG54\r\n";
    EXPECT_EQ(prepare(cr, "G1\r\n", request), "G90\rG54\rG1\r");
    EXPECT_EQ(last.eolChar, '\r');
}

TEST_F(Preparation, EiaTapeCode) {
    for (int eobMode : {0, 1, 2}) {
        EXPECT_EQ(prepare(machine(eobMode, 1), "G1\r\n"), "\x67\x01\x80") << eobMode;
        EXPECT_EQ(last.eolChar, 0x80);
    }
    // Leader and trailer stay zero bytes; characters without a code go as 0xFF.
    MachineConfig m = machine(0, 1);
    m.punchLeader = m.punchTrailer = 1;
    m.leaderLength = 1;
    EXPECT_EQ(prepare(m, "g(\n"), std::string(120, '\0') + "\xFF\xFF\x80" + std::string(120, '\0'));

    // The prefix never sends a character without a code: its comments go
    // whole (their text would reach the control as words), lower case goes as
    // capitals, and anything else without a code refuses the preparation.
    DownloadRequest request;
    request.prefixText = "(PREFIX, BLOCK 5: CHECKED)\r\ng1 (X)\r\n";
    EXPECT_EQ(prepare(machine(0, 1), "G1\r\n", request), "\x67\x01\x10\x80\x67\x01\x80");
    request.prefixText = "G1*\r\n";
    request.sourcePath = dir.write("program.nc", "G1\r\n");
    const PreparedDownload refused = PrepareDownloadFile(machine(0, 1), request);
    EXPECT_FALSE(refused.ok);
    EXPECT_TRUE(refused.tempFileName.empty());
    EXPECT_EQ(refused.message, "Line 1 of the prefix holds \"*\", which has no EIA tape code: "
                               "change the prefix before sending.");
}

TEST_F(Preparation, TranslationFileChangesDownload) {
    DownloadRequest request;
    request.translationFile = dir.write("vorl.xlt", "** local codes\r\n"
                                                    "\r\n"
                                                    "D36,128\r\n"
                                                    "G,99\r\n"
                                                    "D13,127\r\n");
    EXPECT_EQ(prepare(machine(0, 1), "G1$\r\n", request), "\x63\x01\x80\x7F");
    // eolChar is what the blocks end with.
    EXPECT_EQ(last.eolChar, 0x7F);
}

TEST_F(Preparation, FailuresLeaveNoFileBehind) {
    const std::string previous = createTempFileName();
    DownloadRequest request;
    request.sourcePath = dir.file("missing.nc");
    request.previousTempFile = previous;
    PreparedDownload result = PrepareDownloadFile(machine(0), request);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.message, "File not found: " + request.sourcePath);
    EXPECT_TRUE(result.tempFileName.empty());
    EXPECT_NE(access(previous.c_str(), F_OK), 0) << "the previous temporary file is deleted";

    request.sourcePath = dir.path(); // a directory cannot be read as a program
    result = PrepareDownloadFile(machine(0), request);
    EXPECT_FALSE(result.ok);
    EXPECT_NE(result.message.find(dir.path()), std::string::npos) << result.message;
}

// A temporary directory without room for the prepared program is told
// before anything is written, naming it and the space needed; a disk that
// fills up while preparing is told the same way, and no file is left.
TEST_F(Preparation, TemporaryDirectoryWithoutRoom) {
    struct Tmpdir {
        explicit Tmpdir(const std::string& path) { setenv("TMPDIR", path.c_str(), 1); }
        ~Tmpdir() { unsetenv("TMPDIR"); }
    };
    auto emptyDir = [](const std::string& path) {
        DIR* d = opendir(path.c_str());
        int entries = 0;
        while (dirent* e = d != nullptr ? readdir(d) : nullptr) {
            entries += std::string(e->d_name) != "." && std::string(e->d_name) != "..";
        }
        if (d != nullptr) {
            closedir(d);
        }
        return entries == 0;
    };
    ScratchDir temp;
    Tmpdir tmpdir(temp.path());
    struct statvfs st {};
    ASSERT_EQ(statvfs(temp.path().c_str(), &st), 0);
    // A sparse program larger than the free space takes none of it.
    const std::string huge = dir.file("huge.nc");
    {
        const int fd = ::open(huge.c_str(), O_WRONLY | O_CREAT, 0644);
        ASSERT_EQ(ftruncate(fd, off_t(st.f_bavail * st.f_frsize) + (off_t{1} << 30)), 0);
        ::close(fd);
    }
    DownloadRequest request;
    request.sourcePath = huge;
    PreparedDownload result = PrepareDownloadFile(machine(0), request);
    EXPECT_FALSE(result.ok);
    const std::string told = "The temporary directory " + temp.path() +
                             " has no room for the prepared program: it needs about ";
    EXPECT_EQ(result.message.rfind(told, 0), 0u) << result.message;
    EXPECT_TRUE(emptyDir(temp.path()));

    // Room for the program, but not for its CR LF line ends.
    const std::string small = temp.file("small");
    ASSERT_EQ(mkdir(small.c_str(), 0700), 0);
    if (mount("tmpfs", small.c_str(), "tmpfs", 0, "size=64k") != 0) {
        GTEST_SKIP() << "cannot mount a small file system here";
    }
    struct Mounted {
        const std::string& path;
        ~Mounted() { umount2(path.c_str(), MNT_DETACH); }
    } mounted{small};
    Tmpdir full(small);
    request.sourcePath = dir.write("blank.nc", std::string(40000, '\n'));
    result = PrepareDownloadFile(machine(0), request);
    EXPECT_FALSE(result.ok);
    const std::string tellsFull = "The temporary directory " + small +
                                  " has no room for the prepared program: it needs about ";
    EXPECT_EQ(result.message.rfind(tellsFull, 0), 0u) << result.message;
    EXPECT_TRUE(result.message.ends_with(", 64.0 KB are free.")) << result.message;
    EXPECT_TRUE(emptyDir(small)) << "the half-written file is removed";
}

TEST_F(Preparation, UploadFilterAndEob) {
    MachineConfig m = stripping(0, true, false);
    // Empty blocks go when spaces are removed on upload, too.
    EXPECT_EQ(finish(m, "N10 G1 (A B)\rN20\nX1"), "N10G1(A B)\r\nX1\r\n");
    m.uploadStripSpaces = 0;
    m.uploadStripNulls = 1;
    m.uploadFilterChars = "%";
    EXPECT_EQ(finish(m, std::string("\0\0%\nN20\n", 8)), "\r\nN20\r\n");

    FinishedUpload none = FinishUploadFile(m, "", dir.file("t.nc"), "");
    EXPECT_FALSE(none.ok);
    EXPECT_EQ(none.message, "No current uploaded file");

    const std::string temp = dir.write("r.tmp", "G1\n");
    FinishedUpload full = FinishUploadFile(m, temp, "/dev/full", "");
    EXPECT_FALSE(full.ok) << "a write failure is reported";
    EXPECT_NE(full.message.find("/dev/full"), std::string::npos);
}

// The received program replaces the target whole, through a link, with the
// old file's permissions; a write that fails midway (the file size limit, as a
// full disk) leaves the old program whole and nothing beside it.
TEST_F(Preparation, UploadReplacesTheTargetWholeOrNotAtAll) {
    const MachineConfig m = machine(2);
    const std::string target = dir.write("O1000.nc", "OLD\n");
    ASSERT_EQ(chmod(target.c_str(), 0640), 0);
    ASSERT_EQ(symlink("O1000.nc", dir.file("link.nc").c_str()), 0);
    const auto entries = [&] {
        return std::distance(std::filesystem::directory_iterator(dir.path()),
                             std::filesystem::directory_iterator());
    };

    std::string temp = dir.write("received.tmp", std::string(5000, 'N') + "\n");
    FinishedUpload failed;
    {
        struct rlimit saved {};
        getrlimit(RLIMIT_FSIZE, &saved);
        struct rlimit small = saved;
        small.rlim_cur = 1000;
        auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        setrlimit(RLIMIT_FSIZE, &small);
        failed = FinishUploadFile(m, temp, target, "");
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, oldHandler);
    }
    EXPECT_FALSE(failed.ok);
    EXPECT_NE(failed.message.find(target), std::string::npos) << failed.message;
    EXPECT_EQ(readFile(target), "OLD\n");
    EXPECT_EQ(entries(), 3) << "nothing is left beside the program";

    temp = dir.write("received.tmp", "NEW\r\n");
    const FinishedUpload done = FinishUploadFile(m, temp, dir.file("link.nc"), "");
    EXPECT_TRUE(done.ok) << done.message;
    EXPECT_EQ(readFile(target), "NEW\n");
    EXPECT_TRUE(std::filesystem::is_symlink(dir.file("link.nc")));
    struct stat st {};
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(entries(), 3);
}

// Runs `save` in a child process as an operator who is not the superuser (the
// superuser may write and give away anything): `uid`, `gid` and the groups
// `groups`. 0 when `save` held, -1 when the child could not become him.
int asOperator(uid_t uid, gid_t gid, const std::vector<gid_t>& groups,
               const std::function<bool()>& save) {
    const pid_t pid = fork();
    if (pid == 0) {
        if (setgroups(groups.size(), groups.data()) != 0 || setgid(gid) != 0 || setuid(uid) != 0) {
            _exit(3);
        }
        _exit(save() ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) != 3 ? WEXITSTATUS(status) : -1;
}

// Two operators of one group share a folder: the one who saves over the
// other's program keeps it in the group (and writable for the other), where
// a change of owner and group in one call would fail and leave it in his own
// group. A program the saver may not write is refused, never taken over.
TEST_F(Preparation, SavingOverAnotherOperatorsProgramKeepsItsGroup) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs the superuser to act as two operators";
    }
    constexpr gid_t kShop = 4242;
    const std::string shared = dir.file("shared");
    ASSERT_EQ(mkdir(shared.c_str(), 0775), 0);
    ASSERT_EQ(chown(shared.c_str(), 0, kShop), 0);
    ASSERT_EQ(chmod(shared.c_str(), 0775), 0); // chown took the set-id bits
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    const std::string target = dir.write("shared/O1000.nc", "OLD\n");
    ASSERT_EQ(chown(target.c_str(), 65001, kShop), 0);
    ASSERT_EQ(chmod(target.c_str(), 0664), 0);
    const std::string temp = dir.write("received.tmp", "NEW\n");
    ASSERT_EQ(chmod(temp.c_str(), 0644), 0);

    const MachineConfig m = machine(2);
    EXPECT_EQ(
        asOperator(65002, 65002, {kShop}, [&] { return FinishUploadFile(m, temp, target, "").ok; }),
        0);
    EXPECT_EQ(readFile(target), "NEW\n");
    struct stat st {};
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_gid, kShop);
    EXPECT_EQ(st.st_mode & 07777, 0664u);

    ASSERT_EQ(chmod(target.c_str(), 0644), 0);
    std::string why;
    EXPECT_EQ(asOperator(65001, 65001, {kShop},
                         [&] {
                             const FinishedUpload done = FinishUploadFile(m, temp, target, "");
                             return !done.ok && done.message.find("read-only") != std::string::npos;
                         }),
              0)
        << "another operator's program he may not write";
    EXPECT_EQ(readFile(target), "NEW\n");
}

// A program without write permission is left as it is, also for the
// superuser, and the save question says why before anything is received.
TEST_F(Preparation, ReadOnlyProgramIsRefused) {
    const MachineConfig m = machine(2);
    const std::string target = dir.write("O1000.nc", "OLD\n");
    ASSERT_EQ(chmod(target.c_str(), 0444), 0);
    const std::string temp = dir.write("received.tmp", "NEW\n");
    const FinishedUpload done = FinishUploadFile(m, temp, target, "");
    EXPECT_FALSE(done.ok);
    EXPECT_EQ(done.message, target + ": the file is read-only");
    EXPECT_EQ(readFile(target), "OLD\n");
    EXPECT_EQ(RefuseReplacing(target), done.message);
    EXPECT_EQ(RefuseReplacing(dir.file("new.nc")), "");
}

// A writable program in a folder the operator may not write to is written in
// place; a save that fails (here: the file size limit, as a full disk) leaves
// the old program whole.
TEST_F(Preparation, WritableProgramInAClosedFolderIsWrittenInPlace) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs the superuser to act as an operator";
    }
    const std::string closed = dir.file("closed");
    ASSERT_EQ(mkdir(closed.c_str(), 0755), 0);
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    const std::string target = dir.write("closed/O1000.nc", "OLD\n");
    ASSERT_EQ(chmod(target.c_str(), 0666), 0);
    const std::string temp = dir.write("received.tmp", "NEW\n");
    ASSERT_EQ(chmod(temp.c_str(), 0644), 0);
    const MachineConfig m = machine(2);
    EXPECT_EQ(asOperator(65002, 65002, {}, [&] { return RefuseReplacing(target).empty(); }), 0);
    EXPECT_EQ(
        asOperator(65002, 65002, {}, [&] { return FinishUploadFile(m, temp, target, "").ok; }), 0);
    EXPECT_EQ(readFile(target), "NEW\n");
    struct stat st {};
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u) << "the same file";

    const std::string big = dir.write("big.tmp", std::string(5000, 'N') + "\n");
    ASSERT_EQ(chmod(big.c_str(), 0644), 0);
    EXPECT_EQ(asOperator(65002, 65002, {},
                         [&] {
                             struct rlimit small {
                                 1000, 1000
                             };
                             std::signal(SIGXFSZ, SIG_IGN);
                             setrlimit(RLIMIT_FSIZE, &small);
                             return !FinishUploadFile(m, big, target, "").ok;
                         }),
              0);
    EXPECT_EQ(readFile(target), "NEW\n");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(closed),
                            std::filesystem::directory_iterator()),
              1);
}

// A name of the longest length the system allows is saved; every name of a
// hard-linked program gets the new program; a pipe (or anything else but a
// regular file) is refused before it is opened, so nothing ever waits on it.
TEST_F(Preparation, LongNamesHardLinksAndPipes) {
    const MachineConfig m = machine(2);
    const std::string temp = dir.write("received.tmp", "NEW\n");
    const std::string longName = dir.file(std::string(252, 'L') + ".nc");
    const FinishedUpload saved = FinishUploadFile(m, temp, longName, "");
    EXPECT_TRUE(saved.ok) << saved.message;
    EXPECT_EQ(readFile(longName), "NEW\n");

    const std::string program = dir.write("O2000.nc", "OLD\n");
    ASSERT_EQ(link(program.c_str(), dir.file("other.nc").c_str()), 0);
    EXPECT_TRUE(FinishUploadFile(m, temp, program, "").ok);
    EXPECT_EQ(readFile(program), "NEW\n");
    EXPECT_EQ(readFile(dir.file("other.nc")), "NEW\n");

    const std::string pipe = dir.file("pipe.nc");
    ASSERT_EQ(mkfifo(pipe.c_str(), 0666), 0);
    // A reader, so that a writer that opened it would not hang the test.
    const int reader = ::open(pipe.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    const FinishedUpload refused = FinishUploadFile(m, temp, pipe, "");
    EXPECT_FALSE(refused.ok);
    EXPECT_EQ(refused.message, pipe + ": not a regular file");
    EXPECT_EQ(RefuseReplacing(pipe), refused.message);
    char byte;
    EXPECT_LE(::read(reader, &byte, 1), 0) << "nothing went into the pipe";
    ::close(reader);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                            std::filesystem::directory_iterator()),
              5);
}

TEST_F(Preparation, EiaUploadComesBackAsTheProgram) {
    const std::string program = "%\r\nO1234\r\nN10 G90 G54 X-12.5 Y+3.75 #1 /N20 M3 S1200\r\n"
                                "N30 G01 Z-1. F250.\tQ5 R7 V2 W4 P6 K8 J9 I0 H1 E2 L3 T4 U5\r\n"
                                "M30\r\n%\r\n";
    for (int eobMode : {0, 1, 2}) {
        MachineConfig m = machine(eobMode, 1);
        m.punchLeader = m.punchTrailer = 1;
        m.leaderLength = 2;
        std::string expected;
        for (char c : program) {
            if (c == '\r') {
                continue;
            }
            expected += c == '\n' ? std::string(asciiEob(m)) : std::string(1, c);
        }
        EXPECT_EQ(finish(m, prepare(m, program)), expected) << eobMode;
    }
}

TEST_F(Preparation, EiaUploadCodesWithoutCharacter) {
    MachineConfig m = machine(2, 1);
    // 0x4A has no character; raw CR LF ends a block like the EIA end of block.
    EXPECT_EQ(finish(m, "\x67\x01\x4A\x80\x67\x02\r\n\x67\x13"), "G1?\nG2\nG3\n");
    // A translation file's code reads back as its character.
    const std::string xlt = dir.write("vorl.xlt", "D40,26\nD41,74\n");
    EXPECT_EQ(finish(m, "\x67\x01\x1A\x61\x4A\x80", xlt), "G1(A)\n");
}

TEST_F(Preparation, OutputDoesNotDependOnReadSize) {
    std::string program;
    for (int n = 1; n <= 1000; ++n) {
        program += "N" + std::to_string(n) + (n % 7 == 0 ? " (TOOL CHANGE)" : " G01 X1.5 Y-2");
        program += n % 3 == 0 ? "\r" : n % 3 == 1 ? "\r\n" : "\n";
    }
    const MachineConfig m = stripping(0, true, true, 1);
    DownloadRequest request;
    request.startBlock = 5;
    const std::string whole = prepare(m, program, request);
    // Lines N7, N14, ... hold only a number once the comment is gone; the
    // first four of the others are skipped.
    EXPECT_EQ(std::count(whole.begin(), whole.end(), '\x80'), 1000 - 1000 / 7 - 4);
    const std::string uploaded = finish(m, whole);
    EXPECT_EQ(uploaded.rfind("N5G01X1.5Y-2\r\nN6G01X1.5Y-2\r\nN8G01", 0), 0u);
    for (size_t readSize : {7, 4097}) {
        request.readSize = readSize;
        ASSERT_EQ(prepare(m, program, request), whole) << readSize;
        ASSERT_EQ(finish(m, whole, "", readSize), uploaded) << readSize;
    }
}

TEST_F(Preparation, CrAtTheEndOfAReadAndLfAtTheStartOfTheNext) {
    DownloadRequest request;
    request.readSize = 3;
    EXPECT_EQ(prepare(machine(2), "G1\r\nG2\r\nG3\r", request), "G1\nG2\nG3\n");
    EXPECT_EQ(finish(machine(1), "AB\r\nC\r\n", "", 3), "AB\rC\r");
    EXPECT_EQ(finish(machine(1), "AB\r\rC", "", 3), "AB\r\rC\r");
}

} // namespace
} // namespace vorl
