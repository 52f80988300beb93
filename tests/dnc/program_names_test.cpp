// Names from a machine tool: requests, program numbers, refused names, files
// that stay in their directory, saves that never replace a program; the
// service's rotating logs.
#include "dnc/program_names.h"
#include "dnc/service_log.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

namespace vorl::dnc {
namespace {

class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "vorl-dnc-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
    }
    ~TempDir() { std::filesystem::remove_all(path_); }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

const std::string kDefaultPattern = R"(\(REQ=([A-Z0-9_.-]+)\))";

TEST(ProgramNames, RequestAndProgramNumberFromTheFirstLines) {
    const std::string request = "%\nO9999 (REQ=P1234)\nM30\n%\n";
    EXPECT_EQ(FindRequest(request, kDefaultPattern, 5), "P1234");
    EXPECT_EQ(FindRequest("%\r\n\r\nO9999\r\n(REQ=P7)\r\n", kDefaultPattern, 3), "P7");
    EXPECT_EQ(FindRequest("%\nN1\nN2\nN3\n(REQ=P1)\n", kDefaultPattern, 3), std::nullopt);
    EXPECT_EQ(FindRequest("%\nO1 (REQ=p1)\n", kDefaultPattern, 5), std::nullopt); // capitals only
    EXPECT_EQ(FindRequest(request, "(REQ=", 5), std::nullopt);     // not a valid pattern
    EXPECT_EQ(FindRequest(request, "REQ=P1234", 5), std::nullopt); // no capture group

    EXPECT_EQ(ProgramNumber("%\nO1234 (SHAFT)\nG0X0\n"), "O1234");
    EXPECT_EQ(ProgramNumber("%\r\n:0042\r\nG0X0\r\n"), "O0042");
    EXPECT_EQ(ProgramNumber("%\n(O1234 IN A COMMENT)\nG0X0\n"), std::nullopt);
    EXPECT_EQ(ProgramNumber("%\nG0X0\nM30\n"), std::nullopt);
}

TEST(ProgramNames, UntrustedNamesAreRefusedNeverCut) {
    EXPECT_EQ(RefuseName("P1234.nc"), "");
    for (const std::string& bad : std::vector<std::string>{
             "", "../P1", "a/b", "a\\b", ".hidden", "P\x01", std::string("P\0x", 3), "P\x7f", "P(1",
             "P)1", "P%", "P\xc3\xa9", std::string(kMaxProgramName + 1, 'P')}) {
        EXPECT_NE(RefuseName(bad), "") << bad;
    }
    EXPECT_EQ(RefuseName(std::string(kMaxProgramName, 'P')), "");
    EXPECT_EQ(ApplyTemplate("{name}{ext}", "P1", ".nc"), "P1.nc");
    EXPECT_EQ(ApplyTemplate("req-{name}-{name}.txt", "P1", ".nc"), "req-P1-P1.txt");
}

TEST(ProgramNames, FilesStayInTheirDirectoryAndAreNeverReplaced) {
    namespace fs = std::filesystem;
    TempDir dir;
    fs::create_directories(dir.file("mill"));
    writeFile(dir.file("secret"), "not a program");
    writeFile(dir.file("mill/P1.nc"), "one");
    fs::create_symlink(dir.file("secret"), dir.file("mill/P2.nc"));
    fs::create_directories(dir.file("mill/P3.nc"));

    std::string why;
    EXPECT_EQ(FileInside(dir.file("mill"), "P1.nc", &why), fs::canonical(dir.file("mill/P1.nc")));
    EXPECT_EQ(FileInside(dir.file("mill"), "P2.nc", &why), std::nullopt);
    EXPECT_NE(why, "");
    EXPECT_EQ(FileInside(dir.file("mill"), "P3.nc", &why), std::nullopt);
    EXPECT_EQ(FileInside(dir.file("mill"), "../secret", &why), std::nullopt);
    EXPECT_EQ(FileInside(dir.file("mill"), "P9.nc", &why),
              fs::canonical(dir.file("mill")).string() + "/P9.nc"); // free: may be created

    // A taken name gets the first free numbered one; nothing is replaced.
    for (const char* text : {"two", "three"}) {
        writeFile(dir.file("incoming"), text);
        const auto saved =
            SaveWithoutOverwrite(dir.file("incoming"), dir.file("mill"), "P1.nc", &why);
        ASSERT_TRUE(saved) << why;
        EXPECT_EQ(readFile(*saved), text);
    }
    const std::string mill = fs::canonical(dir.file("mill")).string();
    EXPECT_EQ(readFile(mill + "/P1.nc"), "one");
    EXPECT_EQ(readFile(mill + "/P1_1.nc"), "two");
    EXPECT_EQ(readFile(mill + "/P1_2.nc"), "three");
    EXPECT_EQ(readFile(dir.file("secret")), "not a program");
    writeFile(dir.file("incoming"), "four");
    EXPECT_EQ(SaveWithoutOverwrite(dir.file("incoming"), dir.file("mill"), "../x.nc", &why),
              std::nullopt);
    EXPECT_TRUE(fs::exists(dir.file("incoming")));

    // A name taken by a link, a link leading nowhere or a folder is taken:
    // the program gets the next name and never goes through the link.
    fs::create_symlink(dir.file("nowhere"), dir.file("mill/P4.nc"));
    for (const char* taken : {"P2", "P3", "P4"}) {
        writeFile(dir.file("incoming"), taken);
        const auto saved = SaveWithoutOverwrite(dir.file("incoming"), dir.file("mill"),
                                                std::string(taken) + ".nc", &why);
        ASSERT_TRUE(saved) << taken << ": " << why;
        EXPECT_EQ(*saved, mill + "/" + taken + "_1.nc");
        EXPECT_EQ(readFile(*saved), taken);
    }
    EXPECT_EQ(readFile(dir.file("secret")), "not a program");
    EXPECT_FALSE(fs::exists(dir.file("nowhere")));
}

// A machine's log is rotated before a line would take it past its size:
// three old files kept, every line whole and in order, the oldest dropped.
TEST(ServiceLogs, RotateAtTheirSizeKeepingThreeOldFiles) {
    TempDir dir;
    ServiceLog log(dir.file("logs"), 200);
    const std::string file = log.fileOf("Mill/1");
    EXPECT_EQ(file, dir.file("logs/Mill_1.log"));
    for (int i = 0; i < 40; ++i) {
        log.event("Mill/1", "event " + std::to_string(100 + i));
    }
    std::string all;
    for (const std::string suffix : {".3", ".2", ".1", ""}) {
        const std::string text = readFile(file + suffix);
        EXPECT_LE(text.size(), 200u) << suffix;
        EXPECT_EQ(text.back(), '\n') << suffix;
        all += text;
    }
    EXPECT_FALSE(std::filesystem::exists(file + ".4"));
    // What is kept is the newest lines, in order, none missing between them.
    std::vector<int> numbers;
    for (size_t at = all.find("event "); at != std::string::npos; at = all.find("event ", at + 1)) {
        numbers.push_back(std::atoi(all.c_str() + at + 6));
    }
    ASSERT_GT(numbers.size(), 10u); // several files' worth of lines
    EXPECT_EQ(numbers.back(), 139);
    for (size_t i = 1; i < numbers.size(); ++i) {
        EXPECT_EQ(numbers[i], numbers[i - 1] + 1);
    }
}

} // namespace
} // namespace vorl::dnc
