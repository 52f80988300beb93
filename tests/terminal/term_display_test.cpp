#include "terminal/term_display.h"

#include <gtest/gtest.h>

namespace vorl {
namespace {

// The edges of the display table, where one step off shows the wrong thing.
TEST(TermDisplay, EdgesOfEachRange) {
    using enum DisplayMode;
    EXPECT_EQ(VisibleForm(0, Standard), "");
    EXPECT_EQ(VisibleForm(1, Standard), "^A");
    EXPECT_EQ(VisibleForm(31, Standard), "^_");
    EXPECT_EQ(VisibleForm(32, Standard), " ");
    EXPECT_EQ(VisibleForm(127, Standard), "_");
    EXPECT_EQ(VisibleForm(255, Standard), "_");

    EXPECT_EQ(VisibleForm(0, Expand), "<NUL>");
    EXPECT_EQ(VisibleForm(26, Expand), "<SUB>");
    for (int c = 27; c <= 31; ++c) {
        EXPECT_EQ(VisibleForm(static_cast<unsigned char>(c), Expand), "") << c;
    }
    EXPECT_EQ(VisibleForm(32, Expand), "<SP>");
    EXPECT_EQ(VisibleForm(127, Expand), "<0x7F>");
    EXPECT_EQ(VisibleForm(128, Expand), "<0x80>");
    EXPECT_EQ(VisibleForm(255, Expand), "<0xFF>");

    for (int c : {0, 13, 32, 127, 200}) {
        EXPECT_EQ(VisibleForm(static_cast<unsigned char>(c), None), "_") << c;
    }
}

// A received DEL is a control character; a typed one is shown as typed.
TEST(TermDisplay, ReceivedAndTypedDiffer) {
    EXPECT_EQ(ReceivedText(127, DisplayMode::Expand), "<0x7F>");
    EXPECT_EQ(TypedText(127, DisplayMode::Expand), "\x7f");
    EXPECT_EQ(ReceivedText('~', DisplayMode::None), "~");
    EXPECT_EQ(ReceivedText(' ', DisplayMode::None), "_");
    EXPECT_EQ(TypedText(' ', DisplayMode::Expand), "<SP>");
    EXPECT_EQ(TypedText('!', DisplayMode::None), "!");
}

} // namespace
} // namespace vorl
