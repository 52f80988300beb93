// The compare of NC programs: the options on programs as controls change
// them, the word marks, and the unified diff as GNU diff writes it.
#include "history/nc_compare.h"

#include "temp_dir.h"

#include <gtest/gtest.h>

namespace vorl::history {
namespace {

std::string blockText(std::string_view program, const Block& b) {
    return std::string(program.substr(b.offset, b.length));
}

std::vector<std::string> marked(std::string_view block, const std::vector<WordMark>& marks) {
    std::vector<std::string> out;
    for (const WordMark& m : marks) {
        out.emplace_back(block.substr(m.offset, m.length));
    }
    return out;
}

const std::string kProgram = "%\nO1234 (BRACKET)\nN10 G21 G90\nN20 T1 M6\nN30 S1200 M3\n"
                             "N40 G0 X0 Y0\nN50 G1 Z-2. F100\nN60 X50. F400\nN70 Y30.\n"
                             "N80 X0\nN90 Y0\nN100 G0 Z5.\nN110 M30\n%\n";

std::string replaced(std::string s, const std::string& from, const std::string& to) {
    s.replace(s.find(from), from.size(), to);
    return s;
}

TEST(NcCompare, SameProgramsHaveNoChanges) {
    const CompareResult r = ComparePrograms(kProgram, kProgram, {});
    EXPECT_TRUE(r.same());
    EXPECT_EQ(UnifiedDiff(kProgram, kProgram, r, "a", "b"), "");
}

TEST(NcCompare, ChangedFeedIsOneBlockAndItsWordIsMarked) {
    const std::string edited = replaced(kProgram, "X50. F400", "X50. F350");
    const CompareResult r = ComparePrograms(kProgram, edited, {});
    ASSERT_TRUE(r.ok) << r.error;
    ASSERT_EQ(r.changes.size(), 1u);
    EXPECT_EQ(r.changes[0].oldFirst, 7u);
    EXPECT_EQ(r.changes[0].oldCount, 1u);
    EXPECT_EQ(r.changes[0].newFirst, 7u);
    EXPECT_EQ(r.changedBlocks(), 1u);
    const std::string a = blockText(kProgram, r.oldBlocks[7]);
    const std::string b = blockText(edited, r.newBlocks[7]);
    const WordMarks m = MarkWords(a, b, {});
    EXPECT_EQ(marked(a, m.oldMarks), std::vector<std::string>{"F400"});
    EXPECT_EQ(marked(b, m.newMarks), std::vector<std::string>{"F350"});
}

TEST(NcCompare, InsertedAndDeletedBlocksArePlaced) {
    std::string edited = replaced(kProgram, "N70 Y30.\n", "");     // deleted
    edited = replaced(edited, "N90 Y0\n", "N90 Y0\nN95 G4 P1.\n"); // inserted
    const CompareResult r = ComparePrograms(kProgram, edited, {});
    ASSERT_EQ(r.changes.size(), 2u);
    EXPECT_EQ(r.changes[0].oldFirst, 8u);
    EXPECT_EQ(r.changes[0].oldCount, 1u);
    EXPECT_EQ(r.changes[0].newCount, 0u);
    EXPECT_EQ(r.changes[0].newFirst, 8u);
    EXPECT_EQ(r.changes[1].oldFirst, 11u);
    EXPECT_EQ(r.changes[1].oldCount, 0u);
    EXPECT_EQ(r.changes[1].newFirst, 10u);
    EXPECT_EQ(r.changes[1].newCount, 1u);
    EXPECT_EQ(blockText(edited, r.newBlocks[10]), "N95 G4 P1.");
}

TEST(NcCompare, RenumberedProgramIsTheSameWhenNumbersAreIgnored) {
    std::string renumbered;
    int n = 5;
    for (const Block& b : SplitBlocks(kProgram)) {
        std::string text = blockText(kProgram, b);
        if (text[0] == 'N') {
            text = "N" + std::to_string(n) + text.substr(text.find(' '));
            n += 5;
        }
        renumbered += text + "\n";
    }
    EXPECT_EQ(ComparePrograms(kProgram, renumbered, {}).changedBlocks(), 11u);
    CompareOptions o;
    o.ignoreNumbers = true;
    EXPECT_TRUE(ComparePrograms(kProgram, renumbered, o).same());
    // A changed word beside a new number is still a change, and only it is
    // marked.
    const std::string edited = replaced(renumbered, "X50. F400", "X55. F400");
    const CompareResult r = ComparePrograms(kProgram, edited, o);
    ASSERT_EQ(r.changes.size(), 1u);
    const std::string a = blockText(kProgram, r.oldBlocks[r.changes[0].oldFirst]);
    const std::string b = blockText(edited, r.newBlocks[r.changes[0].newFirst]);
    const WordMarks m = MarkWords(a, b, o);
    EXPECT_EQ(marked(a, m.oldMarks), std::vector<std::string>{"X50."});
    EXPECT_EQ(marked(b, m.newMarks), std::vector<std::string>{"X55."});
}

TEST(NcCompare, EndOfBlockStyleCountsOnlyWhenAsked) {
    std::string crlf;
    for (char c : kProgram) {
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    }
    EXPECT_TRUE(ComparePrograms(kProgram, crlf, {}).same());
    CompareOptions o;
    o.ignoreEndOfBlock = false;
    EXPECT_EQ(ComparePrograms(kProgram, crlf, o).changedBlocks(), 14u);
    // A bare CR ends a block too.
    std::string cr = kProgram;
    for (char& c : cr) {
        c = c == '\n' ? '\r' : c;
    }
    EXPECT_TRUE(ComparePrograms(kProgram, cr, {}).same());
}

TEST(NcCompare, CommentsAndBlanksCountOnlyWhenAsked) {
    std::string edited = replaced(kProgram, "(BRACKET)", "(BRACKET REV B)");
    edited = replaced(replaced(edited, "N80 X0", "N80  X0 "), "N90 Y0", "N90 Y0;CHECKED");
    EXPECT_EQ(ComparePrograms(kProgram, edited, {}).changedBlocks(), 3u);
    CompareOptions comments;
    comments.ignoreComments = true;
    EXPECT_EQ(ComparePrograms(kProgram, edited, comments).changedBlocks(), 1u);
    CompareOptions blanks;
    blanks.ignoreBlanks = true;
    EXPECT_EQ(ComparePrograms(kProgram, edited, blanks).changedBlocks(), 2u);
    CompareOptions both = comments;
    both.ignoreBlanks = true;
    EXPECT_TRUE(ComparePrograms(kProgram, edited, both).same());
}

TEST(NcCompare, WordMarksFollowTheOptions) {
    const std::string a = "N60 G1 X50. Y10. F400 (ROUGH)";
    const std::string b = "N65 G1 X50.  Y12. F400 (FINISH)";
    const WordMarks plain = MarkWords(a, b, {});
    EXPECT_EQ(marked(a, plain.oldMarks), (std::vector<std::string>{"N60", " ", "Y10.", "(ROUGH)"}));
    EXPECT_EQ(marked(b, plain.newMarks),
              (std::vector<std::string>{"N65", "  ", "Y12.", "(FINISH)"}));
    const WordMarks quiet = MarkWords(a, b, {true, true, true, true});
    EXPECT_EQ(marked(a, quiet.oldMarks), std::vector<std::string>{"Y10."});
    EXPECT_EQ(marked(b, quiet.newMarks), std::vector<std::string>{"Y12."});
    // An added word is marked on its side only.
    const WordMarks added = MarkWords("G1 X10", "G1 X10 M8", {});
    EXPECT_TRUE(added.oldMarks.empty());
    EXPECT_EQ(marked("G1 X10 M8", added.newMarks), (std::vector<std::string>{" ", "M8"}));
}

// The hunks are those GNU diff writes for the same files, so patch and every
// other reader of the format take them.
TEST(NcCompare, UnifiedDiffReadsAsGnuDiffWritesIt) {
    std::string edited = replaced(kProgram, "X50. F400", "X50. F350");
    edited = replaced(edited, "N20 T1 M6\n", "");
    edited = replaced(edited, "N110 M30\n", "N105 M9\nN110 M30\n");
    test::TempDir dir;
    test::writeBytes(dir.file("a.nc"), kProgram);
    test::writeBytes(dir.file("b.nc"), edited);
    const std::string gnu =
        test::CommandOutput("diff -u " + dir.file("a.nc") + " " + dir.file("b.nc"));
    const std::string ours =
        UnifiedDiff(kProgram, edited, ComparePrograms(kProgram, edited, {}), "a.nc", "b.nc");
    auto hunks = [](const std::string& s) { return s.substr(s.find("@@")); };
    ASSERT_NE(gnu.find("@@"), std::string::npos);
    EXPECT_EQ(hunks(ours), hunks(gnu));
    EXPECT_EQ(ours.substr(0, ours.find("@@")), "--- a.nc\n+++ b.nc\n");
}

TEST(NcCompare, ChangesFarApartMakeTheirOwnHunks) {
    std::string program;
    for (int i = 0; i < 40; ++i) {
        program += "N" + std::to_string(i) + " X" + std::to_string(i) + "\n";
    }
    const std::string edited = replaced(replaced(program, "X2\n", "X2.5\n"), "X30\n", "X31\n");
    const CompareResult r = ComparePrograms(program, edited, {});
    const std::vector<Hunk> one = GroupChanges(r, 20);
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0].oldFirst, 0u);
    EXPECT_EQ(one[0].oldCount, 40u);
    const std::vector<Hunk> two = GroupChanges(r, 3);
    ASSERT_EQ(two.size(), 2u);
    EXPECT_EQ(two[0].oldFirst, 0u);
    EXPECT_EQ(two[0].oldCount, 6u);
    EXPECT_EQ(two[1].oldFirst, 27u);
    EXPECT_EQ(two[1].oldCount, 7u);
}

} // namespace
} // namespace vorl::history
