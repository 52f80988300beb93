#include "transfer/translation_table.h"

#include "scratch_dir.h"

#include <gtest/gtest.h>

#include <set>

namespace vorl {
namespace {

TEST(TranslationTable, BuiltInCodes) {
    const TranslationTable t = BuiltInTranslationTable();
    EXPECT_EQ(t['G'], 0x67);
    EXPECT_EQ(t['1'], 0x01);
    EXPECT_EQ(t['0'], 0x20);
    EXPECT_EQ(t['\r'], 0x80);
    EXPECT_EQ(t['\n'], 0x80);
    EXPECT_EQ(t['$'], 0x80);
    EXPECT_EQ(t['\t'], 0x3E);
    EXPECT_EQ(t[' '], 0x10);
    EXPECT_EQ(t['Z'], 0x29);
    for (char c : std::string("az(),*\0", 7)) {
        EXPECT_EQ(t[static_cast<uint8_t>(c)], kNoEiaCode) << int(c);
    }
    // Apart from the end of block, every code belongs to one character, or an
    // upload could not be read back.
    std::set<uint8_t> codes;
    int withCode = 0;
    for (int c = 0; c < 256; ++c) {
        if (t[c] != kNoEiaCode && t[c] != kEiaEndOfBlock) {
            codes.insert(t[c]);
            ++withCode;
        }
    }
    EXPECT_EQ(withCode, 44);
    EXPECT_EQ(codes.size(), 44u);
}

TEST(TranslationTable, FileLines) {
    TranslationTable t = BuiltInTranslationTable();
    const std::string longLine = "** " + std::string(100, 'x') + ",D65,1";
    ReadTranslationFile("** comment line\r\n"
                        "\r\n"
                        "D36,128\r\n"
                        "A,97\r\n"
                        "D40,26\n"
                        "** B,1\n"
                        "  C , 5  \n"
                        "E,x\n" +
                            longLine +
                            "\n"
                            "D,12\r"
                            "D300,5\n"
                            "F,300\n"
                            "H,-1\n"
                            ",7\n"
                            "no comma\n"
                            "Dx,9\n"
                            "I,   123\n"
                            "J,34",
                        t);
    EXPECT_EQ(t['$'], 128);
    EXPECT_EQ(t['A'], 97);
    EXPECT_EQ(t['('], 26);
    EXPECT_EQ(t['B'], 0x62) << "a comment changes nothing";
    EXPECT_EQ(t['C'], 5);
    EXPECT_EQ(t['E'], 0) << "a value that is not a number reads as 0";
    EXPECT_EQ(t['D'], 12) << "a one-character key D is the letter D";
    EXPECT_EQ(t['F'], 0x76) << "values above 255 are ignored";
    EXPECT_EQ(t['H'], 0x68) << "negative values are ignored";
    EXPECT_EQ(t[0], 9) << "D followed by something else than a number is code 0";
    EXPECT_EQ(t['I'], 12) << "only five characters after the comma count";
    EXPECT_EQ(t['J'], 34) << "a long line does not stop the reading";
    EXPECT_EQ(t[','], kNoEiaCode);
}

TEST(TranslationTable, BuildFromFile) {
    test::ScratchDir dir;
    EXPECT_EQ(BuildTranslationTable(dir.file("none.xlt")), BuiltInTranslationTable());
    const TranslationTable t = BuildTranslationTable(dir.write("a.xlt", "D36,129\n"));
    EXPECT_EQ(t['$'], 129);
    EXPECT_EQ(t['G'], 0x67);

    EXPECT_EQ(TranslationFilePath("/etc/vorl/vorl.vorlcfg"), "/etc/vorl/vorl.xlt");
    EXPECT_EQ(TranslationFilePath("/opt/v.1/machines"), "/opt/v.1/machines.xlt");
}

TEST(TranslationTable, InverseReadsEiaBack) {
    TranslationTable t = BuiltInTranslationTable();
    EiaReader r = InverseTranslation(t);
    for (int c = 0; c < 256; ++c) {
        if (t[c] != kNoEiaCode && t[c] != kEiaEndOfBlock) {
            EXPECT_EQ(r.toAscii[t[c]], c);
        }
    }
    EXPECT_TRUE(r.endsBlock[0x80]);
    EXPECT_TRUE(r.endsBlock['\r']);
    EXPECT_TRUE(r.endsBlock['\n']);
    EXPECT_FALSE(r.endsBlock[0x67]);
    EXPECT_TRUE(r.skipped[0]);
    EXPECT_EQ(r.toAscii[0xFF], kUnreadableEia);
    EXPECT_EQ(r.toAscii[0x4A], kUnreadableEia);

    // A code the translation file gave to a second character reads as that one.
    ReadTranslationFile("Z,32\nD13,127\n", t);
    r = InverseTranslation(t);
    EXPECT_EQ(r.toAscii[0x20], 'Z');
    EXPECT_TRUE(r.endsBlock[0x7F]);
    EXPECT_TRUE(r.endsBlock[0x80]) << "LF still punches as 0x80";
}

} // namespace
} // namespace vorl
