// The restart prefix of short programs at several blocks: metric and inch,
// two work offsets, a tool change, incremental sections, arcs, and the
// programs whose state the reader cannot follow (canned cycle, macro).
#include "restart/restart_prefix.h"

#include "restart/machine_restart.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

#include <unistd.h>

namespace vorl {
namespace {

// The checked prefix for a restart at `block` of `program`.
RestartPrefix checkedPrefix(std::string_view program, int block,
                            ControlDialect dialect = ControlDialect::Mill,
                            const std::string& retract = "G91 G28 Z0") {
    ProgramScanner scanner(block, dialect);
    scanner.feed(program.data(), program.size());
    scanner.finish();
    EXPECT_TRUE(scanner.reachedStart()) << "no block " << block;
    return ComputeCheckedPrefix(scanner.reader(), block, scanner.startBlockText(),
                                RestartOptions{dialect, retract});
}

// The same, its lines joined by LF.
std::string prefixAt(std::string_view program, int block,
                     ControlDialect dialect = ControlDialect::Mill,
                     const std::string& retract = "G91 G28 Z0") {
    const RestartPrefix prefix = checkedPrefix(program, block, dialect, retract);
    std::string text;
    for (const std::string& line : prefix.lines) {
        text += line + "\n";
    }
    return text;
}

constexpr std::string_view kMetric = "%\n"
                                     "O0001 (METRIC FACE)\n"
                                     "N10 G21 G17 G40 G49 G80 G90 G94\n"
                                     "N20 G54\n"
                                     "N30 T01 M06\n"
                                     "N40 S2500 M03\n"
                                     "N50 G00 X-10. Y0\n"
                                     "N60 G43 H01 Z25. M08\n"
                                     "N70 Z2.\n"
                                     "N80 G01 Z-1. F300.\n"
                                     "N90 X110.\n"
                                     "N100 Y40.\n"
                                     "N110 X-10. F450.\n"
                                     "N120 G00 Z25. M09\n"
                                     "N130 M05\n"
                                     "%\n";

TEST(RestartPrefix, MetricProgram) {
    // Before the first cut: the tool comes down to where block 8 left it, in rapid.
    EXPECT_EQ(prefixAt(kMetric, 9),
              "(PREFIX FOR A RESTART AT BLOCK 9, STATE AFTER BLOCK 8)\n"
              "G91 G28 Z0 (SAFE RETRACT)\n"
              "G21 G17 G90 G94 G54 G40 (G21 G17 G90 G94 G40 BLOCK 3, G54 BLOCK 4)\n"
              "T01 M06 (BLOCK 5)\n"
              "S2500 M03 (BLOCK 6)\n"
              "M08 (BLOCK 8)\n"
              "G00 X-10. Y0 (X Y BLOCK 7)\n"
              "G00 G43 H01 Z25. (G43 H Z BLOCK 8)\n"
              "G00 (BLOCK 7)\n");
    // While cutting: down to the cutting depth at the cutting feed.
    EXPECT_EQ(prefixAt(kMetric, 12),
              "(PREFIX FOR A RESTART AT BLOCK 12, STATE AFTER BLOCK 11)\n"
              "G91 G28 Z0 (SAFE RETRACT)\n"
              "G21 G17 G90 G94 G54 G40 (G21 G17 G90 G94 G40 BLOCK 3, G54 BLOCK 4)\n"
              "T01 M06 (BLOCK 5)\n"
              "S2500 M03 (BLOCK 6)\n"
              "M08 (BLOCK 8)\n"
              "G00 X110. Y0 (X BLOCK 11, Y BLOCK 7)\n"
              "G01 G43 H01 Z-1. F300. (G43 H BLOCK 8, Z F BLOCK 10)\n"
              "G01 F300. (BLOCK 10)\n");
    // Coolant off and spindle stopped: so restored.
    EXPECT_EQ(prefixAt(kMetric, 16),
              "(PREFIX FOR A RESTART AT BLOCK 16, STATE AFTER BLOCK 15)\n"
              "G91 G28 Z0 (SAFE RETRACT)\n"
              "G21 G17 G90 G94 G54 G40 (G21 G17 G90 G94 G40 BLOCK 3, G54 BLOCK 4)\n"
              "T01 M06 (BLOCK 5)\n"
              "S2500 M05 (S BLOCK 6, M05 BLOCK 15)\n"
              "M09 (BLOCK 14)\n"
              "G00 X-10. Y40. (X BLOCK 13, Y BLOCK 12)\n"
              "G00 G43 H01 Z25. (G43 H BLOCK 8, Z BLOCK 14)\n"
              "G00 F450. (G00 BLOCK 14, F BLOCK 13)\n");
}

TEST(RestartPrefix, InchProgramOnALathe) {
    const std::string_view program = "O0002(INCH)\r\n"
                                     "N1 G20 G18 G90 G95 G55\r\n"
                                     "N2 T0303\r\n"
                                     "N3 G97 S900 M04\r\n"
                                     "N4 G00 X1.25 Z.1 M07\r\n"
                                     "N5 G01 Z-.5 F.004\r\n"
                                     "N6 X.75\r\n"
                                     "N7 G00 Z.1\r\n"
                                     "N8 X3.\r\n";
    // Nothing moved yet: nothing to approach, and said so.
    EXPECT_EQ(prefixAt(program, 5), "(PREFIX FOR A RESTART AT BLOCK 5, STATE AFTER BLOCK 4)\n"
                                    "G91 G28 Z0 (SAFE RETRACT)\n"
                                    "G20 G18 G90 G95 G55 (BLOCK 2)\n"
                                    "T0303 (BLOCK 3)\n"
                                    "G97 S900 M04 (BLOCK 4)\n"
                                    "(X Y Z NOT PROGRAMMED BEFORE BLOCK 5: NOT MOVED)\n");
    EXPECT_EQ(prefixAt(program, 7), "(PREFIX FOR A RESTART AT BLOCK 7, STATE AFTER BLOCK 6)\n"
                                    "G91 G28 Z0 (SAFE RETRACT)\n"
                                    "G20 G18 G90 G95 G55 (BLOCK 2)\n"
                                    "T0303 (BLOCK 3)\n"
                                    "G97 S900 M04 (BLOCK 4)\n"
                                    "M07 (BLOCK 5)\n"
                                    "G00 X1.25 (X BLOCK 5)\n"
                                    "G01 Z-.5 F.004 (Z F BLOCK 6)\n"
                                    "(Y NOT PROGRAMMED BEFORE BLOCK 7: NOT MOVED)\n"
                                    "G01 F.004 (BLOCK 6)\n");
    EXPECT_EQ(prefixAt(program, 9), "(PREFIX FOR A RESTART AT BLOCK 9, STATE AFTER BLOCK 8)\n"
                                    "G91 G28 Z0 (SAFE RETRACT)\n"
                                    "G20 G18 G90 G95 G55 (BLOCK 2)\n"
                                    "T0303 (BLOCK 3)\n"
                                    "G97 S900 M04 (BLOCK 4)\n"
                                    "M07 (BLOCK 5)\n"
                                    "G00 X.75 (X BLOCK 7)\n"
                                    "G00 Z.1 (Z BLOCK 8)\n"
                                    "(Y NOT PROGRAMMED BEFORE BLOCK 9: NOT MOVED)\n"
                                    "G00 F.004 (G00 BLOCK 8, F BLOCK 6)\n");
}

TEST(RestartPrefix, TwoWorkOffsets) {
    const std::string_view program = "G21 G17 G90\n"
                                     "T2 M6\n"
                                     "S1000 M3\n"
                                     "G54\n"
                                     "G0 X10 Y10\n"
                                     "G43 H2 Z5.\n"
                                     "G1 Z-1. F200\n"
                                     "X20.\n"
                                     "G0 Z5.\n"
                                     "G55\n"
                                     "G0 X10 Y10\n"
                                     "G1 Z-1.\n"
                                     "X20.\n";
    EXPECT_EQ(prefixAt(program, 8), "(PREFIX FOR A RESTART AT BLOCK 8, STATE AFTER BLOCK 7)\n"
                                    "G91 G28 Z0 (SAFE RETRACT)\n"
                                    "G21 G17 G90 G54 (G21 G17 G90 BLOCK 1, G54 BLOCK 4)\n"
                                    "T2 M06 (BLOCK 2)\n"
                                    "S1000 M03 (BLOCK 3)\n"
                                    "G00 X10 Y10 (X Y BLOCK 5)\n"
                                    "G01 G43 H2 Z-1. F200 (G43 H BLOCK 6, Z F BLOCK 7)\n"
                                    "G01 F200 (BLOCK 7)\n");
    EXPECT_EQ(prefixAt(program, 13), "(PREFIX FOR A RESTART AT BLOCK 13, STATE AFTER BLOCK 12)\n"
                                     "G91 G28 Z0 (SAFE RETRACT)\n"
                                     "G21 G17 G90 G55 (G21 G17 G90 BLOCK 1, G55 BLOCK 10)\n"
                                     "T2 M06 (BLOCK 2)\n"
                                     "S1000 M03 (BLOCK 3)\n"
                                     "G00 X10 Y10 (X Y BLOCK 11)\n"
                                     "G01 G43 H2 Z-1. F200 (G43 H BLOCK 6, Z BLOCK 12, F BLOCK 7)\n"
                                     "G01 F200 (G01 BLOCK 12, F BLOCK 7)\n");
    EXPECT_NE(prefixAt("G21 G90 G54.1 P12\nG0 X1.\nX2.\n", 3).find("G54.1 P12 "),
              std::string::npos);
}

TEST(RestartPrefix, ToolChangeBetweenBlocks) {
    const std::string_view program = "G21 G17 G90 G54\n"
                                     "T1 M06\n"
                                     "T2\n"
                                     "S3000 M03\n"
                                     "G00 X0 Y0\n"
                                     "G43 H1 Z10.\n"
                                     "G01 Z-3. F500\n"
                                     "G00 Z10.\n"
                                     "M05\n"
                                     "M09\n"
                                     "G91 G28 Z0\n"
                                     "M06\n"
                                     "T3\n"
                                     "G90 G00 X5. Y5.\n"
                                     "G43 H2 Z10. M08\n"
                                     "S2000 M03\n"
                                     "G01 Z-2. F250\n";
    // Tool 2 waits for the next change: it is selected again after tool 1.
    EXPECT_EQ(prefixAt(program, 7), "(PREFIX FOR A RESTART AT BLOCK 7, STATE AFTER BLOCK 6)\n"
                                    "G91 G28 Z0 (SAFE RETRACT)\n"
                                    "G21 G17 G90 G54 (BLOCK 1)\n"
                                    "T1 M06 (BLOCK 2)\n"
                                    "T2 (BLOCK 3)\n"
                                    "S3000 M03 (BLOCK 4)\n"
                                    "G00 X0 Y0 (X Y BLOCK 5)\n"
                                    "G00 G43 H1 Z10. (G43 H Z BLOCK 6)\n"
                                    "G00 (BLOCK 5)\n");
    // Just after the change: the old tool's length compensation and Z are not
    // carried over to the new tool.
    EXPECT_EQ(prefixAt(program, 13), "(PREFIX FOR A RESTART AT BLOCK 13, STATE AFTER BLOCK 12)\n"
                                     "G91 G28 Z0 (SAFE RETRACT)\n"
                                     "G21 G17 G90 G54 (G21 G17 G54 BLOCK 1, G90 FOR THE APPROACH)\n"
                                     "T2 M06 (T BLOCK 3, M06 BLOCK 12)\n"
                                     "M05 (BLOCK 9)\n"
                                     "M09 (BLOCK 10)\n"
                                     "G00 X0 Y0 (X Y BLOCK 5)\n"
                                     "(G43 OF BLOCK 6 NOT RESTORED: TOOL CHANGED AT BLOCK 12)\n"
                                     "(Z AT THE REFERENCE POINT FROM BLOCK 11: NOT MOVED)\n"
                                     "G91 G00 F500 (G91 BLOCK 11, G00 BLOCK 8, F BLOCK 7)\n");
    EXPECT_EQ(prefixAt(program, 17), "(PREFIX FOR A RESTART AT BLOCK 17, STATE AFTER BLOCK 16)\n"
                                     "G91 G28 Z0 (SAFE RETRACT)\n"
                                     "G21 G17 G90 G54 (G21 G17 G54 BLOCK 1, G90 BLOCK 14)\n"
                                     "T2 M06 (T BLOCK 3, M06 BLOCK 12)\n"
                                     "T3 (BLOCK 13)\n"
                                     "S2000 M03 (BLOCK 16)\n"
                                     "M08 (BLOCK 15)\n"
                                     "G00 X5. Y5. (X Y BLOCK 14)\n"
                                     "G00 G43 H2 Z10. (G43 H Z BLOCK 15)\n"
                                     "G00 F500 (G00 BLOCK 14, F BLOCK 7)\n");
}

TEST(RestartPrefix, IncrementalSections) {
    const std::string_view program = "G21 G17 G90 G54 G00 X10. Y10. Z5.\n"
                                     "G91 G01 X2.5 F100.\n"
                                     "X2.5 Y-1.25\n"
                                     "Z-6.\n"
                                     "G90 X0\n"
                                     "G91 Y.005\n"
                                     "X1\n"
                                     "X1.\n"
                                     "M30\n";
    // The approach is absolute; G91 comes back after it.
    EXPECT_EQ(prefixAt(program, 5), "(PREFIX FOR A RESTART AT BLOCK 5, STATE AFTER BLOCK 4)\n"
                                    "G91 G28 Z0 (SAFE RETRACT)\n"
                                    "G21 G17 G90 G54 (G21 G17 G54 BLOCK 1, G90 FOR THE APPROACH)\n"
                                    "G00 X15. Y8.75 (X Y SUM OF BLOCKS 1 TO 3)\n"
                                    "G01 Z-1. F100. (Z SUM OF BLOCKS 1 TO 4, F BLOCK 2)\n"
                                    "G91 G01 F100. (BLOCK 2)\n");
    // Sums stay exact and keep the way the numbers are written.
    EXPECT_EQ(prefixAt(program, 8),
              "(PREFIX FOR A RESTART AT BLOCK 8, STATE AFTER BLOCK 7)\n"
              "G91 G28 Z0 (SAFE RETRACT)\n"
              "G21 G17 G90 G54 (G21 G17 G54 BLOCK 1, G90 FOR THE APPROACH)\n"
              "G00 X1 Y8.755 (X SUM OF BLOCKS 5 TO 7, Y SUM OF BLOCKS 1 TO 6)\n"
              "G01 Z-1. F100. (Z SUM OF BLOCKS 1 TO 4, F BLOCK 2)\n"
              "G91 G01 F100. (G91 BLOCK 6, G01 F BLOCK 2)\n");
    // "X1" then "X1.": a control may read them in different units.
    const std::string mixed = prefixAt(program, 9);
    EXPECT_NE(mixed.find("(X NOT KNOWN AFTER BLOCK 8: INCREMENTAL MOVES WITH AND WITHOUT A "
                         "DECIMAL POINT)\n"),
              std::string::npos)
        << mixed;
    EXPECT_NE(mixed.find("\nG00 Y8.755 (UNCHECKED: Y SUM OF BLOCKS 1 TO 6)\n"), std::string::npos)
        << mixed;
}

TEST(RestartPrefix, Arcs) {
    const std::string_view program = "N1 G21 G17 G90 G54\n"
                                     "N2 G00 X0 Y0 Z2.\n"
                                     "N3 G01 Z-1. F150\n"
                                     "N4 G02 X20. Y0 R10.\n"
                                     "N5 G03 X40. Y0 I10. J0 F120\n"
                                     "N6 G18 G02 X60. Z-1. I10. K0\n"
                                     "N7 G17 G01 X70.\n";
    EXPECT_EQ(prefixAt(program, 5), "(PREFIX FOR A RESTART AT BLOCK 5, STATE AFTER BLOCK 4)\n"
                                    "G91 G28 Z0 (SAFE RETRACT)\n"
                                    "G21 G17 G90 G54 (BLOCK 1)\n"
                                    "G00 X20. Y0 (X Y BLOCK 4)\n"
                                    "G01 Z-1. F150 (Z F BLOCK 3)\n"
                                    "G02 F150 (G02 BLOCK 4, F BLOCK 3)\n");
    EXPECT_EQ(prefixAt(program, 7), "(PREFIX FOR A RESTART AT BLOCK 7, STATE AFTER BLOCK 6)\n"
                                    "G91 G28 Z0 (SAFE RETRACT)\n"
                                    "G21 G18 G90 G54 (G21 G90 G54 BLOCK 1, G18 BLOCK 6)\n"
                                    "G00 X60. Y0 (X BLOCK 6, Y BLOCK 5)\n"
                                    "G01 Z-1. F120 (Z BLOCK 6, F BLOCK 5)\n"
                                    "G02 F120 (G02 BLOCK 6, F BLOCK 5)\n");
}

TEST(RestartPrefix, CannedCycleInForceIsFlagged) {
    const std::string_view program = "G21 G17 G90 G54\n"
                                     "T4 M06\n"
                                     "S1500 M03\n"
                                     "G00 X10. Y10.\n"
                                     "G43 H4 Z20. M08\n"
                                     "G98 G81 X10. Y10. Z-5. R2. F80\n"
                                     "X20.\n"
                                     "G99 X30. Y20.\n"
                                     "G80\n"
                                     "G00 Z50.\n"
                                     "M30\n";
    // Back at the initial level after each hole; the cycle is not restored.
    EXPECT_EQ(prefixAt(program, 8), "(PREFIX FOR A RESTART AT BLOCK 8, STATE AFTER BLOCK 7)\n"
                                    "(UNCHECKED: THE STATE IS NOT CERTAIN, CHECK EVERY LINE)\n"
                                    "(CANNED CYCLE G81 IN FORCE FROM BLOCK 6, NOT RESTORED)\n"
                                    "(READ BACK, THE PREFIX LEAVES Z 20. WHERE THE PROGRAM HAS 2. "
                                    "AFTER BLOCK 8)\n"
                                    "G91 G28 Z0 (UNCHECKED: SAFE RETRACT)\n"
                                    "G21 G17 G90 G54 (UNCHECKED: BLOCK 1)\n"
                                    "T4 M06 (UNCHECKED: BLOCK 2)\n"
                                    "S1500 M03 (UNCHECKED: BLOCK 3)\n"
                                    "M08 (UNCHECKED: BLOCK 5)\n"
                                    "G00 X20. Y10. (UNCHECKED: X BLOCK 7, Y BLOCK 6)\n"
                                    "G00 G43 H4 Z20. (UNCHECKED: G43 H BLOCK 5, Z BLOCK 7)\n"
                                    "(CANNED CYCLE G81 OF BLOCK 6 NOT RESTORED)\n"
                                    "F80 (UNCHECKED: BLOCK 6)\n");
    // With G99 at the R level.
    EXPECT_NE(prefixAt(program, 9).find("\nG00 G43 H4 Z2. (UNCHECKED: G43 H BLOCK 5, Z BLOCK 8)\n"),
              std::string::npos);
    // After G80 the state is certain again.
    EXPECT_EQ(prefixAt(program, 11), "(PREFIX FOR A RESTART AT BLOCK 11, STATE AFTER BLOCK 10)\n"
                                     "G91 G28 Z0 (SAFE RETRACT)\n"
                                     "G21 G17 G90 G54 (BLOCK 1)\n"
                                     "T4 M06 (BLOCK 2)\n"
                                     "S1500 M03 (BLOCK 3)\n"
                                     "M08 (BLOCK 5)\n"
                                     "G00 X30. Y20. (X Y BLOCK 8)\n"
                                     "G00 G43 H4 Z50. (G43 H BLOCK 5, Z BLOCK 10)\n"
                                     "G00 F80 (G00 BLOCK 10, F BLOCK 6)\n");
}

TEST(RestartPrefix, MacroIsFlagged) {
    const std::string_view program = "G21 G17 G90 G54\n"
                                     "T5 M06\n"
                                     "S1200 M03\n"
                                     "#1=0\n"
                                     "G00 X0 Y0 Z5.\n"
                                     "WHILE[#1LT3]DO1\n"
                                     "G01 Z-#1 F100\n"
                                     "#1=#1+1\n"
                                     "END1\n"
                                     "X50.\n"
                                     "G65 P9000 A1. B2.\n"
                                     "X60.\n"
                                     "M30\n";
    EXPECT_EQ(prefixAt(program, 10),
              "(PREFIX FOR A RESTART AT BLOCK 10, STATE AFTER BLOCK 9)\n"
              "(UNCHECKED: THE STATE IS NOT CERTAIN, CHECK EVERY LINE)\n"
              "(MACRO VARIABLES, EXPRESSIONS OR PROGRAM FLOW AT BLOCK 4 AND 4 LATER BLOCKS)\n"
              "(FEED MOTION G01 WITHOUT AN F WORD BEFORE THE START BLOCK)\n"
              "(Z NOT KNOWN AFTER BLOCK 7: MACRO)\n"
              "G91 G28 Z0 (UNCHECKED: SAFE RETRACT)\n"
              "G21 G17 G90 G54 (UNCHECKED: BLOCK 1)\n"
              "T5 M06 (UNCHECKED: BLOCK 2)\n"
              "S1200 M03 (UNCHECKED: BLOCK 3)\n"
              "G00 X0 Y0 (UNCHECKED: X Y BLOCK 5)\n"
              "(Z NOT KNOWN AFTER BLOCK 7: NOT MOVED)\n"
              "G01 (UNCHECKED: BLOCK 7)\n");
    // A macro call's words are its arguments, and it may move anything.
    const std::string call = prefixAt(program, 13);
    EXPECT_NE(call.find("(SUBPROGRAM OR MACRO CALL G65 AT BLOCK 11)\n"), std::string::npos) << call;
    EXPECT_NE(call.find("(Y NOT KNOWN AFTER BLOCK 11: SUBPROGRAM CALL)\n"), std::string::npos);
    EXPECT_NE(call.find("\nG00 X60. (UNCHECKED: X BLOCK 12)\n"), std::string::npos);
    EXPECT_EQ(call.find("A1."), std::string::npos);
}

class RestartPrefixFile : public ::testing::Test {
protected:
    void SetUp() override {
        path = (std::filesystem::temp_directory_path() /
                ("vorl-restart-" + std::to_string(getpid()) + ".nc"))
                   .string();
    }
    void TearDown() override { std::remove(path.c_str()); }
    void write(const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }
    std::string path;
};

TEST_F(RestartPrefixFile, ReadsTheFileUpToTheStartBlockOnly) {
    // What follows the start block (here a macro) does not count.
    std::string program = "G21 G90 G54\r\nG00 X1. Y2.\r\nG01 Z-1. F50\r\n";
    program += std::string(3 << 20, ' ') + "\r\n#1=2\r\nX#1\r\n";
    write(program);
    const RestartPrefix prefix = BuildRestartPrefix(path, 4, {ControlDialect::Mill, "G91 G28 Z0"});
    ASSERT_TRUE(prefix.ok) << prefix.error;
    EXPECT_TRUE(prefix.certain);
    EXPECT_EQ(prefix.text(), "(PREFIX FOR A RESTART AT BLOCK 4, STATE AFTER BLOCK 3)\r\n"
                             "G91 G28 Z0 (SAFE RETRACT)\r\n"
                             "G21 G90 G54 (BLOCK 1)\r\n"
                             "(NOT SET BEFORE BLOCK 4: PLANE)\r\n"
                             "G00 X1. Y2. (X Y BLOCK 2)\r\n"
                             "G01 Z-1. F50 (Z F BLOCK 3)\r\n"
                             "G01 F50 (BLOCK 3)\r\n");
    EXPECT_FALSE(BuildRestartPrefix(path, 6, {ControlDialect::Mill, "G91 G28 Z0"}).certain);
}

TEST_F(RestartPrefixFile, EachMachinesRestartSettingsLieBesideTheMachineFile) {
    EXPECT_EQ(RestartFilePath("/etc/vorl/shop.vorlcfg"), "/etc/vorl/shop.restart");
    EXPECT_EQ(RestartFilePath("/a.b/plain"), "/a.b/plain.restart");
    // No file, or no section: not known, with the default retract.
    const RestartOptions none = ReadMachineRestart(path, "Lathe 2");
    EXPECT_EQ(none.dialect, ControlDialect::Unknown);
    EXPECT_EQ(none.safeRetract, "G91 G28 Z0");

    write("# written by hand\n[Mill 1]\ncontrol = mill\nsafe_retract = G53 Z0\n\n"
          "[Other]\nkept = yes\n");
    ASSERT_TRUE(WriteMachineRestart(path, "Lathe 2", {ControlDialect::Lathe, "G28 U0 W0"}));
    ASSERT_TRUE(WriteMachineRestart(path, "Mill 1", {ControlDialect::Mill, ""}));
    const RestartOptions lathe = ReadMachineRestart(path, "Lathe 2");
    EXPECT_EQ(lathe.dialect, ControlDialect::Lathe);
    EXPECT_EQ(lathe.safeRetract, "G28 U0 W0");
    // An empty retract is kept empty: that machine has none.
    EXPECT_EQ(ReadMachineRestart(path, "Mill 1").safeRetract, "");
    std::ifstream in(path);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, "# written by hand\n[Mill 1]\ncontrol = mill\nsafe_retract = \n\n"
                    "[Other]\nkept = yes\n\n[Lathe 2]\ncontrol = lathe\n"
                    "safe_retract = G28 U0 W0\n");
    // A lathe without a retract of its own gets the lathe's.
    write("[Lathe 3]\nCONTROL = Lathe\n");
    EXPECT_EQ(ReadMachineRestart(path, "Lathe 3").safeRetract, "G28 U0 W0");
}

TEST_F(RestartPrefixFile, NoPrefixPastTheEndOrForBlockOneOrWithoutTheFile) {
    write("G21\nG90\nX1.\n");
    EXPECT_TRUE(BuildRestartPrefix(path, 3).ok);
    const RestartPrefix past = BuildRestartPrefix(path, 4);
    EXPECT_FALSE(past.ok);
    EXPECT_EQ(past.error, "The program has 3 blocks: there is no block 4.");
    write("G21\nG90\nX1.");
    EXPECT_TRUE(BuildRestartPrefix(path, 3).ok);
    EXPECT_FALSE(BuildRestartPrefix(path, 1).ok);
    std::remove(path.c_str());
    const RestartPrefix missing = BuildRestartPrefix(path, 2);
    EXPECT_FALSE(missing.ok);
    EXPECT_NE(missing.error.find(path), std::string::npos);
}

} // namespace
} // namespace vorl
