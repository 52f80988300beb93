#include "machines/caret_notation.h"

#include <gtest/gtest.h>

namespace {

using vorl::DecodeControlText;
using vorl::EncodeControlText;

TEST(CaretNotation, ControlCharactersAndHighBytesAreEscaped) {
    EXPECT_EQ(EncodeControlText("\r\n"), "^M^J");
    EXPECT_EQ(EncodeControlText(std::string("\0\x1a", 2)), "^@^Z");
    EXPECT_EQ(EncodeControlText("%G01 X1.5"), "%G01 X1.5");
    // Escape and the separators are control characters too.
    EXPECT_EQ(EncodeControlText("\x1b\x7f"), "^[\x7f");
    // 128-255 are negative as signed bytes: escaped with the byte + 64, but
    // for C1-E0 hex, whose pairs would be control characters.
    EXPECT_EQ(EncodeControlText("\x80\xc0\xff"), std::string("^\xc0^\0^?", 6));
    EXPECT_EQ(EncodeControlText("\xc1\xca\xe0"), "\xc1\xca\xe0");
    // A caret cannot stand for itself; a final blank would be trimmed.
    EXPECT_EQ(EncodeControlText("^ ^"), "^\x9e ^\x9e");
    EXPECT_EQ(EncodeControlText("G1  "), "G1 ^`");
}

TEST(CaretNotation, DecodeUpperCasesLettersOnly) {
    EXPECT_EQ(DecodeControlText("^M^J"), "\r\n");
    EXPECT_EQ(DecodeControlText("^m^j"), "\r\n");
    EXPECT_EQ(DecodeControlText("^["), "\x1b");
    EXPECT_EQ(DecodeControlText("^@"), std::string("\0", 1));
    // '{' is not a letter: 123 - 64, not 91 - 64.
    EXPECT_EQ(DecodeControlText("^{"), ";");
    // A caret at the end decodes as if a NUL followed it.
    EXPECT_EQ(DecodeControlText("A^"), "A\xc0");
    EXPECT_EQ(DecodeControlText("^^"), "\x1e");
}

TEST(CaretNotation, EveryByteSurvivesEncodeAndDecode) {
    std::string all;
    for (int b = 0; b < 256; ++b) {
        all += static_cast<char>(b);
        const std::string alone(1, static_cast<char>(b));
        EXPECT_EQ(DecodeControlText(EncodeControlText(alone)), alone) << b;
    }
    EXPECT_EQ(DecodeControlText(EncodeControlText(all)), all);
}

} // namespace
