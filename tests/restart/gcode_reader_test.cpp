// The reader's handling of how programs are written: numbers, spelling, block
// ends, block delete, text read back from EIA tape, words that are no
// positions, and words it does not know.
#include "restart/gcode_reader.h"
#include "restart/restart_prefix.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <string_view>

namespace vorl {
namespace {

ModalState stateOf(std::string_view program, ControlDialect dialect = ControlDialect::Mill) {
    ProgramScanner scanner(0, dialect);
    scanner.feed(program.data(), program.size());
    scanner.finish();
    return scanner.reader().state();
}

// The prefix at `block`, fed to the scanner in pieces of `piece` bytes.
std::string prefixAt(std::string_view program, int block, size_t piece = 1 << 20) {
    ProgramScanner scanner(block, ControlDialect::Mill);
    for (size_t at = 0; at < program.size() && !scanner.startRead(); at += piece) {
        const std::string_view part = program.substr(at, piece);
        scanner.feed(part.data(), part.size());
    }
    scanner.finish();
    EXPECT_TRUE(scanner.reachedStart()) << "no block " << block;
    return ComputeCheckedPrefix(scanner.reader(), block, scanner.startBlockText(),
                                {ControlDialect::Mill, "G91 G28 Z0"})
        .text();
}

bool hasLine(const std::string& prefix, const std::string& line) {
    return prefix.find(line + "\r\n") != std::string::npos;
}

TEST(Decimal, ParseAddAndFormatKeepTheWayNumbersAreWritten) {
    Decimal a;
    Decimal b;
    Decimal sum;
    ASSERT_TRUE(ParseDecimal("-.5", a));
    EXPECT_EQ(a.units, -5);
    EXPECT_EQ(a.decimals, 1);
    EXPECT_TRUE(a.point);
    ASSERT_TRUE(ParseDecimal("+12.250", b));
    ASSERT_TRUE(AddDecimal(a, b, sum));
    EXPECT_EQ(FormatDecimal(sum), "11.75");
    ASSERT_TRUE(ParseDecimal("-12.", b));
    ASSERT_TRUE(AddDecimal(a, b, sum));
    EXPECT_EQ(FormatDecimal(sum), "-12.5");
    ASSERT_TRUE(ParseDecimal("12.5", b));
    ASSERT_TRUE(AddDecimal(a, b, sum));
    EXPECT_EQ(FormatDecimal(sum), "12.");
    ASSERT_TRUE(ParseDecimal("-0.015", b));
    EXPECT_EQ(FormatDecimal(b), "-0.015");
    ASSERT_TRUE(ParseDecimal("250", a));
    EXPECT_FALSE(a.point);
    EXPECT_FALSE(AddDecimal(a, b, sum)) << "with and without a point";
    ASSERT_TRUE(ParseDecimal("-300", b));
    ASSERT_TRUE(AddDecimal(a, b, sum));
    EXPECT_EQ(FormatDecimal(sum), "-50");
    ASSERT_TRUE(ParseDecimal("99999999999999999.9", a));
    ASSERT_TRUE(ParseDecimal(".00000000000000001", b));
    EXPECT_FALSE(AddDecimal(a, b, sum)) << "overflow";
    for (const char* bad : {"", "-", ".", "1.2.3", "--1", "1-", "1234567890123456789", "1e3"}) {
        EXPECT_FALSE(ParseDecimal(bad, a)) << bad;
    }
}

TEST(ModalReader, LowerCaseBlanksCommentsAndTapeMarksReadAsPlainBlocks) {
    using namespace std::string_literals;
    const std::string plain = "G21 G17 G90 G54\nT1 M06\nS1000 M03\nG00 X1. Y2.\nG01 Z-1. F100\n"
                              "X3.\nM30\n";
    const std::string written = "%g21g17 g90 (MAIN; G20) g54\n"
                                "t1 m6 ;G91 X5.\n"
                                "s 1 000\tm3\n"
                                "N40 G0 X 1. Y2.\x7f\n"
                                "g01 z-1.F100 (PLUNGE\n"
                                "x3.\0%\n"
                                "m30\n"s;
    const std::string prefix = prefixAt(plain, 7);
    EXPECT_EQ(prefixAt(written, 7), prefix);
    EXPECT_TRUE(hasLine(prefix, "S1000 M03 (BLOCK 3)"));
    EXPECT_TRUE(hasLine(prefix, "G01 Z-1. F100 (Z F BLOCK 5)"));
    EXPECT_TRUE(stateOf(written).doubts.empty());
}

TEST(ModalReader, CrLfCrAndLfEndBlocksAlikeInPiecesOfAnySize) {
    const std::string lf = "G21 G90 G54\nT2 M06\nG00 X1. Y1.\nG01 Z-2. F50\nX4.\nY5.\n";
    std::string cr = lf;
    std::replace(cr.begin(), cr.end(), '\n', '\r');
    std::string crlf;
    for (const char c : lf) {
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    }
    const std::string expected = prefixAt(lf, 6);
    EXPECT_TRUE(hasLine(expected, "G00 X4. Y1. (X BLOCK 5, Y BLOCK 3)"));
    for (const std::string& program : {lf, cr, crlf}) {
        for (size_t piece : {1, 2, 3, 7, 4096}) {
            EXPECT_EQ(prefixAt(program, 6, piece), expected) << piece;
        }
    }
    // LF then CR ends two blocks, as in the download.
    EXPECT_TRUE(hasLine(prefixAt("G21\n\rG90\nX1.\nY1.\n", 5), "G00 X1. (X BLOCK 4)"));
    // A start block that is an empty line is still a block.
    EXPECT_TRUE(
        hasLine(prefixAt("G21\r\n\r\n", 2), "G21 G90 (G21 BLOCK 1, G90 AFTER THE RETRACT)"));
}

TEST(ModalReader, BlockDeleteCountsAsRunAndIsSaid) {
    const std::string program = "G21 G90 G54\n/M08\nN20 /2 G00 X5.\nY1.\n/ Y2.\nM30\n";
    const ModalState state = stateOf(program);
    EXPECT_EQ(state.blockDeletes, 3);
    EXPECT_EQ(state.firstBlockDelete, 2);
    const std::string prefix = prefixAt(program, 6);
    EXPECT_TRUE(hasLine(
        prefix, "(BLOCK DELETE AT BLOCK 2 AND 2 LATER BLOCKS COUNTED AS RUN: SWITCH SETTING "
                "NOT KNOWN)"));
    EXPECT_TRUE(hasLine(prefix, "M08 (BLOCK 2)"));
    EXPECT_TRUE(hasLine(prefix, "G00 X5. Y2. (X BLOCK 3, Y BLOCK 5)"));
}

TEST(ModalReader, TextReadBackFromTapeWithUnreadableCharactersIsFlagged) {
    // An EIA upload reads a code no character has as "?".
    const std::string program = "%\nG21 G90 G54\nG00 X1?. Y2.\nG01 Z-1. F80\n%\n";
    const ModalState state = stateOf(program);
    ASSERT_EQ(state.doubts.size(), 1u);
    EXPECT_EQ(state.doubts[0].kind, DoubtKind::UnknownWord);
    EXPECT_EQ(state.doubts[0].block, 3);
    EXPECT_EQ(state.doubts[0].what, "?");
    EXPECT_TRUE(hasLine(prefixAt(program, 5), "(WORD ? NOT KNOWN TO THE READER AT BLOCK 3)"));
}

TEST(ModalReader, WordsThatAreNoPositions) {
    const ModalState state = stateOf("G21 G90 G54\n"
                                     "G00 X1. Y2. Z3. B90.\n"
                                     "G04 X2.5\n"       // dwell: X is a time
                                     "G91 G28 Z0\n"     // to the reference point
                                     "G90 G53 Y0\n"     // machine coordinates
                                     "G65 P100 A4.\n"); // arguments, and anything may move
    EXPECT_EQ(state.axes[0].state, AxisState::Lost);
    EXPECT_EQ(state.axes[0].why, "subprogram call");
    EXPECT_EQ(state.axes[2].state, AxisState::Lost);
    EXPECT_EQ(state.axes[3].state, AxisState::Never);
    EXPECT_EQ(state.axes[4].state, AxisState::Lost);

    const ModalState before = stateOf("G21 G90 G54\n"
                                      "G00 X1. Y2. Z3.\n"
                                      "G04 X2.5\n"
                                      "G91 G28 Z0\n"
                                      "G90 G53 Y0\n");
    EXPECT_EQ(before.axes[0].text, "1.");
    EXPECT_EQ(before.axes[0].block, 2);
    EXPECT_EQ(before.axes[1].state, AxisState::Lost);
    EXPECT_EQ(before.axes[1].why, "machine coordinates G53");
    EXPECT_EQ(before.axes[2].state, AxisState::Reference);
    EXPECT_EQ(before.axes[2].block, 4);
    EXPECT_TRUE(before.doubts.empty());
    const std::string prefix = prefixAt("G21 G90 G54\nG00 X1. Y2. Z3.\nG04 X2.5\nG91 G28 Z0\n"
                                        "G90 G53 Y0\nX5.\n",
                                        6);
    EXPECT_TRUE(hasLine(prefix, "(Y NOT KNOWN AFTER BLOCK 5: MACHINE COORDINATES G53)"));
    EXPECT_TRUE(hasLine(prefix, "(Z AT THE REFERENCE POINT FROM BLOCK 4: NOT MOVED)"));
    EXPECT_TRUE(hasLine(prefix, "G00 X1. (UNCHECKED: X BLOCK 2)"));
}

TEST(ModalReader, WordsItDoesNotKnowAreFlaggedWithTheirBlock) {
    const struct {
        const char* block;
        DoubtKind kind;
        const char* what;
    } cases[] = {
        {"G01 U1.5", DoubtKind::UnknownWord, "U1.5"},
        {"M19", DoubtKind::UnknownWord, "M19"},
        {"G05.1 Q1", DoubtKind::UnknownWord, "G05.1"},
        {"G92 X0 Y0", DoubtKind::UnknownWord, "G92"},
        {"NX10", DoubtKind::UnknownWord, "NX"},
        {"G32 Z-5. F1.", DoubtKind::UnknownWord, "G32"},
        {"G71 U2. R1.", DoubtKind::UnknownWord, "G71"},
        {"G16", DoubtKind::Polar, "G16"},
        {"M98 P1000", DoubtKind::Subprogram, "M98"},
        {"IF[#1GT2]GOTO5", DoubtKind::Macro, ""},
        {"G01 X[#1+2.]", DoubtKind::Macro, ""},
        {"X1. (A (NESTED) COMMENT) Y2.", DoubtKind::UnknownWord, "COMMENT"},
    };
    for (const auto& c : cases) {
        const ModalState state = stateOf(std::string("G21 G90\n") + c.block + "\nG17\n");
        ASSERT_EQ(state.doubts.size(), 1u) << c.block;
        EXPECT_EQ(state.doubts[0].kind, c.kind) << c.block;
        EXPECT_EQ(state.doubts[0].block, 2) << c.block;
        EXPECT_EQ(state.doubts[0].what, c.what) << c.block;
    }
    // An unknown code with axis words leaves those axes unknown.
    EXPECT_EQ(stateOf("G90 G00 X1.\nG92 X0\n").axes[0].state, AxisState::Lost);
    // Whatever the program holds, the prefix is plain text a control can take:
    // printable ASCII, one comment at most per line and closed.
    const std::string odd = prefixAt("G21 G90 \x01\xe9((\n\xff"
                                     "G0 X1.\nG01 Z-1. F1\nX2.\n",
                                     4);
    for (const char c : odd) {
        EXPECT_TRUE((c >= ' ' && c <= '~') || c == '\r' || c == '\n') << int(c);
    }
}

TEST(ModalReader, ABlockLongerThanKeptIsReadInPartAndPutsItsAxesInDoubt) {
    std::string program = "G21 G90 G54\nG00 X1. Y1. Z1.\nG01 X2. F9 ";
    program += std::string(ProgramScanner::kMaxBlock, ' ');
    program += "Y5.\nM08\nM30\n";
    const std::string prefix = prefixAt(program, 5, 4096);
    EXPECT_TRUE(hasLine(prefix, "(Y NOT KNOWN AFTER BLOCK 3: BLOCK TOO LONG TO READ)")) << prefix;
    EXPECT_TRUE(hasLine(prefix, "M08 (UNCHECKED: BLOCK 4)"));
}

} // namespace
} // namespace vorl
