#include "machines/config_file.h"

#include "../temp_dir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <functional>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vorl {
namespace {

using test::readBytes;
using test::TempDir;
using test::writeBytes;

const std::string kHeader = "VORL Configuration File - Do Not Edit\n";

MachineConfig fullMachine() {
    MachineConfig m;
    m.capability = 'B';
    m.name = "Mazak 3";
    m.uploadExtension = ".up";
    m.downloadExtension = ".nc";
    m.uploadDirectory = "/srv/nc/in";
    m.downloadDirectory = "/srv/nc/out";
    m.port = 3;
    m.baudRate = 9600;
    m.dataBits = 7;
    m.stopBits = 2;
    m.parity = 2;
    m.handshake = 1;
    m.protocol = 0;
    m.eobMode = 1;
    m.charCode = 1;
    m.downloadStripNulls = 1;
    m.downloadStripSpaces = 0;
    m.downloadStripComments = 1;
    m.uploadStripNulls = 0;
    m.uploadStripSpaces = 1;
    m.uploadStripComments = 0;
    m.punchLeader = 1;
    m.punchTrailer = 1;
    m.leaderLength = 9;
    m.blockDelay = 250;
    m.downloadFilterChars = std::string("%\x7f", 2);
    m.uploadFilterChars = std::string("\0\x12", 2);
    m.triggers = {"\x12",
                  "%",
                  "\r\n",
                  "",
                  "\x11"
                  "DC1",
                  "\x80\xff",
                  "",
                  "M30"};
    return m;
}

TEST(ConfigFile, WritesEveryFieldAndReadsItBack) {
    TempDir dir;
    const std::string path = dir.file("vorl.vorlcfg");
    MachineList list;
    list.count = 3;
    list[0].capability = 'T';
    list[0].port = 1;
    list[0].baudRate = 4800;
    list[1] = fullMachine();
    list[2] = fullMachine();
    list[2].name = "X only";
    list[2].capability = 'X';
    list[2].triggers = {};
    list[2].uploadDirectory.clear();

    ASSERT_EQ(WriteConfiguration(path, list), 3);
    const std::string text = readBytes(path);
    EXPECT_EQ(text.find('\r'), std::string::npos) << "the writer uses LF";
    EXPECT_EQ(text.substr(0, kHeader.size()), kHeader);
    EXPECT_NE(text.find("[Mazak 3]\nCAP=B\nDIRDN=/srv/nc/out\nDIRUP=/srv/nc/in\nEXTDN=.nc\n"
                        "EXTUP=.up\nPORTSPEED=3,9600\nBITS=7,2,2\nSHAKEPROTO=1,0\nDELAYS=250\n"
                        "EOBCC=1,1\nFSPECDN=1,0,1\nFSPECUP=0,1,0\nLEADER=1,1,9\n"
                        "FILTERDN=%\x7f\nFILTERUP=^@^R\nACTION0=^R\nACTION1=%\nACTION2=^M^J\n"
                        "ACTION4=^QDC1\nACTION5=^\xc0^?\nACTION7=M30\n[X only]\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("[X only]\nCAP=X\nDIRDN=/srv/nc/out\nEXTDN"), text.find("[X only]"))
        << "an empty directory has no line";

    MachineList back;
    int damaged = 0;
    EXPECT_EQ(ReadConfiguration(path, back, [&] { ++damaged; }), 3);
    EXPECT_EQ(damaged, 0);
    EXPECT_EQ(back.count, 3);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(back[i], list[i]) << "slot " << i;
    }

    // Deleted slots are left out of the file.
    list[1].capability = '?';
    ASSERT_EQ(WriteConfiguration(path, list), 3);
    MachineList afterDelete;
    EXPECT_EQ(ReadConfiguration(path, afterDelete), 2);
    EXPECT_EQ(afterDelete[1].name, "X only");
}

TEST(ConfigFile, ByteC0InsideAStringSurvives) {
    TempDir dir;
    const std::string path = dir.file("c0.vorlcfg");
    MachineList list;
    list.count = 1;
    list[0].capability = 'D';
    list[0].triggers[0] = "A\xc0"
                          "B\xc0";
    ASSERT_EQ(WriteConfiguration(path, list), 1);
    MachineList back;
    ASSERT_EQ(ReadConfiguration(path, back), 1);
    EXPECT_EQ(back[0].triggers[0], list[0].triggers[0]);
}

// The reader trims control characters from the ends of a line: a trigger or
// filter string ending in escape or a separator must still come back whole.
TEST(ConfigFile, EscapeAndSeparatorsAtTheEndOfAStringSurvive) {
    TempDir dir;
    const std::string path = dir.file("esc.vorlcfg");
    MachineList list;
    list.count = 2;
    list[0].capability = 'T';
    list[1].capability = 'D';
    list[1].name = "Mill";
    list[1].triggers[DownloadStart] = "%\x1b";
    list[1].triggers[DownloadStop] = "\x1f";
    list[1].triggers[UploadStart] = "\x1c\x1d\x1e";
    list[1].triggers[UploadEnd] = "\xdb\x1b"; // the caret form of 0xDB is a caret and escape
    list[1].downloadFilterChars = "\x1b";
    list[1].uploadFilterChars = "^";
    ASSERT_EQ(WriteConfiguration(path, list), 2);
    const std::string file = readBytes(path);
    EXPECT_NE(file.find("ACTION0=%^[\n"), std::string::npos) << file;
    EXPECT_NE(file.find("FILTERDN=^[\n"), std::string::npos) << file;
    MachineList back;
    ASSERT_EQ(ReadConfiguration(path, back), 2);
    for (const int t : {DownloadStart, DownloadStop, UploadStart, UploadEnd}) {
        EXPECT_EQ(back[1].triggers[static_cast<size_t>(t)],
                  list[1].triggers[static_cast<size_t>(t)])
            << "trigger " << t;
    }
    EXPECT_EQ(back[1].downloadFilterChars, "\x1b");
}

// A line break in a name, directory or extension would split its line, and
// the reading would stop at the rest, losing every machine after it.
TEST(ConfigFile, LineBreaksInPlainStringsComeBackWithoutSplittingTheFile) {
    TempDir dir;
    const std::string path = dir.file("nl.vorlcfg");
    MachineList list;
    list.count = 3;
    list[0].capability = 'T';
    list[1].capability = 'D';
    list[1].name = "Mill\nCAP=X";
    list[1].downloadDirectory = "/srv/nc\r\nBITS=1";
    list[1].uploadExtension = ".n\nc";
    list[2].capability = 'U';
    list[2].name = "Lathe";
    ASSERT_EQ(WriteConfiguration(path, list), 3);
    MachineList back;
    ASSERT_EQ(ReadConfiguration(path, back), 3);
    EXPECT_EQ(back[1].name, "Mill\nCAP=X");
    EXPECT_EQ(back[1].capability, 'D');
    EXPECT_EQ(back[1].downloadDirectory, "/srv/nc\r\nBITS=1");
    EXPECT_EQ(back[1].uploadExtension, ".n\nc");
    EXPECT_EQ(back[2].name, "Lathe");
    EXPECT_EQ(back[2].capability, 'U');
}

// Every byte value, alone and at the start, inside and at the end of every
// kind of string the file holds (the name in its header, the plain values,
// the caret-notation values), and as the capability letter, comes back from
// the file, and no machine after it is lost.
TEST(ConfigFile, EveryByteOfEveryStringFieldSurvivesTheFile) {
    TempDir dir;
    const std::string path = dir.file("bytes.vorlcfg");
    constexpr int kPerFile = MachineList::kSlots - 2;
    for (int first = 0; first < 256; first += kPerFile) {
        for (int place = 0; place < 4; ++place) {
            MachineList list;
            list[0].capability = 'T';
            int slot = 1;
            for (int b = first; b < std::min(256, first + kPerFile); ++b, ++slot) {
                const std::string c(1, static_cast<char>(b));
                const std::string value = place == 0   ? c
                                          : place == 1 ? c + "x"
                                          : place == 2 ? "x" + c + "y"
                                                       : "x" + c;
                MachineConfig& m = list[slot];
                m.capability = place == 0 && b != '?' ? static_cast<char>(b) : 'B';
                m.name = value;
                m.downloadDirectory = m.uploadDirectory = value;
                m.downloadExtension = m.uploadExtension = value;
                m.downloadFilterChars = m.uploadFilterChars = value;
                m.triggers.fill(value);
            }
            list[slot].capability = 'D';
            list[slot].name = "Last";
            list.count = slot + 1;
            ASSERT_EQ(WriteConfiguration(path, list), list.count);
            MachineList back;
            int damaged = 0;
            int stoppedAt = 0;
            ASSERT_EQ(ReadConfiguration(
                          path, back, [&] { ++damaged; }, &stoppedAt),
                      list.count)
                << "bytes from " << first << ", place " << place;
            EXPECT_EQ(damaged, 0);
            EXPECT_EQ(stoppedAt, 0);
            for (int i = 0; i < list.count; ++i) {
                EXPECT_EQ(back[i], list[i]) << "byte " << first + i - 1 << ", place " << place;
            }
        }
    }
}

// The file's limits count the bytes of a value, not the characters its
// notation takes: a trigger of control characters as long as the dialog
// allows, or a directory of that length ending in a blank, comes back whole.
TEST(ConfigFile, LimitsCountTheValueNotItsNotation) {
    TempDir dir;
    const std::string path = dir.file("long.vorlcfg");
    MachineList list;
    list.count = 2;
    list[1].capability = 'D';
    list[1].downloadDirectory = std::string(193, 'd') + " ";
    list[1].triggers[DownloadStart] = std::string(192, '\x12');
    list[1].uploadFilterChars = std::string(191, '\x80');
    ASSERT_EQ(WriteConfiguration(path, list), 2);
    MachineList back;
    ASSERT_EQ(ReadConfiguration(path, back), 2);
    EXPECT_EQ(back[1], list[1]);
}

TEST(ConfigFile, SectionHeadersAndReadingLimits) {
    TempDir dir;
    const std::string path = dir.file("h.vorlcfg");
    writeBytes(path, "any first line\r\n"
                     "CAP=D\r\n" // before the first section: ignored
                     "[]\r\n"
                     "CAP=T\r\n"
                     "\r\n"
                     "   [A]   \r\n"
                     "CAP=BXY\r\n" // first letter only
                     "DELAYS=\r\n" // nothing after "=": unchanged
                     "[Lathe\r\n"  // no closing bracket: name unchanged
                     "EXTDN=" +
                         std::string(300, 'e') +
                         "\r\n" // cut, reading goes on
                         "CAP=U\r\n"
                         "[B]\n"
                         "CAP=D\n"
                         "PORTSPEED=2,9600"); // last line without a line break
    MachineList list;
    list[1].blockDelay = 77;
    list[2].name = "kept";
    EXPECT_EQ(ReadConfiguration(path, list), 4);
    EXPECT_EQ(list[0].name, "");
    EXPECT_EQ(list[0].capability, 'T');
    EXPECT_EQ(list[1].name, "A");
    EXPECT_EQ(list[1].capability, 'B');
    EXPECT_EQ(list[1].blockDelay, 77);
    EXPECT_EQ(list[2].name, "kept");
    EXPECT_EQ(list[2].downloadExtension, std::string(194, 'e'));
    EXPECT_EQ(list[2].capability, 'U');
    EXPECT_EQ(list[3].capability, 'D');
    EXPECT_EQ(list[3].port, 0) << "the last line without a line break is not processed";
}

TEST(ConfigFile, StrayTextAndFiftyFirstSectionEndTheReading) {
    TempDir dir;
    const std::string stray = dir.file("stray.vorlcfg");
    writeBytes(stray, kHeader + "[]\nCAP=T\n\n[A]\nCAP=D\nNOTAKEY=1\n[B]\nCAP=D\n");
    MachineList list;
    int stoppedAt = -1;
    EXPECT_EQ(ReadConfiguration(stray, list, {}, &stoppedAt), 2);
    EXPECT_EQ(list[1].name, "A");
    EXPECT_EQ(stoppedAt, 7) << "the line of NOTAKEY=1";

    const std::string many = dir.file("many.vorlcfg");
    std::string text = kHeader;
    for (int i = 0; i < 51; ++i) {
        text += "[M" + std::to_string(i) + "]\nCAP=D\n";
    }
    writeBytes(many, text);
    MachineList full;
    EXPECT_EQ(ReadConfiguration(many, full, {}, &stoppedAt), 50);
    EXPECT_EQ(full.count, 50);
    EXPECT_EQ(full[49].name, "M49");
    EXPECT_EQ(stoppedAt, 102) << "the header of the 51st section";

    const std::string whole = dir.file("whole.vorlcfg");
    writeBytes(whole, kHeader + "[]\nCAP=T\n");
    EXPECT_EQ(ReadConfiguration(whole, full, {}, &stoppedAt), 1);
    EXPECT_EQ(stoppedAt, 0) << "read to its end";
}

TEST(ConfigFile, ACopyIsKeptOnceForTheSameContent) {
    TempDir dir;
    const std::string path = dir.file("shop.vorlcfg");
    EXPECT_EQ(KeepCopyOfConfiguration(path), std::nullopt) << "no file, no copy";
    const std::string first = kHeader + "[A]\nCAP=D\nstray\n[B]\n";
    writeBytes(path, first);
    EXPECT_EQ(KeepCopyOfConfiguration(path), path + ".bak");
    EXPECT_EQ(KeepCopyOfConfiguration(path), path + ".bak") << "the same content again";
    EXPECT_EQ(readBytes(path), first);
    EXPECT_EQ(readBytes(path + ".bak"), first);
    writeBytes(path, first + "[C]\n");
    EXPECT_EQ(KeepCopyOfConfiguration(path), path + ".bak2");
    EXPECT_EQ(readBytes(path + ".bak"), first);
    EXPECT_EQ(readBytes(path + ".bak2"), first + "[C]\n");
}

TEST(ConfigFile, WrongNumberCountsReportDamageOnce) {
    TempDir dir;
    const std::string path = dir.file("d.vorlcfg");
    writeBytes(path, kHeader + "[A]\nPORTSPEED=7\nBITS=8,1\nLEADER=1,1,1,1\nSHAKEPROTO=x,2\n");
    MachineList list;
    int reports = 0;
    EXPECT_EQ(ReadConfiguration(path, list, [&] { ++reports; }), 1);
    EXPECT_EQ(reports, 1);
    EXPECT_EQ(list[0].port, 7);
    EXPECT_EQ(list[0].baudRate, 0);
    EXPECT_EQ(list[0].dataBits, 8);
    EXPECT_EQ(list[0].parity, 0);
    EXPECT_EQ(list[0].leaderLength, 1);
    EXPECT_EQ(list[0].handshake, 0) << "text that is not a number gives 0";
    EXPECT_EQ(list[0].protocol, 2);

    // A second read reports again.
    EXPECT_EQ(ReadConfiguration(path, list, [&] { ++reports; }), 1);
    EXPECT_EQ(reports, 2);
}

TEST(ConfigFile, UnreadableFilesLeaveTheTable) {
    TempDir dir;
    MachineList list;
    list.count = 5;
    EXPECT_EQ(ReadConfiguration(dir.file("missing.vorlcfg"), list), 0);
    EXPECT_EQ(ReadConfiguration(dir.path().string(), list), 0);
    const std::string m = dir.file("m.vorlcfg");
    writeBytes(m, "MZ header\n[A]\nCAP=D\n");
    EXPECT_EQ(ReadConfiguration(m, list), 0);
    EXPECT_EQ(list.count, 5);
}

TEST(ConfigFile, AnUnreadableFileIsKeptUnderAFreeName) {
    TempDir dir;
    const std::string path = dir.file("shop.vorlcfg");
    // Nothing to keep: no file, an empty file, a directory.
    EXPECT_EQ(KeepUnreadableConfiguration(path), std::string());
    writeBytes(path, "");
    EXPECT_EQ(KeepUnreadableConfiguration(path), std::string());
    EXPECT_TRUE(std::filesystem::exists(path));
    EXPECT_EQ(KeepUnreadableConfiguration(dir.path().string()), std::string());

    const std::string content = kHeader + "stray\n[Mill]\nCAP=D\n";
    writeBytes(path, content);
    EXPECT_EQ(KeepUnreadableConfiguration(path), path + ".bak");
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_EQ(readBytes(path + ".bak"), content);

    // An earlier copy is never replaced.
    writeBytes(path, "MZ");
    EXPECT_EQ(KeepUnreadableConfiguration(path), path + ".bak2");
    EXPECT_EQ(readBytes(path + ".bak"), content);
    EXPECT_EQ(readBytes(path + ".bak2"), "MZ");

    // With every name taken the file stays where it is.
    for (int n = 3; n <= 9; ++n) {
        writeBytes(path + ".bak" + std::to_string(n), "old");
    }
    writeBytes(path, "MZ again");
    EXPECT_EQ(KeepUnreadableConfiguration(path), std::nullopt);
    EXPECT_EQ(readBytes(path), "MZ again");
}

TEST(ConfigFile, DefaultFileHoldsOnlyTheTerminalEntry) {
    TempDir dir;
    const std::string path = dir.file("new.vorlcfg");
    ASSERT_TRUE(WriteDefaultConfiguration(path));
    EXPECT_EQ(readBytes(path), std::string(DefaultConfiguration()));
    MachineList list;
    ASSERT_EQ(ReadConfiguration(path, list), 1);
    MachineConfig expected;
    expected.capability = 'T';
    expected.port = 1;
    expected.baudRate = 4800;
    expected.dataBits = 8;
    expected.stopBits = 1;
    EXPECT_EQ(list[0], expected);
}

// A write that fails midway (here: the file size limit, as a full disk would)
// leaves the old file whole, reports -1 and leaves no stray file behind.
TEST(ConfigFile, FailedWriteKeepsTheOldFile) {
    TempDir dir;
    const std::string path = dir.file("keep.vorlcfg");
    MachineList list;
    list.count = 2;
    list[0].capability = 'T';
    list[1] = fullMachine();
    ASSERT_EQ(WriteConfiguration(path, list), 2);
    const std::string before = readBytes(path);

    list[1].name = "Renamed";
    list[1].downloadDirectory = std::string(190, 'd');
    struct rlimit saved {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct rlimit small = saved;
    small.rlim_cur = before.size() / 2;
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const int result = WriteConfiguration(path, list);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);

    EXPECT_EQ(result, -1);
    EXPECT_EQ(readBytes(path), before);
    int entries = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
        (void)e;
        ++entries;
    }
    EXPECT_EQ(entries, 1);

    EXPECT_EQ(WriteConfiguration(dir.path().string(), list), -1) << "a directory";
    EXPECT_EQ(WriteConfiguration(dir.file("no/such/dir.vorlcfg"), list), -1);
}

// A machine file reached through a chain of links is written where the chain
// ends, every link staying a link; a shared file keeps its owner, group and
// permissions when another operator (here the superuser) saves it.
TEST(ConfigFile, TheWholeChainOfLinksIsFollowedAndOwnershipKept) {
    TempDir dir;
    std::filesystem::create_directory(dir.path() / "shared");
    const std::string real = dir.file("shared/shop.vorlcfg");
    writeBytes(real, kHeader);
    std::filesystem::create_symlink("shared/shop.vorlcfg", dir.file("middle.vorlcfg"));
    std::filesystem::create_symlink(dir.file("middle.vorlcfg"), dir.file("vorl.vorlcfg"));
    ASSERT_EQ(chmod(real.c_str(), 0664), 0);
    const bool superuser = geteuid() == 0;
    if (superuser) {
        ASSERT_EQ(chown(real.c_str(), 65001, 4242), 0);
    }
    MachineList list;
    list.count = 2;
    list[0].capability = 'T';
    list[1] = fullMachine();
    ASSERT_EQ(WriteConfiguration(dir.file("vorl.vorlcfg"), list), 2);
    EXPECT_TRUE(std::filesystem::is_symlink(dir.file("vorl.vorlcfg")));
    EXPECT_TRUE(std::filesystem::is_symlink(dir.file("middle.vorlcfg")));
    EXPECT_EQ(readBytes(real), FormatConfiguration(list));
    struct stat st {};
    ASSERT_EQ(stat(real.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0664u);
    if (superuser) {
        EXPECT_EQ(st.st_uid, 65001u);
        EXPECT_EQ(st.st_gid, 4242u);
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path() / "shared"),
                            std::filesystem::directory_iterator()),
              1);
}

// The program's directory may be closed to the operators while the
// configuration file in it is open to them: a save must still work there, in
// place, and a write that fails midway must leave the old content.
TEST(ConfigFile, AWritableFileInAClosedDirectoryIsRewrittenInPlace) {
    TempDir dir;
    const std::filesystem::path closed = dir.path() / "program";
    std::filesystem::create_directory(closed);
    const std::string path = (closed / "vorl.vorlcfg").string();
    MachineList list;
    list.count = 2;
    list[0].capability = 'T';
    list[1] = fullMachine();
    ASSERT_EQ(WriteConfiguration(path, list), 2);
    const std::string before = readBytes(path);
    ASSERT_EQ(chmod(path.c_str(), 0666), 0);
    ASSERT_EQ(chmod(closed.c_str(), 0555), 0);
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);

    // The writes run in a child under an ordinary user id, since the
    // superuser may create files in any directory.
    const auto asOperator = [](const std::function<bool()>& write) {
        const pid_t pid = fork();
        if (pid == 0) {
            if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) {
                _exit(2);
            }
            _exit(write() ? 0 : 1);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };

    list[1].name = "Renamed";
    EXPECT_EQ(asOperator([&] { return WriteConfiguration(path, list) == 2; }), 0);
    EXPECT_EQ(readBytes(path), FormatConfiguration(list));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(closed),
                            std::filesystem::directory_iterator()),
              1);

    const std::string saved = readBytes(path);
    list[1].downloadDirectory = std::string(190, 'd');
    EXPECT_EQ(asOperator([&] {
                  struct rlimit small {};
                  getrlimit(RLIMIT_FSIZE, &small);
                  small.rlim_cur = saved.size() + 10;
                  std::signal(SIGXFSZ, SIG_IGN);
                  setrlimit(RLIMIT_FSIZE, &small);
                  return WriteConfiguration(path, list) == -1;
              }),
              0);
    EXPECT_EQ(readBytes(path), saved) << "the old content is back";

    ASSERT_EQ(chmod(path.c_str(), 0644), 0);
    EXPECT_EQ(asOperator([&] { return WriteConfiguration(path, list) == -1; }), 0)
        << "a file closed to the operator is not written";
    EXPECT_EQ(readBytes(path), saved);
    chmod(closed.c_str(), 0755);
}

} // namespace
} // namespace vorl
