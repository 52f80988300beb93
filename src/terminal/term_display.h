// How the terminal window shows the characters that pass: printable ones as
// themselves, control characters and bytes above 126 in a visible form chosen
// by the display mode. Qt-free, so the table is the same on every desktop.
#pragma once

#include <array>
#include <string>
#include <string_view>

namespace vorl {

enum class DisplayMode { Standard = 1, Expand = 2, None = 3 };

// Names of the characters 0-32 in Expand mode; 27-31 have none (they show
// nothing).
extern const std::array<std::string_view, 33> kExpansionTable;

// The visible form of `c` in `mode`:
//   Standard: 0 nothing, 1-31 "^" and c + 64, 32 " ", 127-255 "_"
//   Expand:   0-32 the expansion table, 127-255 "<0x" two upper-case hex digits ">"
//   None:     "_"
// Printable characters (33-126) are never passed here by the window; they
// come back as themselves.
std::string VisibleForm(unsigned char c, DisplayMode mode);

// What a received character shows: its visible form for 0-32 and 127-255,
// else the character itself.
std::string ReceivedText(unsigned char c, DisplayMode mode);

// What a typed character shows: the character itself for 33-127 (a typed
// DEL is shown as typed), else its visible form.
std::string TypedText(unsigned char c, DisplayMode mode);

} // namespace vorl
