#include "app/command_line.h"

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
