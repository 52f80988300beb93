// Caret notation: how trigger strings and filter characters, which may hold
// any byte, are written in the configuration file and shown in the
// configuration dialog.
//
// Decoding: "^" and the character c after it become the byte (c - 64) mod 256,
// a-z counted as A-Z; any other character stands for itself. A "^" at the
// very end decodes as if a NUL followed it (byte C0 hexadecimal), which is
// also what a trimmed "^" + NUL at the end of a file line reads back as.
//
// Encoding writes every byte in a form that survives a line of the file,
// which is trimmed of blanks and control characters at both ends:
//   0-31          "^@" ... "^_" (carriage return "^M", line feed "^J")
//   blank         itself, but "^`" as the last byte, where trimming takes it
//   "^"           "^" + byte 9E hex, since a lone "^" would start a pair
//   33-127        themselves
//   80-C0 hex     "^" + (byte + 64) mod 256 ("^" + NUL for C0)
//   C1-E0 hex     themselves: their caret forms are the control characters
//                 01-20 hex, which a line cannot carry (0xCA would be a line
//                 feed)
//   E1-FF hex     "^!" ... "^?"
// The forms of the other bytes are what older files hold, and every form
// decodes by the one rule above.
#pragma once

#include <string>
#include <string_view>

namespace vorl {

std::string EncodeControlText(std::string_view bytes);
std::string DecodeControlText(std::string_view text);

} // namespace vorl
