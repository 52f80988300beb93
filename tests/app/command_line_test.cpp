#include "app/command_line.h"
#include "app/file_locations.h"

#include "../temp_dir.h"

#include <gtest/gtest.h>

namespace vorl {
namespace {

using test::TempDir;
using test::writeBytes;

TEST(CommandLine, OptionsValuesAndOverrides) {
    const CommandLine a = ParseCommandLine(
        {"vorl", "-C", "first.vorlcfg", "-m", "mill", "-c", "second.vorlcfg", "/no/such.nc"});
    EXPECT_EQ(a.config, "second.vorlcfg");
    EXPECT_EQ(a.machine, "mill");
    EXPECT_EQ(a.file, "/no/such.nc");
    EXPECT_TRUE(a.shows.empty());

    const CommandLine last = ParseCommandLine({"vorl", "/a.nc", "-m"});
    EXPECT_EQ(last.machine, "") << "an option given last takes an empty value";
    EXPECT_EQ(last.file, "/a.nc");

    const CommandLine d = ParseCommandLine({"vorl", "-D", "/x.nc", "-m", "lathe"});
    ASSERT_EQ(d.shows.size(), 1u);
    EXPECT_EQ(d.shows[0], "vorl -D /x.nc -m lathe ");
    EXPECT_EQ(d.file, "") << "-d consumes the argument after it";
    EXPECT_EQ(d.machine, "lathe");

    const CommandLine help = ParseCommandLine({"vorl", "-c", "--help", "--Version", "o1.nc"});
    EXPECT_EQ(help.config, "--help") << "an option's value is never an option";
    EXPECT_FALSE(help.help);
    EXPECT_TRUE(help.version);
    EXPECT_EQ(help.file, "o1.nc");
    EXPECT_TRUE(ParseCommandLine({"vorl", "o1.nc", "--help"}).help);
    EXPECT_EQ(VersionText().rfind("vorl (VORL II) " VORL_VERSION "\n", 0), 0u) << VersionText();
    EXPECT_EQ(UsageText().rfind("Usage: vorl ", 0), 0u);
}

// An option the program does not know is an error, not a program file.
TEST(CommandLine, UnknownOptionsAreNoFiles) {
    const CommandLine bogus = ParseCommandLine({"vorl", "--bogus", "-h", "o1.nc"});
    EXPECT_EQ(bogus.unknownOption, "--bogus");
    EXPECT_EQ(bogus.file, "o1.nc");
    EXPECT_EQ(ParseCommandLine({"vorl", "-h"}).unknownOption, "-h");
    const CommandLine dash = ParseCommandLine({"vorl", "--", "-O1000.nc"});
    EXPECT_EQ(dash.unknownOption, "");
    EXPECT_EQ(dash.file, "-O1000.nc") << "a program named with a leading - follows --";
    EXPECT_EQ(ParseCommandLine({"vorl", "-c", "-odd.vorlcfg"}).unknownOption, "")
        << "an option's value may start with -";
}

TEST(FileLocations, BesideAWritableProgramElseUsersDirectoryAndInstallation) {
    EXPECT_EQ(UserConfigDirectory("/etc/xdg-user", "/home/op"), "/etc/xdg-user/vorl");
    EXPECT_EQ(UserConfigDirectory("relative/dir", "/home/op"), "/home/op/.config/vorl")
        << "a relative XDG_CONFIG_HOME is ignored";
    EXPECT_EQ(UserConfigDirectory("", "/home/op/"), "/home/op/.config/vorl");

    TempDir dir;
    const QString root = QString::fromStdString(dir.path().string());
    const QString user = root + "/home/.config/vorl";

    // A build tree: everything beside the program, as it always was.
    std::filesystem::create_directories(dir.file("build"));
    const FileLocations tree = LocateFiles(root + "/build/vorl", user);
    EXPECT_TRUE(tree.besideProgram);
    EXPECT_EQ(tree.configPath, root + "/build/vorl.vorlcfg");
    EXPECT_EQ(tree.legacyConfigPath, root + "/build/vorl.cfg");
    EXPECT_EQ(tree.languageFile, root + "/build/vorl.lan");
    EXPECT_EQ(tree.helpFile, root + "/build/vorl.hlp");
    EXPECT_EQ(tree.logDirectory, root + "/build");

    // An installation: the machine file in the user's directory; the others
    // beside the program, then the user's, then the installation's.
    std::filesystem::create_directories(dir.file("usr/bin"));
    std::filesystem::create_directories(dir.file("usr/share/vorl"));
    std::filesystem::create_directories(dir.file("home/.config/vorl"));
    writeBytes(dir.file("usr/share/vorl/vorl.hlp"), "help");
    writeBytes(dir.file("usr/share/vorl/vorl.lan"), "13,Go\n");
    writeBytes(dir.file("usr/share/vorl/vorl.cfg"), "");
    writeBytes(dir.file("home/.config/vorl/vorl.lan"), "13,Los\n");
    const QString program = root + "/usr/bin/vorl";
    FileLocations installed = LocateFiles(program, user);
    EXPECT_FALSE(installed.besideProgram);
    EXPECT_EQ(installed.configPath, user + "/vorl.vorlcfg");
    EXPECT_EQ(installed.languageFile, user + "/vorl.lan");
    EXPECT_EQ(installed.helpFile, root + "/usr/share/vorl/vorl.hlp");
    EXPECT_EQ(installed.legacyConfigPath, root + "/usr/share/vorl/vorl.cfg");
    EXPECT_EQ(installed.logDirectory, user);

    writeBytes(dir.file("usr/bin/vorl.hlp"), "own help");
    writeBytes(dir.file("home/.config/vorl/vorl.cfg"), "");
    std::filesystem::remove(dir.file("home/.config/vorl/vorl.lan"));
    std::filesystem::remove(dir.file("usr/share/vorl/vorl.lan"));
    installed = LocateFiles(program, user);
    EXPECT_EQ(installed.helpFile, program + ".hlp") << "beside the program comes first";
    EXPECT_EQ(installed.legacyConfigPath, user + "/vorl.cfg");
    EXPECT_EQ(installed.languageFile, user + "/vorl.lan") << "none: where the user would put one";
}

TEST(CommandLine, LongFileNameFindsTheRealNameIgnoringCase) {
    TempDir dir;
    writeBytes(dir.file("O1234.NC"), "%\n");
    writeBytes(dir.file("both.nc"), "%\n");
    writeBytes(dir.file("BOTH.NC"), "%\n");
    writeBytes(dir.file("Twin.nc"), "%\n");
    writeBytes(dir.file("TWIN.nc"), "%\n");
    const std::string d = dir.path().string() + "/";
    EXPECT_EQ(LongFileName(d + "o1234.nc"), d + "O1234.NC");
    EXPECT_EQ(LongFileName(d + "both.nc"), d + "both.nc") << "the exact entry wins";
    EXPECT_EQ(LongFileName(d + "twin.nc"), d + "twin.nc") << "two candidates: none chosen";
    EXPECT_EQ(LongFileName(d + "missing.nc"), d + "missing.nc");
    EXPECT_EQ(LongFileName(""), "");
    EXPECT_EQ(LongFileName(d + "nodir/o1234.nc"), d + "nodir/o1234.nc");
}

} // namespace
} // namespace vorl
