// Caret notation: how trigger strings and filter characters, which may hold
// control characters, are written in the configuration file and shown in the
// configuration dialog.
//
// Encoding, byte by byte: a byte that is 26 or less when taken as a signed
// 8-bit number (0-26 and 128-255) becomes "^" followed by the byte
// (value + 64) mod 256, so carriage return is "^M" and line feed "^J"; every
// other byte (27-127) stands for itself. Decoding: "^" and the character c
// after it become the byte (c - 64) mod 256, a-z counted as A-Z; any other
// character stands for itself. A literal "^" therefore cannot be stored, and a
// "^" at the very end decodes as if a NUL followed it (byte C0 hexadecimal),
// which is also what a trimmed "^" + NUL at the end of a file line reads back as.
#pragma once

#include <string>
#include <string_view>

namespace vorl {

std::string EncodeControlText(std::string_view bytes);
std::string DecodeControlText(std::string_view text);

} // namespace vorl
