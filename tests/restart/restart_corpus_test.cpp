// Programs as CAM post-processors write them for a lathe and a mill, read to
// several blocks: the state the reader finds there, and the prefix that
// brings a control into it (or says why it cannot). Grouped by what a wrong
// prefix would do to the machine.
#include "restart/restart_prefix.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace vorl {
namespace {

ModalReader readerAt(std::string_view program, int block, ControlDialect dialect) {
    ProgramScanner scanner(block, dialect);
    scanner.feed(program.data(), program.size());
    scanner.finish();
    return scanner.reader();
}

RestartPrefix prefixAt(std::string_view program, int block, ControlDialect dialect,
                       const std::string& retract = "") {
    ProgramScanner scanner(block, dialect);
    scanner.feed(program.data(), program.size());
    scanner.finish();
    EXPECT_TRUE(scanner.startRead()) << "no block " << block;
    const RestartOptions options{dialect, retract.empty() ? DefaultSafeRetract(dialect) : retract};
    return ComputeCheckedPrefix(scanner.reader(), block, scanner.startBlockText(), options);
}

bool has(const RestartPrefix& prefix, std::string_view line) {
    for (const std::string& l : prefix.lines) {
        if (l == line) {
            return true;
        }
    }
    return false;
}

bool mentions(const RestartPrefix& prefix, std::string_view text) {
    for (const std::string& l : prefix.lines) {
        if (l.find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

// The state in a few words: a mode's word, an axis's value, "REF" or "LOST".
std::map<std::string, std::string> describe(const ModalState& s) {
    std::map<std::string, std::string> d;
    auto put = [&d](const char* name, const Setting& setting) {
        d[name] = setting.set() ? setting.word : "-";
    };
    put("MOTION", s.motion);
    put("FEED MODE", s.feedMode);
    put("OFFSET", s.workOffset);
    put("SPEED", s.speed);
    put("CLAMP", s.speedClamp);
    put("SPINDLE", s.spindle);
    put("TOOL", s.toolInSpindle);
    d["ROTATION"] = s.rotation.active() ? (s.rotation.exact() ? s.rotation.words.word : "?") : "-";
    d["SCALING"] = s.scaling.active() ? (s.scaling.exact() ? s.scaling.words.word : "?") : "-";
    for (int axis = 0; axis < kAxisCount; ++axis) {
        const Axis& a = s.axes[axis];
        d[std::string(1, kAxisLetters[axis])] = a.state == AxisState::Known       ? a.text
                                                : a.state == AxisState::Reference ? "REF"
                                                : a.state == AxisState::Lost      ? "LOST"
                                                                                  : "-";
    }
    return d;
}

struct Expected {
    int block; // the start block: the state is the one after the block before it
    std::map<std::string, std::string> fields;
};

void expectStates(std::string_view program, ControlDialect dialect,
                  const std::vector<Expected>& cases) {
    for (const Expected& e : cases) {
        const std::map<std::string, std::string> got =
            describe(readerAt(program, e.block, dialect).state());
        for (const auto& [field, value] : e.fields) {
            EXPECT_EQ(got.at(field), value) << field << " before block " << e.block;
        }
    }
}

// A two-operation lathe program, G-code system A. Blocks are lines: N10 is
// block 3.
constexpr std::string_view kLathe = "%\n"
                                    "O1001 (SHAFT OP1)\n"
                                    "N10 G21 G18 G40 G99\n"
                                    "N20 G28 U0 W0\n"
                                    "N30 T0101 (OD ROUGH)\n"
                                    "N40 G50 S2500\n"
                                    "N50 G96 S200 M03\n"
                                    "N60 G00 X52. Z2. M08\n"
                                    "N70 G90 X46. Z-40. F.25\n"
                                    "N80 X42.\n"
                                    "N90 X38.\n"
                                    "N100 G00 X100. Z100.\n"
                                    "N110 T0303 (OD FINISH)\n"
                                    "N120 G97 S1200 M03\n"
                                    "N130 G00 G42 X30. Z2.\n"
                                    "N140 G01 Z-20. F.1\n"
                                    "N150 U4. W-5.\n"
                                    "N160 W-10.\n"
                                    "N170 G40 G00 X100. Z100.\n"
                                    "N180 T0505 (THREAD)\n"
                                    "N190 G00 X32. Z5.\n"
                                    "N200 G92 X29.4 Z-18. F1.5\n"
                                    "N210 X29.\n"
                                    "N220 G00 X100. Z100. M09\n"
                                    "N230 G94 X-1. Z-1. F.15\n"
                                    "N240 M30\n"
                                    "%\n";

// A mill program: a pocket with compensation, a rotated pass, then a face
// mill in a second work offset, with incremental steps and feed per
// revolution. N10 is block 3.
constexpr std::string_view kMill = "%\n"
                                   "O2001 (POCKET AND FACE)\n"
                                   "N10 G90 G17 G21 G40 G49 G80 G94\n"
                                   "N20 G91 G28 Z0\n"
                                   "N30 T1 M06 (12MM END MILL)\n"
                                   "N40 S12000 M03\n"
                                   "N50 G90 G54 G00 X0 Y0\n"
                                   "N60 G43 H1 Z25. M08\n"
                                   "N70 G01 Z-2. F500\n"
                                   "N80 G41 D1 X10. Y5.\n"
                                   "N90 X50.\n"
                                   "N100 Y40.\n"
                                   "N110 G40 X0 Y0\n"
                                   "N120 G00 Z25.\n"
                                   "N130 G68 X25. Y20. R30.\n"
                                   "N140 G00 X40. Y20.\n"
                                   "N150 G01 Z-1. F300\n"
                                   "N160 X60.\n"
                                   "N170 G69\n"
                                   "N180 G00 Z25.\n"
                                   "N190 M05\n"
                                   "N200 G91 G28 Z0\n"
                                   "N210 T2 M06 (50MM FACE MILL)\n"
                                   "N220 G90 G55 G00 X-30. Y0\n"
                                   "N230 G43 H2 Z5. M03\n"
                                   "N240 G01 Z0 F800\n"
                                   "N250 X130.\n"
                                   "N260 G91 X10.\n"
                                   "N270 X10.\n"
                                   "N280 G90 G00 Z25.\n"
                                   "N290 G54 G00 X0 Y0\n"
                                   "N300 G95 S900 M03\n"
                                   "N310 G01 Z-1. F.2\n"
                                   "N320 X5.\n"
                                   "N330 M30\n"
                                   "%\n";

TEST(RestartCorpus, LatheStates) {
    expectStates(kLathe, ControlDialect::Lathe,
                 {{9, {{"MOTION", "G00"}, {"X", "52."}, {"Z", "2."}, {"FEED MODE", "G99"}}},
                  // Inside the turning cycle the tool is back where the cycle began.
                  {11, {{"MOTION", "G90"}, {"X", "52."}, {"Z", "2."}}},
                  {12, {{"X", "52."}, {"Z", "2."}, {"CLAMP", "G50 S2500"}, {"SPEED", "S200"}}},
                  // The T word changes the tool and ends the speed of the one before.
                  {14, {{"TOOL", "T0303"}, {"SPEED", "-"}, {"SPINDLE", "M03"}}},
                  {15, {{"SPEED", "S1200"}}},
                  {18, {{"X", "34."}, {"Z", "-25."}, {"OFFSET", "-"}}},
                  {19, {{"Z", "-35."}}},
                  {23, {{"MOTION", "G92"}, {"X", "32."}, {"Z", "5."}, {"TOOL", "T0505"}}},
                  {26, {{"MOTION", "G94"}, {"X", "100."}, {"Z", "100."}}}});
}

TEST(RestartCorpus, MillStates) {
    expectStates(kMill, ControlDialect::Mill,
                 {{12, {{"X", "50."}, {"Y", "5."}, {"Z", "-2."}, {"OFFSET", "G54"}}},
                  {17, {{"ROTATION", "G68 X25. Y20. R30."}, {"X", "40."}, {"Y", "20."}}},
                  {20, {{"ROTATION", "-"}}},
                  {24, {{"TOOL", "T2"}, {"SPEED", "-"}, {"Z", "REF"}}},
                  {30, {{"X", "150."}, {"OFFSET", "G55"}, {"MOTION", "G01"}}},
                  {34, {{"FEED MODE", "G95"}, {"SPEED", "S900"}, {"Z", "-1."}}}});
}

TEST(RestartCorpus, LatheCyclesAreNoModes) {
    // Restarting inside a turning cycle would rapid into the shoulder: the
    // cycle is not restored, the motion is not made G00, and it is said.
    const RestartPrefix inCycle = prefixAt(kLathe, 11, ControlDialect::Lathe);
    EXPECT_FALSE(inCycle.certain);
    EXPECT_TRUE(mentions(inCycle, "(LATHE CYCLE G90 IN FORCE FROM BLOCK 9, NOT RESTORED: "
                                  "RESTART AT BLOCK 9)"));
    EXPECT_TRUE(has(inCycle, "G00 X52. (UNCHECKED: X BLOCK 8)"));
    EXPECT_FALSE(mentions(inCycle, "G00 (") || mentions(inCycle, "G00 F"));
    EXPECT_TRUE(prefixAt(kLathe, 25, ControlDialect::Lathe).lines.size() > 0);
    EXPECT_FALSE(prefixAt(kLathe, 26, ControlDialect::Lathe).certain) << "facing cycle";
    // After the cycle G00 takes over again, and the prefix is right.
    const RestartPrefix after = prefixAt(kLathe, 13, ControlDialect::Lathe);
    EXPECT_TRUE(after.certain) << after.text();
    EXPECT_TRUE(has(after, "G00 X100. (X BLOCK 12)"));
    EXPECT_TRUE(has(after, "G00 Z100. (Z BLOCK 12)"));
}

TEST(RestartCorpus, SpindleSpeedEndsAtAToolChange) {
    // A face mill must not start at the end mill's 12,000 rpm.
    const RestartPrefix mill = prefixAt(kMill, 28, ControlDialect::Mill);
    EXPECT_FALSE(mill.certain);
    EXPECT_FALSE(mentions(mill, "S12000"));
    EXPECT_FALSE(mentions(mill, "M03 ("));
    EXPECT_TRUE(mentions(mill, "(SPINDLE NOT STARTED: NO S WORD FOR THE TOOL BEFORE BLOCK 28)"));
    EXPECT_TRUE(has(prefixAt(kMill, 34, ControlDialect::Mill), "S900 M03 (BLOCK 32)"));
    // On a lathe the T word is the change.
    const RestartPrefix lathe = prefixAt(kLathe, 14, ControlDialect::Lathe);
    EXPECT_FALSE(mentions(lathe, "S200"));
    EXPECT_TRUE(mentions(lathe, "NOT STARTED: NO S WORD AFTER THE TOOL CHANGE AT BLOCK 13"));
    EXPECT_TRUE(has(prefixAt(kLathe, 15, ControlDialect::Lathe), "G97 S1200 M03 (BLOCK 14)"));
}

TEST(RestartCorpus, FeedPerRevolutionAndTheSpeedClampAreWritten) {
    const RestartPrefix lathe = prefixAt(kLathe, 20, ControlDialect::Lathe);
    EXPECT_TRUE(lathe.certain) << lathe.text();
    EXPECT_TRUE(has(lathe, "G21 G18 G99 G40 (G21 G18 G99 BLOCK 3, G40 BLOCK 19)"));
    EXPECT_TRUE(has(lathe, "G50 S2500 (BLOCK 6)"));
    // The clamp comes before the spindle starts.
    const RestartPrefix css = prefixAt(kLathe, 9, ControlDialect::Lathe);
    const std::string text = css.text();
    ASSERT_NE(text.find("G50 S2500 (BLOCK 6)"), std::string::npos) << text;
    EXPECT_LT(text.find("G50 S2500"), text.find("G96 S200 M03"));
    EXPECT_TRUE(mentions(prefixAt(kMill, 34, ControlDialect::Mill), " G95 "));
}

TEST(RestartCorpus, RotationIsSetAgainExactlyOrNoMoveIsWritten) {
    // Positions programmed under the rotation: rotation first, then the moves.
    const RestartPrefix rotated = prefixAt(kMill, 19, ControlDialect::Mill);
    EXPECT_TRUE(rotated.certain) << rotated.text();
    const std::string text = rotated.text();
    ASSERT_NE(text.find("G68 X25. Y20. R30. (BLOCK 15)"), std::string::npos) << text;
    EXPECT_LT(text.find("G68 X25."), text.find("G00 X60. Y20."));
    // After G69 the positions of the rotated pass are in no frame the prefix
    // can set: no moves at all, and no warning about the rotation left over.
    const RestartPrefix after = prefixAt(kMill, 21, ControlDialect::Mill);
    EXPECT_FALSE(after.certain);
    EXPECT_TRUE(mentions(after, "(NO APPROACH MOVES)"));
    EXPECT_FALSE(mentions(after, "G00 X"));
    EXPECT_FALSE(mentions(after, "G68"));
    // A rotation without its centre cannot be set again exactly.
    const std::string noCentre = "G21 G17 G90 G54\nG00 X10. Y10. Z5.\nG68 R15.\nG00 X20.\n"
                                 "G01 Z-1. F100\nX30.\n";
    const RestartPrefix refused = prefixAt(noCentre, 6, ControlDialect::Mill);
    EXPECT_FALSE(refused.certain);
    EXPECT_TRUE(mentions(refused, "ROTATION G68 WITHOUT XY AT BLOCK 3: NOT SET AGAIN"));
    EXPECT_FALSE(mentions(refused, "G00 X"));
    EXPECT_FALSE(mentions(refused, "G01 Z"));
    // Scaling likewise, and G50 ends it with its warning.
    const std::string scaled = "G21 G17 G90 G54\nG51 X0 Y0 Z0 P2.\nG00 X10. Y5.\nZ2.\n"
                               "G01 Z-1. F100\nG50\nG00 Z50.\nX0 Y0\nG01 Z-1.\n";
    const RestartPrefix inScale = prefixAt(scaled, 6, ControlDialect::Mill);
    EXPECT_TRUE(inScale.certain) << inScale.text();
    EXPECT_TRUE(has(inScale, "G51 X0 Y0 Z0 P2. (BLOCK 2)"));
    const RestartPrefix cancelled = prefixAt(scaled, 9, ControlDialect::Mill);
    EXPECT_TRUE(cancelled.certain) << cancelled.text();
    EXPECT_FALSE(mentions(cancelled, "G51"));
    EXPECT_FALSE(mentions(cancelled, "SCALING"));
}

TEST(RestartCorpus, EveryApproachStartsFromTheMachinesSafeRetract) {
    const RestartPrefix mill = prefixAt(kMill, 10, ControlDialect::Mill);
    ASSERT_GE(mill.lines.size(), 2u);
    EXPECT_EQ(mill.lines[1], "G91 G28 Z0 (SAFE RETRACT)");
    EXPECT_FALSE(mentions(mill, "HAVE Z CLEAR"));
    EXPECT_TRUE(mill.certain) << mill.text();
    const RestartPrefix own = prefixAt(kMill, 10, ControlDialect::Mill, "g53 z0 (top)");
    EXPECT_EQ(own.lines[1], "G53 Z0 (SAFE RETRACT)");
    EXPECT_TRUE(own.certain) << own.text();
    EXPECT_EQ(prefixAt(kLathe, 20, ControlDialect::Lathe).lines[1], "G28 U0 W0 (SAFE RETRACT)");
}

TEST(RestartCorpus, CutterCompensationIsCancelledAndSaid) {
    const RestartPrefix prefix = prefixAt(kMill, 12, ControlDialect::Mill);
    EXPECT_FALSE(prefix.certain);
    EXPECT_TRUE(mentions(prefix, "(CUTTER COMPENSATION G41 OF BLOCK 10 CANCELLED"));
    for (const std::string& line : prefix.lines) {
        if (line[0] != '(') {
            EXPECT_EQ(line.find("G41"), std::string::npos) << line;
        }
    }
    EXPECT_TRUE(mentions(prefix, "G40 COMPENSATION CANCELLED"));
}

TEST(RestartCorpus, PositionsAreApproachedInTheirOwnWorkOffset) {
    // X and Y under G55, then G54 selected without a move yet.
    const std::string program = "G21 G17 G90 G40\nG55 G00 X10. Y20.\nG43 H1 Z5.\nG54\nX0\n";
    const RestartPrefix prefix = prefixAt(program, 5, ControlDialect::Mill);
    EXPECT_TRUE(prefix.certain) << prefix.text();
    EXPECT_TRUE(has(prefix, "G00 G55 X10. Y20. (G55 OFFSET OF THE POSITIONS, X Y BLOCK 2)"))
        << prefix.text();
    EXPECT_TRUE(has(prefix, "G54 G00 (G54 BLOCK 4, G00 BLOCK 2)")) << prefix.text();
    // Positions of two offsets cannot be approached together.
    const RestartPrefix mixed = prefixAt(kMill, 32, ControlDialect::Mill);
    EXPECT_FALSE(mixed.certain);
    EXPECT_TRUE(mentions(mixed, "TWO WORK OFFSETS, Z OF BLOCK 30 IN G55"));
    EXPECT_FALSE(mentions(mixed, "G00 X"));
}

TEST(RestartCorpus, RightPrefixesAreNotMarkedUnchecked) {
    // A lathe has no G90 G91 mode, no Y and often no work offset.
    const RestartPrefix lathe = prefixAt(kLathe, 9, ControlDialect::Lathe);
    EXPECT_TRUE(lathe.certain) << lathe.text();
    EXPECT_FALSE(mentions(lathe, "Y "));
    EXPECT_FALSE(mentions(lathe, "WORK OFFSET"));
    EXPECT_FALSE(mentions(lathe, "G90 OR G91"));
    // Rotation and scaling cancelled leave no warning behind.
    const std::string program = "G21 G17 G90 G54\nG68 X0 Y0 R45.\nG00 X5. Y5.\nG69\n"
                                "G51 X0 Y0 Z0 P.5\nG50\nG00 X10. Y10. Z2.\nG01 Z-1. F100\nX20.\n";
    const RestartPrefix cancelled = prefixAt(program, 9, ControlDialect::Mill);
    EXPECT_TRUE(cancelled.certain) << cancelled.text();
}

TEST(RestartCorpus, SumsOfIncrementalMovesAreSaid) {
    const RestartPrefix lathe = prefixAt(kLathe, 18, ControlDialect::Lathe);
    EXPECT_TRUE(has(lathe, "G00 X34. (UNCHECKED: X SUM OF BLOCKS 15 TO 17)")) << lathe.text();
    EXPECT_TRUE(mentions(lathe, "Z SUM OF BLOCKS 16 TO 17"));
}

TEST(RestartCorpus, AMachineOfUnknownDialectIsFlaggedWhereTheReadingsDisagree) {
    const RestartPrefix unknown = prefixAt(kMill, 10, ControlDialect::Unknown);
    EXPECT_FALSE(unknown.certain);
    EXPECT_TRUE(mentions(unknown, "CODES A LATHE READS OTHERWISE, READ AS ON A MILL: G90 AT "
                                  "BLOCK 3"));
    // A program with none of those words reads the same either way.
    const std::string plain = "G21 G17 G54\nT1 M06\nS1000 M03\nG00 X1. Y1.\n";
    EXPECT_EQ(prefixAt(plain, 4, ControlDialect::Unknown).reasons.size(),
              prefixAt(plain, 4, ControlDialect::Mill).reasons.size());
}

TEST(RestartCorpus, APrefixThatDoesNotRebuildTheStateIsCaughtByReadingItBack) {
    // A retract that also turns the coolant on leaves a state the program
    // does not have.
    const RestartPrefix prefix = prefixAt(kMill, 7, ControlDialect::Mill, "G91 G28 Z0 M08");
    EXPECT_FALSE(prefix.certain);
    EXPECT_TRUE(mentions(prefix, "(READ BACK, THE PREFIX LEAVES COOLANT M08 WHERE THE PROGRAM "
                                 "HAS NONE AFTER BLOCK 7)"))
        << prefix.text();
    EXPECT_TRUE(prefixAt(kMill, 7, ControlDialect::Mill).certain);
}

} // namespace
} // namespace vorl
